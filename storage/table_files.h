// The process-wide registry of open table files: one file object (record
// store) per physical file, shared by every table handle of every thread
// that uses the file. The first opener's open mode and owner password
// apply; later openers share what is there. The last release commits and
// closes the file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "storage/file_registry.h"
#include "storage/store.h"

namespace kel {

struct TableFile {
  std::unique_ptr<Store> store;
  std::string path;   // the name it was first opened by
  int mode = 0;       // the first opener's open mode
  // Raised whenever a data record is inserted through this file object;
  // a table handle's append cursor stays usable only while nobody else
  // inserted since its own last insert.
  uint64_t insert_epoch = 0;
};

using TableFileHandle = FileRegistry<TableFile>::Handle;

FileRegistry<TableFile>& OpenTableFiles();

// The file object of `path`, opening the file with `mode` (and the owner
// password) when the process has none yet. 0, or the open's error code.
int AcquireTableFile(const std::string& path, int mode, const std::string& owner, TableFileHandle* out);

// Gives up one use; the last use commits, ends the access and closes the
// file. Answers the commit's code. An internal error while closing answers
// 90 and the file is closed all the same.
int ReleaseTableFile(TableFileHandle* handle);

// True when the process has a file object for the file at `path`.
bool TableFileInUse(const std::string& path);

}  // namespace kel
