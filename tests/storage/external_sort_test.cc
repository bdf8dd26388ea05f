#include "storage/external_sort.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "platform/file.h"
#include "support/process.h"

namespace kel {
namespace {

size_t EntriesIn(const std::string& dir) {
  size_t n = 0;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = readdir(d))
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") ++n;
  closedir(d);
  return n;
}

// Bytes 0..6 give many equal prefixes and duplicates; `wide` draws from all
// 256 values.
std::vector<std::string> RandomPairs(size_t count, size_t len, unsigned seed, bool wide = false) {
  std::mt19937 rng(seed);
  std::vector<std::string> pairs;
  for (size_t i = 0; i < count; ++i) {
    std::string p(len, '\0');
    for (char& c : p) c = char(wide ? rng() % 256 : rng() % 7);
    pairs.push_back(p);
  }
  return pairs;
}

std::vector<std::string> SortAll(const std::vector<std::string>& pairs, SortOptions opt, size_t* runs,
                                 bool* file) {
  ExternalSorter s(pairs[0].size(), opt);
  for (const auto& p : pairs) EXPECT_EQ(s.Add(p), 0);
  EXPECT_EQ(s.Finish(), 0);
  std::vector<std::string> out;
  std::string_view v;
  while (s.Next(&v)) out.emplace_back(v);
  EXPECT_EQ(s.error(), 0);
  *runs = s.runs();
  *file = s.file_created();
  return out;
}

TEST(ExternalSort, OrderWithAndWithoutSpills) {
  test::TempDir dir;
  struct Case {
    size_t count, len, spill, memory;
    bool expect_file;
    bool wide = false;
  } cases[] = {
      {1, 8, 999999, 16384, false},       // one pair
      {5000, 9, 999999, 16384, false},    // all in the heap
      {5000, 9, 1000, 16384, true},       // many runs, stream moves to a file
      {300, 6, 100, 16384, false},        // runs that fit the in-memory stream
      {120000, 12, 999999, 16384, true},  // the real threshold: two runs
      {20000, 8, 999999, 16384, false, true},   // whole pairs in the prefix, every byte value
      {20000, 3, 999999, 16384, false, true},   // pairs shorter than the prefix
      {20000, 21, 50000, 16384, true, true},    // long pairs over runs
  };
  for (const Case& c : cases) {
    auto pairs = RandomPairs(c.count, c.len, unsigned(c.count), c.wide);
    SortOptions opt;
    opt.spill_bytes = c.spill;
    opt.memory_stream_bytes = c.memory;
    opt.temp_dir = dir.path();
    size_t runs = 0;
    bool file = false;
    auto got = SortAll(pairs, opt, &runs, &file);
    std::sort(pairs.begin(), pairs.end());
    EXPECT_EQ(got, pairs) << c.count << "/" << c.spill;
    EXPECT_EQ(file, c.expect_file) << c.count << "/" << c.spill;
    if (c.spill < c.count * c.len) {
      EXPECT_GE(runs, (c.count * c.len) / (c.spill + c.len)) << c.count << "/" << c.spill;
    } else {
      EXPECT_EQ(runs, 0u);
    }
    EXPECT_EQ(EntriesIn(dir.path()), 0u);
  }
}

// Pairs as a build adds them: a value, then a record number that grows from
// pair to pair. The sort may skip the passes over bytes that already ascend
// in the order the pairs came; tails that almost ascend (one late
// inversion) or descend must still be sorted.
TEST(ExternalSort, RecordNumberTailsSortLikeAnyPairs) {
  test::TempDir dir;
  struct Case {
    const char* name;
    size_t value_len;
    int tail;  // 0 ascending, 1 ascending but the last two swapped, 2 descending
    size_t names = 0;   // values drawn from this many names (0: random bytes)
    size_t spill = 999999;
  } cases[] = {
      {"value and number fill the prefix", 4, 0}, {"short pair", 2, 0},     {"long pair", 20, 0},
      {"one late inversion", 4, 1},               {"short, late inversion", 2, 1},
      {"descending numbers", 4, 2},               {"no value", 0, 1},
      // Equal values in many runs: the merge decides by the record number.
      {"repeated names over runs", 20, 0, 40, 20000},
      {"repeated 12-byte names over runs", 12, 2, 40, 20000},
      {"repeated 28-byte names over runs", 28, 1, 40, 20000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t count = 30000;
    std::mt19937 rng(unsigned(c.value_len * 10 + size_t(c.tail)));
    std::vector<std::string> pairs;
    for (size_t i = 0; i < count; ++i) {
      uint32_t recno = uint32_t(c.tail == 2 ? count - i : 70000 + i * 3);
      if (c.tail == 1 && i == count - 2) recno += 5;
      std::string p;
      if (c.names > 0) {
        std::string name = "Name" + std::to_string(rng() % c.names);
        name.resize(c.value_len, ' ');
        p = name;
      } else {
        for (size_t b = 0; b < c.value_len; ++b) p.push_back(char(rng() % (b == 0 ? 3 : 256)));
      }
      for (int s = 24; s >= 0; s -= 8) p.push_back(char(recno >> s));
      pairs.push_back(p);
    }
    SortOptions opt;
    opt.temp_dir = dir.path();
    opt.spill_bytes = c.spill;
    size_t runs = 0;
    bool file = false;
    auto got = SortAll(pairs, opt, &runs, &file);
    std::sort(pairs.begin(), pairs.end());
    EXPECT_EQ(got, pairs);
    if (c.spill < 999999) {
      EXPECT_GT(runs, 10u);
    }
  }
}

TEST(ExternalSort, MergeReadsWithinItsBudget) {
  // 400 runs sharing 4000 bytes of read buffers: one 10-byte pair each.
  test::TempDir dir;
  auto pairs = RandomPairs(20000, 10, 3);
  SortOptions opt;
  opt.spill_bytes = 500;
  opt.merge_buffer_budget = 4000;
  opt.temp_dir = dir.path();
  size_t runs = 0;
  bool file = false;
  auto got = SortAll(pairs, opt, &runs, &file);
  std::sort(pairs.begin(), pairs.end());
  EXPECT_EQ(got, pairs);
  EXPECT_GT(runs, 300u);
}

TEST(ExternalSort, SpillHappensOnlyPastTheThreshold) {
  // With 3-byte pairs and a threshold of 30 bytes, the spill comes before
  // the pair added once the collected total is above 30, not at 30.
  SortOptions opt;
  opt.spill_bytes = 30;
  ExternalSorter t(3, opt);
  for (int i = 0; i < 10; ++i) ASSERT_EQ(t.Add("abc"), 0);
  EXPECT_EQ(t.runs(), 0u);
  ASSERT_EQ(t.Add("abc"), 0);
  EXPECT_EQ(t.runs(), 0u);  // 30 collected, not above the threshold
  ASSERT_EQ(t.Add("abc"), 0);
  EXPECT_EQ(t.runs(), 1u);  // 33 > 30: spilled before this pair
}

TEST(ExternalSort, WriteErrorFailsTheSortAndLeavesNoFile) {
  test::TempDir dir;
  auto pairs = RandomPairs(4000, 10, 7);
  for (int failing_write : {0, 1, 2}) {  // the stream takes three buffer writes
    SortOptions opt;
    opt.spill_bytes = 2000;
    opt.temp_dir = dir.path();
    ExternalSorter s(10, opt);
    platform::FaultPlan plan;
    plan.fail_write = failing_write;
    plan.error = 28;  // no space left
    platform::ArmFaults(plan);
    int rc = 0;
    for (const auto& p : pairs)
      if ((rc = s.Add(p)) != 0) break;
    if (rc == 0) rc = s.Finish();
    platform::DisarmFaults();
    EXPECT_EQ(rc, 28) << failing_write;
    std::string_view v;
    EXPECT_FALSE(s.Next(&v));
    EXPECT_EQ(s.error(), 28);
    EXPECT_EQ(EntriesIn(dir.path()), 0u);
  }
}

}  // namespace
}  // namespace kel
