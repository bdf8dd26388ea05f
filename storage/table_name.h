// Table names: a table is named by its file name, optionally followed by
// "\!" and the table's name inside the file.
//
// The split is made at the first "\!" that does not belong to a directory
// name: an occurrence is skipped when the text before it is an existing
// directory, or when the path component that holds it (the text up to the
// next "/") is an existing directory. The table name is taken in upper case
// (ANSI code page); without one it is "UNNAMED". The file part is completed
// to an absolute path ("." and ".." components resolved by name, symbolic
// links left alone) and gets the extension ".KST" when its last component
// has none. The display name is the full path, followed by "\!" and the
// table name unless the name is "UNNAMED".
#pragma once

#include <string>
#include <string_view>

namespace kel {

constexpr const char* kUnnamedTable = "UNNAMED";
constexpr const char* kTableExtension = ".KST";

struct TableName {
  std::string path;       // absolute path of the file
  std::string table;      // upper case, "UNNAMED" when none was given
  bool has_table = false; // the name carried a "\!" part
  std::string display;    // path [+ "\!" + table]
};

// 0, or 45 when the name cannot be completed to a path (empty file part,
// a file part naming a directory by a trailing "/", an over-long path).
int SplitTableName(std::string_view name, TableName* out);

// Completes a file name to an absolute path, adding `default_ext` when the
// last component has no extension. 0 or 45.
int CompletePath(std::string_view file, std::string_view default_ext, std::string* out);

// The extension of the last component of `path`, with its dot ("" if none).
std::string ExtensionOf(std::string_view path);
// The last component of `path`.
std::string BaseName(std::string_view path);
// Whether `path` names an existing directory.
bool IsDirectory(const std::string& path);

}  // namespace kel
