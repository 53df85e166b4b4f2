#pragma once
// The service journal on the command line: --journal lists its records,
// --journal-verify checks its chain, --journal-export writes it as a spreadsheet.
// Each reads the journal the windows and iapflash append to (IAP_JOURNAL, or the
// user's state folder), and each ends the run.

#include <string>

namespace CLI {
class App;
}

struct JournalCommand {
  bool list = false;
  bool verify = false;
  std::string exportCsv;  // made absolute where the command was typed

  bool Chosen() const { return list || verify || !exportCsv.empty(); }
};

// Adds the three options to app (after the others, which they exclude: each is a
// run of its own, without a firmware file).
void AddJournalOptions(CLI::App& app, JournalCommand& command);

// Runs the chosen one; json lists the records as their own JSON lines. The exit
// status: 0 when it did its job, 1 when it could not or the chain does not hold.
int RunJournalCommand(const JournalCommand& command, bool json);
