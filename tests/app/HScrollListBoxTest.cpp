// The message log's extent and selection rules, with the scripted window system's
// metrics (7 pixels a character).

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "app/HScrollListBox.h"
#include "support/ScriptedWindowSystem.h"

namespace {

TEST(HScrollListBox, AppendSelectsTheNewLineAndWidensOnlyForWiderLines) {
  CScriptedWindowSystem ws;
  CHScrollListBox log(ws);
  log.Append("abcdefghij");  // 70 px + 3
  EXPECT_EQ(log.GetCount(), 1);
  EXPECT_EQ(log.GetCurSel(), 0);
  EXPECT_EQ(ws.logSelection, 0);
  EXPECT_EQ(log.GetHorizontalExtent(), 73);
  EXPECT_EQ(ws.logExtent, 73);

  log.Append("abc");  // shorter: the extent stays
  EXPECT_EQ(log.GetHorizontalExtent(), 73);
  EXPECT_EQ(log.GetCurSel(), 1);

  log.Append("");  // an empty line is still a line
  EXPECT_EQ(log.GetCount(), 3);
  EXPECT_EQ(log.GetCurSel(), 2);
  EXPECT_EQ(log.GetHorizontalExtent(), 73);

  log.Append(std::string(20, 'x'));
  EXPECT_EQ(log.GetHorizontalExtent(), 143);
  EXPECT_EQ(ws.logLines, (std::vector<std::string>{"abcdefghij", "abc", "", std::string(20, 'x')}));
}

TEST(HScrollListBox, RefusedInsertStillSelectsTheLastLine) {
  CScriptedWindowSystem ws;
  CHScrollListBox log(ws);
  log.Append("one");
  log.Append("two");
  log.SetCurSel(0);
  EXPECT_EQ(log.InsertString(5, "nowhere"), CHScrollListBox::kErr);
  EXPECT_EQ(log.GetCount(), 2);
  EXPECT_EQ(log.GetCurSel(), 1);
  EXPECT_EQ(log.GetHorizontalExtent(), 24);

  CHScrollListBox empty(ws);
  empty.SetCurSel(empty.GetCount() - 1);  // nothing to select
  EXPECT_EQ(empty.GetCurSel(), -1);
}

TEST(HScrollListBox, InsertInTheMiddleKeepsOrderAndSelectsTheLast) {
  CScriptedWindowSystem ws;
  CHScrollListBox log(ws);
  log.Append("first");
  log.Append("third");
  EXPECT_EQ(log.InsertString(1, "second"), 1);
  EXPECT_EQ(ws.logLines, (std::vector<std::string>{"first", "second", "third"}));
  EXPECT_EQ(log.GetCurSel(), 2);
}

}  // namespace
