// Two processes on one table: the change check of a watched read, writes
// to a record another process holds, and held reads that wait for the
// holder or give up after their time limit.
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "storage/lock_area.h"
#include "storage/table.h"
#include "support/process.h"
#include "support/table_decls.h"

namespace kel {
namespace {

using test::GetString;
using test::PutDecimal;
using test::PutString;

constexpr int kRW = open_mode::kReadWrite | open_mode::kDenyNone;

class TableProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Table t(decl_);
    ASSERT_EQ(t.Create(path_), 0);
    ASSERT_EQ(t.Open(path_, kRW), 0);
    for (uint32_t i = 1; i <= 3; ++i) {
      PutDecimal(t.record(), i);
      PutString(t.record() + test::kGorNom, 50, "City" + std::to_string(i));
      ASSERT_EQ(t.Add(), 0);
      rec_.push_back(t.Pointer());
    }
    // Nothing may be open across the fork.
    ASSERT_EQ(t.Close(), 0);
  }
  std::string NameOf(uint32_t recno) {
    Table t(decl_);
    EXPECT_EQ(t.Open(path_, kRW), 0);
    EXPECT_EQ(t.GetByPointer(recno), 0);
    return GetString(t.record() + test::kGorNom, 50);
  }
  // A child that holds record `recno` until told 'G' (or, with
  // release_after_ms, until that time has passed).
  test::ChildProcess StartHolder(uint32_t recno, int release_after_ms = -1) {
    return test::ChildProcess::Start([this, recno, release_after_ms] {
      Table t(decl_);
      if (t.Open(path_, kRW) != 0 || t.Hold() != 0 || t.GetByPointer(recno) != 0) return 1;
      to_parent_.Send('H');
      if (release_after_ms >= 0) {
        usleep(release_after_ms * 1000);
        if (t.Release() != 0) return 2;
        to_parent_.Send('R');
      }
      if (to_child_.Receive(20000) != 'G') return 3;
      return t.Close();
    });
  }

  test::TempDir dir_;
  std::string path_ = dir_.File("GOROD");
  TableDecl decl_ = test::GorodDecl();
  std::vector<uint32_t> rec_;
  test::Pipe to_child_, to_parent_;
};

TEST_F(TableProcessTest, PutAfterWatchedReadOfChangedRecordAnswers89) {
  auto child = test::ChildProcess::Start([this] {
    if (to_child_.Receive() != 'C') return 1;
    Table t(decl_);
    if (t.Open(path_, kRW) != 0 || t.GetByPointer(rec_[1]) != 0) return 2;
    PutString(t.record() + test::kGorNom, 50, "Theirs");
    if (t.Put() != 0) return 3;
    to_parent_.Send('D');
    return t.Close();
  });
  Table t(decl_);
  ASSERT_EQ(t.Open(path_, kRW), 0);
  ASSERT_EQ(t.Watch(), 0);
  ASSERT_EQ(t.GetByPointer(rec_[1]), 0);
  to_child_.Send('C');
  ASSERT_EQ(to_parent_.Receive(), 'D');
  PutString(t.record() + test::kGorNom, 50, "Mine");
  EXPECT_EQ(t.Put(), kRecordChangedByAnotherStation);
  EXPECT_FALSE(t.store()->lock_area().holds(rec_[1]));
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(NameOf(rec_[1]), "Theirs");
  // Without a watch, a PUT after reading again goes through.
  ASSERT_EQ(t.GetByPointer(rec_[1]), 0);
  PutString(t.record() + test::kGorNom, 50, "Mine");
  EXPECT_EQ(t.Put(), 0);
  EXPECT_EQ(NameOf(rec_[1]), "Mine");
}

TEST_F(TableProcessTest, WritesOfARecordHeldElsewhereAreRefused) {
  auto child = StartHolder(rec_[0]);
  ASSERT_EQ(to_parent_.Receive(), 'H');
  Table t(decl_);
  ASSERT_EQ(t.Open(path_, kRW), 0);
  ASSERT_EQ(t.GetByPointer(rec_[0]), 0);
  PutString(t.record() + test::kGorNom, 50, "Changed");
  EXPECT_EQ(t.Delete(), kRecordNotAvailable);
  EXPECT_EQ(t.Put(), kAccessDenied);
  EXPECT_TRUE(t.has_current());
  uint64_t n = 0;
  ASSERT_EQ(t.Records(&n), 0);
  EXPECT_EQ(n, 3u);
  to_child_.Send('G');
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(NameOf(rec_[0]), "City1");
  // Once released the same handle may write.
  ASSERT_EQ(t.GetByPointer(rec_[0]), 0);
  EXPECT_EQ(t.Delete(), 0);
}

TEST_F(TableProcessTest, HeldReadWaitsForTheHolder) {
  auto child = StartHolder(rec_[2], /*release_after_ms=*/400);
  ASSERT_EQ(to_parent_.Receive(), 'H');
  Table t(decl_);
  ASSERT_EQ(t.Open(path_, kRW), 0);
  uint64_t start = platform::TickCountMs();
  ASSERT_EQ(t.Hold(), 0);
  ASSERT_EQ(t.GetByPointer(rec_[2]), 0);
  EXPECT_GE(platform::TickCountMs() - start, 300u);
  EXPECT_TRUE(t.flags() & Table::kHeld);
  EXPECT_EQ(to_parent_.Receive(), 'R');
  to_child_.Send('G');
  EXPECT_EQ(child.Wait(), 0);
}

TEST_F(TableProcessTest, HeldReadGivesUpAfterItsTimeLimit) {
  auto child = StartHolder(rec_[2]);
  ASSERT_EQ(to_parent_.Receive(), 'H');
  Table t(decl_);
  ASSERT_EQ(t.Open(path_, kRW), 0);
  ASSERT_EQ(t.SetKey(test::kGorNumKey), 0);
  ASSERT_EQ(t.Skip(2), 0);
  uint64_t start = platform::TickCountMs();
  ASSERT_EQ(t.Hold(1), 0);
  EXPECT_EQ(t.Next(), kRecordAlreadyHeld);
  uint64_t took = platform::TickCountMs() - start;
  EXPECT_GE(took, 1000u);
  EXPECT_LT(took, 5000u);
  EXPECT_FALSE(t.flags() & Table::kHoldRequested);
  // The position did not move: without a hold NEXT reads that record.
  ASSERT_EQ(t.Next(), 0);
  EXPECT_EQ(GetString(t.record() + test::kGorNom, 50), "City3");
  to_child_.Send('G');
  EXPECT_EQ(child.Wait(), 0);
}

}  // namespace
}  // namespace kel
