#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "storage/container.h"
#include "storage/errors.h"

namespace kel {
namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> v) { return std::vector<uint8_t>(v.begin(), v.end()); }
std::vector<uint8_t> Repeat(uint8_t b, size_t n) { return std::vector<uint8_t>(n, b); }
std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct CompressCase {
  const char* name;
  std::vector<uint8_t> in;
  bool compressible;
  std::vector<uint8_t> out;  // expected stream when compressible
};

TEST(CompressTest, StreamsMatchTheFormat) {
  std::vector<CompressCase> cases = {
      {"empty", {}, false, {}},
      {"runs of three stay literal", Bytes({7, 7, 7, 1, 1, 1, 2, 2, 2}), false, {}},
      {"four equal bytes at the start", Bytes({'X', 'X', 'X', 'X', 'a', 'b'}), true,
       Bytes({1, 'X', 3, 2, 'a', 'b'})},
      {"run at the end leaves an empty final group", Bytes({'a', 'Z', 'Z', 'Z', 'Z', 'Z'}), true,
       Bytes({2, 'a', 'Z', 4, 0})},
      {"two runs", Cat(Cat(Repeat(0, 5), Bytes({9})), Repeat(1, 4)), true,
       Bytes({1, 0, 4, 2, 9, 1, 3, 0})},
      {"run count 128 takes two bytes", Repeat('A', 129), true, Bytes({1, 'A', 0x80, 0x01, 0})},
  };
  for (const CompressCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> out;
    ASSERT_EQ(Compress(c.in.data(), c.in.size(), &out), c.compressible);
    if (!c.compressible) continue;
    EXPECT_EQ(out, c.out);
    std::vector<uint8_t> back(c.in.size());
    Decompress(out.data(), out.size(), back.data(), back.size());
    EXPECT_EQ(back, c.in);
  }
}

TEST(CompressTest, LiteralCountOf128IsWritten80_01) {
  std::vector<uint8_t> in;
  for (int i = 0; i < 127; ++i) in.push_back(uint8_t(i % 2 ? 'p' : 'q'));
  in.insert(in.end(), 4, 'r');  // the run's first byte is the 128th literal
  std::vector<uint8_t> out;
  ASSERT_TRUE(Compress(in.data(), in.size(), &out));
  ASSERT_GE(out.size(), 2u);
  EXPECT_EQ(out[0], 0x80);
  EXPECT_EQ(out[1], 0x01);
  EXPECT_EQ(out[2 + 128], 3);  // the run count after the literals
}

// The format's rules applied a byte at a time: every maximal block of 4 or
// more equal bytes is a run.
bool ReferenceCompress(const std::vector<uint8_t>& in, std::vector<uint8_t>* out) {
  auto count = [&](size_t v) {
    for (; v >= 128; v >>= 7) out->push_back(uint8_t((v & 127) | 128));
    out->push_back(uint8_t(v));
  };
  out->clear();
  size_t p = 0, i = 0;
  bool any = false;
  while (i < in.size()) {
    size_t r = 1;
    while (i + r < in.size() && in[i + r] == in[i]) ++r;
    if (r >= 4) {
      count(i + 1 - p);
      out->insert(out->end(), in.begin() + ptrdiff_t(p), in.begin() + ptrdiff_t(i + 1));
      count(r - 1);
      p = i + r;
      any = true;
    }
    i += r;
  }
  count(in.size() - p);
  out->insert(out->end(), in.begin() + ptrdiff_t(p), in.end());
  return any;
}

TEST(CompressTest, RandomRoundTrips) {
  std::mt19937 rng(42);
  for (int iter = 0; iter < 300; ++iter) {
    std::vector<uint8_t> in;
    size_t target = rng() % 20000;
    while (in.size() < target) {
      uint8_t b = uint8_t(rng() % 4);
      size_t len = (rng() % 3 == 0) ? rng() % 300 : 1 + rng() % (iter % 2 ? 3 : 6);
      in.insert(in.end(), len, b);
    }
    std::vector<uint8_t> out, expect;
    const bool packed = Compress(in.data(), in.size(), &out);
    ASSERT_EQ(packed, ReferenceCompress(in, &expect)) << iter;
    if (!packed) continue;
    ASSERT_EQ(out, expect) << iter;
    std::vector<uint8_t> back(in.size());
    Decompress(out.data(), out.size(), back.data(), back.size());
    ASSERT_EQ(back, in) << iter;
  }
}

struct BadStream {
  const char* name;
  std::vector<uint8_t> in;
  size_t out_len;
  int code;
};

TEST(DecompressTest, DamagedStreamsRaiseTheirCodes) {
  std::vector<BadStream> cases = {
      {"literal count above the output", Bytes({5, 1, 2, 3, 4, 5}), 4, 522},
      {"literals past the input", Bytes({4, 1, 2}), 4, 522},
      {"no input at all", {}, 3, 522},
      {"count cut off", Bytes({0x80}), 200, 522},
      {"endless count", Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}), 10, 522},
      {"run above the output", Bytes({1, 'a', 9}), 5, 530},
      {"run count missing", Bytes({1, 'a'}), 5, 530},
      {"run with nothing to repeat", Bytes({0, 3}), 3, 530},
      {"empty groups until the input ends", Bytes({0, 0, 0, 0}), 2, 522},
  };
  for (const BadStream& c : cases) {
    SCOPED_TRACE(c.name);
    OperationFrame frame("T");
    std::vector<uint8_t> out(c.out_len);
    try {
      Decompress(c.in.data(), c.in.size(), out.data(), out.size());
      ADD_FAILURE() << "no error";
    } catch (const InternalError& e) {
      EXPECT_EQ(e.code(), c.code);
    }
  }
}

TEST(DecompressTest, StopsAtTheUnpackedLength) {
  // Trailing bytes after the output is complete (the writer's final empty
  // literal group) are not read.
  std::vector<uint8_t> in = Bytes({1, 'z', 3, 0, 0xFF});
  std::vector<uint8_t> out(4);
  Decompress(in.data(), in.size(), out.data(), out.size());
  EXPECT_EQ(out, Repeat('z', 4));
}

// A decompression that stops early gives the first bytes of the full one,
// and a group it reads on the way is checked against the whole output.
TEST(DecompressTest, StoppingEarlyGivesThePrefixAndChecksWhatItReads) {
  std::mt19937 rng(7);
  for (int iter = 0; iter < 100; ++iter) {
    std::vector<uint8_t> in;
    while (in.size() < 600) in.insert(in.end(), 1 + rng() % (rng() % 3 ? 3 : 40), uint8_t(rng() % 3));
    std::vector<uint8_t> packed;
    if (!Compress(in.data(), in.size(), &packed)) continue;
    for (size_t stop : {size_t(0), size_t(1), size_t(5), size_t(rng() % in.size()), in.size()}) {
      std::vector<uint8_t> out(in.size(), 0xEE);
      Decompress(packed.data(), packed.size(), out.data(), out.size(), stop);
      ASSERT_TRUE(std::equal(in.begin(), in.begin() + ptrdiff_t(stop), out.begin())) << iter << " stop " << stop;
      // Nothing is written past the stop point but within the group copied.
      ASSERT_TRUE(std::all_of(out.begin() + ptrdiff_t(stop), out.end(), [](uint8_t b) { return b == 0xEE; }));
    }
  }
  OperationFrame frame("T");
  std::vector<uint8_t> out(4);
  // The literal count passes the whole output even though the stop is near.
  std::vector<uint8_t> bad = Bytes({5, 1, 2, 3, 4, 5});
  EXPECT_THROW(Decompress(bad.data(), bad.size(), out.data(), out.size(), 2), InternalError);
  // A damaged group past the stop point is not read.
  std::vector<uint8_t> tail = Bytes({2, 'a', 'b', 9});
  Decompress(tail.data(), tail.size(), out.data(), out.size(), 2);
  EXPECT_EQ(out[1], 'b');
}

}  // namespace
}  // namespace kel
