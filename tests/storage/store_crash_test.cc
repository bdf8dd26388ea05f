// Crash safety of the commit: for several workloads, a simulated power loss
// after every single write and every single flush of the commit (and a torn
// write at every write), then a reopen as a reader and as a writer. The file
// must hold exactly the state before or exactly the state after the commit,
// and once the after state has been seen at some crash point it must be seen
// at every later one. Failed writes and flushes must make the commit answer
// the error with the file unchanged.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

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


using test::Model;
using test::OpenStore;

// A workload: builds the committed base state, then makes the changes of the
// commit under test (the model is updated alongside).
struct Workload {
  const char* name;
  std::function<void(Store&, Model&)> base;
  std::function<void(Store&, Model&)> change;
};

void InsertRange(Store& s, Model& m, int from, int to, size_t data) {
  for (int i = from; i < to; i++) {
    std::string k = test::KeyOf(uint32_t(i));
    std::string d(data, char('a' + i % 26));
    s.Insert(MakeRecord(k, d));
    m[k] = d;
  }
}

std::vector<Workload> Workloads() {
  return {
      {"the first commit of a new file",
       [](Store&, Model&) {},
       [](Store& s, Model& m) { InsertRange(s, m, 0, 300, 30); }},
      {"inserts that split pages and grow the tree",
       [](Store& s, Model& m) { InsertRange(s, m, 0, 200, 40); },
       [](Store& s, Model& m) { InsertRange(s, m, 200, 2200, 40); }},
      {"deletes that empty pages",
       [](Store& s, Model& m) { InsertRange(s, m, 0, 1500, 60); },
       [](Store& s, Model& m) {
         for (int i = 300; i < 1300; i++) {
           std::string k = test::KeyOf(uint32_t(i));
           s.Delete(s.FindExact(k));
           m.erase(k);
         }
       }},
      {"deletes that shrink the used end",
       [](Store& s, Model& m) { InsertRange(s, m, 0, 60, 3000); },
       [](Store& s, Model& m) {
         // Large records fill pages of the highest class: emptying them
         // moves the region's last pages into the freed slots and the used
         // end falls below the end of the tree still on disk.
         for (int i = 10; i < 50; i++) {
           std::string k = test::KeyOf(uint32_t(i));
           s.Delete(s.FindExact(k));
           m.erase(k);
         }
         InsertRange(s, m, 100, 104, 10);
       }},
      {"a commit that moves pages between regions",
       [](Store& s, Model& m) { InsertRange(s, m, 0, 600, 20); },
       [](Store& s, Model& m) {
         // Records grow in some pages (their images change class), others
         // shrink; relocation and compaction move pages that did not change.
         for (int i = 0; i < 600; i += 3) {
           std::string k = test::KeyOf(uint32_t(i));
           std::string d(i < 300 ? 140 : 2, 'G');
           s.ReplaceData(s.FindExact(k), d);
           m[k] = d;
         }
       }},
      {"mixed changes with a new number",
       [](Store& s, Model& m) { InsertRange(s, m, 0, 800, 30); },
       [](Store& s, Model& m) {
         std::mt19937 rng(5);
         for (int n = 0; n < 700; n++) {
           std::string k = test::KeyOf(rng() % 1600);
           RecordPtr f = s.FindExact(k);
           if (f) {
             s.Delete(f);
             m.erase(k);
           } else {
             std::string d(rng() % 90, 'q');
             s.Insert(MakeRecord(k, d));
             m[k] = d;
           }
         }
         s.SetLastNumber(4242);
       }},
  };
}

class StoreCrashTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::DisarmFaults(); }

  OperationFrame frame_{"CRASH"};
  test::TempDir dir_;
  std::string path_ = dir_.File("C.KST");

  // Builds the base file; answers its bytes and fills before/after models.
  std::string Prepare(const Workload& w, Model* before, Model* after) {
    std::remove(path_.c_str());
    {
      auto s = OpenStore(path_);
      s->EnterWriteState();
      w.base(*s, *before);
      EXPECT_EQ(s->EndOperation(), 0);
      EXPECT_EQ(s->Close(), 0);
    }
    std::string bytes = ReadFileBytes(path_);
    {
      auto s = OpenStore(path_);
      s->EnterWriteState();
      *after = *before;
      EXPECT_EQ(s->BeginAccess(), 0);
      w.change(*s, *after);
      s->Discard();
    }
    WriteFileBytes(path_, bytes);
    return bytes;
  }

  // Runs the change and its commit under `plan`; answers the commit's code
  // and whether the simulated crash happened.
  int RunCommit(const Workload& w, const platform::FaultPlan& plan, bool* crashed) {
    auto s = OpenStore(path_);
    s->EnterWriteState();
    EXPECT_EQ(s->BeginAccess(), 0);
    Model scratch;
    w.change(*s, scratch);
    platform::ArmFaults(plan);
    int rc = 0;
    try {
      rc = s->EndOperation();
    } catch (const InternalError&) {
      // A process that "lost power" may read back what it believes it wrote
      // and find it torn; it is dead anyway. A live one must not get here.
      if (!platform::GetFaultCounters().crashed) throw;
    }
    *crashed = platform::GetFaultCounters().crashed;
    platform::DisarmFaults();
    // The process "dies": the store goes without closing.
    return rc;
  }

  // Opens as a reader (must not change the file), then as a writer
  // (recovers); both must see the same state, before or after.
  // Answers 0 for before, 1 for after.
  int Verify(const Model& before, const Model& after, const std::string& where) {
    std::string raw = ReadFileBytes(path_);
    Model seen_by_reader;
    {
      auto r = OpenStore(path_, test::kReadOnlyShared);
      EXPECT_EQ(r->BeginAccess(), 0) << where;
      seen_by_reader = test::ReadAll(*r);
      r->CheckTree();
      r->EndOperation();
    }
    EXPECT_EQ(ReadFileBytes(path_), raw) << where << ": a reader changed the file";
    Model seen_by_writer;
    {
      auto s = OpenStore(path_);
      s->EnterWriteState();
      EXPECT_EQ(s->BeginAccess(), 0) << where;
      seen_by_writer = test::ReadAll(*s);
      s->CheckTree();
      // The recovered file takes further commits.
      s->Insert(MakeRecord("zz-after-recovery"));
      EXPECT_EQ(s->EndOperation(), 0);
      EXPECT_EQ(s->Close(), 0);
    }
    {
      auto s = OpenStore(path_);
      EXPECT_EQ(s->BeginAccess(), 0);
      EXPECT_EQ(s->header().log_start, s->header().log_end);
      Model again = test::ReadAll(*s);
      EXPECT_EQ(again.erase("zz-after-recovery"), 1u) << where;
      EXPECT_EQ(test::Diff(seen_by_writer, again), "") << where;
    }
    EXPECT_EQ(test::Diff(seen_by_reader, seen_by_writer), "") << where << ": reader and writer disagree";
    if (seen_by_writer == before) return 0;
    EXPECT_EQ(test::Diff(after, seen_by_writer), "") << where << ": neither before nor after";
    return 1;
  }
};

TEST_F(StoreCrashTest, EveryCrashPointLeavesBeforeOrAfter) {
  for (const Workload& w : Workloads()) {
    Model before, after;
    std::string base = Prepare(w, &before, &after);
    ASSERT_NE(before, after);
    int points = 0;
    for (int kind = 0; kind < 3; kind++) {
      const char* kind_name[] = {"crash after write", "crash after flush", "torn write"};
      int last_state = 0;
      for (int64_t k = 0;; k++) {
        WriteFileBytes(path_, base);
        platform::FaultPlan plan;
        if (kind == 0) plan.crash_after_write = k;
        if (kind == 1) plan.crash_after_flush = k;
        if (kind == 2) plan.torn_write = k;
        bool crashed = false;
        int rc = 0;
        try {
          rc = RunCommit(w, plan, &crashed);
        } catch (const InternalError& e) {
          platform::DisarmFaults();
          ADD_FAILURE() << w.name << " kind " << kind << " k " << k << ": internal error in commit " << e.code();
          return;
        }
        if (!crashed) {
          // Past the last write or flush: the commit simply succeeded.
          EXPECT_EQ(rc, 0);
          EXPECT_EQ(Verify(before, after, std::string(w.name) + " clean"), 1);
          break;
        }
        points++;
        std::string where = std::string(w.name) + ", " + kind_name[kind] + " " + std::to_string(k);
        int state = 0;
        try {
          state = Verify(before, after, where);
        } catch (const InternalError& e) {
          ADD_FAILURE() << where << ": internal error " << e.code();
        }
        if (::testing::Test::HasFailure()) return;
        EXPECT_GE(state, last_state) << where << ": went back to the before state";
        last_state = state;
      }
      ASSERT_EQ(last_state, 1) << w.name;
    }
    std::printf("[ crash points ] %-45s %d\n", w.name, points);
  }
}

TEST_F(StoreCrashTest, FailedWritesAndFlushesAnswerTheErrorAndLeaveTheFile) {
  for (const Workload& w : Workloads()) {
    Model before, after;
    std::string base = Prepare(w, &before, &after);
    for (int kind = 0; kind < 3; kind++) {
      for (int64_t k = 0;; k++) {
        WriteFileBytes(path_, base);
        platform::FaultPlan plan;
        plan.error = 28;   // no space left
        if (kind == 0) plan.fail_write = k;
        if (kind == 1) plan.short_write = k;
        if (kind == 2) plan.fail_flush = k;
        auto s = OpenStore(path_);
        s->EnterWriteState();
        ASSERT_EQ(s->BeginAccess(), 0);
        Model scratch;
        w.change(*s, scratch);
        platform::ArmFaults(plan);
        int rc = s->EndOperation();
        platform::FaultCounters counters = platform::GetFaultCounters();
        platform::DisarmFaults();
        bool hit = kind == 2 ? counters.flushes > k : counters.writes > k;
        std::string where = std::string(w.name) + " kind " + std::to_string(kind) + " at " + std::to_string(k);
        if (!hit) {
          EXPECT_EQ(rc, 0) << where;
          break;
        }
        // The error is the commit's answer, never success.
        EXPECT_EQ(rc, kind == 1 ? 5 : 28) << where;
        // The same store, at its next access, shows a committed state
        // (before, or after when only the final steps failed: the log is
        // complete and is rolled forward).
        s->EnterWriteState();
        ASSERT_EQ(s->BeginAccess(), 0) << where;
        Model now = test::ReadAll(*s);
        EXPECT_TRUE(now == before || now == after) << where;
        s->EndOperation();
        s.reset();
        int state = Verify(before, after, where);
        EXPECT_EQ(state, now == after ? 1 : 0) << where;
        if (::testing::Test::HasFailure()) return;
      }
    }
  }
}

}  // namespace
}  // namespace kel
