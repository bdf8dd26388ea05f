// Whole-table operations: OPEN/SHARE errors, CREATE, CLOSE, EMPTY, REMOVE,
// COPY and RENAME (whole file and table by table).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "storage/lock_area.h"
#include "storage/record_kinds.h"
#include "storage/table.h"
#include "storage/table_files.h"
#include "storage/table_ops.h"
#include "storage/table_records.h"
#include "support/process.h"
#include "support/table_decls.h"

namespace kel {
namespace {

using test::GetString;
using test::PutDecimal;
using test::PutString;

constexpr int kRW = open_mode::kReadWrite | open_mode::kDenyNone;

bool Exists(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

class TableOpsTest : public ::testing::Test {
 protected:
  std::string F(const std::string& name) { return dir_.File(name); }

  // Creates `name` with cities 1..n.
  void MakeCities(const std::string& name, int n) {
    Table t(decl_);
    ASSERT_EQ(t.Create(name), 0);
    ASSERT_EQ(t.Open(name, kRW), 0);
    for (int i = 1; i <= n; ++i) {
      PutDecimal(t.record() + test::kGorNum, uint32_t(i));
      PutString(t.record() + test::kGorNom, 50, "City" + std::to_string(i));
      ASSERT_EQ(t.Add(), 0);
    }
    ASSERT_EQ(t.Close(), 0);
  }
  // Names of the cities of `name` in record order.
  std::vector<std::string> Cities(const std::string& name) {
    std::vector<std::string> out;
    Table t(decl_);
    EXPECT_EQ(t.Open(name, kRW), 0) << name;
    if (!t.is_open()) return out;
    EXPECT_EQ(t.SetFile(), 0);
    while (t.Next() == 0) out.push_back(GetString(t.record() + test::kGorNom, 50));
    uint64_t count = 0;
    EXPECT_EQ(t.Records(&count), 0);
    EXPECT_EQ(count, out.size());
    EXPECT_EQ(t.Close(), 0);
    return out;
  }
  uint32_t NumberOf(const std::string& file, const std::string& table) {
    Table t(decl_);
    EXPECT_EQ(t.Open(file + "\\!" + table, kRW), 0);
    uint32_t n = t.table_number();
    t.Close();
    return n;
  }

  test::TempDir dir_;
  TableDecl decl_ = test::GorodDecl();
};

TEST_F(TableOpsTest, OpenErrors) {
  MakeCities(F("DATA\\!GOROD"), 1);
  Table t(decl_);
  EXPECT_EQ(t.Open(F("DATA\\!OTHER"), kRW), kFileNotFound);
  EXPECT_EQ(t.Open(F("MISSING"), kRW), kFileNotFound);
  EXPECT_EQ(t.Open(F("DATA\\!GOROD"), open_mode::kWriteOnly | open_mode::kDenyNone), kAccessDenied);
  EXPECT_EQ(t.Open("", kRW), kInvalidFilename);
  EXPECT_FALSE(t.is_open());
  // A directory given as a file, and a file that is not a table file.
  ASSERT_EQ(mkdir(F("DIR.KST").c_str(), 0755), 0);
  EXPECT_EQ(t.Open(F("DIR"), kRW), kAccessDenied);
  std::ofstream(F("JUNK.KST")) << std::string(600, 'j');
  EXPECT_EQ(t.Open(F("JUNK"), kRW), kInvalidDataFile);
  // A declaration that differs in structure.
  TableDecl other = test::RabotaDecl();
  Table r(other);
  EXPECT_EQ(r.Open(F("DATA\\!GOROD"), kRW), kInvalidRecordDeclaration);
  EXPECT_FALSE(r.is_open());
  // Opening twice through one handle.
  ASSERT_EQ(t.Open(F("DATA\\!GOROD"), kRW), 0);
  EXPECT_EQ(t.Open(F("DATA\\!GOROD"), kRW), kFileAlreadyOpen);
  EXPECT_EQ(t.Close(), 0);
  EXPECT_EQ(t.Close(), kFileNotOpen);
  EXPECT_EQ(OpenTableFiles().size(), 0u);
}

TEST_F(TableOpsTest, ReadOnlyOpenRefusesWrites) {
  MakeCities(F("DATA"), 1);
  chmod(F("DATA.KST").c_str(), 0444);
  Table t(decl_);
  if (geteuid() != 0) {
    EXPECT_EQ(t.Open(F("DATA"), kRW), kAccessDenied);
  }
  ASSERT_EQ(t.Open(F("DATA"), open_mode::kReadOnly | open_mode::kDenyNone), 0);
  ASSERT_EQ(t.GetByPointer(2), 0);  // number 1 is the table's
  EXPECT_EQ(t.Put(), kAccessDenied);
  EXPECT_EQ(t.Add(), kAccessDenied);
  EXPECT_EQ(t.Delete(), kAccessDenied);
  EXPECT_EQ(t.Close(), 0);
  chmod(F("DATA.KST").c_str(), 0644);
}

TEST_F(TableOpsTest, TableWithoutDeclarationTakesStoredDefinition) {
  MakeCities(F("DATA"), 2);
  TableDecl bare;
  bare.label = "ANY";
  Table t(bare);
  ASSERT_EQ(t.Open(F("DATA"), kRW), 0);
  EXPECT_EQ(t.record_length(), 54u);
  ASSERT_EQ(t.desc().keys.size(), 2u);
  ASSERT_EQ(t.SetKey(test::kGorNumKey), 0);
  ASSERT_EQ(t.Next(), 0);
  EXPECT_EQ(GetString(t.record() + test::kGorNom, 50), "City1");
  EXPECT_EQ(t.Close(), 0);
}

TEST_F(TableOpsTest, CreateOfExistingTableEmptiesAndRenumbers) {
  MakeCities(F("DATA\\!GOROD"), 3);
  uint32_t before = NumberOf(F("DATA"), "GOROD");
  Table t(decl_);
  ASSERT_EQ(t.Create(F("DATA\\!GOROD")), 0);
  EXPECT_FALSE(t.is_open());
  EXPECT_NE(NumberOf(F("DATA"), "GOROD"), before);
  EXPECT_TRUE(Cities(F("DATA\\!GOROD")).empty());
  // Nothing of the old table is left in the file.
  auto file = std::make_unique<Store>();
  TableFileHandle h;
  ASSERT_EQ(AcquireTableFile(F("DATA.KST"), kRW, "", &h), 0);
  RecordPtr r = h->store->FindNext(TablePrefix(before));
  EXPECT_TRUE(!r || r->key().substr(0, 4) != TablePrefix(before));
  ReleaseTableFile(&h);
}

TEST_F(TableOpsTest, EmptyNeedsExclusiveUseAndKeepsTheTable) {
  MakeCities(F("DATA"), 5);
  Table t(decl_);
  ASSERT_EQ(t.Open(F("DATA"), kRW), 0);
  EXPECT_EQ(t.Empty(), kExclusiveAccessRequired);
  ASSERT_EQ(t.Lock(), 0);
  ASSERT_EQ(t.Empty(), 0);
  uint64_t n = 9;
  EXPECT_EQ(t.Records(&n), 0);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(t.RecordsKey(test::kGorNomKey, &n), 0);
  EXPECT_EQ(n, 0u);
  PutDecimal(t.record(), 7);
  PutString(t.record() + 4, 50, "After");
  EXPECT_EQ(t.Add(), 0);
  EXPECT_EQ(t.Close(), 0);
  EXPECT_EQ(Cities(F("DATA")), std::vector<std::string>{"After"});
}

TEST_F(TableOpsTest, RemoveLastTableDeletesTheFile) {
  MakeCities(F("ONE"), 2);
  Table t(decl_);
  EXPECT_EQ(t.Remove(F("ONE")), 0);
  EXPECT_FALSE(Exists(F("ONE.KST")));
  EXPECT_EQ(t.Remove(F("ONE")), kFileNotFound);
}

TEST_F(TableOpsTest, RemoveOneOfTwoTablesKeepsTheOther) {
  MakeCities(F("TWO\\!A"), 2);
  MakeCities(F("TWO\\!B"), 3);
  Table t(decl_);
  EXPECT_EQ(t.Remove(F("TWO\\!A")), 0);
  EXPECT_TRUE(Exists(F("TWO.KST")));
  EXPECT_EQ(t.Open(F("TWO\\!A"), kRW), kFileNotFound);
  EXPECT_EQ(Cities(F("TWO\\!B")).size(), 3u);
}

TEST_F(TableOpsTest, RemoveMismatchedDeclarationStillRemoves) {
  MakeCities(F("TWO\\!A"), 1);
  MakeCities(F("TWO\\!B"), 1);
  TableDecl other = test::RabotaDecl();
  Table t(other);
  EXPECT_EQ(t.Remove(F("TWO\\!A")), 0);
  EXPECT_EQ(Cities(F("TWO\\!B")).size(), 1u);
}

TEST_F(TableOpsTest, RemoveLeavesAFileThatIsOpenElsewhere) {
  MakeCities(F("ONE"), 2);
  test::Pipe to_child, to_parent;
  std::string path = F("ONE.KST");
  auto child = test::ChildProcess::Start([&] {
    std::unique_ptr<platform::File> f;
    if (OpenTableFile(path, kRW, &f) != 0) return 1;
    to_parent.Send('O');
    return to_child.Receive() == 'G' ? 0 : 2;
  });
  ASSERT_EQ(to_parent.Receive(), 'O');
  Table t(decl_);
  EXPECT_EQ(t.Remove(F("ONE")), 0);
  EXPECT_TRUE(Exists(path));  // the other process still uses it
  EXPECT_EQ(t.Open(F("ONE"), kRW), kFileNotFound);
  to_child.Send('G');
  EXPECT_EQ(child.Wait(), 0);
}

TEST_F(TableOpsTest, RenameWithinFileKeepsNumberAndRecords) {
  MakeCities(F("F\\!A"), 4);
  uint32_t number = NumberOf(F("F"), "A");
  Table t(decl_);
  ASSERT_EQ(t.Rename(F("F\\!A"), F("F\\!B")), 0);
  EXPECT_EQ(t.Open(F("F\\!A"), kRW), kFileNotFound);
  EXPECT_EQ(NumberOf(F("F"), "B"), number);
  EXPECT_EQ(Cities(F("F\\!B")).size(), 4u);
  // Onto an existing table: 5, and both stay.
  MakeCities(F("F\\!C"), 1);
  EXPECT_EQ(t.Rename(F("F\\!B"), F("F\\!C")), kAccessDenied);
  EXPECT_EQ(Cities(F("F\\!B")).size(), 4u);
  EXPECT_EQ(Cities(F("F\\!C")).size(), 1u);
  EXPECT_EQ(OpenTableFiles().size(), 0u);
}

TEST_F(TableOpsTest, CopyToAnotherFileRenumbersTableAndRecords) {
  MakeCities(F("G\\!X"), 2);  // G's numbers run ahead of F's
  MakeCities(F("F\\!A"), 3);
  {
    // Delete the second record, so that numbers have a gap, and give the
    // data counter a free value.
    Table t(decl_);
    ASSERT_EQ(t.Open(F("F\\!A"), kRW), 0);
    ASSERT_EQ(t.GetByPointer(3), 0);
    ASSERT_EQ(t.Delete(), 0);
    Counter c = ReadCounter(*t.store(), t.table_number(), kDataCounterIndex);
    ASSERT_EQ(t.store()->EnterWriteState(), 0);
    c.mark = 4242;
    WriteCounter(*t.store(), t.table_number(), kDataCounterIndex, c);
    ASSERT_EQ(t.Close(), 0);
  }
  Table t(decl_);
  ASSERT_EQ(t.Copy(F("F\\!A"), F("G\\!A")), 0);
  EXPECT_EQ(Cities(F("F\\!A")), (std::vector<std::string>{"City1", "City3"}));
  EXPECT_EQ(Cities(F("G\\!A")), (std::vector<std::string>{"City1", "City3"}));
  ASSERT_EQ(t.Open(F("G\\!A"), kRW), 0);
  EXPECT_NE(t.table_number(), NumberOf(F("F"), "A"));
  // Record numbers moved past the base; keys lead to the new numbers.
  PutString(t.record() + test::kGorNom, 50, "city3");
  ASSERT_EQ(t.GetByKey(test::kGorNomKey), 0);
  uint32_t moved = t.Pointer();
  EXPECT_GT(moved, t.table_number() + 1);
  PutDecimal(t.record(), 1);
  ASSERT_EQ(t.GetByKey(test::kGorNumKey), 0);
  EXPECT_EQ(GetString(t.record() + test::kGorNom, 50), "City1");
  EXPECT_EQ(ReadCounter(*t.store(), t.table_number(), kDataCounterIndex).mark, 4242u);
  // A new record gets a number above every copied one.
  PutDecimal(t.record(), 9);
  ASSERT_EQ(t.Add(), 0);
  EXPECT_GT(t.Pointer(), moved);
  EXPECT_EQ(t.Close(), 0);
  // COPY replaces an existing target table.
  ASSERT_EQ(t.Copy(F("G\\!X"), F("G\\!A")), 0);
  EXPECT_EQ(Cities(F("G\\!A")).size(), 2u);
  EXPECT_EQ(OpenTableFiles().size(), 0u);
}

TEST_F(TableOpsTest, CopyWithinTheFileMakesASecondTable) {
  MakeCities(F("F\\!A"), 3);
  Table t(decl_);
  ASSERT_EQ(t.Copy(F("F\\!A"), F("F\\!B")), 0);
  EXPECT_NE(NumberOf(F("F"), "B"), NumberOf(F("F"), "A"));
  EXPECT_EQ(Cities(F("F\\!A")).size(), 3u);
  EXPECT_EQ(Cities(F("F\\!B")).size(), 3u);
  // Onto itself: nothing changes.
  ASSERT_EQ(t.Copy(F("F\\!A"), F("F\\!A")), 0);
  EXPECT_EQ(Cities(F("F\\!A")).size(), 3u);
}

TEST_F(TableOpsTest, CopyRefusedWhenNumbersWouldRunOut) {
  MakeCities(F("F\\!A"), 3);
  MakeCities(F("G\\!X"), 1);
  {
    Table g(decl_);
    ASSERT_EQ(g.Open(F("G\\!X"), kRW), 0);
    ASSERT_EQ(g.store()->EnterWriteState(), 0);
    ASSERT_EQ(g.store()->BeginAccess(), 0);
    g.store()->SetLastNumber(0xFDFFFFFDu);
    ASSERT_EQ(g.Close(), 0);
  }
  Table t(decl_);
  EXPECT_EQ(t.Copy(F("F\\!A"), F("G\\!A")), kAccessDenied);
  EXPECT_EQ(t.Open(F("G\\!A"), kRW), kFileNotFound);
  EXPECT_EQ(Cities(F("F\\!A")).size(), 3u);
  EXPECT_EQ(Cities(F("G\\!X")).size(), 1u);
  EXPECT_EQ(OpenTableFiles().size(), 0u);
}

TEST_F(TableOpsTest, RenameToAnotherFileMovesTheTable) {
  MakeCities(F("F\\!A"), 3);
  MakeCities(F("F\\!B"), 1);
  Table t(decl_);
  ASSERT_EQ(t.Rename(F("F\\!A"), F("H\\!A")), 0);
  EXPECT_EQ(t.Open(F("F\\!A"), kRW), kFileNotFound);
  EXPECT_EQ(Cities(F("H\\!A")).size(), 3u);
  EXPECT_EQ(Cities(F("F\\!B")).size(), 1u);
}

TEST_F(TableOpsTest, WholeFileCopyAndRename) {
  MakeCities(F("SRC"), 2);
  ASSERT_EQ(mkdir(F("dir").c_str(), 0755), 0);
  Table t(decl_);
  // Into a directory: a file of the same name there.
  ASSERT_EQ(t.Copy(F("SRC"), F("dir")), 0);
  EXPECT_EQ(Cities(F("dir/SRC")).size(), 2u);
  // Onto a name, the extension taken from the source.
  ASSERT_EQ(t.Rename(F("SRC"), F("MOVED")), 0);
  EXPECT_FALSE(Exists(F("SRC.KST")));
  EXPECT_EQ(Cities(F("MOVED")).size(), 2u);
}

TEST_F(TableOpsTest, WholeFileStepNeverReplacesATarget) {
  MakeCities(F("SRC"), 2);
  MakeCities(F("DST"), 1);
  Table t(decl_);
  // The target file exists, so the file is not moved onto it; table by
  // table the target already has an UNNAMED table, and RENAME answers 5.
  EXPECT_EQ(t.Rename(F("SRC"), F("DST")), kAccessDenied);
  EXPECT_EQ(Cities(F("SRC")).size(), 2u);
  EXPECT_EQ(Cities(F("DST")).size(), 1u);
}

TEST_F(TableOpsTest, WholeFileHelpers) {
  MakeCities(F("A"), 1);
  MakeCities(F("B"), 1);
  EXPECT_EQ(MoveWholeFile(F("A.KST"), F("B.KST")), 17);
  EXPECT_EQ(CopyWholeFile(F("A.KST"), F("B.KST")), 17);
  EXPECT_TRUE(Exists(F("A.KST")));
  // Open in this process: neither moved nor deleted.
  Table t(decl_);
  ASSERT_EQ(t.Open(F("A"), kRW), 0);
  EXPECT_EQ(MoveWholeFile(F("A.KST"), F("C.KST")), kAccessDenied);
  EXPECT_EQ(DeleteWholeFile(F("A.KST")), kAccessDenied);
  EXPECT_EQ(t.Close(), 0);
  // Open in another process: likewise.
  test::Pipe to_child, to_parent;
  std::string path = F("A.KST");
  auto child = test::ChildProcess::Start([&] {
    std::unique_ptr<platform::File> f;
    if (OpenTableFile(path, open_mode::kReadOnly | open_mode::kDenyNone, &f) != 0) return 1;
    to_parent.Send('O');
    return to_child.Receive() == 'G' ? 0 : 2;
  });
  ASSERT_EQ(to_parent.Receive(), 'O');
  EXPECT_EQ(MoveWholeFile(path, F("C.KST")), kAccessDenied);
  EXPECT_EQ(DeleteWholeFile(path), kAccessDenied);
  EXPECT_TRUE(Exists(path));
  EXPECT_FALSE(Exists(F("C.KST")));
  to_child.Send('G');
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(MoveWholeFile(path, F("C.KST")), 0);
  EXPECT_TRUE(SameFile(F("C.KST"), F("C.KST")));
  EXPECT_FALSE(SameFile(F("C.KST"), F("B.KST")));
}

}  // namespace
}  // namespace kel
