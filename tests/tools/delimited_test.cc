// The CSV/TSV reader and writer and JSON strings.
#include <gtest/gtest.h>

#include <sstream>

#include "tools/delimited.h"

namespace kel::tool {
namespace {

std::vector<DelimitedRow> ReadAll(const std::string& text, char delim, std::string* error) {
  std::istringstream in(text);
  DelimitedReader r(in, delim);
  std::vector<DelimitedRow> rows;
  DelimitedRow row;
  while (r.Next(&row)) rows.push_back(row);
  *error = r.error();
  return rows;
}

using Cells = std::vector<std::string>;

TEST(DelimitedReaderTest, QuotesNewlinesCrlfAndRowNumbers) {
  std::string error;
  auto rows = ReadAll(
      "\xEF\xBB\xBF"
      "a,b,c\r\n"
      "\"x,1\",\"say \"\"hi\"\"\",\r\n"
      "\n"
      "\"two\nlines\",,\"\"\n"
      "last,row,here",
      ',', &error);
  EXPECT_EQ(error, "");
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].cells, (Cells{"a", "b", "c"}));
  EXPECT_EQ(rows[1].cells, (Cells{"x,1", "say \"hi\"", ""}));
  EXPECT_EQ(rows[2].cells, (Cells{"two\nlines", "", ""}));
  EXPECT_EQ(rows[2].number, 3u);
  EXPECT_EQ(rows[2].line, 4u);   // the empty line 3 is skipped
  EXPECT_EQ(rows[3].cells, (Cells{"last", "row", "here"}));
  EXPECT_EQ(rows[3].line, 6u);
}

TEST(DelimitedReaderTest, MalformedInputNamesItsRowAndLine) {
  struct Case {
    const char* name;
    std::string text;
    size_t rows_before;
    const char* error;
  } cases[] = {
      {"quote never closed", "a,b\n1,\"open\n\n", 1, "row 2 (line 2): the quote opened on line 2 is never closed"},
      {"quote inside a field", "a,b\n1,ab\"c\n", 1, "row 2 (line 2): a quote inside the unquoted field 2"},
      {"text after a closing quote", "\"a\"b,c\n", 0, "row 1 (line 1): text after the closing quote of field 1"},
      {"invalid UTF-8", "a\nok\n\"x\ny\",\xC3\x28\n", 2, "row 3 (line 3): field 2 is not valid UTF-8 (byte 0xC3)"},
      {"Windows-1251 bytes instead of UTF-8", "a\n\xCC\xEE\xF1\xEA\xE2\xE0\n", 1, "row 2 (line 2): field 1 is not valid UTF-8"},
  };
  for (const Case& c : cases) {
    std::string error;
    auto rows = ReadAll(c.text, ',', &error);
    EXPECT_EQ(rows.size(), c.rows_before) << c.name;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.name << ": " << error;
  }
}

TEST(DelimitedWriterTest, WhatIsWrittenReadsBackUnchanged) {
  const std::vector<Cells> rows = {
      {"plain", "with,comma", "with\ttab", "quote \" inside"},
      {"line\nbreak", "cr\rlf", " lead", "trail "},
      {"", "", "", ""},
      {"Москва", "«Заря»", "№ 5", "x"},
  };
  for (char delim : {',', '\t'}) {
    std::ostringstream out;
    for (const Cells& r : rows) WriteDelimitedRow(out, delim, r);
    std::string error;
    auto back = ReadAll(out.str(), delim, &error);
    EXPECT_EQ(error, "");
    ASSERT_EQ(back.size(), rows.size()) << out.str();
    for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(back[i].cells, rows[i]) << "delimiter " << int(delim);
  }
  // A single empty cell is not lost as an empty line.
  std::ostringstream one;
  WriteDelimitedRow(one, ',', {""});
  std::string error;
  auto back = ReadAll(one.str(), ',', &error);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].cells, (Cells{""}));
}

TEST(JsonTest, EscapesControlCharactersAndQuotes) {
  EXPECT_EQ(JsonString("a\"b\\c\nd\x01й"), "\"a\\\"b\\\\c\\nd\\u0001й\"");
}

}  // namespace
}  // namespace kel::tool
