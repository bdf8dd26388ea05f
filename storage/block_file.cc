// Block I/O of one physical file: positioned transfers in multiples of 64
// bytes, the owner-password cipher, and the latched write error.
//
// Writes never stop the writing code: the first failure of a commit is
// latched and every later write is skipped until the commit clears it, so
// the commit reports one error and nothing after the failure lands. No write
// ever reaches the lock area at 0x80000000; one that would is refused the
// same way, with kErrFileTooLarge latched.
#include "storage/container.h"
#include "storage/errors.h"

#include <cstring>
#include <limits>

#include "storage/bytes.h"

namespace kel {

BlockFile::BlockFile(std::unique_ptr<platform::File> file) : file_(std::move(file)) {}
BlockFile::~BlockFile() = default;

void BlockFile::SetPassword(std::string_view password) {
  if (password.empty() || password.front() == '\0') {
    cipher_.reset();
  } else {
    cipher_ = std::make_unique<Cipher>(password);
  }
}

uint32_t BlockFile::ReadBlocks(uint64_t pos, uint8_t* buf, uint32_t len) {
  using namespace container_error;
  Require(len % 64 == 0, kReadLength);
  if (!file_) return 0;
  if (!pending_.empty()) WritePending();
  Require(pos <= uint64_t(std::numeric_limits<int64_t>::max()) - len, kSeek);
  int64_t got = file_->ReadAt(pos, buf, len);
  Require(got >= 0, kReadFailed);
  if (uint64_t(got) == len && cipher_) cipher_->Decipher(buf, len);
  return uint32_t(got);
}

void BlockFile::ReadExact(uint64_t pos, uint8_t* buf, uint32_t len) {
  Require(ReadBlocks(pos, buf, len) == len, container_error::kShortRead);
}

void BlockFile::ReadAhead(uint64_t pos, uint8_t* buf, uint32_t len, uint32_t ahead) {
  using namespace container_error;
  Require(len % 64 == 0, kReadLength);
  if (!file_ || ahead <= len) {
    ReadExact(pos, buf, len);
    return;
  }
  if (!pending_.empty()) WritePending();
  if (!(window_len_ > 0 && pos >= window_pos_ && pos - window_pos_ <= window_len_ &&
        window_len_ - (pos - window_pos_) >= len)) {
    // Only a read that starts where the previous one ended fills the
    // window: reads that jump about are made as they come.
    const bool sequential = pos == next_pos_;
    next_pos_ = pos + len;
    if (!sequential) {
      ReadExact(pos, buf, len);
      return;
    }
    Require(pos <= uint64_t(std::numeric_limits<int64_t>::max()) - ahead, kSeek);
    window_.resize(ahead);
    int64_t got = file_->ReadAt(pos, window_.data(), ahead);
    Require(got >= 0, kReadFailed);
    // Whole blocks only: the cipher works on 64-byte blocks.
    window_pos_ = pos;
    window_len_ = size_t(got) / 64 * 64;
    if (cipher_) cipher_->Decipher(window_.data(), window_len_);
    Require(window_len_ >= len, kShortRead);
  }
  std::memcpy(buf, window_.data() + (pos - window_pos_), len);
  next_pos_ = pos + len;
}

void BlockFile::WriteBlocks(uint64_t pos, uint8_t* buf, uint32_t len) {
  Require(len % 64 == 0, container_error::kWriteLength);
  if (!file_) return;
  window_len_ = 0;
  if (!pending_.empty()) WritePending();
  if (latched_ != 0) return;
  if (cipher_) cipher_->Encipher(buf, len);
  WriteOut(pos, buf, len);
  if (cipher_) cipher_->Decipher(buf, len);
}

// One write of enciphered bytes, refused short of the lock area.
void BlockFile::WriteOut(uint64_t pos, uint8_t* buf, uint32_t len) {
  if (pos > kLockAreaStart || kLockAreaStart - pos < len) {
    latched_ = kErrFileTooLarge;
    return;
  }
  size_t written = 0;
  int rc = file_->WriteAt(pos, buf, len, &written);
  if (rc != 0) {
    latched_ = rc;
  } else if (written != len) {
    latched_ = kAccessDenied;
  }
}

void BlockFile::WriteGathered(uint64_t pos, const uint8_t* buf, uint32_t len) {
  Require(len % 64 == 0, container_error::kWriteLength);
  window_len_ = 0;
  if (!file_ || latched_ != 0) return;
  if (!pending_.empty() && (pos != pending_pos_ + pending_.size() || pending_.size() + len > kGatherLimit))
    WritePending();
  if (latched_ != 0) return;
  if (pending_.empty()) pending_pos_ = pos;
  const size_t at = pending_.size();
  pending_.insert(pending_.end(), buf, buf + len);
  if (cipher_) cipher_->Encipher(pending_.data() + at, len);
}

void BlockFile::WritePending() {
  if (pending_.empty()) return;
  if (latched_ == 0) {
    Require(pending_.size() <= 0xFFFFFFFFu, container_error::kWriteLength);
    WriteOut(pending_pos_, pending_.data(), uint32_t(pending_.size()));
  }
  pending_.clear();
}

int BlockFile::Flush() {
  if (!file_) return 0;
  WritePending();
  return file_->Flush();
}

int BlockFile::Truncate(uint64_t length) {
  window_len_ = 0;
  if (!file_) return 0;
  WritePending();
  return file_->Truncate(length);
}

std::vector<uint8_t> BlockFile::ReadPageImageAt(uint64_t pos, int page_class) {
  using namespace container_error;
  Require(page_class >= 1 && page_class <= kMaxClass, kImageLength);
  std::vector<uint8_t> image(size_t(page_class) * kUnit);
  ReadExact(pos, image.data(), uint32_t(image.size()));
  Require(Ceil256(GetLe16(image.data() + 4)) == image.size(), kImageLength);
  return image;
}

}  // namespace kel
