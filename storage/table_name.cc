#include "storage/table_name.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "platform/codepage.h"
#include "storage/errors.h"

namespace kel {

bool IsDirectory(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string BaseName(std::string_view path) {
  size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string ExtensionOf(std::string_view path) {
  std::string base = BaseName(path);
  size_t dot = base.rfind('.');
  if (dot == std::string::npos || dot == 0) return "";
  return base.substr(dot);
}

int CompletePath(std::string_view file, std::string_view default_ext, std::string* out) {
  out->clear();
  if (file.empty() || file.back() == '/' || file.find('\0') != std::string_view::npos) return kInvalidFilename;
  std::string full;
  if (file.front() != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return kInvalidFilename;
    full = cwd;
    full.push_back('/');
  }
  full.append(file);
  // Resolve "." and ".." by name.
  std::vector<std::string> parts;
  size_t at = 0;
  while (at <= full.size()) {
    size_t end = full.find('/', at);
    if (end == std::string::npos) end = full.size();
    std::string part = full.substr(at, end - at);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(std::move(part));
    }
    at = end + 1;
  }
  if (parts.empty()) return kInvalidFilename;
  std::string path;
  for (const std::string& p : parts) path += "/" + p;
  if (ExtensionOf(path).empty()) path.append(default_ext);
  if (path.size() >= PATH_MAX || BaseName(path).size() > NAME_MAX) return kInvalidFilename;
  *out = std::move(path);
  return 0;
}

int SplitTableName(std::string_view name, TableName* out) {
  *out = TableName();
  std::string_view file = name;
  std::string_view table;
  for (size_t at = name.find("\\!"); at != std::string_view::npos; at = name.find("\\!", at + 1)) {
    std::string left(name.substr(0, at));
    size_t slash = name.find('/', at + 2);
    bool in_directory = IsDirectory(left) || (slash != std::string_view::npos && IsDirectory(std::string(name.substr(0, slash))));
    if (in_directory) continue;
    file = name.substr(0, at);
    table = name.substr(at + 2);
    out->has_table = true;
    break;
  }
  int rc = CompletePath(file, kTableExtension, &out->path);
  if (rc != 0) return rc;
  out->table = table.empty() ? std::string(kUnnamedTable) : platform::UpperAnsi(std::string(table));
  out->display = out->path;
  if (out->table != kUnnamedTable) out->display += "\\!" + out->table;
  return 0;
}

}  // namespace kel
