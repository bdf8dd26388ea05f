// The lock area of a table file and the access locks taken around every
// operation, the commit lock and the hold bytes; opening a table file with
// access and share bits.
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
//
// Lock kinds. A reader slot is a shared lock: readers never block each
// other, and every slot still conflicts with the commit lock, which is
// exclusive over the whole slot range. The writer byte, the commit lock and
// the hold bytes are exclusive. An exclusive lock needs a descriptor open
// for writing; through a read-only descriptor an exclusive lock is taken as
// a shared lock followed by a check that no other description holds any
// lock on the range (on a conflict the shared lock is dropped again and the
// attempt fails), which keeps it exclusive against everybody. One
// description never conflicts with itself, so the LockArea remembers the
// hold bytes it holds and refuses a second lock of one, as a handle would.
//
// Share modes. The operating system has no share modes at open, so every
// opener announces its access and its denials with shared locks of its own
// on four bytes above 2^34, and checks the announcements of the others:
//
//   2^34 + 0   guard: held (exclusive by a writable descriptor, shared by a
//              read-only one) only while an open checks and announces
//   2^34 + 1   "reads"            (every opener)
//   2^34 + 2   "writes"           (access read and write)
//   2^34 + 3   "denies reading"   (share 0x10, 0x30)
//   2^34 + 4   "denies writing"   (share 0x10, 0x20, 0x30)
//
// An open announces first and checks afterwards, so of two openers that
// overlap at least one sees the other; the guard serialises every writable
// opener with everybody, and read-only openers that refuse each other while
// both are inside the guard withdraw and retry after a short random pause.
// The announcements live as long as the descriptor and vanish with it (also
// when a process dies). These bytes can never collide with anything else:
// data ends below 0x80000000 (the container refuses to grow past it), and
// the highest lock-area byte is 0x80000000 + 1025 + 0xFFFFFFFF =
// 0x180000400, below 2^33; 2^34 lies far above both.
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

// Offsets of the lock area (absolute file offsets).
namespace lock_layout {
constexpr uint64_t kAreaStart = 0x80000000u;
constexpr uint64_t kReaderSlots = 1023;                   // slots 0 .. 1022
constexpr uint64_t kWriterByte = kAreaStart + 1023;
constexpr uint64_t kHoldBase = kAreaStart + 1025;         // + n
constexpr uint64_t kShareBase = uint64_t(1) << 34;        // share announcements
constexpr uint64_t kShareGuard = kShareBase + 0;
constexpr uint64_t kShareReads = kShareBase + 1;
constexpr uint64_t kShareWrites = kShareBase + 2;
constexpr uint64_t kShareDeniesRead = kShareBase + 3;
constexpr uint64_t kShareDeniesWrite = kShareBase + 4;
constexpr uint64_t SlotOffset(int slot) { return kAreaStart + uint64_t(slot); }
constexpr uint64_t HoldOffset(uint32_t n) { return kHoldBase + n; }
static_assert(HoldOffset(0xFFFFFFFFu) < kShareBase, "hold bytes stay below the share bytes");
}  // namespace lock_layout

enum class SharingClass { kShared, kDenyWrite, kExclusive };
// Shared when (share & 0x30) == 0 (compatibility, deny none), deny-write for
// 0x20, exclusive otherwise.
SharingClass SharingClassOf(int mode);

// Opens (or with kCreate creates) a table file honouring the access and
// share bits of `mode`: write-only access and sharing violations answer 5.
// Access other than read only opens the file for reading and writing. What
// others may do follows the sharing class, so the class and the denials
// never disagree: nothing for 0x10 and 0x30 (and 0x50, 0x70), read only for
// 0x20 (and 0x60), everything otherwise. kTruncate cuts the file to length
// 0, only once the open has passed the share check (read-only access
// cannot truncate: 5). The share announcement lives as long as the
// returned File.
int OpenTableFile(const std::string& path, int mode, std::unique_ptr<platform::File>* out);

// The locks of one file object. Not thread-safe: the file object's user
// serialises calls. Dropping a LockArea unlocks nothing; closing the file
// releases every lock taken through it.
class LockArea {
 public:
  // `file` may be null (in-memory store): every lock then succeeds.
  LockArea(platform::File* file, SharingClass sharing);
  ~LockArea();
  LockArea(const LockArea&) = delete;
  LockArea& operator=(const LockArea&) = delete;

  SharingClass sharing() const { return sharing_; }

  // Access lock of a shared file: the own reader slot in read state (moving
  // on to the next slot while one is taken), the writer byte in write state.
  // Waits without limit for other processes; no-op when the access lock is
  // already held, and for deny-write and exclusive files. Answers 0, or the
  // error of a lock call that failed for another reason than a lock held
  // elsewhere (a file system without byte locks), which waiting would not
  // cure.
  int LockAccess(bool read_state);
  void UnlockAccess();
  bool access_locked() const { return access_lock_ != kNone; }

  // Commit lock (all reader slots) for shared and deny-write files; waits
  // like LockAccess. No-op when held already and for exclusive files.
  int LockCommit();
  void UnlockCommit();
  bool commit_locked() const { return commit_locked_; }

  // Writer byte alone (recovery of a deny-write file); waits. The byte is
  // shared with a write-state access lock of the same object: it is
  // unlocked only when neither needs it.
  int LockWriterByte();
  void UnlockWriterByte();

  // Hold byte of record or table n: 0, or the OS error code (the
  // lock-violation code 33 when held elsewhere). Without waiting at most 3
  // attempts; with waiting until it succeeds. A byte this file object
  // already holds is refused at once, as a second lock through one handle
  // would be.
  int LockHold(uint32_t n, bool wait);
  void UnlockHold(uint32_t n);
  bool holds(uint32_t n) const { return holds_.count(n) != 0; }

  // After an internal error: unlocks the writer byte, the reader slot and
  // the whole reader range at once (hold bytes stay; unlock the table's
  // own lock byte with UnlockHold).
  void UnlockAfterDamage();

  int reader_slot() const { return slot_; }

 private:
  static constexpr int kNone = -1;
  static constexpr int kWriter = 1023;  // access_lock_ value for the writer byte
  enum WriterUse { kWriterForAccess = 1, kWriterForRecovery = 2 };

  // One attempt at a lock of [offset, offset + length).
  int TryShared(uint64_t offset, uint64_t length);
  int TryExclusive(uint64_t offset, uint64_t length);
  int AcquireWriter(WriterUse use);
  void ReleaseWriter(WriterUse use);
  // Unlocks the reader range but keeps the own reader slot if the access
  // holds one.
  void UnlockReaderRange();

  platform::File* file_;
  SharingClass sharing_;
  int slot_;
  int access_lock_ = kNone;  // reader slot held by the access, kWriter, or kNone
  int writer_uses_ = 0;      // WriterUse bits
  bool commit_locked_ = false;
  std::set<uint32_t> holds_;
};

}  // namespace kel
