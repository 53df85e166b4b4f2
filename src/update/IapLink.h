#pragma once
// The narrow seam between the update protocol and a link to the device's
// in-application programmer. The handshake and the transfer are written once over
// it; each link (serial, USB HID) brings its own way of writing a block, of
// reading and judging a reply within its time-out, of closing, and its rules.

#include <cstdint>
#include <string>

// The links of the interface list, as stored in the dialog's integer members.
enum InterfaceKind : int { kNoLink = 0, kHidLink = 1, kSerialLink = 2 };

// What a link tells the update about a reply to a data frame.
struct LinkReply {
  std::string text;  // the reply up to its first zero byte
  // Logged before the text when not empty (HID: the last report's byte count).
  std::string countLine;
  bool acknowledged = false;  // the reply holds "A" CR
};

// The rules in which links differ.
struct LinkRules {
  // The row at IAPEND belongs to the programmer (true) or is the first row of the
  // application again (false).
  bool iapEndProtected = false;
  // Wrong replies taken before the transfer gives up; each one resends the row
  // under the next frame number. 0: the first wrong reply ends the transfer.
  int wrongRepliesTolerated = 0;
  // The programmer expects the baud-rate command after the ready reply when it
  // programs at 9600 baud.
  bool takesBaudCommand = false;
  // The link is closed after the end-of-file frame went, and the update's end is
  // logged once more as completed.
  bool closesAfterEndOfFile = false;
};

class IIapLink {
 public:
  IIapLink() = default;
  IIapLink(const IIapLink&) = delete;
  IIapLink& operator=(const IIapLink&) = delete;

  virtual LinkRules Rules() const = 0;
  // Sends the programming-mode command (n bytes of it). False when the handshake
  // should not wait for a reply to it.
  virtual bool SendCommand(const std::uint8_t* command, int n) = 0;
  // Waits for the ready reply within the link's time-out; true when it came.
  virtual bool ReadReady() = 0;
  // Sends a block (a frame, the baud-rate command); true when all of it went.
  virtual bool WriteBlock(const std::uint8_t* data, int length) = 0;
  // Waits for the reply to a block within the link's time-out. False when none
  // came in time; reply then says nothing.
  virtual bool ReadReply(LinkReply& reply) = 0;
  virtual void Close() = 0;

 protected:
  ~IIapLink() = default;
};
