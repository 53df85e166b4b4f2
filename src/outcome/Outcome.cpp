#include "outcome/Outcome.h"

#include <array>
#include <cstddef>

namespace {

constexpr std::array kStageNames = {"configuration", "file",     "link",
                                    "handshake",     "transfer", "end_of_file"};
constexpr std::array kResultNames = {"done", "failed", "cancelled"};
constexpr std::array kReasonNames = {
    "none",
    "config_missing",
    "config_unreadable",
    "config_too_many_devices",
    "config_bad_value",
    "config_bad_baud_rate",
    "read_error",
    "work_file",
    "romhead_mismatch",
    "checksum",
    "format",
    "incomplete",
    "address",
    "out_of_memory",
    "row_list",
    "page_size",
    "no_image_data",
    "tmp_txt_write",
    "tmp_bin_write",
    "no_interface",
    "no_device",
    "port_not_found",
    "port_busy",
    "permission",
    "not_serial_port",
    "port_open_failed",
    "bad_flash_command",
    "no_ready_reply",
    "no_baud_ack",
    "image_unreadable",
    "image_changed",
    "record_size_unsendable",
    "write_failed",
    "timeout",
    "wrong_replies",
    "user_cancel",
    "internal_error",
    "signature_missing",
    "signature_malformed",
    "signature_other_key",
    "signature_mismatch",
    "trusted_comment_mismatch",
    "signature_unavailable",
    "journal_unwritten",
};
static_assert(kReasonNames.size() == static_cast<std::size_t>(Reason::kJournalUnwritten) + 1,
              "one name for every reason");
static_assert(kStageNames.size() == static_cast<std::size_t>(Stage::kEndOfFile) + 1,
              "one name for every stage");
static_assert(kResultNames.size() == static_cast<std::size_t>(Result::kCancelled) + 1,
              "one name for every result");

template <typename Names, typename Enum>
const char* NameOf(const Names& names, Enum value) {
  const auto index = static_cast<std::size_t>(value);
  return index < names.size() ? names[index] : "unknown";
}

}  // namespace

const char* StageName(Stage stage) { return NameOf(kStageNames, stage); }
const char* ResultName(Result result) { return NameOf(kResultNames, result); }
const char* ReasonName(Reason reason) { return NameOf(kReasonNames, reason); }
