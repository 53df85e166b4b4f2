// The File command: pick the firmware file, build the image from it and write
// tmp.txt and tmp.bin, then let Update Firmware go only when all of that worked.
// LoadImageFile is the other end: a transfer worker reads tmp.bin back.

#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <system_error>

#include "app/UpdaterDlg.h"
#include "image/IntermediateFiles.h"
#include "trust/Minisign.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace {

// Sets a flag for as long as it lives.
class CBusyFlag {
 public:
  explicit CBusyFlag(bool& flag) : m_flag(flag) { m_flag = true; }
  ~CBusyFlag() { m_flag = false; }
  CBusyFlag(const CBusyFlag&) = delete;
  CBusyFlag& operator=(const CBusyFlag&) = delete;

 private:
  bool& m_flag;
};

// The largest image a transfer takes; the frame counters are ints.
constexpr std::uintmax_t kMaxImageBytes = 0x7FFFFFFF;
// A signed firmware file is held whole in memory while it is checked and read.
// 16 Mi bytes of flash in S-records of 16 bytes take about 190 MiB of text.
constexpr std::uintmax_t kMaxSignedFirmwareBytes = 256u << 20;
// A minisign signature is four short lines; the trusted comment is the vendor's
// one line of text.
constexpr std::uintmax_t kMaxSignatureBytes = 64u << 10;

// Reads the whole of the file at path, of at most maxBytes. Only a regular file
// is read: a pipe, a directory or a device put in its place is turned away
// before anything is read from it, and never waited on (a pipe would hold the
// window until somebody wrote into it).
bool ReadRegularFile(const std::string& path, std::vector<std::uint8_t>& image,
                     std::uintmax_t maxBytes) {
#ifdef _WIN32
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return false;
  struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return false;
  const auto size = std::filesystem::file_size(path, ec);
  if (ec || size > maxBytes) return false;
  image.resize(static_cast<std::size_t>(size));
  return std::fread(image.data(), 1, image.size(), file.get()) == image.size();
#else
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  // O_NONBLOCK: a pipe put there since the look above does not hold the open either.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } closer{fd};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (st.st_size < 0 || static_cast<std::uintmax_t>(st.st_size) > maxBytes) return false;
  image.resize(static_cast<std::size_t>(st.st_size));
  std::size_t got = 0;
  while (got < image.size()) {
    const ssize_t n = ::read(fd, image.data() + got, image.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // an error, or the file got shorter under us
    got += static_cast<std::size_t>(n);
  }
  return true;
#endif
}

Reason ReasonOf(SignatureFault fault) {
  switch (fault) {
    case SignatureFault::kNone:
      return Reason::kNone;
    case SignatureFault::kMalformed:
      return Reason::kSignatureMalformed;
    case SignatureFault::kOtherKey:
      return Reason::kSignatureOtherKey;
    case SignatureFault::kBadSignature:
      return Reason::kSignatureMismatch;
    case SignatureFault::kBadTrustedComment:
      return Reason::kTrustedCommentMismatch;
    case SignatureFault::kCryptoUnavailable:
      return Reason::kSignatureUnavailable;
  }
  return Reason::kSignatureMalformed;
}

}  // namespace

void CUpdaterDlg::OnFileButton() {
  // A click that arrives while a build pumps window events starts nothing.
  if (m_building) return;
  CBusyFlag busy(m_building);

  BeginStage(Stage::kFile);
  Log(kSeparator);
  const std::string savedDirectory = m_ws.CurrentDirectory();
  const auto chosen = m_ws.OpenFileDialog(FileDialogRequest{
      m_variant.fileFilter, m_variant.defaultExt, m_variant.initialFileName, true});
  if (!chosen) {
    EndStage(Outcome{Stage::kFile, Result::kCancelled, Reason::kNone, {}});
    return;
  }
  TakeFirmwareFile(*chosen, savedDirectory);
}

bool CUpdaterDlg::OnFileChosen(const std::string& path) {
  // Only while File itself could be pressed: not without a configuration, not
  // during a transfer, not inside a build.
  if (m_building || path.empty() || !m_ws.IsEnabled(IDC_FILE)) return false;
  CBusyFlag busy(m_building);

  BeginStage(Stage::kFile);
  Log(kSeparator);
  TakeFirmwareFile(path, m_ws.CurrentDirectory());
  return true;
}

void CUpdaterDlg::TakeFirmwareFile(const std::string& chosen, const std::string& savedDirectory) {
  // The dialog may leave the current directory where the user browsed to; a
  // relative answer is taken against that directory.
  std::string path = chosen;
  if (const std::filesystem::path p(path); !p.empty() && p.is_relative()) {
    path = (std::filesystem::path(m_ws.CurrentDirectory()) / p).lexically_normal().string();
  }
  Log("The UPS firmware file name is");
  Log(path);
  SetControlText(IDC_FILENAME, path);
  // tmp.txt and tmp.bin belong to the directory the program works in, not to the
  // folder the firmware came from.
  m_ws.ChangeDirectory(savedDirectory);

  const bool built = BuildImage(path);
  EnableControl(IDC_UPDATE, built);
  Log(kSeparator);
  EndStage(m_fileOutcome);
}

bool CUpdaterDlg::BuildImage(const std::string& path) {
  // Also guards a build started without the File button (the console face).
  std::optional<CBusyFlag> busy;
  if (!m_building) busy.emplace(m_building);

  // Until this build has written tmp.bin again there is no image to send (and
  // the last one's memory is given back before the new one is built).
  std::vector<std::uint8_t>().swap(m_builder.m_binImage);
  m_builder.m_binRecordSize = 0;
  m_fileOutcome = Outcome{Stage::kFile, Result::kFailed, Reason::kNone, {}};
  m_fileOutcome.detail.device = path;
  // What is known of the firmware is only what this build learns of it.
  m_firmware = JournalFirmware{};
  m_firmware.path = path;
  m_signature = SignatureCheck{};
  m_ws.InvokeAndWait([this] { m_ws.SetToolTip(IDC_FILENAME, {}); });
  // Why the build stopped, as the stage that refused said it.
  auto refused = [this] {
    const CImageBuilder::ImageProblem& problem = m_builder.Problem();
    m_fileOutcome.reason = problem.reason;
    m_fileOutcome.detail.line = problem.line;
    m_fileOutcome.detail.text = problem.text;
    m_fileOutcome.detail.osError = problem.osError;
    if (problem.address >= 0) m_fileOutcome.detail.address = problem.address;
    return false;
  };

  if (TakeInterfaceChoice() && !SupportedRecordSize(ActiveProfile.recordSize)) {
    AppMessageBox("Can't support this file !", BoxIcon::kWarning, Reason::kRecordSizeUnsendable);
  }

  // File writes tmp.txt and tmp.bin here: a firmware file that is one of them
  // would be overwritten by its own image. It is refused as a file that cannot
  // be read, before anything is written.
  if (!IntermediateFileNamedBy(path).empty()) {
    AppMessageBox(kReadFileErrorBox, BoxIcon::kWarning, Reason::kWorkFile);
    Log("Build S19 block list error");
    m_fileOutcome.reason = Reason::kWorkFile;
    m_fileOutcome.detail.text = kReadFileErrorBox;
    return false;
  }
  if (!ActiveProfile.signKey.empty()) {
    // The signature is checked on the very bytes the image is then built from:
    // a file changed after the check cannot slip through.
    std::vector<std::uint8_t> bytes;
    if (!ReadSignedFirmware(path, bytes)) {
      Log("Build S19 block list error");
      return false;
    }
    if (!m_builder.ReadSRecordBytes(bytes)) {
      Log("Build S19 block list error");
      return refused();
    }
  } else if (!m_builder.ReadSRecordFile(path)) {
    Log("Build S19 block list error");
    return refused();
  }
  m_firmware.size = m_builder.FileSize();
  m_firmware.sha256 = m_builder.FileSha256();
  Log("Build S19 block list OK");
  if (!m_builder.BuildRowList()) {
    Log("Build Raw block list error");
    return refused();
  }
  Log("Build Raw block list OK");
  // The page layout says nothing when it succeeds.
  if (!m_builder.LayoutFlashPages()) {
    Log("Build flash page list error");
    return refused();
  }
  if (!m_builder.WriteRowsText()) {
    Log("Write to tmp.txt file error");
    return refused();
  }
  Log("Write to tmp.txt file OK");
  if (!m_builder.WriteRowsBinary("tmp.bin")) {
    Log("Write to tmp.bin file error");
    return refused();
  }
  Log("Write to tmp.bin file OK");
  m_fileOutcome.result = Result::kDone;
  // The vendor's words on the firmware (its version, its date), once they are
  // known to be the vendor's.
  if (m_signature.Ok() && !m_firmware.keyId.empty()) {
    m_ws.InvokeAndWait([this] { m_ws.SetToolTip(IDC_FILENAME, m_firmware.trustedComment); });
  }
  return true;
}

bool CUpdaterDlg::ReadSignedFirmware(const std::string& path, std::vector<std::uint8_t>& bytes) {
  const std::string signaturePath = path + ".minisig";
  m_signature = SignatureCheck{};
  auto refuse = [&](Reason reason) {
    AppMessageBox(kSignatureErrorBox, BoxIcon::kWarning, reason);
    m_fileOutcome.reason = reason;
    m_fileOutcome.detail.text = kSignatureErrorBox;
    return false;
  };
  const std::optional<MinisignKey> key = ParseMinisignKey(ActiveProfile.signKey);
  // The configuration check turns such a key away; a build never runs without it.
  if (!key) return refuse(Reason::kSignatureMalformed);
  // The signature first: without one the firmware is not even read.
  std::vector<std::uint8_t> signature;
  try {
    if (!ReadRegularFile(signaturePath, signature, kMaxSignatureBytes))
      return refuse(Reason::kSignatureMissing);
    if (!ReadRegularFile(path, bytes, kMaxSignedFirmwareBytes)) {
      AppMessageBox(kReadFileErrorBox, BoxIcon::kWarning, Reason::kReadError);
      m_fileOutcome.reason = Reason::kReadError;
      m_fileOutcome.detail.text = kReadFileErrorBox;
      return false;
    }
  } catch (const std::bad_alloc&) {
    AppMessageBox(kReadMemoryBox, BoxIcon::kWarning, Reason::kOutOfMemory);
    m_fileOutcome.reason = Reason::kOutOfMemory;
    m_fileOutcome.detail.text = kReadMemoryBox;
    return false;
  }
  m_signature = VerifyMinisign(
      *key, bytes, std::string(reinterpret_cast<const char*>(signature.data()), signature.size()));
  if (!m_signature.Ok()) return refuse(ReasonOf(m_signature.fault));
  m_firmware.keyId = m_signature.keyId;
  m_firmware.trustedComment = m_signature.trustedComment;
  return true;
}

int CUpdaterDlg::LoadImageFile(const std::string& path) {
  m_imageChanged = false;
  std::vector<std::uint8_t> image;
  try {
    if (!ReadRegularFile(path, image, kMaxImageBytes) || image.empty()) return -1;
  } catch (const std::bad_alloc&) {
    return -1;
  }
  const auto length = image.size();
  // Only the image that this dialog's last File wrote goes to the device: another
  // updater working in the same directory may have written its own tmp.bin since.
  if (image != m_builder.m_binImage) {
    AppMessageBox(kBinChangedBox, BoxIcon::kWarning, Reason::kImageChanged);
    m_imageChanged = true;
    return -1;
  }
  m_transfer.image = std::move(image);

  int result = static_cast<int>(length);
  const int kind = m_interfaceKind.load();
  if (kind != kNoLink) {
    if (SupportedRecordSize(ActiveProfile.recordSize)) {
      // The read position of the rows' size (rows of 64 were written as rows of 32).
      (m_builder.m_binRecordSize == 16 ? m_transfer.cursor16 : m_transfer.cursor32) = 0;
    } else {
      AppMessageBox("Can't support this file !", BoxIcon::kWarning, Reason::kRecordSizeUnsendable);
    }
  } else {
    result = -1;
  }
  return result;
}
