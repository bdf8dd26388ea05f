#include "tools/delimited.h"

#include <cstdio>

#include "tools/text.h"

namespace kel::tool {

DelimitedReader::DelimitedReader(std::istream& in, char delimiter) : in_(in), delim_(delimiter) {}

int DelimitedReader::Get() {
  int c = in_.get();
  return c == std::char_traits<char>::eof() ? -1 : c;
}

int DelimitedReader::Peek() {
  int c = in_.peek();
  return c == std::char_traits<char>::eof() ? -1 : c;
}

bool DelimitedReader::Fail(const DelimitedRow& row, const std::string& what) {
  error_ = "row " + std::to_string(row.number) + " (line " + std::to_string(row.line) + "): " + what;
  return false;
}

bool DelimitedReader::Next(DelimitedRow* row) {
  row->cells.clear();
  if (!error_.empty()) return false;
  if (!started_) {
    started_ = true;
    if (Peek() == 0xEF) {
      Get();
      if (Get() != 0xBB || Get() != 0xBF) {
        row->number = 1;
        row->line = 1;
        return Fail(*row, "invalid UTF-8 at the start of the input");
      }
    }
  }
  // Skip empty lines.
  for (;;) {
    int c = Peek();
    if (c == '\n') {
      Get();
      ++line_;
    } else if (c == '\r') {
      Get();
      if (Peek() == '\n') Get();
      ++line_;
    } else {
      break;
    }
  }
  if (Peek() < 0) return false;
  row->number = ++rows_;
  row->line = line_;

  std::string cell;
  for (;;) {
    cell.clear();
    int c = Peek();
    if (c == '"') {
      Get();
      size_t quote_line = line_;
      for (;;) {
        c = Get();
        if (c < 0)
          return Fail(*row, "the quote opened on line " + std::to_string(quote_line) + " is never closed");
        if (c == '"') {
          if (Peek() == '"') {
            Get();
            cell += '"';
            continue;
          }
          break;
        }
        if (c == '\n') ++line_;
        cell += char(c);
      }
      c = Peek();
      if (c != delim_ && c != '\n' && c != '\r' && c >= 0)
        return Fail(*row, "text after the closing quote of field " + std::to_string(row->cells.size() + 1));
    } else {
      for (;;) {
        c = Peek();
        if (c < 0 || c == delim_ || c == '\n' || c == '\r') break;
        if (c == '"')
          return Fail(*row, "a quote inside the unquoted field " + std::to_string(row->cells.size() + 1) +
                                " (quote the field and double the quote)");
        cell += char(Get());
      }
    }
    size_t valid = ValidUtf8Prefix(cell);
    if (valid != cell.size()) {
      char buf[96];
      std::snprintf(buf, sizeof buf, "field %zu is not valid UTF-8 (byte 0x%02X)", row->cells.size() + 1,
                    unsigned(uint8_t(cell[valid])));
      return Fail(*row, buf);
    }
    row->cells.push_back(cell);
    c = Get();
    if (c == delim_) continue;
    if (c == '\r') {
      if (Peek() == '\n') Get();
      ++line_;
    } else if (c == '\n') {
      ++line_;
    }
    return true;  // end of line or of input
  }
}

void WriteDelimitedRow(std::ostream& out, char delimiter, const std::vector<std::string>& cells) {
  for (size_t i = 0; i < cells.size(); ++i) {
    if (i) out << delimiter;
    const std::string& s = cells[i];
    bool quote = !s.empty() && (s.front() == ' ' || s.back() == ' ');
    for (char c : s)
      if (c == delimiter || c == '"' || c == '\n' || c == '\r') quote = true;
    // A single empty cell would read back as an empty line: quote it.
    if (cells.size() == 1 && s.empty()) quote = true;
    if (!quote) {
      out << s;
      continue;
    }
    out << '"';
    for (char c : s) {
      if (c == '"') out << '"';
      out << c;
    }
    out << '"';
  }
  out << '\n';
}

std::string JsonString(std::string_view utf8) {
  std::string out = "\"";
  for (char ch : utf8) {
    uint8_t c = uint8_t(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace kel::tool
