// ADD, APPEND, PUT and DELETE through table handles: keys, counts, memos,
// OEM strings, refusals that leave everything as it was, stream mode.
#include <gtest/gtest.h>

#include "platform/file.h"
#include "storage/lock_area.h"
#include "storage/record_kinds.h"
#include "storage/table.h"
#include "storage/table_records.h"
#include "support/process.h"
#include "support/table_decls.h"

namespace kel {
namespace {

using test::GetDecimal;
using test::GetString;
using test::PutDecimal;
using test::PutString;

constexpr int kRW = open_mode::kReadWrite | open_mode::kDenyNone;
// "Москва", "Омск" in code page 1251.
const std::string kMoskva = "\xCC\xEE\xF1\xEA\xE2\xE0";
const std::string kOmsk = "\xCE\xEC\xF1\xEA";

class TableWriteTest : public ::testing::Test {
 protected:
  void SetUp() override { Open(); }
  void Open(bool memo = false) {
    decl_ = test::GorodDecl(/*oem=*/true, memo);
    t_ = std::make_unique<Table>(decl_);
    ASSERT_EQ(t_->Create(path_), 0);
    ASSERT_EQ(t_->Open(path_, kRW), 0);
  }
  int AddCity(uint32_t num, const std::string& nom) {
    PutDecimal(t_->record() + test::kGorNum, num);
    PutString(t_->record() + test::kGorNom, 50, nom);
    return t_->Add();
  }
  // Record numbers of key k's entries in key order.
  std::vector<uint32_t> Entries(size_t k) {
    std::vector<uint32_t> out;
    TableKeys& keys = *t_->keys();
    std::string at;
    for (RecordPtr r = keys.FirstEntry(k); r; r = keys.EntryAfter(k, at)) {
      at.assign(r->key());
      out.push_back(keys.RecnoOf(k, *r));
    }
    return out;
  }
  uint64_t Count() {
    uint64_t n = 0;
    EXPECT_EQ(t_->Records(&n), 0);
    return n;
  }

  test::TempDir dir_;
  std::string path_ = dir_.File("GOROD");
  TableDecl decl_;
  std::unique_ptr<Table> t_;
};

TEST_F(TableWriteTest, AddMaintainsKeysAndCount) {
  ASSERT_EQ(AddCity(2, kOmsk), 0);
  uint32_t omsk = t_->Pointer();
  ASSERT_EQ(AddCity(1, kMoskva), 0);
  uint32_t moskva = t_->Pointer();
  EXPECT_GT(moskva, omsk);
  EXPECT_EQ(Count(), 2u);
  EXPECT_EQ(Entries(test::kGorNumKey), (std::vector<uint32_t>{moskva, omsk}));
  EXPECT_EQ(Entries(test::kGorNomKey), (std::vector<uint32_t>{moskva, omsk}));
  // Stored in the OEM code page, read back in ANSI.
  RecordPtr stored = ExactData(*t_->store(), t_->table_number(), moskva);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->data().substr(4, 6), "\x8C\xAE\xE1\xAA\xA2\xA0");
  ASSERT_EQ(t_->GetByPointer(moskva), 0);
  EXPECT_EQ(GetString(t_->record() + test::kGorNom, 50), kMoskva);
}

TEST_F(TableWriteTest, DuplicateAddAddsNothingAndBurnsTheNumber) {
  ASSERT_EQ(AddCity(1, "A"), 0);
  uint32_t first = t_->Pointer();
  auto store_before = t_->store()->header().last_number;
  ASSERT_EQ(AddCity(1, "B"), kDuplicateKey);
  EXPECT_EQ(Count(), 1u);
  EXPECT_EQ(Entries(test::kGorNomKey), std::vector<uint32_t>{first});
  EXPECT_EQ(t_->Pointer(), first);  // the handle's current record is unchanged
  EXPECT_EQ(t_->store()->header().last_number, store_before + 1);
  ASSERT_EQ(AddCity(2, "B"), 0);
  EXPECT_EQ(t_->Pointer(), first + 2);
}

TEST_F(TableWriteTest, PutWithoutChangeWritesNothing) {
  ASSERT_EQ(AddCity(1, "A"), 0);
  ASSERT_EQ(t_->GetByPointer(t_->Pointer()), 0);
  platform::ArmFaults({});
  ASSERT_EQ(t_->Put(), 0);
  EXPECT_EQ(platform::GetFaultCounters().writes, 0);
  EXPECT_EQ(platform::GetFaultCounters().flushes, 0);
  platform::DisarmFaults();
}

TEST_F(TableWriteTest, PutChangesKeysOrRefusesWithEverythingKept) {
  ASSERT_EQ(AddCity(1, "A"), 0);
  uint32_t a = t_->Pointer();
  ASSERT_EQ(AddCity(2, "B"), 0);
  uint32_t b = t_->Pointer();
  ASSERT_EQ(t_->GetByPointer(b), 0);
  PutString(t_->record() + test::kGorNom, 50, "0 first");
  ASSERT_EQ(t_->Put(), 0);
  EXPECT_EQ(Entries(test::kGorNomKey), (std::vector<uint32_t>{b, a}));
  // Both keys change, the second would duplicate: the first is put back.
  PutString(t_->record() + test::kGorNom, 50, "Z last");
  PutDecimal(t_->record() + test::kGorNum, 1);
  EXPECT_EQ(t_->Put(), kDuplicateKey);
  EXPECT_EQ(Entries(test::kGorNomKey), (std::vector<uint32_t>{b, a}));
  EXPECT_EQ(Entries(test::kGorNumKey), (std::vector<uint32_t>{a, b}));
  EXPECT_EQ(t_->Pointer(), b);
  ASSERT_EQ(t_->GetByPointer(b), 0);
  EXPECT_EQ(GetString(t_->record() + test::kGorNom, 50), "0 first");
  EXPECT_EQ(GetDecimal(t_->record()), 2u);
  // The PUT did not keep the record's hold byte.
  EXPECT_FALSE(t_->store()->lock_area().holds(b));
}

TEST_F(TableWriteTest, WritesWithoutCurrentRecordAnswer33) {
  EXPECT_EQ(t_->Put(), kRecordNotAvailable);
  EXPECT_EQ(t_->Delete(), kRecordNotAvailable);
  ASSERT_EQ(AddCity(1, "A"), 0);
  ASSERT_EQ(t_->Delete(), 0);
  EXPECT_FALSE(t_->has_current());
  EXPECT_EQ(t_->Delete(), kRecordNotAvailable);
  EXPECT_EQ(t_->Put(), kRecordNotAvailable);
}

TEST_F(TableWriteTest, DeleteOfOemStringKeyRemovesItsEntries) {
  ASSERT_EQ(AddCity(1, kMoskva), 0);
  ASSERT_EQ(AddCity(2, kOmsk), 0);
  uint32_t omsk = t_->Pointer();
  ASSERT_EQ(t_->GetByPointer(omsk - 1), 0);
  ASSERT_EQ(t_->Delete(), 0);
  EXPECT_EQ(Entries(test::kGorNomKey), std::vector<uint32_t>{omsk});
  EXPECT_EQ(Entries(test::kGorNumKey), std::vector<uint32_t>{omsk});
  uint64_t n = 0;
  ASSERT_EQ(t_->RecordsKey(test::kGorNomKey, &n), 0);
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(Count(), 1u);
  // Reusing the name gives no stale duplicate.
  ASSERT_EQ(AddCity(3, kMoskva), 0);
}

TEST_F(TableWriteTest, AppendLeavesKeysForBuild) {
  PutDecimal(t_->record(), 5);
  PutString(t_->record() + 4, 50, "X");
  ASSERT_EQ(t_->Append(), 0);
  uint32_t r = t_->Pointer();
  EXPECT_EQ(Count(), 1u);
  EXPECT_TRUE(Entries(test::kGorNumKey).empty());
  EXPECT_EQ(t_->keys()->GetCounter(test::kGorNumKey).mark, r);
  ASSERT_EQ(t_->GetByPointer(r), 0);
  EXPECT_EQ(GetDecimal(t_->record()), 5u);
}

TEST_F(TableWriteTest, AddWithoutDataCounterAnswers5AndLeavesNothing) {
  ASSERT_EQ(AddCity(1, "A"), 0);
  Store& s = *t_->store();
  ASSERT_EQ(s.EnterWriteState(), 0);
  s.Delete(s.FindExact(CounterKey(t_->table_number(), kDataCounterIndex)));
  ASSERT_EQ(s.EndOperation(), 0);
  uint32_t last = s.header().last_number;
  EXPECT_EQ(AddCity(2, "B"), kAccessDenied);
  EXPECT_EQ(s.header().last_number, last);
  EXPECT_EQ(Entries(test::kGorNumKey).size(), 1u);
}

TEST_F(TableWriteTest, MemosFollowTheRecordUnlessSkipped) {
  t_->Close();
  Open(/*memo=*/true);
  t_->memos()[0] = "first notes";
  t_->memos()[0].resize(300, ' ');
  ASSERT_EQ(AddCity(1, "A"), 0);
  uint32_t r = t_->Pointer();
  t_->memos()[0].assign(300, ' ');
  ASSERT_EQ(t_->GetByPointer(r), 0);
  EXPECT_EQ(t_->memos()[0].substr(0, 11), "first notes");
  // Read without memos: a PUT then keeps the stored memo.
  t_->memos()[0].assign(300, 'x');
  ASSERT_EQ(t_->NoMemo(), 0);
  ASSERT_EQ(t_->GetByPointer(r), 0);
  EXPECT_TRUE(t_->flags() & Table::kMemosNotLoaded);
  PutString(t_->record() + 4, 50, "B");
  ASSERT_EQ(t_->Put(), 0);
  ASSERT_EQ(t_->GetByPointer(r), 0);
  EXPECT_EQ(t_->memos()[0].substr(0, 11), "first notes");
  // A PUT after a full read rewrites it.
  t_->memos()[0].replace(0, 5, "FIRST");
  ASSERT_EQ(t_->Put(), 0);
  ASSERT_EQ(t_->GetByPointer(r), 0);
  EXPECT_EQ(t_->memos()[0].substr(0, 11), "FIRST notes");
  ASSERT_EQ(t_->Delete(), 0);
  RecordPtr chunk = t_->store()->FindNext(MemoRecordPrefix(t_->table_number(), r));
  EXPECT_TRUE(!chunk || chunk->key().substr(0, 9) != MemoRecordPrefix(t_->table_number(), r));
}

TEST_F(TableWriteTest, StreamModeDefersCommitsUntilFlush) {
  t_->SetStream(true);
  for (uint32_t i = 1; i <= 50; ++i) ASSERT_EQ(AddCity(i, "S" + std::to_string(i)), 0);
  EXPECT_TRUE(t_->store()->has_uncommitted_changes());
  ASSERT_EQ(t_->Flush(), 0);
  EXPECT_FALSE(t_->stream());
  EXPECT_FALSE(t_->store()->has_uncommitted_changes());
  // Many modified pages commit on their own.
  t_->SetStream(true);
  std::string big(40, 'n');
  size_t most_pages = 0;
  bool committed = false;
  for (uint32_t i = 51; i <= 5000 && !committed; ++i) {
    ASSERT_EQ(AddCity(i, big + std::to_string(i)), 0);
    committed = !t_->store()->has_uncommitted_changes();
    if (!committed) most_pages = std::max(most_pages, t_->store()->modified_page_count());
  }
  EXPECT_TRUE(committed);
  EXPECT_LT(most_pages, Table::kStreamPages);
  EXPECT_EQ(t_->Close(), 0);
}

TEST_F(TableWriteTest, StreamModeCommitsAfter5000Operations) {
  t_->SetStream(true);
  ASSERT_EQ(AddCity(1, "A"), 0);
  uint32_t r = t_->Pointer();
  for (uint32_t i = 1; i < Table::kStreamOperations; ++i) ASSERT_EQ(t_->GetByPointer(r), 0);
  EXPECT_TRUE(t_->store()->has_uncommitted_changes());
  ASSERT_EQ(t_->GetByPointer(r), 0);
  EXPECT_FALSE(t_->store()->has_uncommitted_changes());
  EXPECT_TRUE(t_->stream());
}

TEST_F(TableWriteTest, EndOfViewLeavesStreamModeAlone) {
  // A table in stream mode notes no view: its commit waits for FLUSH.
  t_->SetStream(true);
  ASSERT_EQ(t_->InView(), 0);
  ASSERT_EQ(AddCity(2, "B"), 0);
  ASSERT_EQ(t_->EndView(), 0);
  EXPECT_TRUE(t_->store()->has_uncommitted_changes());
  ASSERT_EQ(t_->Flush(), 0);
  EXPECT_FALSE(t_->store()->has_uncommitted_changes());
}

TEST_F(TableWriteTest, HandlesOfOneFileShareUncommittedChanges) {
  Table other(decl_);
  ASSERT_EQ(other.Open(path_, kRW), 0);
  EXPECT_EQ(other.store(), t_->store());
  t_->SetStream(true);
  other.SetStream(true);
  ASSERT_EQ(AddCity(1, "A"), 0);
  uint32_t r = t_->Pointer();
  ASSERT_EQ(other.GetByPointer(r), 0);
  // Two handles appending in turn keep the tree in order.
  for (uint32_t i = 2; i < 200; ++i) {
    Table& h = i % 2 ? *t_ : other;
    PutDecimal(h.record(), i);
    PutString(h.record() + 4, 50, "N" + std::to_string(i));
    ASSERT_EQ(h.Add(), 0);
  }
  EXPECT_GE(t_->store()->CheckTree(), 199u);  // raises when out of order
  EXPECT_EQ(other.Close(), 0);
  EXPECT_EQ(Count(), 199u);
}

}  // namespace
}  // namespace kel
