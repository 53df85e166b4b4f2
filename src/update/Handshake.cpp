#include "update/Handshake.h"

#include "update/RecordFrames.h"

bool EnterProgrammingMode(IIapLink& link, const std::uint8_t* command, int n, bool program9600,
                          const std::function<void(const std::string&)>& log, Reason* why) {
  const bool sendBaud = program9600 && link.Rules().takesBaudCommand;
  const Bytes baudCommand = BaudRateCommand();
  // Why the handshake failed is the furthest any try got: a device that answered
  // ready once is in programming mode and stays silent to the command after
  // that, so a later try's silence does not make its baud refusal a missing reply.
  Reason lacking = Reason::kNoReadyReply;
  for (int attempt = 0; attempt < kHandshakeTries && n > 0; ++attempt) {
    if (!link.SendCommand(command, n)) continue;
    if (!link.ReadReady()) continue;
    if (sendBaud) {
      lacking = Reason::kNoBaudAck;
      if (!link.WriteBlock(baudCommand.data(), static_cast<int>(baudCommand.size()))) continue;
      LinkReply reply;
      if (!link.ReadReply(reply) || !reply.acknowledged) continue;
      log("Send Baud Rate Command OK");
    }
    if (why) *why = Reason::kNone;
    return true;
  }
  if (why) *why = lacking;
  return false;
}
