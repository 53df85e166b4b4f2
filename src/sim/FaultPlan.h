#pragma once
// Faults the simulated device can be told to show, so that every way an update
// can go wrong can be produced on demand. Data frames are numbered from 1 in the
// order they arrive after the handshake; a row that the updater sends again gets
// the next number.

#include <optional>
#include <set>
#include <string>

struct FaultPlan {
  std::optional<int> silentAfter;  // answer frames 1..N, then never answer again
  std::optional<int> hangupAfter;  // answer frames 1..N, then drop the line on the next
  std::set<int> nak;               // answer these frames with "N" CR
  std::set<int> garbage;           // answer these frames with two bytes of line noise
  bool noReady = false;            // never answer the programming-mode command
  bool noBaudAck = false;          // never acknowledge the baud-rate command

  bool Empty() const {
    return !silentAfter && !hangupAfter && nak.empty() && garbage.empty() && !noReady && !noBaudAck;
  }
};

// Adds one fault given as "silent-after=N", "hangup-after=N", "nak=K,K...",
// "garbage=K,K...", "no-ready" or "no-baud-ack". False with a reason otherwise.
bool ParseFault(const std::string& text, FaultPlan& plan, std::string& error);
