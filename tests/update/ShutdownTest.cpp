// Closing the window while a transfer runs: the user-interface thread stops
// serving the worker and waits for it; the worker must neither hang nor touch the
// link or the controls again.

#include <gtest/gtest.h>

#include "update/UpdateRig.h"

TEST(TransferShutdown, WhileTheSerialWorkerWaitsForAReply) {
  CUpdateRig rig("COM1");
  rig.WriteRows(5);
  rig.device.realTimeWaits = true;
  rig.device.responder = [](const IapMessage& m) -> std::optional<std::string> {
    if (m.kind == SimMessage::kDataFrame && m.index == 1) return std::nullopt;  // keeps it waiting
    return CSimulatedIap::Normal(m);
  };
  rig.dlg.OnUpdateFirmware();
  ASSERT_TRUE(rig.ws.RunUntil([&] { return rig.device.Count(SimMessage::kDataFrame) == 2; }));
  const auto linesBefore = rig.ws.logLines.size();

  rig.dlg.Shutdown();
  EXPECT_FALSE(rig.dlg.WorkerRunning());
  rig.ws.UiCalls().Drain();
  EXPECT_EQ(rig.ws.logLines.size(), linesBefore);  // no "read data Err", nothing at all
  EXPECT_TRUE(rig.dlg.SerialPort().IsOpen());      // the error end did not run
  EXPECT_EQ(rig.device.Count(SimMessage::kDataFrame), 2);
  EXPECT_EQ(rig.device.Count(SimMessage::kEndOfFile), 0);
}

TEST(TransferShutdown, WhileTheHidWorkerWaitsForTheWindow) {
  CUpdateRig rig("USB");
  rig.WriteRows(5);
  rig.dlg.OnUpdateFirmware();
  // Serve the worker up to its second frame, then stop serving it: it blocks on
  // its next window call while this thread closes the dialog.
  ASSERT_TRUE(rig.ws.RunUntil([&] { return rig.device.Count(SimMessage::kDataFrame) == 2; }));
  rig.dlg.Shutdown();
  EXPECT_FALSE(rig.dlg.WorkerRunning());
  EXPECT_EQ(rig.device.Count(SimMessage::kDataFrame), 2);
  EXPECT_EQ(rig.device.Count(SimMessage::kEndOfFile), 0);
  EXPECT_FALSE(rig.Logged("3 Wr"));
  EXPECT_EQ(rig.BoxCount("Programming successfully !"), 0);
}
