// Reads through table handles: GET by key and pointer, the sequence states
// of SET/RESET with NEXT and PREVIOUS, SKIP, BOF/EOF, POSITION and REGET,
// DUPLICATE, and what a failed read leaves.
#include <gtest/gtest.h>

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

class TableReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(t_.Create(path_), 0);
    ASSERT_EQ(t_.Open(path_, kRW), 0);
  }
  // Adds cities with these numbers and names; remembers record numbers.
  void Fill(const std::vector<std::pair<uint32_t, std::string>>& cities) {
    for (const auto& [num, nom] : cities) {
      Set(num, nom);
      ASSERT_EQ(t_.Add(), 0);
      rec_[num] = t_.Pointer();
    }
  }
  void Set(uint32_t num, const std::string& nom = "") {
    PutDecimal(t_.record() + test::kGorNum, num);
    PutString(t_.record() + test::kGorNom, 50, nom);
  }
  uint32_t Num() { return GetDecimal(t_.record() + test::kGorNum); }
  // City numbers met by `step` (NEXT or PREVIOUS) until it fails.
  std::vector<uint32_t> Walk(bool forward, int* last_rc = nullptr) {
    std::vector<uint32_t> out;
    int rc;
    while ((rc = forward ? t_.Next() : t_.Previous()) == 0) out.push_back(Num());
    if (last_rc) *last_rc = rc;
    return out;
  }

  test::TempDir dir_;
  std::string path_ = dir_.File("GOROD");
  TableDecl decl_ = test::GorodDecl();
  Table t_{decl_};
  std::map<uint32_t, uint32_t> rec_;  // city number -> record number
};

TEST_F(TableReadTest, EmptyTable) {
  bool yes = false;
  EXPECT_EQ(t_.Next(), kRecordNotAvailable);  // no SET
  ASSERT_EQ(t_.SetKey(test::kGorNomKey), 0);
  EXPECT_EQ(t_.Eof(&yes), 0);
  EXPECT_TRUE(yes);
  EXPECT_EQ(t_.Next(), kRecordNotAvailable);
  EXPECT_FALSE(t_.sequence_set());
  ASSERT_EQ(t_.SetFile(), 0);
  EXPECT_EQ(t_.Previous(), kRecordNotAvailable);
  EXPECT_EQ(t_.GetByPointer(7), kRecordNotFound);
  Set(1);
  EXPECT_EQ(t_.GetByKey(test::kGorNumKey), kRecordNotFound);
}

TEST_F(TableReadTest, RecordOrderAndPointerAboveAll) {
  Fill({{30, "C"}, {10, "A"}, {20, "B"}});
  ASSERT_EQ(t_.SetFile(), 0);
  EXPECT_EQ(Walk(true), (std::vector<uint32_t>{30, 10, 20}));
  ASSERT_EQ(t_.SetFile(), 0);
  EXPECT_EQ(Walk(false), (std::vector<uint32_t>{20, 10, 30}));
  // A pointer above every record number: NEXT gives the last data record.
  ASSERT_EQ(t_.SetFilePointer(rec_[20] + 100), 0);
  ASSERT_EQ(t_.Next(), 0);
  EXPECT_EQ(Num(), 20u);
  EXPECT_EQ(t_.Next(), kRecordNotAvailable);
  // An exact pointer starts there; a missing one at the record after it.
  ASSERT_EQ(t_.SetFilePointer(rec_[10]), 0);
  EXPECT_EQ(Walk(true), (std::vector<uint32_t>{10, 20}));
  ASSERT_EQ(t_.SetFilePointer(rec_[10]), 0);
  EXPECT_EQ(Walk(false), (std::vector<uint32_t>{10, 30}));
  ASSERT_EQ(t_.SetFilePointer(0), 0);  // = SET(file)
  EXPECT_EQ(t_.sequence_state(), 2);
}

TEST_F(TableReadTest, KeyOrderStates) {
  // NOM_KEY is DUP and NOCASE: "b" and "B" are equal values.
  Fill({{1, "b"}, {2, "a"}, {3, "B"}, {4, "c"}});
  ASSERT_EQ(t_.SetKey(test::kGorNomKey), 0);
  EXPECT_EQ(Walk(true), (std::vector<uint32_t>{2, 1, 3, 4}));
  ASSERT_EQ(t_.SetKey(test::kGorNomKey), 0);
  EXPECT_EQ(Walk(false), (std::vector<uint32_t>{4, 3, 1, 2}));
  // SET(key, key): from the buffer's value, in key order.
  Set(0, "B");
  ASSERT_EQ(t_.SetKeyKey(test::kGorNomKey), 0);
  EXPECT_EQ(Walk(true), (std::vector<uint32_t>{1, 3, 4}));
  Set(0, "B");
  ASSERT_EQ(t_.SetKeyKey(test::kGorNomKey), 0);
  EXPECT_EQ(Walk(false), (std::vector<uint32_t>{3, 1, 2}));
  // SET(key, key, pointer): the exact entry of value and record.
  Set(0, "b");
  ASSERT_EQ(t_.SetKeyKeyPointer(test::kGorNomKey, rec_[3]), 0);
  EXPECT_EQ(Walk(true), (std::vector<uint32_t>{3, 4}));
  // SET(key, pointer): the record's own entry, then on in key order.
  ASSERT_EQ(t_.SetKeyPointer(test::kGorNomKey, rec_[1]), 0);
  EXPECT_EQ(Walk(true), (std::vector<uint32_t>{1, 3, 4}));
  ASSERT_EQ(t_.SetKeyPointer(test::kGorNomKey, rec_[4] + 50), 0);  // none: the last entry
  EXPECT_EQ(Walk(true), (std::vector<uint32_t>{4}));
  // SET(file, key) on a unique key: found by key, then record order.
  Set(2);
  ASSERT_EQ(t_.SetFileKey(test::kGorNumKey), 0);
  EXPECT_EQ(Walk(true), (std::vector<uint32_t>{2, 3, 4}));
  Set(2);
  ASSERT_EQ(t_.SetFileKey(test::kGorNumKey), 0);
  EXPECT_EQ(Walk(false), (std::vector<uint32_t>{2, 1}));
}

TEST_F(TableReadTest, GetByKeyAndPointerLeaveTheSequenceAlone) {
  Fill({{1, "x"}, {2, "y"}, {3, "y"}});
  ASSERT_EQ(t_.SetKey(test::kGorNumKey), 0);
  ASSERT_EQ(t_.Next(), 0);
  Set(0, "Y");
  ASSERT_EQ(t_.GetByKey(test::kGorNomKey), 0);  // DUP: the first of the value
  EXPECT_EQ(Num(), 2u);
  ASSERT_EQ(t_.GetByPointer(rec_[3]), 0);
  EXPECT_EQ(Num(), 3u);
  ASSERT_EQ(t_.Next(), 0);
  EXPECT_EQ(Num(), 2u);
  // A failed GET leaves no current record.
  Set(9);
  EXPECT_EQ(t_.GetByKey(test::kGorNumKey), kRecordNotFound);
  EXPECT_FALSE(t_.has_current());
  EXPECT_EQ(t_.Put(), kRecordNotAvailable);
}

TEST_F(TableReadTest, PositionResetAndReget) {
  Fill({{1, "p"}, {2, "q"}, {3, "q"}, {4, "r"}});
  ASSERT_EQ(t_.GetByPointer(rec_[3]), 0);
  std::string pf, pk;
  ASSERT_EQ(t_.PositionFile(&pf), 0);
  ASSERT_EQ(t_.PositionKey(test::kGorNomKey, &pk), 0);
  EXPECT_EQ(pf.size(), 4u);
  EXPECT_EQ(pk.size(), 4u + 50u);
  ASSERT_EQ(t_.GetByPointer(rec_[1]), 0);
  ASSERT_EQ(t_.RegetFile(pf), 0);
  EXPECT_EQ(Num(), 3u);
  ASSERT_EQ(t_.GetByPointer(rec_[1]), 0);
  ASSERT_EQ(t_.RegetKey(test::kGorNomKey, pk), 0);
  EXPECT_EQ(Num(), 3u);
  ASSERT_EQ(t_.ResetKey(test::kGorNomKey, pk), 0);
  EXPECT_EQ(Walk(true), (std::vector<uint32_t>{3, 4}));
  ASSERT_EQ(t_.ResetFile(pf), 0);
  EXPECT_EQ(Walk(false), (std::vector<uint32_t>{3, 2, 1}));
  // A position whose record changed its key value no longer leads to it.
  ASSERT_EQ(t_.GetByPointer(rec_[3]), 0);
  PutString(t_.record() + test::kGorNom, 50, "z");
  ASSERT_EQ(t_.Put(), 0);
  EXPECT_EQ(t_.RegetKey(test::kGorNomKey, pk), kRecordNotFound);
  EXPECT_EQ(t_.RegetFile(std::string("\0\0\0\0", 4)), kRecordNotFound);
  EXPECT_EQ(t_.PositionFile(&pf), kRecordNotAvailable);
}

TEST_F(TableReadTest, SkipBofEof) {
  Fill({{1, "a"}, {2, "b"}, {3, "c"}, {4, "d"}});
  bool yes = false;
  ASSERT_EQ(t_.SetKey(test::kGorNumKey), 0);
  ASSERT_EQ(t_.Bof(&yes), 0);
  EXPECT_FALSE(yes);  // before the first NEXT the whole table lies ahead
  ASSERT_EQ(t_.Skip(2), 0);
  ASSERT_EQ(t_.Next(), 0);
  EXPECT_EQ(Num(), 3u);
  ASSERT_EQ(t_.Eof(&yes), 0);
  EXPECT_FALSE(yes);
  ASSERT_EQ(t_.Skip(10), 0);  // stops at the end
  ASSERT_EQ(t_.Eof(&yes), 0);
  EXPECT_TRUE(yes);
  ASSERT_EQ(t_.Previous(), 0);
  EXPECT_EQ(Num(), 3u);
  ASSERT_EQ(t_.Skip(-5), 0);
  ASSERT_EQ(t_.Bof(&yes), 0);
  EXPECT_TRUE(yes);
  ASSERT_EQ(t_.Next(), 0);
  EXPECT_EQ(Num(), 2u);
}

TEST_F(TableReadTest, KeyEntryWithoutDataRecordIsSteppedOver) {
  Fill({{1, "a"}, {2, "b"}, {3, "c"}});
  Store& s = *t_.store();
  ASSERT_EQ(s.EnterWriteState(), 0);
  s.Delete(ExactData(s, t_.table_number(), rec_[2]));
  ASSERT_EQ(s.EndOperation(), 0);
  ASSERT_EQ(t_.SetKey(test::kGorNomKey), 0);
  EXPECT_EQ(Walk(true), (std::vector<uint32_t>{1, 3}));
  ASSERT_EQ(t_.SetKey(test::kGorNomKey), 0);
  EXPECT_EQ(Walk(false), (std::vector<uint32_t>{3, 1}));
  Set(2);
  EXPECT_EQ(t_.GetByKey(test::kGorNumKey), kRecordNotFound);
}

TEST_F(TableReadTest, CountsAndDuplicate) {
  Fill({{1, "a"}, {2, "a"}});
  uint64_t n = 0;
  ASSERT_EQ(t_.Records(&n), 0);
  EXPECT_EQ(n, 2u);
  ASSERT_EQ(t_.RecordsKey(test::kGorNomKey, &n), 0);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(t_.RecordsKey(9, &n), kInvalidKeyFile);
  ASSERT_EQ(t_.Bytes(&n), 0);
  EXPECT_GT(n, 512u);
  bool dup = false;
  ASSERT_EQ(t_.GetByPointer(rec_[2]), 0);
  ASSERT_EQ(t_.Duplicate(-1, /*exclude_current=*/true, &dup), 0);
  EXPECT_FALSE(dup);  // only its own entry
  ASSERT_EQ(t_.Duplicate(-1, false, &dup), 0);
  EXPECT_TRUE(dup);
  Set(1, "a");
  ASSERT_EQ(t_.Duplicate(int(test::kGorNomKey), false, &dup), 0);
  EXPECT_FALSE(dup);  // a DUP key never duplicates
}

TEST_F(TableReadTest, OneShotRequestsServeOneRead) {
  Fill({{1, "a"}, {2, "b"}});
  ASSERT_EQ(t_.Hold(), 0);
  ASSERT_EQ(t_.Watch(), 0);
  ASSERT_EQ(t_.GetByPointer(rec_[1]), 0);
  EXPECT_TRUE(t_.flags() & Table::kHeld);
  EXPECT_TRUE(t_.flags() & Table::kWatched);
  EXPECT_TRUE(t_.store()->lock_area().holds(rec_[1]));
  EXPECT_FALSE(t_.flags() & (Table::kHoldRequested | Table::kWatchRequested));
  ASSERT_EQ(t_.GetByPointer(rec_[2]), 0);  // releases the first, holds nothing
  EXPECT_FALSE(t_.store()->lock_area().holds(rec_[1]));
  EXPECT_FALSE(t_.flags() & (Table::kHeld | Table::kWatched));
  ASSERT_EQ(t_.Hold(), 0);
  ASSERT_EQ(t_.GetByPointer(rec_[2]), 0);
  ASSERT_EQ(t_.Release(), 0);
  EXPECT_FALSE(t_.store()->lock_area().holds(rec_[2]));
  // A second handle of the process cannot hold what the first holds.
  Table other(decl_);
  ASSERT_EQ(other.Open(path_, kRW), 0);
  ASSERT_EQ(t_.Hold(), 0);
  ASSERT_EQ(t_.GetByPointer(rec_[2]), 0);
  ASSERT_EQ(other.Hold(0), 0);
  EXPECT_EQ(other.GetByPointer(rec_[2]), kRecordAlreadyHeld);
  ASSERT_EQ(other.GetByPointer(rec_[2]), 0);  // without a hold it reads
  EXPECT_EQ(other.Put(), kAccessDenied);
  EXPECT_EQ(other.Delete(), kRecordNotAvailable);
  // Closing the holder's handle lets go of its hold.
  ASSERT_EQ(t_.Close(), 0);
  ASSERT_EQ(other.Hold(0), 0);
  EXPECT_EQ(other.GetByPointer(rec_[2]), 0);
  EXPECT_EQ(other.Close(), 0);
}

}  // namespace
}  // namespace kel
