#include "storage/key_encoding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "storage/errors.h"

namespace kel {
namespace {

std::string Hex(const std::string& s) {
  static const char* d = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) out += {d[c >> 4], d[c & 15], ' '};
  if (!out.empty()) out.pop_back();
  return out;
}

FieldDesc Field(FieldType t, uint32_t size) {
  FieldDesc f;
  f.type = uint8_t(t);
  f.size = f.element_size = size;
  return f;
}

std::string Seg(FieldType t, const void* src, uint32_t n, bool desc = false, bool nocase = false, KeyStrings s = {}) {
  std::string out(n, '\0');
  EncodeSegment(Field(t, n), static_cast<const uint8_t*>(src), desc, nocase, s, reinterpret_cast<uint8_t*>(out.data()));
  return out;
}

template <typename T>
std::string Num(FieldType t, T v, bool desc = false) {
  return Seg(t, &v, sizeof v, desc);
}

// Packed decimal of 4 bytes (7 digits): sign half-byte, then digits.
std::string Dec(int v, bool desc = false) {
  uint8_t b[4] = {};
  unsigned a = unsigned(std::abs(v));
  for (int digit = 0; digit < 7; ++digit, a /= 10) {
    int byte = 3 - digit / 2;  // digits 0 and 1 in byte 3, digit 6 in the low half of byte 0
    b[byte] |= uint8_t((a % 10) << (digit % 2 ? 4 : 0));
  }
  if (v < 0) b[0] |= 0xD0;
  return Seg(FieldType::kDecimal, b, 4, desc);
}

TEST(KeyEncoding, EdgeValuesFromTheFormat) {
  EXPECT_EQ(Hex(Num(FieldType::kLong, int32_t(-1))), "7F FF FF FF");
  EXPECT_EQ(Hex(Num(FieldType::kLong, int32_t(0))), "80 00 00 00");
  EXPECT_EQ(Hex(Num(FieldType::kLong, int32_t(1), true)), "7F FF FF FE");
  EXPECT_EQ(Hex(Num(FieldType::kSReal, -2.0f)), "3F FF FF FF");
  EXPECT_EQ(Hex(Num(FieldType::kSReal, -1.0f)), "40 7F FF FF");
  EXPECT_EQ(Hex(Num(FieldType::kSReal, 1.0f)), "BF 80 00 00");
  EXPECT_EQ(Hex(Num(FieldType::kUShort, uint16_t(0x1234))), "12 34");
  EXPECT_EQ(Hex(Num(FieldType::kShort, int16_t(-2))), "7F FE");
  EXPECT_EQ(Hex(Dec(-5)), "7F FF FF FA");
  EXPECT_EQ(Hex(Dec(0)), "80 00 00 00");
  EXPECT_EQ(Hex(Dec(5)), "80 00 00 05");
  EXPECT_LT(Dec(-6), Dec(-5));
  EXPECT_LT(Dec(-5), Dec(0));
  EXPECT_LT(Dec(0), Dec(5));
  uint8_t byte = 7;
  EXPECT_EQ(Hex(Seg(FieldType::kByte, &byte, 1)), "07");
  EXPECT_EQ(Hex(Seg(FieldType::kByte, &byte, 1, true)), "F8");
}

// Encoded order equals numeric order for random values of every numeric
// type, ascending and descending.
template <typename T, typename Gen>
void CheckOrder(FieldType t, Gen gen, const char* name) {
  std::mt19937 rng(42);
  std::vector<T> values;
  for (int i = 0; i < 2000; ++i) values.push_back(gen(rng));
  values.push_back(T(0));
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  for (size_t i = 1; i < values.size(); ++i) {
    EXPECT_LT(Num(t, values[i - 1]), Num(t, values[i])) << name << " " << +values[i - 1] << " " << +values[i];
    EXPECT_GT(Num(t, values[i - 1], true), Num(t, values[i], true)) << name;
  }
}

TEST(KeyEncoding, NumericOrderForEveryType) {
  CheckOrder<int16_t>(FieldType::kShort, [](auto& r) { return int16_t(r()); }, "SHORT");
  CheckOrder<uint16_t>(FieldType::kUShort, [](auto& r) { return uint16_t(r()); }, "USHORT");
  CheckOrder<int32_t>(FieldType::kLong, [](auto& r) { return int32_t(r()); }, "LONG");
  CheckOrder<uint32_t>(FieldType::kULong, [](auto& r) { return uint32_t(r()); }, "ULONG");
  CheckOrder<float>(FieldType::kSReal, [](auto& r) { return std::ldexp(float(int32_t(r())), int(r() % 40) - 20); }, "SREAL");
  CheckOrder<double>(FieldType::kReal, [](auto& r) { return std::ldexp(double(int32_t(r())), int(r() % 80) - 40); }, "REAL");
  // DATE: day, month, two-byte year; TIME: hundredths, seconds, minutes, hours.
  auto date = [](int y, int m, int d) { return uint32_t(d | m << 8 | y << 16); };
  EXPECT_LT(Num(FieldType::kDate, date(2023, 12, 31)), Num(FieldType::kDate, date(2024, 1, 1)));
  EXPECT_LT(Num(FieldType::kDate, uint32_t(0)), Num(FieldType::kDate, date(1, 1, 1)));
  auto time = [](int h, int m, int s) { return uint32_t(s << 8 | m << 16 | h << 24); };
  EXPECT_LT(Num(FieldType::kTime, time(9, 59, 59)), Num(FieldType::kTime, time(10, 0, 0)));
  std::vector<int> decs;
  for (int v = -1200; v <= 1200; v += 7) decs.push_back(v);
  for (size_t i = 1; i < decs.size(); ++i) {
    EXPECT_LT(Dec(decs[i - 1]), Dec(decs[i])) << decs[i];
    EXPECT_GT(Dec(decs[i - 1], true), Dec(decs[i], true)) << decs[i];
  }
}

TEST(KeyEncoding, StringsCaseAndCodePage) {
  const char* upper = "\xA8\xCB\xCA\xC0  ";  // "ЁЛКА  "
  const char* lower = "\xB8\xEB\xEA\xE0  ";  // "ёлка  "
  EXPECT_EQ(Seg(FieldType::kString, upper, 6, false, true), Seg(FieldType::kString, lower, 6, false, true));
  EXPECT_NE(Seg(FieldType::kString, upper, 6), Seg(FieldType::kString, lower, 6));
  EXPECT_EQ(Seg(FieldType::kString, "ABC", 3, false, true), Seg(FieldType::kString, "abc", 3, false, true));
  // Shorter text sorts first: the pad space weighs less than any letter.
  EXPECT_LT(Seg(FieldType::kString, "AB  ", 4), Seg(FieldType::kString, "ABA ", 4));
  EXPECT_LT(Seg(FieldType::kString, "\xC5\xE6 ", 3), Seg(FieldType::kString, "\xA8\xE0 ", 3));  // Еж < Ёа
  // OEM keys equal ANSI keys with the default tables.
  KeyStrings oem{&Collation::Default(), true};
  for (int c = 0; c < 256; ++c) {
    uint8_t b = uint8_t(c);
    EXPECT_EQ(Seg(FieldType::kString, &b, 1, false, false, oem), Seg(FieldType::kString, &b, 1)) << c;
  }
  // With OEM the weights come from the OEM table: a custom table shows it.
  Collation custom = Collation::Default();
  for (int c = 0; c < 256; ++c) custom.mutable_bytes()[256 + c] = uint8_t(255 - c);
  KeyStrings custom_oem{&custom, true};
  uint8_t a = 'A';
  EXPECT_EQ(uint8_t(Seg(FieldType::kString, &a, 1, false, false, custom_oem)[0]), 255 - 'A');
}

TEST(KeyEncoding, CStringAndPStringAreBounded) {
  // CSTRING "AB" in 5 bytes, garbage after the NUL is not keyed.
  EXPECT_EQ(Seg(FieldType::kCString, "AB\0XY", 5), Seg(FieldType::kCString, "AB\0\0\0", 5));
  EXPECT_LT(Seg(FieldType::kCString, "AB\0XY", 5), Seg(FieldType::kCString, "AB \0\0", 5));
  // CSTRING without NUL: its whole field.
  EXPECT_EQ(Seg(FieldType::kCString, "ABCDE", 5).size(), 5u);
  // PSTRING: text after the length byte, zero-filled; a length byte past
  // the field is cut at the field.
  std::string p1("\x02" "ABZZ", 5), p2("\x02" "AB\0\0", 5), p3("\xFF" "ABCD", 5), p4("\x04" "ABCD", 5);
  EXPECT_EQ(Seg(FieldType::kPString, p1.data(), 5), Seg(FieldType::kPString, p2.data(), 5));
  EXPECT_EQ(Seg(FieldType::kPString, p3.data(), 5), Seg(FieldType::kPString, p4.data(), 5));
  const Collation& c = Collation::Default();
  std::string s = Seg(FieldType::kPString, p1.data(), 5);
  EXPECT_EQ(Hex(s), Hex(std::string{char(c.AnsiWeight('A')), char(c.AnsiWeight('B')), 0, 0, 0}));
}

TEST(KeyEncoding, Expansions) {
  Collation c = Collation::Default();
  auto& b = c.mutable_bytes();
  b[1024] = 'X', b[1025] = 'K', b[1026] = 'S';  // X sorts as KS
  KeyStrings s{&c, false}, oem{&c, true};
  EXPECT_EQ(Seg(FieldType::kString, "AX  ", 4, false, false, s), Seg(FieldType::kString, "AKS ", 4, false, false, s));
  // Cut at the field length.
  EXPECT_EQ(Seg(FieldType::kString, "ABX", 3, false, false, s), Seg(FieldType::kString, "ABK", 3, false, false, s));
  EXPECT_EQ(Seg(FieldType::kString, "AX  ", 4, false, false, oem), Seg(FieldType::kString, "AKS ", 4, false, false, oem));
  // NOCASE folds before expanding: x is not in the list, X is.
  EXPECT_EQ(Seg(FieldType::kString, "X ", 2, false, true, s), Seg(FieldType::kString, "x ", 2, false, true, s));
}

// Composed weights give every byte, case kept or folded, in either code
// page, exactly the weight of the step-by-step treatment, for the default
// collation and a custom one; a collation with expansions has none.
TEST(KeyEncoding, ComposedWeightsMatchTheStepByStepTreatment) {
  Collation custom = Collation::Default();
  for (int c = 0; c < 256; ++c) custom.mutable_bytes()[c] = uint8_t((c * 37) & 0xFF);
  for (const Collation* coll : {&Collation::Default(), static_cast<const Collation*>(&custom)}) {
    for (bool oem : {false, true}) {
      KeyStrings step{coll, oem}, composed{coll, oem};
      composed.weights = ComposeWeights(*coll, oem);
      ASSERT_NE(composed.weights, nullptr);
      std::string text(256, '\0');
      for (int c = 0; c < 256; ++c) text[size_t(c)] = char(c);
      for (bool nocase : {false, true}) {
        EXPECT_EQ(Hex(Seg(FieldType::kString, text.data(), 256, false, nocase, composed)),
                  Hex(Seg(FieldType::kString, text.data(), 256, false, nocase, step)))
            << oem << nocase;
      }
    }
  }
  Collation expanding = Collation::Default();
  expanding.mutable_bytes()[1024] = 'X', expanding.mutable_bytes()[1025] = 'K', expanding.mutable_bytes()[1026] = 'S';
  EXPECT_EQ(ComposeWeights(expanding, false), nullptr);
}

TEST(KeyEncoding, BlankDetection) {
  TableDesc d;
  d.record_length = 20;
  auto add = [&](FieldType t, uint32_t off, uint32_t n) {
    FieldDesc f = Field(t, n);
    f.offset = off;
    f.ordinal = uint32_t(d.fields.size());
    d.fields.push_back(f);
  };
  add(FieldType::kGroup, 0, 20);
  add(FieldType::kString, 0, 4);
  add(FieldType::kCString, 4, 4);
  add(FieldType::kPString, 8, 4);
  add(FieldType::kLong, 12, 4);
  add(FieldType::kDecimal, 16, 4);
  std::vector<KeyComponent> all = {{1, false}, {2, false}, {3, false}, {4, false}, {5, false}};
  uint8_t img[20];
  std::memset(img, 0, 20);
  std::memset(img, ' ', 4);
  img[5] = 'x';  // after the CSTRING's leading NUL: still empty
  img[9] = 'y';  // after the PSTRING's zero length: still empty
  EXPECT_TRUE(KeyIsBlank(d, all, kKeyOpt, img));
  EXPECT_FALSE(KeyIsBlank(d, all, 0, img));  // only OPT keys are ever blank
  struct Change { size_t at; uint8_t v; } changes[] = {{0, 'A'}, {3, 0}, {4, 'A'}, {8, 1}, {15, 1}, {19, 1}};
  for (const Change& c : changes) {
    uint8_t copy[20];
    std::memcpy(copy, img, 20);
    copy[c.at] = c.v;
    EXPECT_FALSE(KeyIsBlank(d, all, kKeyOpt, copy)) << c.at;
  }
  uint8_t grp[20];
  std::memset(grp, ' ', 20);
  EXPECT_TRUE(KeyIsBlank(d, {{0, false}}, kKeyOpt, grp));
}

TEST(KeyEncoding, EntryRecords) {
  std::string v("\x80\x00\x00\x05", 4);
  EXPECT_EQ(Hex(EntryKey(1, 2, false, v, 0x0A0B0C0D)), "00 00 00 01 02 80 00 00 05");
  EXPECT_EQ(Hex(EntryData(false, 0x0A0B0C0D)), "0A 0B 0C 0D");
  EXPECT_EQ(Hex(EntryKey(1, 2, true, v, 0x0A0B0C0D)), "00 00 00 01 02 80 00 00 05 0A 0B 0C 0D");
  EXPECT_EQ(EntryData(true, 7), "");
  EXPECT_EQ(EntryRecno(true, EntryKey(1, 2, true, v, 99), ""), 99u);
  EXPECT_EQ(EntryRecno(false, EntryKey(1, 2, false, v, 99), EntryData(false, 99)), 99u);
  // DUP entries of equal values order by record number.
  EXPECT_LT(EntryKey(1, 0, true, v, 0xFF), EntryKey(1, 0, true, v, 0x100));
  OperationFrame frame("t");
  EXPECT_THROW(EntryRecno(false, "12345", "12"), InternalError);
}

}  // namespace
}  // namespace kel
