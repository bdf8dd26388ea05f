#include "tools/command_support.h"

#include <algorithm>

#include "platform/file.h"
#include "storage/errors.h"
#include "storage/key_build.h"
#include "storage/table.h"
#include "storage/table_name.h"
#include "storage/table_records.h"
#include "tools/table_file.h"

namespace kel::tool {

std::string EngineError(int code) {
  std::string s = "error " + std::to_string(code);
  const char* text = ErrorText(code);
  if (text && *text) s += std::string(" (") + text + ")";
  if (code == kFileSystemError) {
    const FileError& fe = LastFileError();
    if (fe.code) s += ", internal error " + std::to_string(fe.code);
  }
  return s;
}

int OpenErrorStatus(int code) {
  switch (code) {
    case kFileNotFound:
    case kAccessDenied:
    case kInvalidFilename:
      return kExitMisuse;
    default:
      return kExitFinding;
  }
}

int ResolveFile(const Invocation& inv, const std::string& arg, std::string* path, std::string* table) {
  kel::TableName tn;
  if (kel::IsDirectory(arg)) {
    *inv.err << "kelstore " << inv.command << ": " << arg << ": is a directory, not a table file\n";
    return kExitMisuse;
  }
  if (kel::SplitTableName(arg, &tn) != 0) {
    *inv.err << "kelstore " << inv.command << ": '" << arg << "' is not a usable file name\n";
    return kExitMisuse;
  }
  std::string bad = CheckRegularFile(tn.path);
  if (!bad.empty()) {
    *inv.err << "kelstore " << inv.command << ": " << bad << "\n";
    return kExitMisuse;
  }
  *path = tn.path;
  *table = tn.has_table ? tn.table : "";
  return 0;
}

std::string ListTables(const std::string& path, const std::string& password, std::vector<std::string>* names) {
  StoreFile f;
  std::string err = f.Open(path, false, password);
  if (!err.empty()) return err;
  int rc = Guarded([&] { *names = ListTableNames(f.store()); });
  if (rc != 0) return path + ": damaged (" + InternalErrorText(rc) + "); run 'kelstore check'";
  return "";
}

int ResolveTable(const Invocation& inv, const std::string& arg, ResolvedTable* out) {
  std::string table;
  int status = ResolveFile(inv, arg, &out->path, &table);
  if (status) return status;
  std::vector<std::string> names;
  std::string err = ListTables(out->path, inv.Get("--password"), &names);
  if (!err.empty()) {
    *inv.err << "kelstore " << inv.command << ": " << err << "\n";
    return kExitFinding;
  }
  std::string list;
  for (const std::string& n : names) list += (list.empty() ? "" : ", ") + n;
  if (!table.empty()) {
    if (std::find(names.begin(), names.end(), table) == names.end()) {
      *inv.err << "kelstore " << inv.command << ": " << out->path << " holds no table " << table
               << (names.empty() ? " (it holds no tables)" : " (it holds: " + list + ")") << "\n";
      return kExitMisuse;
    }
    out->table = table;
    return 0;
  }
  if (std::find(names.begin(), names.end(), kUnnamedTable) != names.end()) {
    out->table = kUnnamedTable;
  } else if (names.size() == 1) {
    out->table = names[0];
  } else if (names.empty()) {
    *inv.err << "kelstore " << inv.command << ": " << out->path << " holds no tables\n";
    return kExitMisuse;
  } else {
    *inv.err << "kelstore " << inv.command << ": " << out->path << " holds several tables (" << list
             << "); name one as FILE\\!TABLE\n";
    return kExitMisuse;
  }
  return 0;
}

int BuildIncompleteKeys(Table& table, const std::function<void(int percent)>& progress) {
  BuildOptions options;
  options.progress = [&](int percent) {
    if (progress) progress(percent);
    return true;
  };
  bool all_built = false;
  int code = 0;
  int rc = Guarded([&] { code = BuildAllKeys(*table.keys(), table.oem(), options, &all_built); });
  if (rc != 0) {
    // Nothing half-done is committed after an internal error.
    Guarded([&] { table.store()->Discard(); });
    SetLastFileError(rc, kDataCorruptionText);
    return kFileSystemError;
  }
  int flush = table.Flush();
  return code != 0 ? code : flush;
}

int OutputSink::Open(const Invocation& inv, const std::string& protect) {
  out_ = inv.out;
  if (!inv.Has("-o")) return 0;
  name_ = inv.Get("-o");
  platform::FileId a, b;
  if (!protect.empty() && platform::IdentifyFile(name_, &a) == 0 && platform::IdentifyFile(protect, &b) == 0 &&
      a == b) {
    *inv.err << "kelstore " << inv.command << ": refusing to write the output over the table file " << protect << "\n";
    return kExitMisuse;
  }
  file_ = std::make_unique<std::ofstream>(name_, std::ios::binary | std::ios::trunc);
  if (!*file_) {
    *inv.err << "kelstore " << inv.command << ": cannot write " << name_ << "\n";
    file_.reset();
    return kExitMisuse;
  }
  return 0;
}

int OutputSink::Close(const Invocation& inv) {
  if (file_) {
    file_->flush();
    bool ok = bool(*file_);
    file_->close();
    if (!ok) {
      *inv.err << "kelstore " << inv.command << ": writing " << name_ << " failed\n";
      return kExitFinding;
    }
  } else {
    out_->flush();
    if (!*out_) {
      *inv.err << "kelstore " << inv.command << ": writing the output failed\n";
      return kExitFinding;
    }
  }
  return 0;
}

}  // namespace kel::tool
