// UTF-8 and code page 1251, and the text form of every field type.
#include <gtest/gtest.h>

#include <cstring>

#include "storage/table_desc.h"
#include "tools/field_values.h"
#include "tools/text.h"

namespace kel::tool {
namespace {

TEST(TextTest, CyrillicRoundTripsThroughCodePage1251) {
  const std::string utf8 = "Ёлки-палки: Москва, «Заря» № 5 — ok";
  std::string ansi, error;
  ASSERT_TRUE(Utf8ToAnsi(utf8, &ansi, &error)) << error;
  EXPECT_EQ(uint8_t(ansi[0]), 0xA8);   // Ё
  EXPECT_EQ(Utf8Length(utf8), ansi.size());
  EXPECT_EQ(AnsiToUtf8(ansi), utf8);
}

TEST(TextTest, RefusesWhatCodePage1251CannotHoldAndInvalidUtf8) {
  struct Case {
    const char* name;
    std::string input;
    const char* message;
  } cases[] = {
      {"emoji outside 1251", "a\xE2\x98\xBA", "U+263A"},
      {"Chinese", "\xE4\xB8\xAD", "U+4E2D"},
      {"lone continuation byte", "ab\x80", "invalid UTF-8 byte 0x80 at byte 3"},
      {"overlong slash", "\xC0\xAF", "invalid UTF-8"},
      {"truncated sequence", "\xD0", "invalid UTF-8"},
      {"surrogate", "\xED\xA0\x80", "invalid UTF-8"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", "invalid UTF-8"},
  };
  for (const Case& c : cases) {
    std::string out, error;
    EXPECT_FALSE(Utf8ToAnsi(c.input, &out, &error)) << c.name;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.name << ": " << error;
  }
  EXPECT_EQ(ValidUtf8Prefix("ok\xFFno"), 2u);
  EXPECT_TRUE(IsValidUtf8("Тест"));
}

// A field description of one type at offset 0.
FieldDesc Field(FieldType type, uint32_t size, uint8_t places = 0) {
  FieldDesc f;
  f.type = uint8_t(type);
  f.size = f.element_size = size;
  f.places = places;
  f.name = "F";
  return f;
}

struct ValueCase {
  const char* name;
  FieldType type;
  uint32_t size;
  uint8_t places;
  const char* text;
  bool ok;
  const char* stored_hex;   // expected bytes when ok ("" = not checked)
  const char* formatted;    // expected text back when ok
};

std::string HexOf(const uint8_t* p, size_t n) {
  std::string s;
  char buf[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%02x", p[i]);
    s += buf;
  }
  return s;
}

TEST(FieldValuesTest, ParsesStoresAndFormatsEveryType) {
  const ValueCase cases[] = {
      {"decimal whole", FieldType::kDecimal, 4, 0, "1234567", true, "01234567", "1234567"},
      {"decimal zero", FieldType::kDecimal, 4, 0, "0", true, "00000000", "0"},
      {"decimal empty is zero", FieldType::kDecimal, 4, 0, "", true, "00000000", "0"},
      {"decimal negative", FieldType::kDecimal, 4, 0, "-5", true, "f0000005", "-5"},
      {"decimal minus zero", FieldType::kDecimal, 4, 2, "-0.00", true, "00000000", "0.00"},
      {"decimal places", FieldType::kDecimal, 4, 2, "12.5", true, "00001250", "12.50"},
      {"decimal trailing zeros", FieldType::kDecimal, 4, 2, "3.1000", true, "00000310", "3.10"},
      {"decimal leading point", FieldType::kDecimal, 4, 2, ".75", true, "00000075", "0.75"},
      {"decimal too many places", FieldType::kDecimal, 4, 2, "1.234", false, "", ""},
      {"decimal too many digits", FieldType::kDecimal, 4, 2, "123456", false, "", ""},
      {"decimal most digits", FieldType::kDecimal, 4, 2, "-99999.99", true, "f9999999", "-99999.99"},
      {"decimal words", FieldType::kDecimal, 4, 0, "12a", false, "", ""},
      {"decimal lone point", FieldType::kDecimal, 4, 2, ".", false, "", ""},
      {"decimal comma", FieldType::kDecimal, 4, 2, "1,5", false, "", ""},
      {"byte", FieldType::kByte, 1, 0, "255", true, "ff", "255"},
      {"byte out of range", FieldType::kByte, 1, 0, "256", false, "", ""},
      {"byte negative", FieldType::kByte, 1, 0, "-1", false, "", ""},
      {"short", FieldType::kShort, 2, 0, "-2", true, "feff", "-2"},
      {"ushort too big", FieldType::kUShort, 2, 0, "65536", false, "", ""},
      {"long", FieldType::kLong, 4, 0, "-2147483648", true, "00000080", "-2147483648"},
      {"long too big", FieldType::kLong, 4, 0, "2147483648", false, "", ""},
      {"ulong", FieldType::kULong, 4, 0, "4294967295", true, "ffffffff", "4294967295"},
      {"long with plus", FieldType::kLong, 4, 0, "+1", false, "", ""},
      {"date", FieldType::kDate, 4, 0, "2024-02-29", true, "1d02e807", "2024-02-29"},
      {"no date", FieldType::kDate, 4, 0, "", true, "00000000", ""},
      {"date not leap", FieldType::kDate, 4, 0, "2023-02-29", false, "", ""},
      {"date month 13", FieldType::kDate, 4, 0, "2023-13-01", false, "", ""},
      {"date Russian form", FieldType::kDate, 4, 0, "01.02.2024", false, "", ""},
      {"time", FieldType::kTime, 4, 0, "13:45:07.25", true, "19072d0d", "13:45:07.25"},
      {"time hours out of range", FieldType::kTime, 4, 0, "24:00", false, "", ""},
      {"real reads back exactly", FieldType::kReal, 8, 0, "0.1", true, "9a9999999999b93f", "0.1"},
      {"sreal", FieldType::kSReal, 4, 0, "-2", true, "000000c0", "-2"},
      {"real words", FieldType::kReal, 8, 0, "nan", false, "", ""},
      {"string padded", FieldType::kString, 6, 0, "Омск", true, "ceecf1ea2020", "Омск"},
      {"string exactly full", FieldType::kString, 4, 0, "Тула", true, "d2f3ebe0", "Тула"},
      {"string too long", FieldType::kString, 3, 0, "Тула", false, "", ""},
      {"string outside 1251", FieldType::kString, 10, 0, "\xE2\x98\xBA", false, "", ""},
      {"string keeps leading spaces", FieldType::kString, 5, 0, "  a", true, "2020612020", "  a"},
      {"cstring leaves room for its NUL", FieldType::kCString, 4, 0, "abcd", false, "", ""},
      {"cstring", FieldType::kCString, 4, 0, "abc", true, "61626300", "abc"},
      {"pstring", FieldType::kPString, 4, 0, "ab", true, "02616200", "ab"},
  };
  for (const ValueCase& c : cases) {
    FieldDesc f = Field(c.type, c.size, c.places);
    Column col{"F", &f, 0, c.size};
    uint8_t image[16];
    std::memset(image, 0xEE, sizeof image);
    std::string error;
    bool ok = ParseValue(col, c.text, image, &error);
    EXPECT_EQ(ok, c.ok) << c.name << ": " << error;
    if (!ok) {
      EXPECT_FALSE(error.empty()) << c.name;
      continue;
    }
    if (*c.stored_hex) {
      EXPECT_EQ(HexOf(image, c.size), c.stored_hex) << c.name;
    }
    EXPECT_EQ(FormatValue(col, image), c.formatted) << c.name;
    EXPECT_EQ(image[c.size], 0xEE) << c.name << ": wrote past the field";
  }
}

TEST(FieldValuesTest, StringRefusalSaysHowLong) {
  FieldDesc f = Field(FieldType::kString, 3);
  Column col{"F", &f, 0, 3};
  uint8_t image[3];
  std::string error;
  ASSERT_FALSE(ParseValue(col, "Тверь", image, &error));
  EXPECT_EQ(error, "5 characters, the field holds 3");
}

TEST(FieldValuesTest, ColumnsSkipGroupsAndOverlaysAndSplitArrays) {
  TableDesc d;
  d.record_length = 12;
  FieldDesc group = Field(FieldType::kGroup, 12);
  group.name = "T:RECORD";
  FieldDesc num = Field(FieldType::kLong, 4);
  num.name = "T:NUM";
  FieldDesc arr = Field(FieldType::kShort, 8);
  arr.name = "T:A";
  arr.offset = 4;
  arr.element_size = 2;
  arr.element_count = 4;
  FieldDesc over = Field(FieldType::kULong, 4);
  over.name = "T:OVER";
  over.overlay = true;
  d.fields = {group, num, arr, over};
  std::vector<Column> cols = ColumnsOf(d);
  ASSERT_EQ(cols.size(), 5u);
  EXPECT_EQ(cols[0].name, "T:NUM");
  EXPECT_EQ(cols[1].name, "T:A[1]");
  EXPECT_EQ(cols[4].name, "T:A[4]");
  EXPECT_EQ(cols[4].offset, 10u);
  EXPECT_EQ(TypeName(Field(FieldType::kDecimal, 4, 2)), "DECIMAL(7,2)");
}

}  // namespace
}  // namespace kel::tool
