#include "storage/record_kinds.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/codepage.h"
#include "storage/errors.h"

namespace kel {
namespace {

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(char(b));
  return s;
}

TEST(RecordKinds, ExactKeyBytes) {
  EXPECT_EQ(DataKey(1, 2), B({0, 0, 0, 1, 0xF3, 0, 0, 0, 2}));
  EXPECT_EQ(KeyPrefix(0x01020304, 7), B({1, 2, 3, 4, 7}));
  EXPECT_EQ(CounterKey(1, 0xF3), B({0, 0, 0, 1, 0xF6, 0xF3}));
  EXPECT_EQ(CounterKey(1, 0), B({0, 0, 0, 1, 0xF6, 0}));
  EXPECT_EQ(DefBlockKey(1, 0x0102), B({0, 0, 0, 1, 0xFA, 2, 1}));  // little-endian block
  EXPECT_EQ(CollationKey(9), B({0, 0, 0, 9, 0xFB, 1}));
  EXPECT_EQ(MemoChunkKey(1, 0x10203, 2, 0x0102), B({0, 0, 0, 1, 0xFC, 0, 1, 2, 3, 2, 1, 2}));  // big-endian chunk
  EXPECT_EQ(NameKey("gorod"), "\xFEGOROD");
  EXPECT_EQ(NameKey("\xE7\xE0\xFF\xE2\xEA\xE8"), "\xFE\xC7\xC0\xDF\xC2\xCA\xC8");  // заявки
  EXPECT_EQ(MarkerKey(), B({0xFF}));
  EXPECT_EQ(RecnoOfDataKey(DataKey(5, 0xABCDEF01)), 0xABCDEF01u);
}

TEST(RecordKinds, NumbersSortNumerically) {
  EXPECT_LT(DataKey(1, 0xFF), DataKey(1, 0x100));
  EXPECT_LT(DataKey(1, 0xFFFFFF), DataKey(1, 0x1000000));
  EXPECT_LT(DataKey(0xFF, 7), DataKey(0x100, 1));
  // Every key of a table sorts before the name records and the marker.
  EXPECT_LT(MemoChunkKey(0xFDFFFFFF, 0xFFFFFFFF, 255, 0xFFFF), NameKey(""));
  EXPECT_LT(NameKey("ZZZ"), MarkerKey());
}

TEST(RecordKinds, CounterAndNameData) {
  std::string d = EncodeCounter({3, 0x01020304});
  EXPECT_EQ(d, B({3, 0, 0, 0, 4, 3, 2, 1}));
  Counter c = DecodeCounter(d);
  EXPECT_EQ(c.count, 3u);
  EXPECT_EQ(c.mark, 0x01020304u);
  EXPECT_EQ(DecodeNameData(EncodeNameData(258)), 258u);
  OperationFrame frame("t");
  EXPECT_THROW(DecodeCounter("1234567"), InternalError);
  EXPECT_THROW(DecodeNameData("12345"), InternalError);
}

// A 30-byte record: STRING(6) at 0, CSTRING(6) at 6, PSTRING(6) at 12 with
// a STRING overlay on it (never converted), CSTRING[2] and PSTRING[2].
TableDesc StringTable() {
  TableDesc d;
  d.record_length = 30;
  auto add = [&](uint8_t type, uint32_t off, uint32_t esize, uint32_t count, bool overlay) {
    FieldDesc f;
    f.type = type, f.offset = off, f.element_size = esize, f.element_count = count;
    f.size = esize * count, f.overlay = overlay, f.ordinal = uint32_t(d.fields.size());
    d.fields.push_back(f);
  };
  add(22, 0, 30, 1, false);
  add(18, 0, 6, 1, false);   // STRING
  add(19, 6, 6, 1, false);   // CSTRING
  add(20, 12, 6, 1, false);  // PSTRING
  add(18, 12, 6, 1, true);   // STRING overlay on the PSTRING
  add(19, 18, 3, 2, false);  // CSTRING[2]
  add(20, 24, 3, 2, false);  // PSTRING[2]
  return d;
}

TEST(RecordKinds, OemConversionOfStringFields) {
  TableDesc d = StringTable();
  const uint8_t ya = 0xFF, oem_ya = platform::AnsiToOem(0xFF);
  uint8_t img[30];
  std::memset(img, ya, sizeof img);
  img[6 + 2] = 0;                 // CSTRING "яя"
  img[12] = 3;                    // PSTRING of 3
  img[18 + 1] = 0;                // CSTRING[0] "я", CSTRING[1] without NUL
  img[24] = 200;                  // PSTRING[0] claims 200: bounded to 2
  img[27] = 1;                    // PSTRING[1] of 1
  std::string stored = StoreImage(d, true, img);
  std::string want(30, char(ya));
  for (int i = 0; i < 6; ++i) want[i] = char(oem_ya);
  want[6] = want[7] = char(oem_ya), want[8] = 0;
  want[12] = 3, want[13] = want[14] = want[15] = char(oem_ya);
  want[18] = char(oem_ya), want[19] = 0;
  want[21] = want[22] = want[23] = char(oem_ya);
  want[24] = char(200), want[25] = want[26] = char(oem_ya);
  want[27] = 1, want[28] = char(oem_ya);
  EXPECT_EQ(stored, want);
  uint8_t back[30];
  LoadImage(d, true, stored, back);
  EXPECT_EQ(0, std::memcmp(back, img, 30));
  EXPECT_EQ(StoreImage(d, false, img), std::string(reinterpret_cast<char*>(img), 30));
  OperationFrame frame("t");
  EXPECT_THROW(LoadImage(d, true, stored.substr(1), back), InternalError);
}

}  // namespace
}  // namespace kel
