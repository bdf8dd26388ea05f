// The record store across real processes: a writer killed with SIGKILL at
// random moments loses no commit it reported, and readers working beside a
// writer never see half a commit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "storage/errors.h"
#include "storage/store.h"
#include "support/process.h"
#include "support/store_kill_loop.h"
#include "support/store_testing.h"

namespace kel {
namespace {

TEST(StoreProcessTest, KilledWriterLosesNoReportedCommit) {
  test::TempDir dir;
  uint32_t commits = 0;
  // Few rounds here; bench/store_soak_bench runs the same loop for long.
  std::string err = test::RunKillLoop(dir.File("K.KST"), 12, 1234, 60, &commits);
  EXPECT_EQ(err, "");
  EXPECT_GT(commits, 0u);
}

// The writer commits batches: batch b inserts records "b<b>-<i>" for i in
// 0..kBatch-1, deletes batch b-5, and sets the record "count" to b. Every
// committed state therefore has count = B and exactly the batches
// max(1, B-4)..B, each complete.
constexpr int kBatch = 40;

std::string BatchKey(int b, int i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "b%06d-%03d", b, i);
  return buf;
}

int WriterBody(const std::string& path, int batches) {
  OperationFrame frame("W");
  try {
    auto s = test::OpenStore(path);
    for (int b = 1; b <= batches; b++) {
      s->EnterWriteState();
      for (int i = 0; i < kBatch; i++) s->Insert(MakeRecord(BatchKey(b, i), std::string(80 + i, 'x')));
      if (b > 5) {
        for (int i = 0; i < kBatch; i++) s->Delete(s->FindExact(BatchKey(b - 5, i)));
      }
      std::string count = std::to_string(b);
      RecordPtr c = s->FindExact("count");
      if (c) {
        s->ReplaceData(c, count);
      } else {
        s->Insert(MakeRecord("count", count));
      }
      if (s->EndOperation() != 0) return 2;
    }
    return s->Close() == 0 ? 0 : 3;
  } catch (const InternalError& e) {
    return 10;
  }
}

// Answers the number of consistent views read, or a negative failure code.
int ReaderBody(const std::string& path, int min_views) {
  OperationFrame frame("R");
  try {
    auto s = test::OpenStore(path, test::kReadOnlyShared);
    int views = 0;
    int last_count = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (views < min_views || last_count < 30) {
      if (std::chrono::steady_clock::now() > deadline) return views > 0 ? 0 : 90;
      if (s->BeginAccess() != 0) return 91;
      RecordPtr c = s->FindExact("count");
      int count = c ? std::atoi(std::string(c->data()).c_str()) : 0;
      // Everything else in the view must agree with that count.
      std::vector<int> per_batch(size_t(count) + 1, 0);
      std::string key;
      for (RecordPtr r = s->First(); r; r = s->FindNext(key)) {
        key.assign(r->key());
        if (key == "count") continue;
        int b = std::atoi(key.c_str() + 1);
        if (b < 1 || b > count || b <= count - 5) return 92;
        per_batch[size_t(b)]++;
      }
      for (int b = std::max(1, count - 4); b <= count; b++) {
        if (per_batch[size_t(b)] != kBatch) return 93;
      }
      if (count < last_count) return 94;
      last_count = count;
      s->EndOperation();
      views++;
    }
    return 0;
  } catch (const InternalError& e) {
    return 95;
  }
}

TEST(StoreProcessTest, ReadersNeverSeeHalfACommit) {
  test::TempDir dir;
  std::string path = dir.File("M.KST");
  {
    // Create the file so that readers can open it read-only.
    OperationFrame frame("C");
    auto s = test::OpenStore(path);
    s->EnterWriteState();
    s->Insert(MakeRecord("count", "0"));
    ASSERT_EQ(s->EndOperation(), 0);
  }
  std::vector<test::ChildProcess> readers;
  for (int r = 0; r < 3; r++) readers.push_back(test::ChildProcess::Start([&] { return ReaderBody(path, 50); }));
  auto writer = test::ChildProcess::Start([&] { return WriterBody(path, 60); });
  EXPECT_EQ(writer.Wait(60000), 0);
  for (auto& r : readers) EXPECT_EQ(r.Wait(60000), 0);
}

}  // namespace
}  // namespace kel
