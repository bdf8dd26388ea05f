#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

namespace kel::platform {
namespace {

TEST(CodePage, EveryByteRoundTripsBothWays) {
  std::set<int> oem_seen;
  for (int c = 0; c < 256; ++c) {
    uint8_t o = AnsiToOem(uint8_t(c));
    EXPECT_EQ(OemToAnsi(o), c) << "ANSI byte " << c;
    EXPECT_EQ(AnsiToOem(OemToAnsi(uint8_t(c))), c) << "OEM byte " << c;
    oem_seen.insert(o);
  }
  EXPECT_EQ(oem_seen.size(), 256u);  // a permutation: nothing collapses
}

TEST(CodePage, SharedCharactersKeepTheirMeaning) {
  int shared = 0;
  for (int c = 0; c < 256; ++c) {
    char32_t u = AnsiToUnicode(uint8_t(c));
    for (int o = 0; o < 256; ++o) {
      if (OemToUnicode(uint8_t(o)) != u) continue;
      EXPECT_EQ(AnsiToOem(uint8_t(c)), o) << "ANSI " << c;
      ++shared;
    }
  }
  EXPECT_EQ(shared, 128 + 64 + 13);
  // A few by hand: А, я, Ё, ё, №, no-break space.
  EXPECT_EQ(AnsiToOem(0xC0), 0x80);
  EXPECT_EQ(AnsiToOem(0xFF), 0xEF);
  EXPECT_EQ(AnsiToOem(0xEF), 0xAF);  // п
  EXPECT_EQ(AnsiToOem(0xF0), 0xE0);  // р
  EXPECT_EQ(AnsiToOem(0xA8), 0xF0);
  EXPECT_EQ(AnsiToOem(0xB8), 0xF1);
  EXPECT_EQ(AnsiToOem(0xB9), 0xFC);
  EXPECT_EQ(AnsiToOem(0xA0), 0xFF);
  EXPECT_EQ(AnsiToOem('A'), 'A');
}

TEST(CodePage, CharactersWithoutCounterpartTakeTheFreePositionsInOrder) {
  // « (0xAB) and » (0xBB) have no OEM counterpart; they must still survive,
  // in box-drawing positions, in ascending order.
  std::vector<int> ansi_only, oem_only;
  for (int c = 0x80; c < 256; ++c) {
    char32_t u = AnsiToUnicode(uint8_t(c));
    bool found = false;
    for (int o = 0x80; o < 256; ++o) found |= OemToUnicode(uint8_t(o)) == u;
    if (!found) ansi_only.push_back(c);
    char32_t v = OemToUnicode(uint8_t(c));
    found = false;
    for (int a = 0x80; a < 256; ++a) found |= AnsiToUnicode(uint8_t(a)) == v;
    if (!found) oem_only.push_back(c);
  }
  ASSERT_EQ(ansi_only.size(), 51u);
  ASSERT_EQ(oem_only.size(), 51u);
  for (size_t i = 0; i < ansi_only.size(); ++i) EXPECT_EQ(AnsiToOem(uint8_t(ansi_only[i])), oem_only[i]);
  EXPECT_EQ(AnsiToOem(0x80), 0xB0);  // Ђ, the first leftover, takes ░
  std::string text = "ООО \xAB\xD0\xEE\xEC\xE0\xF8\xEA\xE0\xBB \x96 \xB2";  // «Ромашка» – І
  std::string copy = text;
  AnsiToOemBuffer(copy.data(), copy.size());
  EXPECT_NE(copy, text);
  OemToAnsiBuffer(copy.data(), copy.size());
  EXPECT_EQ(copy, text);
}

TEST(CodePage, UpperCaseInBothCodePages) {
  struct Case { uint8_t lower, upper; bool oem; } cases[] = {
      {'a', 'A', false}, {'z', 'Z', false}, {0xE0, 0xC0, false}, {0xFF, 0xDF, false},
      {0xB8, 0xA8, false}, {0xB3, 0xB2, false}, {0xB4, 0xA5, false}, {0x90, 0x80, false},
      {'q', 'Q', true},  {0xA0, 0x80, true},  {0xAF, 0x8F, true},  {0xE0, 0x90, true},
      {0xEF, 0x9F, true}, {0xF1, 0xF0, true}, {0xF7, 0xF6, true},
  };
  for (const Case& c : cases) {
    if (c.oem) {
      EXPECT_EQ(UpperOem(c.lower), c.upper) << int(c.lower);
      EXPECT_EQ(UpperOem(c.upper), c.upper);
    } else {
      EXPECT_EQ(UpperAnsi(c.lower), c.upper) << int(c.lower);
      EXPECT_EQ(UpperAnsi(c.upper), c.upper);
      EXPECT_EQ(LowerAnsi(c.upper), c.lower);
    }
  }
  for (uint8_t c : {uint8_t('1'), uint8_t(' '), uint8_t(0xB5), uint8_t(0xB9), uint8_t(0xB0)}) {
    EXPECT_EQ(UpperAnsi(c), c);
    EXPECT_EQ(UpperOem(c), c);
  }
  EXPECT_EQ(UpperAnsi(std::string("gorod\xB8\xEB\xEA\xE0")), "GOROD\xA8\xCB\xCA\xC0");
  // Upper case commutes with conversion for the letters present in both.
  for (int c = 0xE0; c < 0x100; ++c)
    EXPECT_EQ(UpperOem(AnsiToOem(uint8_t(c))), AnsiToOem(UpperAnsi(uint8_t(c)))) << c;
  EXPECT_EQ(UpperOem(AnsiToOem(0xB8)), AnsiToOem(0xA8));
}

TEST(CodePage, UnicodeLookups) {
  EXPECT_EQ(AnsiToUnicode(0xC0), U'\u0410');
  EXPECT_EQ(UnicodeToAnsi(U'\u0451'), 0xB8);
  EXPECT_EQ(UnicodeToAnsi(U'\u4E00'), '?');
  EXPECT_EQ(UnicodeToAnsi(U'\uFFFD', -1), -1);
}

// The buffer conversions step over whole runs of ASCII: every length and
// every mix of ASCII and high bytes converts exactly as byte by byte.
TEST(CodePage, BufferConversionsMatchByteByByte) {
  std::mt19937 rng(3);
  for (size_t len = 0; len <= 40; ++len) {
    for (int iter = 0; iter < 50; ++iter) {
      std::string buf(len, '\0');
      for (char& c : buf) c = char(rng() % 4 == 0 ? 0x80 + rng() % 0x80 : rng() % 0x80);
      std::string oem = buf, ansi = buf;
      AnsiToOemBuffer(oem.data(), oem.size());
      OemToAnsiBuffer(ansi.data(), ansi.size());
      for (size_t i = 0; i < len; ++i) {
        ASSERT_EQ(uint8_t(oem[i]), AnsiToOem(uint8_t(buf[i]))) << len << " " << i;
        ASSERT_EQ(uint8_t(ansi[i]), OemToAnsi(uint8_t(buf[i]))) << len << " " << i;
      }
    }
  }
}

}  // namespace
}  // namespace kel::platform
