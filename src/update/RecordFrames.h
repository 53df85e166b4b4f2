#pragma once
// The wire format between the updater and the device's in-application programmer:
// every byte string sent during an update and every reply looked for. The same
// bytes travel over the serial link and the HID link.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// FLASHCMD with its final '#' replaced by CR; empty when flashCmd is empty or does
// not end in '#'.
Bytes ProgrammingModeCommand(const std::string& flashCmd);
// 03 42 01
Bytes BaudRateCommand();
// row: one row of tmp.bin (recordSize + 5 bytes). recordSize 16 or 32.
Bytes BuildDataFrame(const std::uint8_t* row, int recordSize, bool address24);
Bytes EndOfFileFrame(bool address24);
// True when expected occurs in reply before its first zero byte.
bool ReplyContains(const std::uint8_t* reply, std::size_t size, const char* expected);
