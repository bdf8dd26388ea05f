#include "storage/table_records.h"

#include <gtest/gtest.h>

#include "support/process.h"
#include "support/store_testing.h"

namespace kel {
namespace {

class TableRecordsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = test::OpenStore(path_);
    ASSERT_EQ(store_->BeginAccess(), 0);
    ASSERT_EQ(store_->EnterWriteState(), 0);
  }
  int InternalCode(const std::function<void()>& f) {
    try {
      f();
    } catch (const InternalError& e) {
      return e.code();
    }
    return 0;
  }

  OperationFrame frame_{"T"};
  test::TempDir dir_;
  std::string path_ = dir_.File("T.KST");
  std::unique_ptr<Store> store_;
};

TableDesc SmallDesc(uint32_t name_len) {
  TableDecl d;
  FieldDecl rec, name;
  rec.type = FieldType::kGroup, rec.element_size = 4, rec.member_count = 1, rec.label = "R";
  name.type = FieldType::kString, name.element_size = 4, name.label = std::string(name_len, 'N');
  d.fields = {rec, name};
  TableDesc out;
  EXPECT_EQ(BuildTableDesc(d, &out), 0);
  return out;
}

TEST_F(TableRecordsTest, NumbersStartAtOneAndStayBelow0xFE000000) {
  EXPECT_EQ(NextNumber(*store_), 1u);
  EXPECT_EQ(NextNumber(*store_), 2u);
  ASSERT_EQ(store_->Commit(), 0);
  store_->SetLastNumber(0xFDFFFFFE);
  EXPECT_EQ(NextNumber(*store_), 0xFDFFFFFFu);
  EXPECT_EQ(InternalCode([&] { NextNumber(*store_); }), kErrNumberExhausted);
  store_->Discard();
  ASSERT_EQ(store_->EndOperation(), 0);  // back in read state
  EXPECT_EQ(InternalCode([&] { NextNumber(*store_); }), kErrNumberReadState);
  ASSERT_EQ(store_->BeginAccess(), 0);
  EXPECT_EQ(store_->last_number(), 2u);  // the committed value
}

TEST_F(TableRecordsTest, NamesAreUpperCaseAndListedInOrder) {
  InsertTableName(*store_, "rabota", 7);
  InsertTableName(*store_, "GOROD", 3);
  InsertTableName(*store_, "\xe7\xe0\xff\xe2\xea\xe0", 9);  // заявка
  uint32_t t = 0;
  ASSERT_TRUE(FindTableByName(*store_, "Rabota", &t));
  EXPECT_EQ(t, 7u);
  ASSERT_TRUE(FindTableByName(*store_, "\xc7\xc0\xdf\xc2\xca\xc0", &t));
  EXPECT_EQ(t, 9u);
  EXPECT_FALSE(FindTableByName(*store_, "KLIENT", &t));
  store_->Insert(MakeRecord(MarkerKey(), "x"));
  EXPECT_EQ(ListTableNames(*store_), (std::vector<std::string>{"GOROD", "RABOTA", "\xc7\xc0\xdf\xc2\xca\xc0"}));
  EXPECT_TRUE(DeleteTableName(*store_, "gorod"));
  EXPECT_FALSE(DeleteTableName(*store_, "gorod"));
  EXPECT_EQ(ListTableNames(*store_).size(), 2u);
}

TEST_F(TableRecordsTest, DefinitionBlocksOnTheStore) {
  // The stream grows by one byte per character of the field name.
  size_t base = SerializeDefinition(SmallDesc(1)).size() - 1;
  for (size_t len : {size_t(512), size_t(513), size_t(1100)}) {
    TableDesc d = SmallDesc(uint32_t(len - base));
    ASSERT_EQ(SerializeDefinition(d).size(), len);
    WriteDefinition(*store_, 5, d);
    size_t blocks = 0;
    for (RecordPtr r = store_->FindExact(DefBlockKey(5, 0)); r; r = store_->FindExact(DefBlockKey(5, uint16_t(++blocks))))
      EXPECT_EQ(r->data().size(), std::min<size_t>(512, len - 512 * blocks));
    EXPECT_EQ(blocks, (len + 511) / 512) << len;
    TableDesc back;
    ASSERT_EQ(ReadStoredDefinition(*store_, 5, &back), 0);
    EXPECT_EQ(SerializeDefinition(back), SerializeDefinition(d));
  }
  // A shorter definition replaces the blocks of a longer one.
  TableDesc small = SmallDesc(3);
  WriteDefinition(*store_, 5, small);
  EXPECT_EQ(store_->FindExact(DefBlockKey(5, 1)), nullptr);
  EXPECT_EQ(CompareStoredDefinition(*store_, 5, small), DefCompare::kEqual);
  TableDesc renamed = small;
  renamed.fields[1].name = "OTHER";
  EXPECT_EQ(CompareStoredDefinition(*store_, 5, renamed), DefCompare::kNamesDiffer);
  TableDesc moved = small;
  moved.fields[1].size = 3;
  EXPECT_EQ(CompareStoredDefinition(*store_, 5, moved), DefCompare::kStructureDiffers);
  TableDesc none;
  EXPECT_EQ(ReadStoredDefinition(*store_, 6, &none), kInvalidRecordDeclaration);
}

TEST_F(TableRecordsTest, CountersCollationAndRemoval) {
  WriteZeroCounters(*store_, 4, 2);
  WriteCounter(*store_, 4, 1, {5, 9});
  EXPECT_EQ(ReadCounter(*store_, 4, 1).count, 5u);
  EXPECT_EQ(ReadCounter(*store_, 4, 1).mark, 9u);
  EXPECT_EQ(ReadCounter(*store_, 4, kDataCounterIndex).count, 0u);
  EXPECT_EQ(InternalCode([&] { ReadCounter(*store_, 4, 2); }), kErrCounterMissing);
  WriteZeroCounters(*store_, 4, 2);  // EMPTY writes them again
  EXPECT_EQ(ReadCounter(*store_, 4, 1).count, 0u);

  Collation c;
  bool oem = false;
  EXPECT_FALSE(LoadCollation(*store_, 4, &c, &oem));
  StoreCollation(*store_, 4, Collation::Default(), true);
  ASSERT_TRUE(LoadCollation(*store_, 4, &c, &oem));
  EXPECT_TRUE(oem);
  EXPECT_EQ(c, Collation::Default());

  store_->Insert(MakeRecord(DataKey(4, 10), "rec"));
  store_->Insert(MakeRecord(DataKey(3, 10), "other table"));
  store_->Insert(MakeRecord(DataKey(0x104, 10), "other table"));
  InsertTableName(*store_, "T", 4);
  EXPECT_EQ(RemoveTableRecords(*store_, 4), 3u + 1 + 1);  // counters, collation, data
  EXPECT_NE(store_->FindExact(DataKey(3, 10)), nullptr);
  EXPECT_NE(store_->FindExact(DataKey(0x104, 10)), nullptr);
  uint32_t t;
  EXPECT_TRUE(FindTableByName(*store_, "T", &t));
}

}  // namespace
}  // namespace kel
