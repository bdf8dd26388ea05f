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
  Require(pos <= uint64_t(std::numeric_limits<int64_t>::max()) - len, kSeek);
  int64_t got = file_->ReadAt(pos, buf, len);
  Require(got >= 0, kReadFailed);
  if (uint64_t(got) == len && cipher_) cipher_->Decipher(buf, len);
  return uint32_t(got);
}

void BlockFile::ReadExact(uint64_t pos, uint8_t* buf, uint32_t len) {
  Require(ReadBlocks(pos, buf, len) == len, container_error::kShortRead);
}

void BlockFile::WriteBlocks(uint64_t pos, uint8_t* buf, uint32_t len) {
  Require(len % 64 == 0, container_error::kWriteLength);
  if (!file_ || latched_ != 0) return;
  if (pos > kLockAreaStart || kLockAreaStart - pos < len) {
    latched_ = kErrFileTooLarge;
    return;
  }
  if (cipher_) cipher_->Encipher(buf, len);
  size_t written = 0;
  int rc = file_->WriteAt(pos, buf, len, &written);
  if (cipher_) cipher_->Decipher(buf, len);
  if (rc != 0) {
    latched_ = rc;
  } else if (written != len) {
    latched_ = kAccessDenied;
  }
}

int BlockFile::Flush() { return file_ ? file_->Flush() : 0; }

int BlockFile::Truncate(uint64_t length) { return file_ ? file_->Truncate(length) : 0; }

std::vector<uint8_t> BlockFile::ReadPageImageAt(uint64_t pos, int page_class) {
  using namespace container_error;
  Require(page_class >= 1 && page_class <= kMaxClass, kImageLength);
  std::vector<uint8_t> image(size_t(page_class) * kUnit);
  ReadExact(pos, image.data(), uint32_t(image.size()));
  Require(Ceil256(GetLe16(image.data() + 4)) == image.size(), kImageLength);
  return image;
}

}  // namespace kel
