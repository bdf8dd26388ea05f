// The settings file "kelvaro.INI" (a profile file, see platform/profile.h).
//
// Its only content is a list of "sectors" in section "__Dont_Touch_Me__":
//   Sectors=<number of entries>
//   Sectors_1=<entry 1>   ... one key per entry, numbered from 1
// An entry is up to three text values of at most 100 characters, separated
// by ",". Nothing in the program adds entries: the list read at start is
// written back at exit, and a file without one holds "Sectors=0".
//
// Every entry is written back exactly as it was read (its raw text), even one
// with more than three values or longer values than the split view keeps.
// A damaged file is read for what it holds: a count that is not a number
// reads as 0, a negative one as 0; entries missing below the highest one
// present read as empty entries, missing ones above it are not counted; lines
// of binary garbage are skipped. The file written at exit is always valid.
#pragma once

#include <string>
#include <vector>

namespace kel {

struct SectorEntry {
  std::string raw;                  // the value as it stands in the file
  std::vector<std::string> values;  // split at ",": at most 3, each at most 100 characters
};

class SettingsFile {
 public:
  static constexpr const char* kFileName = "kelvaro.INI";
  static constexpr const char* kSection = "__Dont_Touch_Me__";
  static constexpr const char* kCountKey = "Sectors";
  static constexpr size_t kMaxValues = 3;
  static constexpr size_t kMaxValueLength = 100;

  explicit SettingsFile(std::string file = kFileName) : file_(std::move(file)) {}

  const std::string& file() const { return file_; }
  // Reads the sector list (an empty list when the file is missing).
  void Read();
  // Writes the count and every entry; 0 or an error code.
  int Write() const;
  const std::vector<SectorEntry>& sectors() const { return sectors_; }

  static SectorEntry Split(std::string raw);

 private:
  std::string file_;
  std::vector<SectorEntry> sectors_;
};

}  // namespace kel
