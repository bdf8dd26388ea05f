// Recovery of a pending commit log, the header check at the start of an
// access, and the rules that keep a log alive while the disk header points at
// it: readers roll forward in memory only, broken logs roll back, truncation
// never cuts a pending log.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/file.h"
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
using test::PutU16;


using test::Model;
using test::OpenStore;


class StoreRecoveryTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::DisarmFaults(); }

  // Commits `before` (keys 0..199), then commits more records with a crash
  // right after the flush that made the header point at the log: the file
  // is left with a complete pending log.
  void MakePendingLog() {
    {
      auto s = OpenStore(path_);
      s->EnterWriteState();
      for (int i = 0; i < 200; i++) Put(*s, before_, i, 50);
      ASSERT_EQ(s->EndOperation(), 0);
      ASSERT_EQ(s->Close(), 0);
    }
    after_ = before_;
    auto s = OpenStore(path_);
    s->EnterWriteState();
    ASSERT_EQ(s->BeginAccess(), 0);
    for (int i = 0; i < 200; i += 2) {
      // Rewritten records: their pages lie below the old used end, so they
      // go to the log.
      std::string k = test::KeyOf(uint32_t(i));
      s->ReplaceData(s->FindExact(k), "changed");
      after_[k] = "changed";
    }
    for (int i = 200; i < 600; i++) Put(*s, after_, i, 50);
    platform::FaultPlan plan;
    plan.crash_after_flush = 1;   // flush 0: the log; flush 1: header -> log
    platform::ArmFaults(plan);
    s->EndOperation();
    ASSERT_TRUE(platform::GetFaultCounters().crashed);
    platform::DisarmFaults();
    std::string bytes = ReadFileBytes(path_);
    ASSERT_NE(U32(bytes, 6), U32(bytes, 10)) << "no pending log";
  }

  void Put(Store& s, Model& m, int i, size_t data) {
    std::string k = test::KeyOf(uint32_t(i));
    std::string d(data, char('a' + i % 26));
    s.Insert(MakeRecord(k, d));
    m[k] = d;
  }

  Model ReadAs(bool writer, int mode = test::kSharedMode) {
    auto s = OpenStore(path_, mode);
    if (writer) s->EnterWriteState();
    EXPECT_EQ(s->BeginAccess(), 0);
    Model m = test::ReadAll(*s);
    EXPECT_EQ(s->CheckTree(), m.size());
    s->EndOperation();
    return m;
  }

  OperationFrame frame_{"RECOVERY"};
  test::TempDir dir_;
  std::string path_ = dir_.File("R.KST");
  Model before_, after_;
};

TEST_F(StoreRecoveryTest, ReaderRollsForwardInMemoryOnlyAndWriterReplays) {
  MakePendingLog();
  std::string raw = ReadFileBytes(path_);
  EXPECT_EQ(test::Diff(after_, ReadAs(false)), "");
  EXPECT_EQ(test::Diff(after_, ReadAs(false, test::kReadOnlyShared)), "");
  EXPECT_EQ(ReadFileBytes(path_), raw) << "a reader wrote";

  // A reader that keeps its file object across the writer's recovery sees
  // the disk header change and reloads.
  auto reader = OpenStore(path_, test::kReadOnlyShared);
  ASSERT_EQ(reader->BeginAccess(), 0);
  EXPECT_EQ(test::ReadAll(*reader).size(), after_.size());
  reader->EndOperation();

  EXPECT_EQ(test::Diff(after_, ReadAs(true)), "");
  std::string replayed = ReadFileBytes(path_);
  EXPECT_EQ(U32(replayed, 6), U32(replayed, 10)) << "log still pending after a writer's access";

  ASSERT_EQ(reader->BeginAccess(), 0);
  EXPECT_EQ(test::Diff(after_, test::ReadAll(*reader)), "");
  reader->EndOperation();
}

TEST_F(StoreRecoveryTest, BrokenLogsRollBack) {
  MakePendingLog();
  const std::string good = ReadFileBytes(path_);
  const uint32_t log_start = U32(good, 6);
  const uint32_t log_end = U32(good, 10);
  struct Case {
    const char* name;
    std::function<void(std::string&)> damage;
  };
  const Case cases[] = {
      {"block length 0", [&](std::string& b) { PutU16(b, log_start + 4, 0); }},
      {"block length over 15104", [&](std::string& b) { PutU16(b, log_start + 4, 15105); }},
      {"block at or beyond log start", [&](std::string& b) { PutU32(b, log_start, log_start); }},
      {"block home not on a page boundary", [&](std::string& b) { PutU32(b, log_start, 513); }},
      {"walk overshoots log end", [&](std::string& b) { PutU32(b, 10, log_end - 256); }},
      {"walk stops short of log end", [&](std::string& b) { PutU32(b, 10, log_end + 256); }},
      {"log end before log start", [&](std::string& b) { PutU32(b, 10, log_start - 256); }},
      {"log cut inside the header copy", [&](std::string& b) { b.resize(log_end - 300); }},
      {"log cut before its last block", [&](std::string& b) { b.resize(log_start + 256); }},
  };
  for (const Case& c : cases) {
    std::string bytes = good;
    c.damage(bytes);
    WriteFileBytes(path_, bytes);
    EXPECT_EQ(test::Diff(before_, ReadAs(false)), "") << c.name << " (reader)";
    EXPECT_EQ(ReadFileBytes(path_), bytes) << c.name << ": a reader wrote";
    EXPECT_EQ(test::Diff(before_, ReadAs(true)), "") << c.name << " (writer)";
    std::string after = ReadFileBytes(path_);
    EXPECT_EQ(U32(after, 6), U32(after, 10)) << c.name;
    EXPECT_EQ(test::Diff(before_, ReadAs(false)), "") << c.name << " (after roll back)";
  }
}

TEST_F(StoreRecoveryTest, CachedHeaderStillRecoversAfterAnotherProcessCrashed) {
  // Reader A caches the header; writer B crashes with its log pending, which
  // leaves the change count on disk as A last saw it: A must still notice
  // the log pointers and show the committed state.
  {
    auto s = OpenStore(path_);
    s->EnterWriteState();
    for (int i = 0; i < 200; i++) Put(*s, before_, i, 50);
    ASSERT_EQ(s->EndOperation(), 0);
  }
  auto a = OpenStore(path_, test::kReadOnlyShared);
  ASSERT_EQ(a->BeginAccess(), 0);
  EXPECT_EQ(test::ReadAll(*a), before_);
  a->EndOperation();
  uint32_t count_before = a->header().change_count;

  after_ = before_;
  {
    auto b = OpenStore(path_);
    b->EnterWriteState();
    ASSERT_EQ(b->BeginAccess(), 0);
    for (int i = 200; i < 260; i++) Put(*b, after_, i, 50);
    platform::FaultPlan plan;
    plan.crash_after_flush = 1;
    platform::ArmFaults(plan);
    b->EndOperation();
    platform::DisarmFaults();
  }
  std::string raw = ReadFileBytes(path_);
  ASSERT_EQ(U32(raw, 24), count_before) << "the crashed commit should leave the old count";
  ASSERT_EQ(a->BeginAccess(), 0);
  EXPECT_EQ(test::Diff(after_, test::ReadAll(*a)), "");
  a->EndOperation();
  EXPECT_EQ(ReadFileBytes(path_), raw);
}

TEST_F(StoreRecoveryTest, ACommitOfAnotherHandleIsSeenAtTheNextAccess) {
  auto a = OpenStore(path_);
  auto b = OpenStore(path_);
  a->EnterWriteState();
  Put(*a, before_, 1, 10);
  ASSERT_EQ(a->EndOperation(), 0);
  ASSERT_EQ(b->BeginAccess(), 0);
  EXPECT_EQ(test::ReadAll(*b), before_);
  b->EndOperation();
  for (int round = 0; round < 5; round++) {
    a->EnterWriteState();
    Put(*a, before_, 100 + round, 10);
    ASSERT_EQ(a->EndOperation(), 0);
    ASSERT_EQ(b->BeginAccess(), 0);
    EXPECT_EQ(test::ReadAll(*b), before_) << round;
    b->EndOperation();
    // And the other way round: b writes, a sees it.
    b->EnterWriteState();
    Put(*b, before_, 200 + round, 10);
    ASSERT_EQ(b->EndOperation(), 0);
    ASSERT_EQ(a->BeginAccess(), 0);
    EXPECT_EQ(test::ReadAll(*a), before_) << round;
    a->EndOperation();
  }
}

TEST_F(StoreRecoveryTest, TransactionCheckDecidesAboutACompleteLog) {
  // Phase 0 alone leaves a complete log, as a multi-file commit does before
  // its decision; the recovery check sees the logged marker record.
  {
    auto s = OpenStore(path_);
    s->EnterWriteState();
    for (int i = 0; i < 100; i++) Put(*s, before_, i, 20);
    ASSERT_EQ(s->EndOperation(), 0);
  }
  after_ = before_;
  const std::string good_before = ReadFileBytes(path_);
  for (int verdict = 0; verdict < 2; verdict++) {
    WriteFileBytes(path_, good_before);
    {
      auto s = OpenStore(path_);
      s->EnterWriteState();
      ASSERT_EQ(s->BeginAccess(), 0);
      s->set_enlisted(true);
      Model scratch = before_;
      for (int i = 100; i < 300; i++) Put(*s, scratch, i, 20);
      s->Insert(MakeRecord(std::string(1, '\xff'), "txn-id"));
      EXPECT_EQ(s->EndOperation(), 0);   // skipped while enlisted
      ASSERT_EQ(s->CommitPhase0(), 0);
      after_ = scratch;
      after_[std::string(1, '\xff')] = "txn-id";
      // The process stops here, before the decision and phase 1.
    }
    std::string marker_seen;
    auto s = OpenStore(path_);
    s->SetRecoveryCheck([&](const Record& marker) {
      marker_seen.assign(marker.data());
      return verdict == 1;   // true: roll back
    });
    s->EnterWriteState();
    ASSERT_EQ(s->BeginAccess(), 0);
    EXPECT_EQ(marker_seen, "txn-id");
    EXPECT_EQ(test::ReadAll(*s), verdict == 1 ? before_ : after_) << verdict;
    s->EndOperation();
  }
  // A log abandoned after phase 0 leaves the previous state.
  WriteFileBytes(path_, good_before);
  {
    auto s = OpenStore(path_);
    s->EnterWriteState();
    ASSERT_EQ(s->BeginAccess(), 0);
    s->set_enlisted(true);
    Model scratch;
    Put(*s, scratch, 500, 20);
    ASSERT_EQ(s->CommitPhase0(), 0);
    ASSERT_EQ(s->AbandonLog(), 0);
    s->set_enlisted(false);
    s->Discard();
  }
  EXPECT_EQ(test::Diff(before_, ReadAs(true)), "");
}

TEST_F(StoreRecoveryTest, TruncateNeverCutsAPendingLog) {
  MakePendingLog();
  std::string raw = ReadFileBytes(path_);
  {
    // A reader rolled forward in memory; its truncate must leave the log.
    auto r = OpenStore(path_);
    ASSERT_EQ(r->BeginAccess(), 0);
    EXPECT_EQ(test::ReadAll(*r).size(), after_.size());
    EXPECT_EQ(r->Truncate(), 0);
    r->EndOperation();
    EXPECT_EQ(r->Close(), 0);
  }
  EXPECT_EQ(ReadFileBytes(path_), raw);
  EXPECT_EQ(test::Diff(after_, ReadAs(true)), "");
  {
    auto w = OpenStore(path_);
    ASSERT_EQ(w->Truncate(), 0);
  }
  std::string cut = ReadFileBytes(path_);
  EXPECT_LT(cut.size(), raw.size());
  EXPECT_EQ(test::Diff(after_, ReadAs(false)), "");
}

TEST_F(StoreRecoveryTest, DiscardDropsChangesAndReloads) {
  auto s = OpenStore(path_);
  s->EnterWriteState();
  Put(*s, before_, 1, 10);
  ASSERT_EQ(s->EndOperation(), 0);
  s->EnterWriteState();
  ASSERT_EQ(s->BeginAccess(), 0);
  Model scratch;
  for (int i = 2; i < 500; i++) Put(*s, scratch, i, 30);
  s->Delete(s->FindExact(test::KeyOf(1)));
  s->Discard();
  EXPECT_FALSE(s->has_uncommitted_changes());
  ASSERT_EQ(s->BeginAccess(), 0);
  EXPECT_EQ(test::ReadAll(*s), before_);
  EXPECT_EQ(s->EndOperation(), 0);
}

TEST_F(StoreRecoveryTest, PasswordEnciphersEveryBlock) {
  {
    auto s = OpenStore(path_);
    s->io().SetPassword("secret");
    s->EnterWriteState();
    for (int i = 0; i < 300; i++) Put(*s, before_, i, 40);
    ASSERT_EQ(s->EndOperation(), 0);
    ASSERT_EQ(s->Close(), 0);
  }
  std::string raw = ReadFileBytes(path_);
  EXPECT_EQ(raw.find("kElS"), std::string::npos);
  EXPECT_EQ(raw.find(test::KeyOf(5)), std::string::npos);
  auto plain = OpenStore(path_);
  EXPECT_EQ(plain->BeginAccess(), 1);
  auto s = OpenStore(path_);
  s->io().SetPassword("secret");
  ASSERT_EQ(s->BeginAccess(), 0);
  EXPECT_EQ(test::ReadAll(*s), before_);
}

TEST_F(StoreRecoveryTest, InMemoryStoreKeepsItsRecordsAcrossCommits) {
  // An in-memory store (dynamic index) has nowhere to write: committing it
  // must keep its contents, not drop them.
  Store s;
  for (int i = 0; i < 2000; i++) Put(s, before_, i, 20);
  EXPECT_EQ(s.EndOperation(), 0);
  EXPECT_EQ(s.Commit(), 0);
  EXPECT_EQ(test::ReadAll(s), before_);
  EXPECT_EQ(s.Truncate(), 0);
  EXPECT_EQ(s.CheckTree(), before_.size());
}

}  // namespace
}  // namespace kel
