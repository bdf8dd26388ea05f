// Damaged files: pointers outside every region, cycles and shared children,
// wrong levels, fuzzed pages and headers. Every case must end in an answer or
// an internal error — never a crash, a hang or a wrong silent success of a
// tree check.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>

#include "storage/errors.h"
#include "storage/store.h"
#include "support/process.h"
#include "support/store_testing.h"

namespace kel {
namespace {

const bool kUseMemoryFiles = (test::UseMemoryFilesWhenPossible(), true);
using test::ReadFileBytes;
using test::WriteFileBytes;
using test::U32;
using test::PutU32;



// Long keys make long separators, so the tree grows a third level soon.
std::string LongKey(int i) { return test::KeyOf(uint32_t(i)) + std::string(32, 'p'); }

class StoreDamageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OperationFrame frame("D");
    auto s = test::OpenStore(path_);
    s->EnterWriteState();
    // Three levels: small pages split at 4 KB with more than 20 records.
    for (int i = 0; i < 6000; i++) s->Insert(MakeRecord(LongKey(i), std::string(60, 'd')));
    ASSERT_EQ(s->EndOperation(), 0);
    ASSERT_EQ(s->Truncate(), 0);
    ASSERT_EQ(s->Close(), 0);
    good_ = ReadFileBytes(path_);
    root_ = 512 + 256 * U32(good_, 28);
    ASSERT_GE(uint8_t(good_[root_ + 12]), 2) << "tree not three levels high";
  }

  // Opens the damaged file and works on it: read walk, tree check, a
  // change and its commit. Answers the internal error code (0: none).
  int Exercise(const std::string& bytes) {
    WriteFileBytes(path_, bytes);
    OperationFrame frame("D");
    try {
      auto s = test::OpenStore(path_);
      if (s->BeginAccess() != 0) return -1;
      std::string key;
      size_t n = 0;
      for (RecordPtr r = s->First(); r && n < 100000; r = s->FindNext(key), n++) key.assign(r->key());
      s->Scan("", [](std::string_view, std::string_view) { return true; });
      s->Last();
      s->FindPrevious(LongKey(3000));
      s->CheckTree();
      s->EndOperation();
      s->EnterWriteState();
      s->Insert(MakeRecord("new-record", "x"));
      if (RecordPtr f = s->FindExact(LongKey(10))) s->Delete(f);
      s->EndOperation();
      return 0;
    } catch (const InternalError& e) {
      return e.code();
    }
  }

  // Offset of the child pointer array of the root page.
  size_t RootChild(int i) const { return root_ + 13 + 4 * size_t(i); }
  uint32_t RootCount() const { return uint8_t(good_[root_ + 10]) | uint8_t(good_[root_ + 11]) << 8; }

  test::TempDir dir_;
  std::string path_ = dir_.File("D.KST");
  std::string good_;
  size_t root_ = 0;
};

TEST_F(StoreDamageTest, BrokenPointersAreInternalErrors) {
  ASSERT_EQ(Exercise(good_), 0);
  struct Case {
    const char* name;
    std::function<void(std::string&)> damage;
    int code;
  };
  const uint32_t root_address = U32(good_, 28);
  const Case cases[] = {
      {"child outside every region", [&](std::string& b) { PutU32(b, RootChild(1), 0x00FFFFF0); }, 1735},
      {"child negative", [&](std::string& b) { PutU32(b, RootChild(0), 0xFFFFFFF0); }, 300},
      {"child is the root itself (cycle)", [&](std::string& b) { PutU32(b, RootChild(1), root_address); }, 300},
      {"two separators share a child",
       [&](std::string& b) { PutU32(b, RootChild(1), U32(b, RootChild(0))); }, 300},
      {"root outside every region", [&](std::string& b) { PutU32(b, 28, 0x00FFFFF0); }, 1735},
      {"root level raised", [&](std::string& b) { b[root_ + 12] = char(b[root_ + 12] + 1); }, 300},
      {"root image length wrong", [&](std::string& b) { b[root_ + 5] = char(b[root_ + 5] + 1); }, 1477},
      {"root own position wrong", [&](std::string& b) { PutU32(b, root_, U32(b, root_) + 256); }, 300},
  };
  for (const Case& c : cases) {
    std::string bytes = good_;
    c.damage(bytes);
    EXPECT_EQ(Exercise(bytes), c.code) << c.name;
  }
}

TEST_F(StoreDamageTest, BrokenHeadersAreNotTableFiles) {
  std::string bytes = good_;
  bytes[14] = 'x';   // signature
  EXPECT_EQ(Exercise(bytes), -1);
  bytes = good_;
  PutU32(bytes, 32 + 4 * 3, 7);   // start[3] above end[3]: region table malformed
  PutU32(bytes, 272 + 4 * 3, 5);
  EXPECT_EQ(Exercise(bytes), -1);
  EXPECT_EQ(Exercise(good_.substr(0, 300)), -1);
}

TEST_F(StoreDamageTest, FuzzedPagesNeverCrashOrHang) {
  std::mt19937 rng(99);
  int errors = 0;
  for (int round = 0; round < 300; round++) {
    std::string bytes = good_;
    int flips = 1 + int(rng() % 8);
    for (int f = 0; f < flips; f++) {
      size_t at = 512 + rng() % (bytes.size() - 512);
      // Mostly inside page prefixes and record headers, where damage
      // reaches the structure rather than data bytes.
      if (rng() % 2) at = root_ + rng() % 64;
      bytes[at] = char(rng());
    }
    int code = Exercise(bytes);
    if (code != 0) errors++;
  }
  // Most damage in the root's prefix is noticed.
  EXPECT_GT(errors, 50);
}

}  // namespace
}  // namespace kel
