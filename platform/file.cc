// Positioned file I/O over POSIX with the fault-injection seam.
//
// Every transfer uses pread/pwrite with 64-bit offsets, so handles carry no
// file position and two users of one File never disturb each other. Reads and
// writes are retried on EINTR and continued after partial transfers; a write
// that stops short (for example on a full disk) is reported as short.
//
// Fault injection is process-wide: the counters number every WriteAt and
// Flush of any File since the last ArmFaults(). Once "crashed", every later
// write, flush and truncate is dropped while reporting success, so that what
// is on disk is what a power loss at that moment would have left.
#include "platform/file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>

namespace kel::platform {
namespace {

std::mutex g_fault_mu;
FaultPlan g_plan;
bool g_armed = false;
FaultCounters g_counters;

// Relaxed: the counts are statistics, read after the work they count.
std::atomic<uint64_t> g_reads{0}, g_writes{0}, g_flushes{0}, g_locks{0};
void Count(std::atomic<uint64_t>& c) { c.fetch_add(1, std::memory_order_relaxed); }

// What the fault seam decides for one write.
enum class WriteFate { kNormal, kFail, kShort, kTorn, kDrop };

WriteFate NextWriteFate(bool* crash_after, int* error) {
  std::lock_guard<std::mutex> lock(g_fault_mu);
  *crash_after = false;
  if (g_counters.crashed) {
    ++g_counters.writes;
    return WriteFate::kDrop;
  }
  int64_t k = g_counters.writes++;
  if (!g_armed) return WriteFate::kNormal;
  *error = g_plan.error;
  if (k == g_plan.fail_write) return WriteFate::kFail;
  if (k == g_plan.short_write) return WriteFate::kShort;
  if (k == g_plan.torn_write) {
    g_counters.crashed = true;
    return WriteFate::kTorn;
  }
  if (k == g_plan.crash_after_write) *crash_after = true;
  return WriteFate::kNormal;
}

enum class FlushFate { kNormal, kFail, kDrop };

FlushFate NextFlushFate(bool* crash_after, int* error) {
  std::lock_guard<std::mutex> lock(g_fault_mu);
  *crash_after = false;
  if (g_counters.crashed) {
    ++g_counters.flushes;
    return FlushFate::kDrop;
  }
  int64_t k = g_counters.flushes++;
  if (!g_armed) return FlushFate::kNormal;
  *error = g_plan.error;
  if (k == g_plan.fail_flush) return FlushFate::kFail;
  if (k == g_plan.crash_after_flush) *crash_after = true;
  return FlushFate::kNormal;
}

void MarkCrashed() {
  std::lock_guard<std::mutex> lock(g_fault_mu);
  g_counters.crashed = true;
}

bool Crashed() {
  std::lock_guard<std::mutex> lock(g_fault_mu);
  return g_counters.crashed;
}

// Writes all of buf at pos; answers 0, or an errno with *done bytes stored.
int PwriteAll(int fd, uint64_t pos, const uint8_t* buf, size_t len, size_t* done) {
  *done = 0;
  while (*done < len) {
    Count(g_writes);
    ssize_t n = ::pwrite(fd, buf + *done, len - *done, off_t(pos + *done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;  // no progress: a short write
    *done += size_t(n);
  }
  return 0;
}

std::string ParentDirectory(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

int MapErrno(int posix_errno) {
  switch (posix_errno) {
    case 0: return 0;
    case ENOENT: return 2;
    case EACCES:
    case EPERM:
    case EROFS: return 5;
    default: return posix_errno;
  }
}

File::File(int fd, bool writable, std::string path, FileId id)
    : fd_(fd), writable_(writable), path_(std::move(path)), id_(id) {}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

int File::Open(const std::string& path, const OpenOptions& options, std::unique_ptr<File>* out) {
  out->reset();
  if (path.empty()) return 2;
  bool writable = options.access == Access::kReadWrite;
  int flags = O_CLOEXEC | (writable ? O_RDWR : O_RDONLY);
  if (options.truncate && writable) flags |= O_TRUNC;
  int fd = -1;
  bool created = false;
  if (options.create) {
    // Try an exclusive create first so that only a file this call really
    // created has its directory entry made durable.
    do {
      fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) created = true;
    else if (errno != EEXIST) return MapErrno(errno);
  }
  if (fd < 0) {
    do {
      fd = ::open(path.c_str(), flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno == EISDIR ? 5 : MapErrno(errno);
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int e = errno;
    ::close(fd);
    return MapErrno(e);
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    return 5;
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  if (created) {
    int rc = SyncParentDirectory(path);
    if (rc != 0) {
      ::close(fd);
      return rc;
    }
  }
  out->reset(new File(fd, writable, path, FileId{st.st_dev, st.st_ino}));
  return 0;
}

int64_t File::ReadAt(uint64_t pos, void* buf, size_t len) {
  if (pos > uint64_t(std::numeric_limits<off_t>::max())) return -22;  // EINVAL
  uint8_t* p = static_cast<uint8_t*>(buf);
  size_t done = 0;
  while (done < len) {
    Count(g_reads);
    ssize_t n = ::pread(fd_, p + done, len - done, off_t(pos + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -int64_t(MapErrno(errno));
    }
    if (n == 0) break;  // end of file
    done += size_t(n);
  }
  return int64_t(done);
}

int File::WriteAt(uint64_t pos, const void* buf, size_t len, size_t* written) {
  *written = 0;
  if (pos > uint64_t(std::numeric_limits<off_t>::max()) - len) return 22;  // EINVAL
  bool crash_after = false;
  int fault_error = 5;
  WriteFate fate = NextWriteFate(&crash_after, &fault_error);
  const uint8_t* p = static_cast<const uint8_t*>(buf);
  switch (fate) {
    case WriteFate::kDrop:
      *written = len;
      return 0;
    case WriteFate::kFail:
      return fault_error;
    case WriteFate::kShort:
    case WriteFate::kTorn: {
      size_t done = 0;
      int e = PwriteAll(fd_, pos, p, len / 2, &done);
      if (fate == WriteFate::kTorn) {
        *written = len;  // the caller never learns: the power went
        return 0;
      }
      *written = done;
      return MapErrno(e);
    }
    case WriteFate::kNormal:
      break;
  }
  size_t done = 0;
  int e = PwriteAll(fd_, pos, p, len, &done);
  *written = done;
  if (e != 0) return MapErrno(e);
  if (crash_after) MarkCrashed();
  return 0;
}

int File::Flush() {
  bool crash_after = false;
  int fault_error = 5;
  FlushFate fate = NextFlushFate(&crash_after, &fault_error);
  if (fate == FlushFate::kDrop) return 0;
  if (fate == FlushFate::kFail) return fault_error;
  Count(g_flushes);
  if (::fsync(fd_) != 0) return MapErrno(errno);
  if (crash_after) MarkCrashed();
  return 0;
}

int File::Truncate(uint64_t length) {
  if (length > uint64_t(std::numeric_limits<off_t>::max())) return 22;
  if (Crashed()) return 0;
  while (::ftruncate(fd_, off_t(length)) != 0) {
    if (errno != EINTR) return MapErrno(errno);
  }
  return 0;
}

int File::Size(uint64_t* length) {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return MapErrno(errno);
  *length = uint64_t(st.st_size);
  return 0;
}

int IdentifyFile(const std::string& path, FileId* id) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return MapErrno(errno);
  *id = FileId{st.st_dev, st.st_ino};
  return 0;
}

int RemoveFile(const std::string& path) {
  if (Crashed()) return 0;
  if (::unlink(path.c_str()) != 0) return errno == EISDIR ? 5 : MapErrno(errno);
  return 0;
}

int SyncParentDirectory(const std::string& path) {
  if (Crashed()) return 0;
  int fd;
  do {
    fd = ::open(ParentDirectory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return MapErrno(errno);
  Count(g_flushes);
  int rc = ::fsync(fd) == 0 ? 0 : MapErrno(errno);
  ::close(fd);
  return rc;
}

void ArmFaults(const FaultPlan& plan) {
  std::lock_guard<std::mutex> lock(g_fault_mu);
  g_plan = plan;
  g_armed = true;
  g_counters = FaultCounters{};
}

void DisarmFaults() {
  std::lock_guard<std::mutex> lock(g_fault_mu);
  g_plan = FaultPlan{};
  g_armed = false;
  g_counters = FaultCounters{};
}

IoCounts GetIoCounts() {
  IoCounts c;
  c.reads = g_reads.load(std::memory_order_relaxed);
  c.writes = g_writes.load(std::memory_order_relaxed);
  c.flushes = g_flushes.load(std::memory_order_relaxed);
  c.locks = g_locks.load(std::memory_order_relaxed);
  return c;
}

void CountLockCall() { Count(g_locks); }

FaultCounters GetFaultCounters() {
  std::lock_guard<std::mutex> lock(g_fault_mu);
  return g_counters;
}

}  // namespace kel::platform
