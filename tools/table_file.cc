#include "tools/table_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "storage/errors.h"

namespace kel::tool {
namespace {

uint32_t Le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

}  // namespace

std::string CheckRegularFile(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return path + ": " + std::strerror(errno);
  if (S_ISDIR(st.st_mode)) return path + ": is a directory, not a table file";
  if (!S_ISREG(st.st_mode)) return path + ": not a regular file";
  return "";
}

int Guarded(const std::function<void()>& fn) {
  try {
    OperationFrame frame("");
    fn();
    return 0;
  } catch (const InternalError& e) {
    return e.code();
  }
}

std::string InternalErrorText(int code) {
  return "internal error " + std::to_string(code);
}

RawFile::RawFile() = default;
RawFile::~RawFile() {
  if (locks_) locks_->UnlockAccess();
}

std::string RawFile::Open(const std::string& path, const std::string& password) {
  std::string bad = CheckRegularFile(path);
  if (!bad.empty()) return bad;
  std::unique_ptr<platform::File> file;
  int rc = OpenTableFile(path, open_mode::kReadOnly | open_mode::kDenyNone, &file);
  if (rc != 0) return path + ": cannot open (error " + std::to_string(rc) + ")";
  if (file->Size(&size_) != 0) return path + ": cannot read its size";
  platform::File* raw = file.get();
  io_ = std::make_unique<BlockFile>(std::move(file));
  if (!password.empty()) io_->SetPassword(password);
  locks_ = std::make_unique<LockArea>(raw, SharingClass::kShared);
  rc = locks_->LockAccess(true);
  if (rc != 0) return path + ": cannot take a reader lock (error " + std::to_string(rc) + ")";

  header_bytes_.assign(kHeaderSize, 0);
  if (size_ == 0) {
    disk_ = header_ = Header::Empty();
    disk_.Encode(header_bytes_.data());
    return "";
  }
  uint32_t got = 0;
  rc = Guarded([&] { got = io_->ReadBlocks(0, header_bytes_.data(), kHeaderSize); });
  if (rc != 0) return path + ": cannot read the header (" + InternalErrorText(rc) + ")";
  if (got < kHeaderSize) {
    not_table_ = true;
    return path + ": not a table file (" + std::to_string(size_) + " bytes, shorter than a header)";
  }
  bool ok = Header::Decode(header_bytes_.data(), &disk_);
  if (!disk_.SignatureValid()) {
    not_table_ = true;
    return path + ": not a table file (no signature" + std::string(password.empty() ? "; if it is enciphered, give --password" : "; or the password is wrong") + ")";
  }
  header_ = disk_;
  (void)ok;  // a malformed region table is a finding of its own; the caller checks it
  if (disk_.log_start != disk_.log_end) WalkLog();
  return "";
}

void RawFile::WalkLog() {
  const uint64_t start = disk_.log_start, end = disk_.log_end;
  log_state_ = LogState::kBroken;
  if (end < start) {
    log_problem_ = "log end " + std::to_string(end) + " lies before log start " + std::to_string(start);
    return;
  }
  std::map<uint64_t, uint64_t> remap;
  uint64_t pos = start;
  std::vector<uint8_t> buf(kHeaderSize);
  while (pos < end) {
    uint32_t got = 0;
    int rc = Guarded([&] { got = io_->ReadBlocks(pos, buf.data(), kHeaderSize); });
    if (rc != 0 || got < kHeaderSize) {
      log_problem_ = "log block at " + std::to_string(pos) + " cannot be read in full";
      return;
    }
    uint64_t own = Le32(buf.data());
    uint64_t len = Ceil256(Le16(buf.data() + 4));
    if (len == 0 || len > kMaxImage) {
      log_problem_ = "log block at " + std::to_string(pos) + " has an impossible length";
      return;
    }
    if (own >= start) {
      log_problem_ = "log block at " + std::to_string(pos) + " belongs at " + std::to_string(own) + ", inside the log";
      return;
    }
    remap[own] = pos;
    pos += len;
  }
  if (pos != end) {
    log_problem_ = "log blocks end at " + std::to_string(pos) + ", not at log end " + std::to_string(end);
    return;
  }
  auto it = remap.find(0);
  if (it == remap.end()) {
    log_problem_ = "the log holds no header";
    return;
  }
  std::vector<uint8_t> logged(kHeaderSize);
  uint32_t got = 0;
  int rc = Guarded([&] { got = io_->ReadBlocks(it->second, logged.data(), kHeaderSize); });
  Header h;
  if (rc != 0 || got < kHeaderSize || (Header::Decode(logged.data(), &h), !h.SignatureValid())) {
    log_problem_ = "the logged header cannot be read";
    return;
  }
  remap_ = std::move(remap);
  header_ = h;
  header_bytes_ = logged;
  log_state_ = LogState::kComplete;
}

std::string RawFile::ReadPage(int32_t address, int page_class, std::vector<uint8_t>* image) {
  uint64_t home = PageOffset(address);
  uint64_t pos = home;
  auto it = remap_.find(home);
  if (it != remap_.end()) pos = it->second;
  image->assign(size_t(page_class) * kUnit, 0);
  uint32_t got = 0;
  int rc = Guarded([&] { got = io_->ReadBlocks(pos, image->data(), uint32_t(image->size())); });
  if (rc != 0) return "cannot be read (" + InternalErrorText(rc) + ")";
  if (got < image->size()) return "lies past the end of the file";
  return "";
}

StoreFile::~StoreFile() {
  if (store_) Guarded([&] { store_->EndAccess(); });
}

std::string StoreFile::Open(const std::string& path, bool writable, const std::string& password) {
  std::string bad = CheckRegularFile(path);
  if (!bad.empty()) return bad;
  const int mode = (writable ? open_mode::kReadWrite : open_mode::kReadOnly) | open_mode::kDenyNone;
  std::unique_ptr<platform::File> file;
  int rc = OpenTableFile(path, mode, &file);
  if (rc != 0) return path + ": cannot open (error " + std::to_string(rc) + ")";
  store_ = std::make_unique<Store>(std::move(file), SharingClassOf(mode));
  if (!password.empty()) store_->io().SetPassword(password);
  int code = 0;
  rc = Guarded([&] { code = store_->BeginAccess(); });
  if (rc != 0) return path + ": damaged (" + InternalErrorText(rc) + "); run 'kelstore check'";
  if (code == 1)
    return path + ": not a table file (no signature" +
           std::string(password.empty() ? "; if it is enciphered, give --password" : "; or the password is wrong") + ")";
  if (code != 0) return path + ": cannot be read (error " + std::to_string(code) + ")";
  return "";
}

}  // namespace kel::tool
