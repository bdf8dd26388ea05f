#include "platform/ofd_lock.h"

#include <fcntl.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>

#include "platform/file.h"

namespace kel::platform {
namespace {

static_assert(sizeof(off_t) == 8, "byte-range locks need 64-bit file offsets");

constexpr uint64_t kMaxOffset = uint64_t(INT64_MAX);

bool RangeFits(uint64_t offset, uint64_t length) {
  return length > 0 && offset <= kMaxOffset && length <= kMaxOffset - offset;
}

struct flock Describe(short type, uint64_t offset, uint64_t length) {
  struct flock fl{};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = off_t(offset);
  fl.l_len = off_t(length);
  fl.l_pid = 0;  // must be 0 for OFD locks
  return fl;
}

int Fcntl(int fd, int cmd, struct flock* fl) {
  int r;
  CountLockCall();
  do {
    r = fcntl(fd, cmd, fl);
  } while (r < 0 && errno == EINTR);
  return r < 0 ? errno : 0;
}

}  // namespace

int TryLockRange(int fd, uint64_t offset, uint64_t length, LockType type) {
  if (!RangeFits(offset, length)) return MapErrno(EINVAL);
  struct flock fl = Describe(type == LockType::kExclusive ? F_WRLCK : F_RDLCK, offset, length);
  int err = Fcntl(fd, F_OFD_SETLK, &fl);
  if (err == 0) return 0;
  // A conflict is reported as EAGAIN or EACCES, depending on the system.
  if (err == EAGAIN || err == EACCES) return kLockViolation;
  return MapErrno(err);
}

void UnlockRange(int fd, uint64_t offset, uint64_t length) {
  if (!RangeFits(offset, length)) return;
  struct flock fl = Describe(F_UNLCK, offset, length);
  Fcntl(fd, F_OFD_SETLK, &fl);
}

int TestLockRange(int fd, uint64_t offset, uint64_t length, LockType type, bool* conflict) {
  *conflict = false;
  if (!RangeFits(offset, length)) return MapErrno(EINVAL);
  struct flock fl = Describe(type == LockType::kExclusive ? F_WRLCK : F_RDLCK, offset, length);
  int err = Fcntl(fd, F_OFD_GETLK, &fl);
  if (err != 0) return MapErrno(err);
  *conflict = fl.l_type != F_UNLCK;
  return 0;
}

}  // namespace kel::platform
