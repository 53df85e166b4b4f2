#pragma once
// Updates as the service journal keeps them, for the windows' journal tests: each
// one a little different (day, device, file, outcome), with by-id names and paths
// as long as a bench has them, so the list's columns have something to fit (and
// still fit the 800-pixel screen of the offscreen platform).

#include <cstdio>
#include <string>

#include "journal/Journal.h"

inline JournalEntry SampleUpdate(int n) {
  char day[32];
  std::snprintf(day, sizeof day, "2026-11-%02dT%02d:%02d:%02dZ", 1 + n % 28, 8 + n % 10, n % 60,
                (7 * n) % 60);
  JournalEntry entry;
  entry.begun = entry.ended = day;
  entry.program = entry.variant = "solvane";
  entry.version = "1.4.0";
  entry.host = "bench-2";
  entry.user = "technician";
  entry.interfaceKind = n % 4 == 3 ? "USB" : "COM";
  if (entry.interfaceKind == "USB") {
    entry.device.hidPath = "/dev/hidraw3";
    entry.device.vidPid = "0483:5750";
    entry.device.product = "MPPT Programmer";
    entry.device.serial = "PRG" + std::to_string(1000 + n);
  } else {
    entry.device.path = "/dev/ttyUSB" + std::to_string(n % 2);
    entry.device.byId =
        "/dev/serial/by-id/usb-FTDI_FT232R_A50285B" + std::to_string(n % 10) + "-if00-port0";
  }
  entry.firmware.path = "/home/technician/firmware/mppt-2.4." + std::to_string(n) + ".mppt";
  entry.firmware.size = 32768u + unsigned(n);
  entry.firmware.sha256 = std::string(63, "0123456789abcdef"[n % 16]) + "5";
  entry.profile.romHead = 0x8000;
  entry.profile.romTail = 0xFFFF;
  entry.profile.recordSize = 32;
  entry.profile.baudRate = entry.profile.programBaudRate = 9600;
  entry.framesSent = entry.framesAcknowledged = 1024;
  entry.bytes = 32768;
  entry.streamSha256 = std::string(64, 'a');
  entry.stage = "transfer";
  if (n % 3 == 2) {
    entry.result = "failed";
    entry.reason = "no_ready_reply";
    entry.detail = "frame 17";
  } else {
    entry.result = "done";
  }
  return entry;
}
