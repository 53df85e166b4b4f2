#pragma once
// Puts the device's programmer into programming mode over any link: the
// programming-mode command until the ready reply comes, then, where the link's
// programmer wants it, the baud-rate command for 9600-baud programming.

#include <cstdint>
#include <functional>
#include <string>

#include "outcome/Outcome.h"
#include "update/IapLink.h"

inline constexpr int kHandshakeTries = 3;

// command: n bytes of the programming-mode command (no try is made for n <= 0).
// log receives "Send Baud Rate Command OK". True once the device is ready; when
// not, why (if given) says what the last try lacked: the ready reply, or the
// acknowledgement of the baud-rate command.
bool EnterProgrammingMode(IIapLink& link, const std::uint8_t* command, int n, bool program9600,
                          const std::function<void(const std::string&)>& log,
                          Reason* why = nullptr);
