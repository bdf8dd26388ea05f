// REMOVE, COPY and RENAME of tables, and the whole-file steps they use.
//
// Table by table, COPY and RENAME carry every record of the source table
// into the target file under a new table number, translating the record
// numbers by a base drawn in the target file: the record number of data
// records and memo chunks, the record number of key entries (the last four
// key bytes of a DUP entry, the data of any other) and the mark of each
// key's counter record when it is not 0. The data counter's mark is a free
// value of the table, not a record number, and is carried unchanged.
// Translation keeps the order of the records, so they are appended in key
// order. Before anything changes, base + the highest record number of the
// source must stay below 0xFE000000, the first number whose leading byte
// would collide with the name records.
#include "storage/table_ops.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/file.h"
#include "storage/errors.h"
#include "storage/lock_area.h"
#include "storage/record_kinds.h"
#include "storage/table.h"
#include "storage/table_files.h"
#include "storage/table_records.h"

namespace kel {
namespace {

constexpr uint32_t kNumberLimit = 0xFE000000u;
constexpr int kFileExists = 17;

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// Holds the file open with every access denied to others, or fails when
// anybody else has it open.
int ProbeUnused(const std::string& path, std::unique_ptr<platform::File>* probe) {
  if (TableFileInUse(path)) return kAccessDenied;
  return OpenTableFile(path, open_mode::kReadWrite | open_mode::kDenyAll, probe);
}

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
  platform::FileId ia, ib;
  return platform::IdentifyFile(a, &ia) == 0 && platform::IdentifyFile(b, &ib) == 0 && ia == ib;
}

int CopyWholeFile(const std::string& from, const std::string& to) {
  if (Exists(to)) return kFileExists;
  TableFileHandle src;
  int rc = AcquireTableFile(from, open_mode::kReadOnly | open_mode::kDenyNone, "", &src);
  if (rc != 0) return rc;
  Store& s = *src->store;
  // An access of our own keeps every other process from committing while
  // the bytes are read, so the copy is a committed state (with a pending
  // log, which the copy's first access replays).
  bool began = !s.access_open();
  if (began) {
    rc = s.BeginAccess();
    if (rc == 1) rc = kInvalidDataFile;
  }
  std::string tmp = to + ".~" + std::to_string(::getpid());
  if (rc == 0) {
    std::unique_ptr<platform::File> out;
    platform::File::OpenOptions opts;
    opts.create = true;
    opts.truncate = true;
    rc = platform::File::Open(tmp, opts, &out);
    if (rc == 0) {
      platform::File* in = s.io().file();
      uint64_t size = 0;
      rc = in->Size(&size);
      std::vector<char> buf(1 << 16);
      for (uint64_t at = 0; rc == 0 && at < size;) {
        int64_t n = in->ReadAt(at, buf.data(), size_t(std::min<uint64_t>(buf.size(), size - at)));
        if (n < 0) {
          rc = int(-n);
          break;
        }
        if (n == 0) break;
        size_t written = 0;
        rc = out->WriteAt(at, buf.data(), size_t(n), &written);
        if (rc == 0 && written != size_t(n)) rc = 28;  // no space left
        at += uint64_t(n);
      }
      if (rc == 0) rc = out->Flush();
      out.reset();
      if (rc == 0 && ::link(tmp.c_str(), to.c_str()) != 0) rc = platform::MapErrno(errno);
      platform::RemoveFile(tmp);
      if (rc == 0) rc = platform::SyncParentDirectory(to);
    }
  }
  if (began) s.EndAccess();
  int rel = ReleaseTableFile(&src);
  return rc != 0 ? rc : rel;
}

int MoveWholeFile(const std::string& from, const std::string& to) {
  if (Exists(to)) return kFileExists;
  std::unique_ptr<platform::File> probe;
  int rc = ProbeUnused(from, &probe);
  if (rc != 0) return rc;
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
    if (errno != EINVAL && errno != ENOSYS) return platform::MapErrno(errno);
    // A file system without the no-replace rename: a new link never
    // replaces anything either.
    if (::link(from.c_str(), to.c_str()) != 0) return platform::MapErrno(errno);
    if (::unlink(from.c_str()) != 0) {
      rc = platform::MapErrno(errno);
      ::unlink(to.c_str());
      return rc;
    }
  }
  platform::SyncParentDirectory(to);
  platform::SyncParentDirectory(from);
  return 0;
}

int DeleteWholeFile(const std::string& path) {
  std::unique_ptr<platform::File> probe;
  int rc = ProbeUnused(path, &probe);
  if (rc != 0) return rc;
  rc = platform::RemoveFile(path);
  if (rc == 0) platform::SyncParentDirectory(path);
  return rc;
}

// ---- REMOVE -------------------------------------------------------------------

int Table::Remove(std::string_view name) {
  if (is_open()) return kFileAlreadyOpen;
  latched_ = 0;
  return Run(false, [&]() -> int {
    int rc = OpenTable(name, open_mode::kReadWrite | open_mode::kDenyNone, /*allow_mismatch=*/true);
    if (rc != 0) return rc;
    Store& s = *store();
    try {
      rc = s.EnterWriteState();
      if (rc == 0) {
        DeleteTableName(s, name_.table);
        RemoveTableRecords(s, table_);
        ++file_->insert_epoch;
        rc = s.EndOperation();
      }
    } catch (const InternalError&) {
      latched_ = 1;
      CloseTable();
      throw;
    }
    bool last = rc == 0 && ListTableNames(s).empty();
    s.EndAccess();
    std::string path = name_.path;
    CloseTable();
    // The file goes with its last table, unless somebody still has it open:
    // it then stays, holding no table.
    if (last) DeleteWholeFile(path);
    return rc;
  });
}

// ---- COPY and RENAME ---------------------------------------------------------

int Table::Copy(std::string_view name, std::string_view new_name) { return CopyOrRename(name, new_name, false); }

int Table::Rename(std::string_view name, std::string_view new_name) { return CopyOrRename(name, new_name, true); }

int Table::CopyOrRename(std::string_view name, std::string_view new_name, bool rename) {
  if (is_open()) return kFileAlreadyOpen;
  latched_ = 0;
  return Run(false, [&]() -> int {
    TableName src;
    int rc = SplitTableName(name, &src);
    if (rc != 0) return rc;
    TableName dst;
    int split = SplitTableName(new_name, &dst);
    std::string target_name(new_name);
    if (!src.has_table && (IsDirectory(target_name) || (split == 0 && !dst.has_table))) {
      // Whole file: into the new name taken as a directory, else onto the
      // new name itself.
      std::vector<std::string> candidates;
      std::string inside;
      if (CompletePath(target_name + "/" + BaseName(src.path), "", &inside) == 0) candidates.push_back(inside);
      std::string itself;
      if (CompletePath(target_name, ExtensionOf(src.path), &itself) == 0) candidates.push_back(itself);
      for (const std::string& to : candidates) {
        if (to == src.path || SameFile(to, src.path)) continue;
        if ((rename ? MoveWholeFile(src.path, to) : CopyWholeFile(src.path, to)) == 0) return 0;
      }
    }
    if (split != 0) return split;
    return CopyTables(name, dst, rename);
  });
}

int Table::CopyTables(std::string_view source, const TableName& target, bool rename) {
  // Open the source first: its errors (2, 36, 47) come before any change.
  int rc = OpenTable(source, open_mode::kReadWrite | open_mode::kDenyNone);
  if (rc != 0) return rc;
  TableFileHandle tgt;
  try {
    rc = AcquireTableFile(target.path, open_mode::kReadWrite | open_mode::kDenyNone | open_mode::kCreate, decl_.owner,
                          &tgt);
    if (rc != 0) {
      CloseTable();
      return rc;
    }
    Store& s = *store();
    Store& ts = *tgt->store;
    const bool same_file = tgt.get() == file_.get();
    // Before anything changed: leaves write state in both files, releases
    // the target and closes the source.
    auto refuse = [&](int code) {
      if (!same_file) ts.EndOperation();
      ReleaseTableFile(&tgt);
      s.EndOperation();
      CloseTable();
      return code;
    };
    rc = ts.EnterWriteState();
    if (rc == 0 && ts.BeginAccess() == 1) rc = kInvalidDataFile;
    if (rc != 0) return refuse(rc);
    uint32_t existing = 0;
    bool target_exists = FindTableByName(ts, target.table, &existing);
    if (target_exists && rename) return refuse(kAccessDenied);
    if (target_exists && same_file && existing == table_) return refuse(0);  // a table copied onto itself
    rc = s.EnterWriteState();
    if (rc != 0) return refuse(rc);

    if (same_file && rename) {
      // Within one file the table keeps its number and its records.
      DeleteTableName(s, name_.table);
      InsertTableName(s, target.table, table_);
    } else {
      // Highest number carried: the last data record, and the key marks.
      uint32_t highest = 0;
      if (RecordPtr last = LastData(s, table_)) highest = RecnoOfDataKey(last->key());
      for (size_t k = 0; k < desc_.keys.size(); ++k) {
        RecordPtr c = s.FindExact(CounterKey(table_, uint8_t(k)));
        if (c) highest = std::max(highest, DecodeCounter(c->data()).mark);
      }
      rc = ts.BeginAccess();
      if (rc != 0) return refuse(kInvalidDataFile);
      if (uint64_t(ts.last_number()) + 2 + highest >= kNumberLimit) return refuse(kAccessDenied);
      if (target_exists) {
        RemoveTableRecords(ts, existing);
        DeleteTableName(ts, target.table);
      }
      if (rename) DeleteTableName(s, name_.table);
      const uint32_t new_table = NextNumber(ts);
      const uint32_t base = NextNumber(ts);
      uint32_t top = base;
      const std::string prefix = TablePrefix(table_);
      const std::string new_prefix = TablePrefix(new_table);
      Cursor out(ts);
      bool first = true;
      std::string at = prefix;
      for (RecordPtr r = s.FindNext(at); r && r->key().substr(0, 4) == prefix; r = s.FindNext(at)) {
        at.assign(r->key());
        std::string key = at;
        std::string data(r->data());
        key.replace(0, 4, new_prefix);
        uint8_t kind = uint8_t(key[4]);
        auto shift = [&](std::string& bytes, size_t offset) {
          uint32_t n = GetBE32(bytes, offset) + base;
          top = std::max(top, n);
          std::string be;
          PutBE32(be, n);
          bytes.replace(offset, 4, be);
        };
        if (kind == kDataType && key.size() == 9) {
          shift(key, 5);
        } else if (kind == kMemoType && key.size() >= 9) {
          shift(key, 5);
        } else if (kind == kCounterType && key.size() == 6 && uint8_t(key[5]) != kDataCounterIndex) {
          Counter c = DecodeCounter(data);
          if (c.mark != 0) {
            c.mark += base;
            top = std::max(top, c.mark);
            data = EncodeCounter(c);
          }
        } else if (kind < kMaxKeys) {
          bool dup = kind < desc_.keys.size() && desc_.keys[kind].dup();
          if (dup && key.size() >= 9) {
            shift(key, key.size() - 4);
          } else if (!dup && data.size() >= 4) {
            uint32_t n = GetBE32(data, 0) + base;
            top = std::max(top, n);
            data = EntryData(false, n);
          }
        }
        RecordPtr copy = MakeRecord(key, data);
        if (first) {
          out.Set(copy, true);
          first = false;
        } else {
          out.InsertAfter(copy);
        }
        if (rename) s.Delete(r);
      }
      ts.SetLastNumber(std::max(ts.last_number(), top));
      InsertTableName(ts, target.table, new_table);
      ++tgt->insert_epoch;
    }
    ++file_->insert_epoch;
    // The target first: should its commit fail, the source keeps its table.
    rc = ts.Commit();
    if (rc != 0) {
      if (!same_file) s.Discard();
      s.EndOperation();
      if (!same_file) ts.EndOperation();
    } else {
      if (!same_file) rc = ts.EndOperation();
      int src_rc = s.EndOperation();
      if (rc == 0) rc = src_rc;
    }
    CloseTable();
    int rel = ReleaseTableFile(&tgt);
    return rc != 0 ? rc : rel;
  } catch (const InternalError&) {
    if (tgt) {
      tgt->store->Discard();
      tgt->store->EndAccess();
      ReleaseTableFile(&tgt);
    }
    if (is_open()) {
      latched_ = 1;
      CloseTable();
    }
    throw;
  }
}

}  // namespace kel
