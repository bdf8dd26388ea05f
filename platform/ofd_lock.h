// Byte-range locks that belong to an open file description (Linux OFD
// locks, fcntl F_OFD_SETLK / F_OFD_GETLK).
//
// Such a lock is owned by the open file description, not by the process:
// two opens of one file in the same process are as separate as two
// processes, a lock goes away when the last descriptor of its description
// is closed, and a forked child shares its parent's descriptions (and so
// its locks). Locks of one description never conflict with each other: a
// second lock on a range the description already holds just replaces the
// first (callers that need handle-like "already locked" answers keep track
// themselves).
//
// Offsets and lengths are 64-bit; nothing here waits. An exclusive lock
// needs a descriptor opened for writing.
#pragma once

#include <cstdint>

namespace kel::platform {

// Answer of a lock attempt refused because another open file description
// holds a conflicting lock on the range (the lock-violation code).
constexpr int kLockViolation = 33;

enum class LockType {
  kShared,     // F_RDLCK: excludes exclusive locks of others
  kExclusive,  // F_WRLCK: excludes every lock of others
};

// One attempt to lock [offset, offset + length): 0, kLockViolation when
// another description holds a conflicting lock, or the error code of the
// failed call (an exclusive lock through a descriptor not open for writing
// answers the code of EBADF).
int TryLockRange(int fd, uint64_t offset, uint64_t length, LockType type);

// Unlocks [offset, offset + length) for this description; errors ignored.
// Parts of the range that were not locked are left as they are.
void UnlockRange(int fd, uint64_t offset, uint64_t length);

// Tells whether another description holds a lock on [offset, offset +
// length) that would conflict with a lock of `type` (the description's own
// locks never count). Answers 0 and sets *conflict, or an error code.
int TestLockRange(int fd, uint64_t offset, uint64_t length, LockType type, bool* conflict);

}  // namespace kel::platform
