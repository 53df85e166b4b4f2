#pragma once
// What a command of the updater achieved, as a value: the stage it ended in,
// how it ended, why, and what identifies the place (a line of the firmware file,
// a frame, a device). The message log and the boxes say the same in the
// system's fixed words; a tool, a journal or a station reads this instead, so
// that rewording a line never changes what a program does.
//
// The names of stages, results and reasons are a stable interface: iapflash
// prints them in its JSON lines and scripts compare them. Add new ones at the
// end of their list; never rename one.

#include <cstdint>
#include <string>

enum class Stage : int {
  kConfiguration,  // reading the device configuration file
  kFile,           // File: the firmware file into tmp.txt and tmp.bin
  kLink,           // Update Firmware: opening the chosen interface
  kHandshake,      // putting the programmer into programming mode
  kTransfer,       // the data frames
  kEndOfFile,      // the end-of-file frame: the update as a whole
};

enum class Result : int { kDone, kFailed, kCancelled };

enum class Reason : int {
  kNone,
  // configuration
  kConfigMissing,         // no file, or no DEVICECOUNT in it
  kConfigUnreadable,      // not INI text at all (a device, binary, too large)
  kConfigTooManyDevices,  // more device sections than the profile table holds
  kConfigBadValue,        // a value of the device map is missing or unusable
  kConfigBadBaudRate,     // a baud rate the programmer does not take
  // the firmware file
  kReadError,        // the file cannot be read (missing, a directory, a FIFO)
  kWorkFile,         // the file is tmp.txt or tmp.bin, which File writes
  kRomheadMismatch,  // its first data record does not start at ROMHEAD
  kChecksum,
  kFormat,
  kIncomplete,
  kAddress,  // a byte outside the device, or a row into a protected range
  kOutOfMemory,
  kRowList,  // no rows could be made from the records
  kPageSize,
  kNoImageData,
  kTmpTxtWrite,
  kTmpBinWrite,
  // the link
  kNoInterface,  // no link chosen
  kNoDevice,     // no USB device with the configured VID:PID
  kPortNotFound,
  kPortBusy,
  kPermission,
  kNotSerialPort,
  kPortOpenFailed,  // any other reason the port did not open
  // the handshake
  kBadFlashCommand,
  kNoReadyReply,
  kNoBaudAck,
  // the transfer
  kImageUnreadable,       // tmp.bin cannot be read back
  kImageChanged,          // tmp.bin is not the image File wrote
  kRecordSizeUnsendable,  // no frame layout for the record size
  kWriteFailed,
  kTimeout,       // no reply to a frame in time
  kWrongReplies,  // replies, but not the acknowledgement
  kUserCancel,
  kInternalError,  // the worker stopped on an unexpected error
  // the vendor's signature on the firmware file (a SIGNKEY is configured)
  kSignatureMissing,        // FILE.minisig is not there or cannot be read
  kSignatureMalformed,      // it is not a minisign signature
  kSignatureOtherKey,       // it was made with another key
  kSignatureMismatch,       // the file is not the one that was signed
  kTrustedCommentMismatch,  // the trusted comment is not the one that was signed
  kSignatureUnavailable,    // the cryptography library could not be set up
  // the service journal
  kJournalUnwritten,  // the update's record could not be appended
};

// The data frames of a transfer, for its summary.
struct FrameCounts {
  long sent = 0;          // data frames written to the link
  long acknowledged = 0;  // of them, answered with the acknowledgement
  long resent = 0;        // rows sent again after a wrong reply
};

struct OutcomeDetail {
  long line = 0;              // 1-based line of the firmware file, 0 for none
  long frame = 0;             // the last data frame's number, 0 for none
  std::int64_t address = -1;  // the row's address, -1 for none
  // The device path or VID:PID; for the configuration stage the configuration
  // file, for the file stage the firmware file.
  std::string device;
  std::string osError;  // what the operating system said
  std::string text;     // the box or log text that told the user
  FrameCounts frames;   // the transfer's and the end-of-file stage's
};

// A done outcome normally has no reason; one that has went on in spite of it
// (a configuration whose baud rate the programmer does not take still lets File
// run, as the window always has): a warning.
struct Outcome {
  Stage stage = Stage::kConfiguration;
  Result result = Result::kDone;
  Reason reason = Reason::kNone;
  OutcomeDetail detail;

  bool Done() const { return result == Result::kDone; }
};

// The stable names, e.g. "end_of_file", "failed", "romhead_mismatch".
const char* StageName(Stage stage);
const char* ResultName(Result result);
const char* ReasonName(Reason reason);
