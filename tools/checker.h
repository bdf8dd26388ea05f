// The full read-only check of a table file.
//
// Physical level (page images as they stand, through a RawFile, so a
// damaged tree is examined rather than trusted):
//   - the header: length, own position, signature, region table (region 0
//     empty, regions ascending, each a whole number of its pages, packed
//     after every commit so that no gap of a full page lies in front of a
//     region from 2 up), used end within the file;
//   - a pending commit log: complete (then the logged state is checked, as
//     the next writer will see it) or broken (then the state before it);
//   - every page reached from the root: inside a region at a page boundary,
//     reached exactly once, image parses, own position, level one below its
//     parent, size estimate, records strictly ascending and inside the range
//     the parent's separators give them, separators key-only, the leftmost
//     separator of every level and the first record (the sentinel) empty,
//     no empty page but the root;
//   - every page slot of every region reached from the root.
// Logical level (over the records in key order):
//   - every record belongs to a named table and has a known kind and length;
//   - numbers stay at or below the file's last issued number;
//   - per table: the definition reads back; the data counter equals the
//     data records; each key's counter equals its entries; every entry
//     points at an existing data record and holds the value that record
//     gives; every data record that is not blank has its entry in every
//     complete key (a key marked incomplete is exempt from its mark on);
//     memo chunks belong to existing records and follow each other.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kel::tool {

struct CheckOptions {
  std::string password;
  // Told (done, total) while the check runs.
  std::function<void(uint64_t done, uint64_t total)> progress;
  size_t max_problems = 1000;   // lines kept; the count goes on
};

struct CheckResult {
  std::vector<std::string> problems;   // one line each
  uint64_t problem_count = 0;          // may exceed problems.size()
  std::vector<std::string> notes;      // facts that are not problems
  uint64_t pages = 0;
  uint64_t records = 0;
  size_t tables = 0;
  bool ok() const { return problem_count == 0; }
};

// Answers "" once the file was examined (problems, if any, in *result), or
// a message when it could not be examined at all (missing, a directory,
// unreadable).
std::string CheckTableFile(const std::string& path, const CheckOptions& options, CheckResult* result);

}  // namespace kel::tool
