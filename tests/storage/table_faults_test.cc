// Failures under the record operations: a full disk at every write of ADD,
// PUT and DELETE loses nothing committed and leaves a consistent table; an
// internal error latches the handle, and closing it releases the file's
// locks without committing.
#include <gtest/gtest.h>

#include <map>

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
constexpr int kNoSpace = 28;

class TableFaultsTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::DisarmFaults(); }

  // The table's cities (number -> name) read in key order through a fresh
  // handle, checking that record order, both keys and the counts agree.
  std::map<uint32_t, std::string> Read() {
    std::map<uint32_t, std::string> by_key;
    Table t(decl_);
    EXPECT_EQ(t.Open(path_, kRW), 0);
    if (!t.is_open()) return by_key;
    EXPECT_EQ(t.SetKey(test::kGorNumKey), 0);
    while (t.Next() == 0) by_key[GetDecimal(t.record())] = GetString(t.record() + 4, 50);
    size_t by_name = 0, by_record = 0;
    EXPECT_EQ(t.SetKey(test::kGorNomKey), 0);
    while (t.Next() == 0) ++by_name;
    EXPECT_EQ(t.SetFile(), 0);
    while (t.Next() == 0) ++by_record;
    uint64_t count = 0, entries = 0;
    EXPECT_EQ(t.Records(&count), 0);
    EXPECT_EQ(t.RecordsKey(test::kGorNomKey, &entries), 0);
    EXPECT_EQ(by_name, by_key.size());
    EXPECT_EQ(by_record, by_key.size());
    EXPECT_EQ(count, by_key.size());
    EXPECT_EQ(entries, by_key.size());
    return by_key;
  }

  test::TempDir dir_;
  std::string path_ = dir_.File("GOROD");
  TableDecl decl_ = test::GorodDecl();
};

TEST_F(TableFaultsTest, FullDiskLosesNothingCommitted) {
  std::map<uint32_t, std::string> model;
  {
    Table t(decl_);
    ASSERT_EQ(t.Create(path_), 0);
    ASSERT_EQ(t.Open(path_, kRW), 0);
    for (uint32_t i = 1; i <= 20; ++i) {
      PutDecimal(t.record(), i);
      PutString(t.record() + 4, 50, "City" + std::to_string(i));
      ASSERT_EQ(t.Add(), 0);
      model[i] = "City" + std::to_string(i);
    }
  }
  enum Op { kAdd, kPut, kDelete };
  for (Op op : {kAdd, kPut, kDelete}) {
    for (int64_t k = 0;; ++k) {
      SCOPED_TRACE(testing::Message() << "op " << op << " write " << k);
      Table t(decl_);
      ASSERT_EQ(t.Open(path_, kRW), 0);
      uint32_t target = model.begin()->first;
      if (op != kAdd) {
        PutDecimal(t.record(), target);
        ASSERT_EQ(t.GetByKey(test::kGorNumKey), 0);
      }
      platform::FaultPlan plan;
      plan.fail_write = k;
      plan.error = kNoSpace;
      platform::ArmFaults(plan);
      int rc = 0;
      if (op == kAdd) {
        PutDecimal(t.record(), 100 + uint32_t(k));
        PutString(t.record() + 4, 50, "New");
        rc = t.Add();
      } else if (op == kPut) {
        PutString(t.record() + 4, 50, "Changed" + std::to_string(k));
        rc = t.Put();
      } else {
        rc = t.Delete();
      }
      bool hit = platform::GetFaultCounters().writes > k;
      platform::DisarmFaults();
      EXPECT_EQ(rc != 0, hit);
      if (rc != 0) {
        EXPECT_EQ(rc, kNoSpace);
        EXPECT_FALSE(t.has_current());
      }
      EXPECT_EQ(t.Close(), 0);
      std::map<uint32_t, std::string> changed = model;
      if (op == kAdd) changed[100 + uint32_t(k)] = "New";
      if (op == kPut) changed[target] = "Changed" + std::to_string(k);
      if (op == kDelete) changed.erase(target);
      std::map<uint32_t, std::string> now = Read();
      if (rc == 0) {
        ASSERT_EQ(now, changed);
      } else if (now != changed) {
        // Nothing of the failed operation is there...
        ASSERT_EQ(now, model);
      }
      // ... unless its log was complete and only the copy home failed: the
      // next access then rolls it forward, whole.
      model = now;
      if (rc == 0) break;
    }
  }
}

TEST_F(TableFaultsTest, InternalErrorLatchesUntilClose) {
  TableDecl decl = decl_;
  {
    Table a(decl), b(decl);
    ASSERT_EQ(a.Create(path_ + "\\!A"), 0);
    ASSERT_EQ(b.Create(path_ + "\\!B"), 0);
    ASSERT_EQ(a.Open(path_ + "\\!A", kRW), 0);
    PutDecimal(a.record(), 1);
    ASSERT_EQ(a.Add(), 0);
    // Damage: the counter record of A's second key goes, so an ADD fails
    // after it has changed the first key.
    Store& s = *a.store();
    ASSERT_EQ(s.EnterWriteState(), 0);
    s.Delete(s.FindExact(CounterKey(a.table_number(), 1)));
    ASSERT_EQ(s.EndOperation(), 0);
  }
  Table a(decl), b(decl);
  ASSERT_EQ(a.Open(path_ + "\\!A", kRW), 0);
  ASSERT_EQ(b.Open(path_ + "\\!B", kRW), 0);
  PutDecimal(a.record(), 2);
  EXPECT_EQ(a.Add(), kFileSystemError);
  EXPECT_NE(a.latched(), 0);
  EXPECT_EQ(LastFileError().text, kDataCorruptionText);
  EXPECT_EQ(a.GetByPointer(2), kFileSystemError);
  EXPECT_EQ(a.SetFile(), kFileSystemError);
  // Another handle commits the file: nothing of A's failed ADD goes with it.
  PutDecimal(b.record(), 6);
  ASSERT_EQ(b.Add(), 0);
  // b keeps the file object alive: closing a must still let go of the
  // writer byte, or the other process below would wait for ever.
  EXPECT_EQ(a.Close(), 0);
  EXPECT_EQ(a.latched(), 0);
  auto child = test::ChildProcess::Start([this, decl] {
    Table t(decl);
    if (t.Open(path_ + "\\!B", kRW) != 0) return 1;
    PutDecimal(t.record(), 5);
    if (t.Add() != 0) return 2;
    return t.Close();
  });
  EXPECT_EQ(child.Wait(5000), 0);
  uint64_t n = 0;
  ASSERT_EQ(b.Records(&n), 0);
  EXPECT_EQ(n, 2u);
  // The failed ADD left nothing behind; the handle opens afresh.
  ASSERT_EQ(a.Open(path_ + "\\!A", kRW), 0);
  ASSERT_EQ(a.Records(&n), 0);
  EXPECT_EQ(n, 1u);
  ASSERT_EQ(a.RecordsKey(0, &n), 0);
  EXPECT_EQ(n, 1u);
  ASSERT_EQ(a.SetKey(0), 0);
  ASSERT_EQ(a.Next(), 0);
  EXPECT_EQ(a.Next(), kRecordNotAvailable);
  ASSERT_EQ(a.SetFile(), 0);
  ASSERT_EQ(a.Next(), 0);
  EXPECT_EQ(GetDecimal(a.record()), 1u);
}

}  // namespace
}  // namespace kel
