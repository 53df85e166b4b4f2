#pragma once
// The wire format between the updater and the device's in-application programmer:
// every byte string sent during an update and every reply looked for. The same
// bytes travel over the serial link and the HID link. Pure functions: the dialog
// builds what it sends with them. The device simulator (src/sim) parses what it
// receives on its own, from the device's side, so that a fault here is not
// mirrored there.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// Replies looked for. The serial handshake reads only up to the 'H', so it cannot
// see the CR that the HID handshake finds behind "#FH".
inline constexpr char kReadyReplyHid[] = "#FH\r";
inline constexpr char kReadyReplySerial[] = "#FH";
inline constexpr char kAckReply[] = "A\r";

// FLASHCMD with its final '#' replaced by CR; empty when flashCmd is empty or does
// not end in '#'. The stored text keeps its '#': only the bytes sent carry the CR.
Bytes ProgrammingModeCommand(const std::string& flashCmd);

// 03 42 01: switches the programmer to its 9600-baud timing (HID road only).
Bytes BaudRateCommand();

// Bytes of one tmp.bin row (length, 3 address bytes, count, data) for a record
// size: 21, 37 or 69; 0 for any other size.
int RowStride(int recordSize);

// The 24-bit big-endian load address held in row bytes 1..3.
std::uint32_t RowAddress(const std::uint8_t* row);

// XOR of size bytes.
std::uint8_t CheckByte(const std::uint8_t* data, std::size_t size);

// The data frame for one row of tmp.bin (recordSize + 5 bytes). recordSize 16 or
// 32; empty for any other size. The frame's byte 0 is its own length: recordSize
// + 5 in the 16-bit layout, recordSize + 6 in the 24-bit layout. The row's own
// length and count bytes are never read.
Bytes BuildDataFrame(const std::uint8_t* row, int recordSize, bool address24);

// The constant end-of-file frame: 8 bytes for 16-bit devices, 9 for 24-bit ones
// (whose first byte is 8 all the same, and whose last byte is not a check byte).
Bytes EndOfFileFrame(bool address24);

// True when expected occurs in reply before its first zero byte (or its end).
bool ReplyContains(const std::uint8_t* reply, std::size_t size, const char* expected);

// The reply as text: its bytes up to the first zero (or its end).
std::string ReplyText(const std::uint8_t* reply, std::size_t size);
