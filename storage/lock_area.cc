#include "storage/lock_area.h"

#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "platform/clock.h"
#include "platform/ofd_lock.h"
#include "storage/errors.h"

namespace kel {
namespace {

using platform::LockType;
using platform::kLockViolation;
using namespace lock_layout;

// Pauses between attempts at a lock held elsewhere. Waiting has no limit,
// so it must not burn a core: the first rounds only yield the processor,
// later rounds sleep, doubling up to a few milliseconds.
class Backoff {
 public:
  void Pause() {
    if (round_ < kYieldRounds) {
      sched_yield();
    } else {
      usleep(sleep_us_);
      sleep_us_ = std::min(sleep_us_ * 2, kMaxSleepUs);
    }
    ++round_;
  }

 private:
  static constexpr int kYieldRounds = 4;
  static constexpr useconds_t kMaxSleepUs = 4000;
  int round_ = 0;
  useconds_t sleep_us_ = 50;
};

constexpr int kAttemptsWithoutWaiting = 3;

// How long an open may wait for the share guard before it gives up with 5;
// the guard is held only for the few lock calls of another open.
constexpr uint64_t kShareGuardLimitMs = 10000;

struct ShareIntent {
  bool writes;
  bool deny_read;
  bool deny_write;
};

// What others may do: everything (shared class), read only (deny-write
// class) or nothing (exclusive class). Deriving it from the class keeps the
// denials and the locks a file object takes in agreement for every value
// of the share bits.
ShareIntent IntentOf(int mode) {
  ShareIntent intent{};
  intent.writes = (mode & open_mode::kAccessMask) != open_mode::kReadOnly;
  switch (SharingClassOf(mode)) {
    case SharingClass::kShared:
      break;
    case SharingClass::kDenyWrite:
      intent.deny_write = true;
      break;
    case SharingClass::kExclusive:
      intent.deny_read = true;
      intent.deny_write = true;
      break;
  }
  return intent;
}

void Withdraw(int fd) { platform::UnlockRange(fd, kShareReads, kShareDeniesWrite - kShareReads + 1); }

int Announce(int fd, const ShareIntent& intent) {
  const uint64_t bytes[] = {kShareReads, kShareWrites, kShareDeniesRead, kShareDeniesWrite};
  const bool wanted[] = {true, intent.writes, intent.deny_read, intent.deny_write};
  for (int i = 0; i < 4; ++i) {
    if (!wanted[i]) continue;
    int rc = platform::TryLockRange(fd, bytes[i], 1, LockType::kShared);
    if (rc != 0) return rc;
  }
  return 0;
}

// Whether another description's announcement clashes with ours.
int CheckOthers(int fd, const ShareIntent& intent, bool* clash) {
  struct Probe {
    bool applies;
    uint64_t byte;
  };
  const Probe probes[] = {
      {true, kShareDeniesRead},               // we read: nobody may deny reading
      {intent.writes, kShareDeniesWrite},     // we write: nobody may deny writing
      {intent.deny_read, kShareReads},        // we deny reading: nobody may read
      {intent.deny_write, kShareWrites},      // we deny writing: nobody may write
  };
  *clash = false;
  for (const Probe& p : probes) {
    if (!p.applies) continue;
    bool conflict = false;
    int rc = platform::TestLockRange(fd, p.byte, 1, LockType::kExclusive, &conflict);
    if (rc != 0) return rc;
    if (conflict) {
      *clash = true;
      return 0;
    }
  }
  return 0;
}

// 0.1 to 2 ms. The process id is mixed in at every call: a forked child
// inherits its parent's generator state.
void RandomPause() {
  thread_local std::minstd_rand rng{unsigned(platform::TickCountMs())};
  const unsigned r = unsigned(rng()) ^ (unsigned(getpid()) * 2654435761u);
  usleep(useconds_t(100 + r % 1900));
}

// Announces the open's access and denials and checks them against every
// other open of the file: 0, 5 on a sharing violation, or a lock error.
int ClaimShare(const platform::File& file, const ShareIntent& intent) {
  const int fd = file.fd();
  const LockType guard_type = file.writable() ? LockType::kExclusive : LockType::kShared;
  const uint64_t deadline = platform::TickCountMs() + kShareGuardLimitMs;
  Backoff backoff;
  for (;;) {
    int rc = platform::TryLockRange(fd, kShareGuard, 1, guard_type);
    if (rc == kLockViolation) {
      if (platform::TickCountMs() > deadline) return kAccessDenied;
      backoff.Pause();
      continue;
    }
    if (rc != 0) return rc;

    bool clash = false;
    rc = Announce(fd, intent);
    if (rc == 0) rc = CheckOthers(fd, intent, &clash);
    if (rc == 0 && !clash) {
      platform::UnlockRange(fd, kShareGuard, 1);
      return 0;
    }
    Withdraw(fd);
    // Read-only openers share the guard; two of them that refused each
    // other while both were inside may both be wrong. Retry while another
    // open is under way; a clash with a settled open stays a clash.
    bool racing = false;
    if (rc == 0 && guard_type == LockType::kShared) {
      platform::TestLockRange(fd, kShareGuard, 1, LockType::kExclusive, &racing);
    }
    platform::UnlockRange(fd, kShareGuard, 1);
    if (rc != 0) return rc;
    if (!racing || platform::TickCountMs() > deadline) return kAccessDenied;
    RandomPause();
  }
}

}  // namespace

SharingClass SharingClassOf(int mode) {
  switch (mode & 0x30) {
    case 0x00: return SharingClass::kShared;
    case 0x20: return SharingClass::kDenyWrite;
    default: return SharingClass::kExclusive;
  }
}

int OpenTableFile(const std::string& path, int mode, std::unique_ptr<platform::File>* out) {
  out->reset();
  const int access = mode & open_mode::kAccessMask;
  if (access == open_mode::kWriteOnly) return kAccessDenied;
  const ShareIntent intent = IntentOf(mode);
  if ((mode & open_mode::kTruncate) != 0 && !intent.writes) return kAccessDenied;

  platform::File::OpenOptions options;
  options.access = intent.writes ? platform::File::Access::kReadWrite : platform::File::Access::kRead;
  options.create = (mode & open_mode::kCreate) != 0;
  options.truncate = false;  // only after the share check, below
  std::unique_ptr<platform::File> file;
  int rc = platform::File::Open(path, options, &file);
  if (rc != 0) return rc;

  rc = ClaimShare(*file, intent);
  if (rc != 0) return rc;  // closing the file drops whatever it announced

  if ((mode & open_mode::kTruncate) != 0) {
    rc = file->Truncate(0);
    if (rc != 0) return rc;
  }
  *out = std::move(file);
  return 0;
}

// ---- LockArea ------------------------------------------------------------

LockArea::LockArea(platform::File* file, SharingClass sharing)
    : file_(file),
      sharing_(sharing),
      slot_(int((platform::MsSinceProgramStart() / 10) % kReaderSlots)) {}

LockArea::~LockArea() = default;

int LockArea::TryShared(uint64_t offset, uint64_t length) {
  return platform::TryLockRange(file_->fd(), offset, length, LockType::kShared);
}

int LockArea::TryExclusive(uint64_t offset, uint64_t length) {
  const int fd = file_->fd();
  if (file_->writable()) return platform::TryLockRange(fd, offset, length, LockType::kExclusive);
  int rc = platform::TryLockRange(fd, offset, length, LockType::kShared);
  if (rc != 0) return rc;
  bool conflict = false;
  rc = platform::TestLockRange(fd, offset, length, LockType::kExclusive, &conflict);
  if (rc == 0 && !conflict) return 0;
  if (offset == kAreaStart && length == kReaderSlots) {
    UnlockReaderRange();
  } else {
    platform::UnlockRange(fd, offset, length);
  }
  return rc != 0 ? rc : kLockViolation;
}

int LockArea::LockAccess(bool read_state) {
  if (sharing_ != SharingClass::kShared || access_lock_ != kNone) return 0;
  if (file_ == nullptr) {
    access_lock_ = read_state ? slot_ : kWriter;
    return 0;
  }
  if (!read_state) {
    int rc = AcquireWriter(kWriterForAccess);
    if (rc == 0) access_lock_ = kWriter;
    return rc;
  }
  if (commit_locked_) {
    // The commit lock already covers every slot; locking one of them now
    // would weaken our own exclusive lock on it. UnlockCommit keeps it.
    access_lock_ = slot_;
    return 0;
  }
  Backoff backoff;
  for (;;) {
    int rc = TryShared(SlotOffset(slot_), 1);
    if (rc == 0) {
      access_lock_ = slot_;
      return 0;
    }
    if (rc != kLockViolation) return rc;
    slot_ = (slot_ + 1) % int(kReaderSlots);
    backoff.Pause();
  }
}

void LockArea::UnlockAccess() {
  if (access_lock_ == kNone) return;
  const int held = access_lock_;
  access_lock_ = kNone;
  if (held == kWriter) {
    ReleaseWriter(kWriterForAccess);
    return;
  }
  if (file_ == nullptr) return;
  // Inside the commit lock the slot is covered by the range; it goes with
  // UnlockCommit.
  if (!commit_locked_) platform::UnlockRange(file_->fd(), SlotOffset(held), 1);
}

int LockArea::LockCommit() {
  if (sharing_ == SharingClass::kExclusive || commit_locked_) return 0;
  if (file_ == nullptr) {
    commit_locked_ = true;
    return 0;
  }
  Backoff backoff;
  for (;;) {
    int rc = TryExclusive(kAreaStart, kReaderSlots);
    if (rc == 0) {
      commit_locked_ = true;
      return 0;
    }
    if (rc != kLockViolation) return rc;
    backoff.Pause();
  }
}

void LockArea::UnlockCommit() {
  if (!commit_locked_) return;
  commit_locked_ = false;
  if (file_ != nullptr) UnlockReaderRange();
}

void LockArea::UnlockReaderRange() {
  const int fd = file_->fd();
  if (access_lock_ == kNone || access_lock_ == kWriter) {
    platform::UnlockRange(fd, kAreaStart, kReaderSlots);
    return;
  }
  // The own slot stays locked, as a shared lock again. Turning our own
  // lock on it into a shared one cannot conflict with anybody.
  const uint64_t slot = uint64_t(access_lock_);
  if (slot > 0) platform::UnlockRange(fd, kAreaStart, slot);
  if (slot + 1 < kReaderSlots) platform::UnlockRange(fd, SlotOffset(int(slot) + 1), kReaderSlots - slot - 1);
  platform::TryLockRange(fd, SlotOffset(int(slot)), 1, LockType::kShared);
}

int LockArea::AcquireWriter(WriterUse use) {
  if (writer_uses_ != 0 || file_ == nullptr) {
    writer_uses_ |= use;
    return 0;
  }
  Backoff backoff;
  for (;;) {
    int rc = TryExclusive(kWriterByte, 1);
    if (rc == 0) {
      writer_uses_ |= use;
      return 0;
    }
    if (rc != kLockViolation) return rc;
    backoff.Pause();
  }
}

void LockArea::ReleaseWriter(WriterUse use) {
  if ((writer_uses_ & use) == 0) return;
  writer_uses_ &= ~use;
  if (writer_uses_ == 0 && file_ != nullptr) platform::UnlockRange(file_->fd(), kWriterByte, 1);
}

int LockArea::LockWriterByte() {
  if ((writer_uses_ & kWriterForRecovery) != 0) return 0;
  return AcquireWriter(kWriterForRecovery);
}

void LockArea::UnlockWriterByte() { ReleaseWriter(kWriterForRecovery); }

int LockArea::LockHold(uint32_t n, bool wait) {
  if (file_ == nullptr) return 0;
  if (holds_.count(n) != 0) return kLockViolation;
  Backoff backoff;
  for (int attempt = 1;; ++attempt) {
    int rc = TryExclusive(HoldOffset(n), 1);
    if (rc == 0) {
      holds_.insert(n);
      return 0;
    }
    if (rc != kLockViolation) return rc;
    if (!wait && attempt >= kAttemptsWithoutWaiting) return rc;
    if (wait) backoff.Pause();
  }
}

void LockArea::UnlockHold(uint32_t n) {
  if (holds_.erase(n) == 0 || file_ == nullptr) return;
  platform::UnlockRange(file_->fd(), HoldOffset(n), 1);
}

void LockArea::UnlockAfterDamage() {
  access_lock_ = kNone;
  writer_uses_ = 0;
  commit_locked_ = false;
  if (file_ == nullptr) return;
  platform::UnlockRange(file_->fd(), kWriterByte, 1);
  platform::UnlockRange(file_->fd(), kAreaStart, kReaderSlots);
}

}  // namespace kel
