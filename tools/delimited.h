// Delimited text (CSV with ',' and TSV with a tab) and JSON, as the tool
// reads and writes records.
//
// Reading follows the common CSV rules: a field may be quoted with '"'; a
// quoted field may hold the delimiter, line breaks and doubled quotes ("")
// standing for one quote; a line ends with LF or CRLF; a UTF-8 byte-order
// mark at the very start is skipped; empty lines are skipped. Anything else
// is malformed and reported with the line where its row starts: a quote
// inside an unquoted field, text after a closing quote, a quote that is
// never closed, bytes that are not valid UTF-8.
//
// Writing quotes a field only when it must (it holds the delimiter, a quote,
// CR or LF, or begins or ends with a space) and ends every row with LF.
#pragma once

#include <cstddef>
#include <istream>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace kel::tool {

struct DelimitedRow {
  std::vector<std::string> cells;
  size_t number = 0;   // rows counted from 1 (the header row is row 1)
  size_t line = 0;     // line on which the row starts, from 1
};

class DelimitedReader {
 public:
  DelimitedReader(std::istream& in, char delimiter);

  // Reads the next row. False at the end of the input, or on a malformed
  // row, with error() then non-empty ("row 3 (line 4): ...").
  bool Next(DelimitedRow* row);
  const std::string& error() const { return error_; }

 private:
  int Get();
  int Peek();
  bool Fail(const DelimitedRow& row, const std::string& what);

  std::istream& in_;
  char delim_;
  size_t line_ = 1;
  size_t rows_ = 0;
  bool started_ = false;
  std::string error_;
};

void WriteDelimitedRow(std::ostream& out, char delimiter, const std::vector<std::string>& cells);

// JSON string literal of UTF-8 text (control characters escaped).
std::string JsonString(std::string_view utf8);

}  // namespace kel::tool
