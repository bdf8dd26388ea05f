// Reaching a table file from the command line without changing it.
//
// A RawFile reads the file as it stands, page images and all:
// it takes a reader slot of the lock area (so no commit runs while it reads)
// and never writes. A pending commit log is walked as recovery would walk
// it, and pages are then read from their logged copies, so the view is the
// state the next writer will see, while the file itself stays untouched.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "storage/container.h"
#include "storage/lock_area.h"
#include "storage/store.h"

namespace kel::tool {

// Checks that `path` names a regular file; "" or a message ("no such file",
// "is a directory").
std::string CheckRegularFile(const std::string& path);

// Runs `fn` as an engine operation: an internal error it raises is caught
// and answered as its code (0 when fn completes).
int Guarded(const std::function<void()>& fn);

// Text of an internal error code, for messages.
std::string InternalErrorText(int code);

class RawFile {
 public:
  enum class LogState { kNone, kComplete, kBroken };

  RawFile();
  ~RawFile();

  // Opens read-only and reads the header. Answers "" or a message; a file
  // that is not a table file (or enciphered, without the right password)
  // answers a message and sets not_table_file().
  std::string Open(const std::string& path, const std::string& password);

  uint64_t file_size() const { return size_; }
  bool empty_file() const { return size_ == 0; }
  bool not_table_file() const { return not_table_; }
  // The header at offset 0, and the header in force (the logged one when a
  // complete log is pending).
  const Header& disk_header() const { return disk_; }
  const Header& header() const { return header_; }
  // The raw 512 bytes of the header in force.
  const std::vector<uint8_t>& header_bytes() const { return header_bytes_; }
  LogState log_state() const { return log_state_; }
  const std::string& log_problem() const { return log_problem_; }
  size_t log_blocks() const { return remap_.size(); }

  // Reads the image of the page at `address` of class `page_class` (its
  // logged copy when there is one). "" or a message.
  std::string ReadPage(int32_t address, int page_class, std::vector<uint8_t>* image);

 private:
  void WalkLog();

  std::unique_ptr<BlockFile> io_;
  std::unique_ptr<LockArea> locks_;
  uint64_t size_ = 0;
  bool not_table_ = false;
  Header disk_, header_;
  std::vector<uint8_t> header_bytes_;
  LogState log_state_ = LogState::kNone;
  std::string log_problem_;
  std::map<uint64_t, uint64_t> remap_;   // home offset -> log offset
};

// A table file opened through the record store, read-only or for writing.
class StoreFile {
 public:
  ~StoreFile();
  // "" or a message. Read-only opens never write the file (a pending log
  // is read through, not replayed).
  std::string Open(const std::string& path, bool writable, const std::string& password);
  Store& store() { return *store_; }

 private:
  std::unique_ptr<Store> store_;
};

}  // namespace kel::tool
