#include <gtest/gtest.h>

#include <cstring>

#include "storage/container.h"

namespace kel {
namespace {

TEST(HeaderTest, EncodesEveryFieldAtItsOffset) {
  Header h = Header::Empty();
  h.log_start = 0x01020304;
  h.log_end = 0x05060708;
  h.last_number = 0x0A0B0C0D;
  h.change_count = 7;
  h.root = -1;
  h.start[1] = 0;
  h.end[1] = 3;
  for (int i = 2; i < 59; ++i) h.start[i] = h.end[i] = 3;
  h.start[59] = 0x10;
  h.end[59] = 0x10 + 59;
  uint8_t b[512];
  h.Encode(b);
  EXPECT_EQ(b[0] | b[1] | b[2] | b[3], 0);
  EXPECT_EQ(b[4], 0x00);
  EXPECT_EQ(b[5], 0x02);  // 512
  EXPECT_EQ(0, std::memcmp(b + 6, "\x04\x03\x02\x01\x08\x07\x06\x05", 8));
  EXPECT_EQ(0, std::memcmp(b + 14, "kElS", 4));
  EXPECT_EQ(b[18] | b[19], 0);
  EXPECT_EQ(0, std::memcmp(b + 20, "\x0A\x0B\x0C\x0D", 4));  // big-endian
  EXPECT_EQ(b[24], 7);
  EXPECT_EQ(0, std::memcmp(b + 28, "\xFF\xFF\xFF\xFF", 4));
  EXPECT_EQ(b[272 + 4], 3);              // end[1]
  EXPECT_EQ(b[32 + 4 * 59], 0x10);       // start[59]
  EXPECT_EQ(b[272 + 4 * 59], 0x10 + 59); // end[59]

  Header back;
  ASSERT_TRUE(Header::Decode(b, &back));
  EXPECT_EQ(back.log_start, h.log_start);
  EXPECT_EQ(back.log_end, h.log_end);
  EXPECT_EQ(back.last_number, h.last_number);
  EXPECT_EQ(back.change_count, 7u);
  EXPECT_EQ(back.root, -1);
  EXPECT_EQ(back.start, h.start);
  EXPECT_EQ(back.end, h.end);
  EXPECT_EQ(back.header_length, 512);
}

TEST(HeaderTest, EmptyHeaderIsAValidEmptyFile) {
  Header h = Header::Empty();
  EXPECT_TRUE(h.SignatureValid());
  EXPECT_TRUE(h.RegionsWellFormed());
  EXPECT_EQ(h.UsedEnd(), 512u);
  EXPECT_EQ(h.root, 0);
  h.ClearSignature();
  EXPECT_FALSE(h.SignatureValid());
}

TEST(HeaderTest, UsedEndIsTheEndOfTheHighestNonEmptyRegion) {
  Header h = Header::Empty();
  h.end[1] = 2;
  h.start[2] = h.end[2] = 2;
  h.start[3] = 4;  // two pages of class 3, a gap of 2 units below
  h.end[3] = 10;
  for (int i = 4; i <= 59; ++i) h.start[i] = h.end[i] = 10;  // empty: not counted
  ASSERT_TRUE(h.RegionsWellFormed());
  EXPECT_EQ(h.UsedEnd(), 512u + 256u * 10);
}

TEST(HeaderTest, DecodeRejectsBadSignatureAndMalformedRegionTables) {
  struct Case {
    const char* name;
    void (*damage)(Header&);
  } cases[] = {
      {"signature", [](Header& h) { h.signature[0] = 'K'; }},
      {"region 0 not empty", [](Header& h) { h.end[0] = 1; for (int i = 1; i <= 59; ++i) h.start[i] = h.end[i] = 1; }},
      {"start above end", [](Header& h) { h.start[5] = 4; h.end[5] = 0; }},
      {"region not whole pages", [](Header& h) {
         for (int i = 3; i <= 59; ++i) h.start[i] = h.end[i] = 10;
         h.end[3] = 14;
       }},
      {"regions overlap", [](Header& h) {
         h.end[1] = 5;
         for (int i = 2; i <= 59; ++i) h.start[i] = h.end[i] = 5;
         h.start[2] = 4;
         h.end[2] = 6;
       }},
      {"descending", [](Header& h) { h.start[10] = h.end[10] = 100; }},
      {"reaches the lock area", [](Header& h) {
         h.start[59] = kMaxUnits - 58;
         h.end[59] = kMaxUnits + 1;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Header h = Header::Empty();
    c.damage(h);
    uint8_t b[512];
    h.Encode(b);
    Header back;
    EXPECT_FALSE(Header::Decode(b, &back));
  }
  // The highest region may end exactly where the lock area begins.
  Header h = Header::Empty();
  h.start[59] = kMaxUnits - 59;
  h.end[59] = kMaxUnits;
  uint8_t b[512];
  h.Encode(b);
  Header back;
  EXPECT_TRUE(Header::Decode(b, &back));
  EXPECT_EQ(back.UsedEnd(), kLockAreaStart);
}

}  // namespace
}  // namespace kel
