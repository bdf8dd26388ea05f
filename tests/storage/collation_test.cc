#include "storage/collation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "storage/errors.h"

namespace kel {
namespace {

const Collation& C() { return Collation::Default(); }

std::string Weigh(const std::string& s, bool nocase) {
  std::string out;
  for (char ch : s) {
    uint8_t c = uint8_t(ch);
    if (nocase) c = C().Fold(c);
    out.push_back(char(C().AnsiWeight(c)));
  }
  return out;
}

TEST(Collation, WeightsArePermutationsAgreeingAcrossCodePages) {
  std::set<int> ansi, oem;
  for (int c = 0; c < 256; ++c) {
    ansi.insert(C().AnsiWeight(uint8_t(c)));
    oem.insert(C().OemWeight(uint8_t(c)));
    EXPECT_EQ(C().OemWeight(platform::AnsiToOem(uint8_t(c))), C().AnsiWeight(uint8_t(c))) << c;
  }
  EXPECT_EQ(ansi.size(), 256u);
  EXPECT_EQ(oem.size(), 256u);
  EXPECT_EQ(C().AnsiWeight(0), 0);
  EXPECT_EQ(C().AnsiWeight(' '), 32);
  EXPECT_FALSE(C().HasExpansions());
}

TEST(Collation, RussianAlphabetOrder) {
  // А Б В Г Д Е Ё Ж З И Й К Л М Н О П Р С Т У Ф Х Ц Ч Ш Щ Ъ Ы Ь Э Ю Я
  std::vector<int> upper = {0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xA8};
  for (int c = 0xC6; c <= 0xDF; ++c) upper.push_back(c);
  for (size_t i = 1; i < upper.size(); ++i) {
    EXPECT_LT(C().AnsiWeight(uint8_t(upper[i - 1])), C().AnsiWeight(uint8_t(upper[i]))) << upper[i];
    int lo = platform::LowerAnsi(uint8_t(upper[i])), prev_lo = platform::LowerAnsi(uint8_t(upper[i - 1]));
    EXPECT_LT(C().AnsiWeight(uint8_t(prev_lo)), C().AnsiWeight(uint8_t(lo))) << lo;
    // The capital sorts right before its small letter, then the next letter.
    EXPECT_EQ(C().AnsiWeight(uint8_t(upper[i])) + 1, C().AnsiWeight(uint8_t(lo)));
  }
  // Ё directly after Е (and ё after е), nothing between.
  EXPECT_EQ(C().AnsiWeight(0xE5) + 1, C().AnsiWeight(0xA8));
}

TEST(Collation, WordsSortTheWayAReaderExpects) {
  std::vector<std::string> words = {
      "\xDF\xF0\xEE\xF1\xEB\xE0\xE2\xEB\xFC",  // Ярославль
      "\xE5\xEB\xFC",                          // ель
      "Zebra",
      "\xB8\xEB\xEA\xE0",                      // ёлка
      "2nd",
      "apple",
      "\xC0\xF0\xE7\xE0\xEC\xE0\xF1",          // Арзамас
      "\xE6\xE0\xE1\xE0",                      // жаба
      "10",
      "Apple",
  };
  std::vector<std::string> expected = {
      "10", "2nd", "Apple", "apple", "Zebra",
      "\xC0\xF0\xE7\xE0\xEC\xE0\xF1", "\xE5\xEB\xFC", "\xB8\xEB\xEA\xE0", "\xE6\xE0\xE1\xE0",
      "\xDF\xF0\xEE\xF1\xEB\xE0\xE2\xEB\xFC",
  };
  std::sort(words.begin(), words.end(),
            [](const std::string& a, const std::string& b) { return Weigh(a, false) < Weigh(b, false); });
  EXPECT_EQ(words, expected);
}

TEST(Collation, NoCaseFoldsCyrillicAndLatin) {
  EXPECT_EQ(Weigh("\xA8\xCB\xCA\xC0", true), Weigh("\xB8\xEB\xEA\xE0", true));  // ЁЛКА / ёлка
  EXPECT_NE(Weigh("\xA8\xCB\xCA\xC0", false), Weigh("\xB8\xEB\xEA\xE0", false));
  EXPECT_EQ(Weigh("MiXeD", true), Weigh("mixed", true));
  EXPECT_EQ(C().ClassOf('7'), Collation::kDigit);
  EXPECT_EQ(C().ClassOf(0xB2), Collation::kUpper);  // І
  EXPECT_EQ(C().CasePartner(0xB2), 0xB3);
  EXPECT_EQ(C().Fold('-'), '-');
}

TEST(Collation, RecordDataRoundTripAndBadLength) {
  std::string data = EncodeCollationData(C(), true);
  ASSERT_EQ(data.size(), 1153u);
  EXPECT_EQ(data[0], 1);
  Collation back;
  bool oem = false;
  DecodeCollationData(data, &back, &oem);
  EXPECT_TRUE(oem);
  EXPECT_EQ(back, C());
  OperationFrame frame("t");
  try {
    DecodeCollationData(std::string_view(data).substr(0, 600), &back, &oem);
    FAIL();
  } catch (const InternalError& e) {
    EXPECT_EQ(e.code(), kErrCollationRecord);
  }
}

TEST(Collation, ExpansionList) {
  Collation c = C();
  auto& b = c.mutable_bytes();
  b[1024] = 'X', b[1025] = 'K', b[1026] = 'S';
  uint8_t out[2];
  EXPECT_TRUE(c.HasExpansions());
  ASSERT_TRUE(c.Expansion('X', out));
  EXPECT_EQ(out[0], 'K');
  EXPECT_EQ(out[1], 'S');
  EXPECT_FALSE(c.Expansion('Y', out));
}

}  // namespace
}  // namespace kel
