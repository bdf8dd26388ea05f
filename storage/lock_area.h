// The lock area of a table file and the access locks taken around every
// operation, the commit lock and the hold bytes.
//
// Every lock is a byte-range lock on the table file itself, at an offset
// counted from 0x80000000, a place no data byte ever reaches:
//
//   +0 .. +1022   reader slots, 1 byte each (a file object in read state)
//   +0, len 1023  commit lock: all reader slots at once
//   +1023         writer byte (a file object in write state)
//   +1025 + n     hold byte of record n / lock byte of table n
//
// Locks belong to the open file description (Linux OFD locks), so like
// handle locks they separate two opens even within one process.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "platform/file.h"

namespace kel {

// Open mode: access in bits 0-1, share in bits 4-6, create 0x100, truncate 0x200.
namespace open_mode {
constexpr int kAccessMask = 0x03;
constexpr int kReadOnly = 0x00;
constexpr int kWriteOnly = 0x01;
constexpr int kReadWrite = 0x02;
constexpr int kShareMask = 0x70;
constexpr int kCompat = 0x00;
constexpr int kDenyAll = 0x10;
constexpr int kDenyWrite = 0x20;
constexpr int kDenyRead = 0x30;
constexpr int kDenyNone = 0x40;
constexpr int kCreate = 0x100;
constexpr int kTruncate = 0x200;
}  // namespace open_mode

enum class SharingClass { kShared, kDenyWrite, kExclusive };
SharingClass SharingClassOf(int mode);

// Opens (or with kCreate creates) a table file honouring the access and
// share bits of `mode`: write-only access and sharing violations answer 5.
// The share announcement lives as long as the returned File.
int OpenTableFile(const std::string& path, int mode, std::unique_ptr<platform::File>* out);

class LockArea {
 public:
  // `file` may be null (in-memory store): every lock then succeeds.
  LockArea(platform::File* file, SharingClass sharing);
  ~LockArea();

  SharingClass sharing() const { return sharing_; }

  // Access lock of a shared file: the own reader slot in read state (moving
  // on to the next slot while one is taken), the writer byte in write state.
  // Waits without limit. No-op for deny-write and exclusive files.
  void LockAccess(bool read_state);
  void UnlockAccess();

  // Commit lock (all reader slots) for shared and deny-write files; waits.
  void LockCommit();
  void UnlockCommit();
  bool commit_locked() const { return commit_locked_; }

  // Writer byte alone (recovery of a deny-write file); waits.
  void LockWriterByte();
  void UnlockWriterByte();

  // Hold byte of record or table n: 0 or the OS error code (at most 3
  // attempts without waiting). A byte this file object already holds is
  // refused, as a second lock through one handle would be.
  int LockHold(uint32_t n, bool wait);
  void UnlockHold(uint32_t n);

  int reader_slot() const { return slot_; }

 private:
  platform::File* file_;
  SharingClass sharing_;
  int slot_;
  int access_lock_ = -1;    // offset from the area start of the held access byte, -1 none
  bool commit_locked_ = false;
  std::set<uint32_t> holds_;
};

}  // namespace kel
