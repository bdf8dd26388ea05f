// A table on a real store file for tests of records, keys and memos: the
// table's records are created as CREATE writes them, and records are added,
// changed and deleted the way the record operations do it (number, keys,
// data record, data count, memos).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "storage/collation.h"
#include "storage/errors.h"
#include "storage/key_encoding.h"
#include "storage/keys.h"
#include "storage/memo.h"
#include "storage/record_kinds.h"
#include "storage/store.h"
#include "storage/table_desc.h"
#include "storage/table_records.h"
#include "process.h"
#include "store_testing.h"

namespace kel::test {

class TableFixture {
 public:
  TableFixture(const std::string& path, const TableDecl& decl, bool oem = false) : path_(path) {
    EXPECT_EQ(BuildTableDesc(decl, &desc_), 0);
    desc_.oem = oem;
    store_ = OpenStore(path_);
    EXPECT_EQ(store_->BeginAccess(), 0);
    EXPECT_EQ(store_->EnterWriteState(), 0);
    table_ = NextNumber(*store_);
    InsertTableName(*store_, decl.label, table_);
    WriteDefinition(*store_, table_, desc_);
    WriteZeroCounters(*store_, table_, desc_.keys.size());
    StoreCollation(*store_, table_, Collation::Default(), oem);
    EXPECT_EQ(store_->Commit(), 0);
    keys_ = std::make_unique<TableKeys>(*store_, table_, desc_, KeyStrings{&Collation::Default(), oem});
  }

  // Closes the store and opens the file again (as another process would).
  void Reopen() {
    keys_.reset();
    if (store_) store_->Close();
    store_ = OpenStore(path_);
    EXPECT_EQ(store_->BeginAccess(), 0);
    EXPECT_EQ(store_->EnterWriteState(), 0);
    keys_ = std::make_unique<TableKeys>(*store_, table_, desc_, KeyStrings{&Collation::Default(), desc_.oem});
  }

  // ADD (or APPEND): 0 with *recno set, or 40.
  int Add(const std::string& image, uint32_t* recno = nullptr, bool append = false, const MemoValues* memos = nullptr) {
    uint32_t r = NextNumber(*store_);
    if (recno) *recno = r;
    int rc = keys_->Maintain(Img(image), nullptr, r, append);
    if (rc != 0) return rc;
    store_->Insert(MakeRecord(DataKey(table_, r), StoreImage(desc_, desc_.oem, Img(image))));
    Counter c = ReadCounter(*store_, table_, kDataCounterIndex);
    ++c.count;
    WriteCounter(*store_, table_, kDataCounterIndex, c);
    if (memos) {
      EXPECT_EQ(WriteMemos(memo_table(), r, *memos), 0);
    }
    return 0;
  }

  // PUT: 0 or 40 (nothing changed then).
  int Put(uint32_t recno, const std::string& image) {
    RecordPtr stored = ExactData(*store_, table_, recno);
    EXPECT_NE(stored, nullptr);
    std::string old(desc_.record_length, '\0');
    LoadImage(desc_, desc_.oem, stored->data(), Img(old));
    if (old == image) return 0;
    int rc = keys_->Maintain(Img(image), Img(old), recno, false);
    if (rc != 0) return rc;
    store_->ReplaceData(stored, StoreImage(desc_, desc_.oem, Img(image)));
    return 0;
  }

  void Delete(uint32_t recno) {
    RecordPtr stored = ExactData(*store_, table_, recno);
    ASSERT_NE(stored, nullptr);
    std::string old(desc_.record_length, '\0');
    LoadImage(desc_, desc_.oem, stored->data(), Img(old));
    store_->Delete(stored);
    EXPECT_EQ(keys_->Maintain(nullptr, Img(old), recno, false), 0);
    Counter c = ReadCounter(*store_, table_, kDataCounterIndex);
    --c.count;
    WriteCounter(*store_, table_, kDataCounterIndex, c);
    DeleteMemos(memo_table(), recno);
  }

  // Record numbers of key k's entries in key order.
  std::vector<uint32_t> Entries(size_t k) {
    std::vector<uint32_t> out;
    std::string at;
    for (RecordPtr r = keys_->FirstEntry(k); r; r = keys_->EntryAfter(k, at)) {
      at.assign(r->key());
      out.push_back(keys_->RecnoOf(k, *r));
    }
    return out;
  }
  // Every entry record of key k (key and data bytes).
  Model EntryRecords(size_t k) {
    Model m;
    std::string at;
    for (RecordPtr r = keys_->FirstEntry(k); r; r = keys_->EntryAfter(k, at)) {
      at.assign(r->key());
      m.emplace(at, std::string(r->data()));
    }
    return m;
  }

  MemoTable memo_table() { return MemoTable{store_.get(), table_, &desc_, desc_.oem}; }
  Store& store() { return *store_; }
  TableKeys& keys() { return *keys_; }
  const TableDesc& desc() const { return desc_; }
  uint32_t table() const { return table_; }

  static uint8_t* Img(const std::string& s) { return reinterpret_cast<uint8_t*>(const_cast<char*>(s.data())); }

 private:
  std::string path_;
  TableDesc desc_;
  std::unique_ptr<Store> store_;
  uint32_t table_ = 0;
  std::unique_ptr<TableKeys> keys_;
};

}  // namespace kel::test
