// Positioned file I/O over POSIX, the only way the engine reaches the disk.
//
// Stands in for CreateFile/ReadFile/WriteFile/SetEndOfFile/FlushFileBuffers/
// DeleteFile. Errors come back as the engine's codes: ENOENT -> 2,
// EACCES/EPERM/EROFS -> 5, anything else with its own errno number.
//
// The fault-injection seam (ArmFaults) lets tests fail or shorten the k-th
// write, fail the k-th flush, or "crash" after the k-th write or flush: from
// then on every write and flush of the process is silently dropped, as if the
// power had gone, while the caller is told they succeeded.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kel::platform {

// Identity of a physical file: the same file under two names (or through
// two handles) has the same FileId.
struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const FileId&) const = default;
};

int MapErrno(int posix_errno);

class File {
 public:
  enum class Access { kRead, kReadWrite };
  struct OpenOptions {
    Access access = Access::kReadWrite;
    bool create = false;     // create when missing
    bool truncate = false;   // cut to length 0 on open
  };

  // Opens `path`; answers 0 and sets *out, or an error code. A directory is
  // refused with 5 (it cannot be a table file). With `create`, a file that
  // this call creates has its directory entry synced before Open answers, so
  // the new file survives a crash. Files are opened close-on-exec with the
  // random-access hint.
  static int Open(const std::string& path, const OpenOptions& options, std::unique_ptr<File>* out);
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Reads up to len bytes at pos; answers the count read (>= 0, short at end
  // of file) or minus an error code.
  int64_t ReadAt(uint64_t pos, void* buf, size_t len);
  // Writes len bytes at pos. Answers 0 with *written == len, 0 with
  // *written < len for a short write, or an error code.
  int WriteAt(uint64_t pos, const void* buf, size_t len, size_t* written);
  int Flush();                    // fsync
  int Truncate(uint64_t length);  // set the end of file
  int Size(uint64_t* length);

  int fd() const { return fd_; }
  bool writable() const { return writable_; }
  const std::string& path() const { return path_; }
  FileId id() const { return id_; }

 private:
  File(int fd, bool writable, std::string path, FileId id);
  int fd_;
  bool writable_;
  std::string path_;
  FileId id_;
};

// Identity of the file at `path` (0) or an error code.
int IdentifyFile(const std::string& path, FileId* id);
// Deletes a file; 0 or an error code.
int RemoveFile(const std::string& path);
// fsyncs the directory that holds `path`, so a newly created or renamed
// entry survives a crash.
int SyncParentDirectory(const std::string& path);

// ---- I/O counts (benchmarks, diagnostics) ------------------------------
// Every system call this layer makes on table files, counted process-wide
// since start: positioned reads, positioned writes, flushes, and byte-range
// lock and unlock calls. Never reset; callers take differences.
struct IoCounts {
  uint64_t reads = 0;
  uint64_t writes = 0;
  uint64_t flushes = 0;
  uint64_t locks = 0;
};
IoCounts GetIoCounts();
// Lock calls are made by the lock layer; it reports each one here.
void CountLockCall();

// ---- Fault injection (tests) -------------------------------------------
// Writes and flushes of every File in the process are counted from 0 since
// the last ArmFaults() (or DisarmFaults(), which also clears the crash).
// After a crash, writes, flushes, truncates and removals report success and
// do nothing. A short write answers 0 with *written == len / 2; a torn write
// stores len / 2 bytes but tells the caller it stored them all.
struct FaultPlan {
  int64_t fail_write = -1;         // this write fails with `error`, nothing written
  int64_t short_write = -1;        // this write stores only half its bytes
  int64_t torn_write = -1;         // this write stores half its bytes, then crash
  int64_t fail_flush = -1;         // this flush fails with `error`
  int64_t crash_after_write = -1;  // crash once this write has completed
  int64_t crash_after_flush = -1;  // crash once this flush has completed
  int error = 5;                   // EIO would be passed on as 5 too
};
struct FaultCounters {
  int64_t writes = 0;
  int64_t flushes = 0;
  bool crashed = false;
};
void ArmFaults(const FaultPlan& plan);
void DisarmFaults();
FaultCounters GetFaultCounters();

}  // namespace kel::platform
