#pragma once
// Updates as the service journal keeps them, for the windows' journal tests: each
// a little different (day, device, file, outcome), with by-id names and paths as
// long as a bench has them (and still within the offscreen platform's 800 pixels).

#include <cstdio>
#include <string>

#include "journal/Journal.h"

inline JournalEntry SampleUpdate(int n) {
  char day[32];
  std::snprintf(day, sizeof day, "2026-11-%02dT%02d:%02d:00Z", 1 + n % 28, 8 + n % 10, n % 60);
  JournalEntry entry;
  entry.begun = entry.ended = day;
  const std::string port =
      "/dev/serial/by-id/usb-FTDI_FT232R_A50285B" + std::to_string(n % 10) + "-if00-port0";
  entry.interfaceKind = n % 4 == 3 ? "USB" : "COM";
  (n % 4 == 3 ? entry.device.vidPid : entry.device.byId) = n % 4 == 3 ? "0483:5750" : port;
  entry.firmware.path = "/home/technician/firmware/mppt-2.4." + std::to_string(n) + ".mppt";
  entry.firmware.sha256 = std::string(63, "0123456789abcdef"[n % 16]) + "5";
  entry.result = n % 3 == 2 ? "failed" : "done";
  entry.reason = n % 3 == 2 ? "no_ready_reply" : "";
  return entry;
}
