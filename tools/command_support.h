// What the kelstore commands share: resolving FILE[\!TABLE] arguments,
// the output sink (stdout or -o), and the texts of engine answers.
#pragma once

#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tools/cli.h"

namespace kel {
class Table;
}

namespace kel::tool {

struct ResolvedTable {
  std::string path;    // absolute path of the file
  std::string table;   // table name in the file (upper case)
  std::string Name() const { return path + "\\!" + table; }
};

// Resolves FILE[\!TABLE] to an existing file and one of its tables: the one
// named, else the file's UNNAMED table, else its only table. Prints the
// message and answers the exit status on failure, 0 on success.
int ResolveTable(const Invocation& inv, const std::string& arg, ResolvedTable* out);
// Resolves FILE (any "\!TABLE" part is kept in *table, maybe empty).
int ResolveFile(const Invocation& inv, const std::string& arg, std::string* path, std::string* table);

// Names of the tables of a table file, read-only. "" or a message.
std::string ListTables(const std::string& path, const std::string& password, std::vector<std::string>* names);

// Text for an engine answer, e.g. "error 47 (Invalid Record Declaration)".
std::string EngineError(int code);
// Exit status for an engine answer of an open: 2 for a missing table, bad
// name or refused access, 1 otherwise (foreign, damaged, mismatched file).
int OpenErrorStatus(int code);

// Bulk loads of more than this many records append them (APPEND: no key
// maintenance per record, the keys are marked incomplete from the first
// appended record) and then build the keys from that record on, which
// inserts the entries in key order and touches each page once. Adding
// records one by one into keys of random order modifies a few scattered
// pages per record, and stream mode then commits every few records.
constexpr size_t kBulkRecords = 1000;

// Builds the keys of `table` that APPEND left incomplete (a build that is
// not full starts at each key's mark). Answers 0 or an engine code; 40
// when a unique key met a duplicate value. Internal errors answer 90.
int BuildIncompleteKeys(Table& table, const std::function<void(int percent)>& progress);

// stdout, or the file named by -o (which must not be `protect`, the table
// file being read or written).
class OutputSink {
 public:
  // 0, or prints the message and answers the exit status.
  int Open(const Invocation& inv, const std::string& protect);
  std::ostream& stream() { return file_ ? *file_ : *out_; }
  // 0, or prints the message and answers 1 (a failed write).
  int Close(const Invocation& inv);

 private:
  std::ostream* out_ = nullptr;
  std::unique_ptr<std::ofstream> file_;
  std::string name_;
};

}  // namespace kel::tool
