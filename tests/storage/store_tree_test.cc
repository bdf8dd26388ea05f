// The record store as a B-tree: searches, inserts that split pages and grow
// the tree, deletes that empty pages, cursors; checked against a model, in
// memory and across commit and reopen.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "platform/file.h"
#include "storage/errors.h"
#include "storage/store.h"
#include "support/process.h"
#include "support/store_testing.h"

namespace kel {
namespace {

using test::Model;
using test::OpenStore;

class StoreTreeTest : public ::testing::Test {
 protected:
  OperationFrame frame_{"STORE"};
  test::TempDir dir_;
  std::string path_ = dir_.File("T.KST");

  int InternalCode(const std::function<void()>& f) {
    try {
      f();
    } catch (const InternalError& e) {
      return e.code();
    }
    return 0;
  }
  uint64_t FileSize() {
    std::unique_ptr<platform::File> f;
    EXPECT_EQ(platform::File::Open(path_, {platform::File::Access::kRead}, &f), 0);
    uint64_t n = 0;
    f->Size(&n);
    return n;
  }
};

TEST_F(StoreTreeTest, EmptyFileAnswersNoneAndOneInsertMakesOneRootLeaf) {
  auto s = OpenStore(path_);
  ASSERT_EQ(s->BeginAccess(), 0);
  EXPECT_EQ(s->First(), nullptr);
  EXPECT_EQ(s->Last(), nullptr);
  EXPECT_EQ(s->FindExact(""), nullptr);
  EXPECT_EQ(s->FindPrevious("zzz"), nullptr);
  EXPECT_EQ(s->FindNext(""), nullptr);
  ASSERT_EQ(s->EnterWriteState(), 0);
  s->Insert(MakeRecord("key", "data"));
  ASSERT_EQ(s->EndOperation(), 0);
  ASSERT_EQ(s->Truncate(), 0);
  // Header plus one page of one unit: sentinel and record are tiny.
  EXPECT_EQ(FileSize(), 512u + 256u);
  EXPECT_EQ(s->header().root, 0);
  EXPECT_EQ(s->header().log_start, s->header().log_end);
  ASSERT_EQ(s->Close(), 0);

  auto r = OpenStore(path_);
  ASSERT_EQ(r->BeginAccess(), 0);
  RecordPtr rec = r->FindExact("key");
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->data(), "data");
  EXPECT_EQ(r->CheckTree(), 1u);
}

TEST_F(StoreTreeTest, DuplicateKeyAndReadStateChangesAreInternalErrors) {
  auto s = OpenStore(path_);
  ASSERT_EQ(s->BeginAccess(), 0);
  EXPECT_EQ(InternalCode([&] { s->Insert(MakeRecord("a")); }), 1194);
  RecordPtr none;
  EXPECT_EQ(InternalCode([&] { s->Delete(MakeRecord("a")); }), 1203);
  s->EnterWriteState();
  s->Insert(MakeRecord("a", "1"));
  EXPECT_EQ(InternalCode([&] { s->Insert(MakeRecord("a", "2")); }), 706);
  // A record that was not answered by a search is not "that very record".
  EXPECT_EQ(InternalCode([&] { s->Delete(MakeRecord("a", "1")); }), 780);
  EXPECT_EQ(s->FindExact("a")->data(), "1");
  EXPECT_EQ(InternalCode([&] { MakeRecord(std::string(15000, 'k'), std::string(94, 'd')); }), 824);
}

TEST_F(StoreTreeTest, SplitThresholdsFollowEstimateAndCount) {
  // In memory, so nothing but the tree is involved. 21 records of estimate
  // 13 + 21 * (T + 5) just above 4096 split; 20 records do not until the
  // estimate passes 15094.
  struct Case {
    int records;
    size_t data;
    bool split;
  };
  // T = 4 (key) + data; 13 + n * (T + 5) (+ sentinel 5).
  const Case cases[] = {
      {21, 190, true},    // 13 + 5 + 21 * 199 = 4197 > 4096
      {21, 180, false},   // 13 + 5 + 21 * 189 = 3987
      {19, 700, false},   // 20 records with the sentinel, 13 + 5 + 19 * 709 = 13489
      {19, 800, true},    // 13 + 5 + 19 * 809 = 15389 > 15094
  };
  for (const auto& c : cases) {
    Store s;
    for (int i = 0; i < c.records; i++) s.Insert(MakeRecord(test::KeyOf(i, 3), std::string(c.data, 'x')));
    s.CheckTree();
    EXPECT_EQ(s.stats().modified_pages > 1, c.split) << c.records << " x " << c.data;
  }
}

TEST_F(StoreTreeTest, RandomChangesMatchAModelInMemoryAndAfterReopen) {
  std::mt19937 rng(42);
  Model model;
  for (int round = 0; round < 6; round++) {
    auto s = OpenStore(path_);
    ASSERT_EQ(s->EnterWriteState(), 0);
    ASSERT_EQ(s->BeginAccess(), 0);
    ASSERT_EQ(test::Diff(model, test::ReadAll(*s)), "") << "after reopen, round " << round;
    int ops = round < 3 ? 3000 : 2000;
    for (int i = 0; i < ops; i++) {
      uint32_t k = rng() % 5000;
      std::string key = test::KeyOf(k, 1 + k % 7);
      RecordPtr found = s->FindExact(key);
      ASSERT_EQ(found != nullptr, model.count(key) == 1) << key;
      // Early rounds mostly insert (pages split, the tree grows); later
      // rounds mostly delete (pages empty and leave the tree).
      bool insert = round < 3 ? rng() % 4 != 0 : rng() % 4 == 0;
      if (found && !insert) {
        s->Delete(found);
        model.erase(key);
      } else if (!found && insert) {
        std::string data(rng() % 120, char('a' + k % 26));
        s->Insert(MakeRecord(key, data));
        model[key] = data;
      } else if (found && rng() % 8 == 0) {
        std::string data(rng() % 40, 'r');
        s->ReplaceData(found, data);
        model[key] = data;
      }
      if (i % 500 == 0) {
        std::string probe = test::KeyOf(rng() % 5000, 1 + rng() % 7);
        auto ub = model.upper_bound(probe);
        RecordPtr n = s->FindNext(probe);
        ASSERT_EQ(n ? std::string(n->key()) : "-", ub == model.end() ? "-" : ub->first);
        auto lb = model.lower_bound(probe);
        RecordPtr p = s->FindPrevious(probe);
        ASSERT_EQ(p ? std::string(p->key()) : "-", lb == model.begin() ? "-" : std::prev(lb)->first);
      }
    }
    ASSERT_EQ(s->CheckTree(), model.size());
    ASSERT_EQ(test::Diff(model, test::ReadAll(*s)), "");
    RecordPtr last = s->Last();
    ASSERT_EQ(last ? std::string(last->key()) : "-", model.empty() ? "-" : model.rbegin()->first);
    ASSERT_EQ(s->EndOperation(), 0);
    ASSERT_EQ(s->Close(), 0);
  }
  auto s = OpenStore(path_);
  ASSERT_EQ(s->BeginAccess(), 0);
  EXPECT_EQ(s->CheckTree(), model.size());
}

// Frequent commits over a store far larger than the cache: records that
// grow and shrink move their pages between size classes, and every such
// move carries pages of other classes along, most of them not cached (read
// only to be moved, and written from the image they were read as). Exact
// searches in between answer from pages loaded for them alone, and those
// records are then changed and deleted.
TEST_F(StoreTreeTest, FrequentCommitsMoveUncachedPagesIntact) {
  std::mt19937 rng(9);
  Model model;
  auto s = OpenStore(path_);
  ASSERT_EQ(s->EnterWriteState(), 0);
  for (int i = 0; i < 12000; i++) {
    uint32_t k = rng() % 6000;
    std::string key = test::KeyOf(k, 6);
    RecordPtr found = s->FindExact(key);
    ASSERT_EQ(found != nullptr, model.count(key) == 1) << key;
    const int what = int(rng() % 8);
    if (!found) {
      std::string data(rng() % 200, char('a' + k % 26));
      s->Insert(MakeRecord(key, data));
      model[key] = data;
    } else if (what == 0) {
      s->Delete(found);
      model.erase(key);
    } else if (what < 4) {
      std::string data(rng() % 200, char('A' + k % 26));
      s->ReplaceData(found, data);
      model[key] = data;
    }
    if (i % 60 == 59) {
      ASSERT_EQ(s->Commit(), 0) << i;
    }
  }
  ASSERT_EQ(s->EndOperation(), 0);
  ASSERT_EQ(s->Close(), 0);
  s = OpenStore(path_);
  ASSERT_EQ(s->BeginAccess(), 0);
  EXPECT_EQ(s->CheckTree(), model.size());
  EXPECT_EQ(test::Diff(model, test::ReadAll(*s)), "");
}

TEST_F(StoreTreeTest, DeletingAWholeLeafFreesItsSlotAndSeparator) {
  auto s = OpenStore(path_);
  s->EnterWriteState();
  for (int i = 0; i < 400; i++) s->Insert(MakeRecord(test::KeyOf(i), std::string(100, 'd')));
  ASSERT_EQ(s->EndOperation(), 0);
  ASSERT_EQ(s->Truncate(), 0);
  uint64_t before = FileSize();
  s->EnterWriteState();
  // Remove a middle range: whole leaves empty and go.
  for (int i = 100; i < 300; i++) s->Delete(s->FindExact(test::KeyOf(i)));
  EXPECT_EQ(s->CheckTree(), 200u);
  ASSERT_EQ(s->EndOperation(), 0);
  ASSERT_EQ(s->Truncate(), 0);
  EXPECT_LT(FileSize(), before * 2 / 3);
  // And the leftmost leaf keeps the sentinel when everything goes.
  s->EnterWriteState();
  for (RecordPtr r = s->First(); r; r = s->First()) s->Delete(r);
  EXPECT_EQ(s->CheckTree(), 0u);
  ASSERT_EQ(s->EndOperation(), 0);
  ASSERT_EQ(s->Close(), 0);
  auto r = OpenStore(path_);
  ASSERT_EQ(r->BeginAccess(), 0);
  EXPECT_EQ(r->CheckTree(), 0u);
  EXPECT_EQ(r->First(), nullptr);
}

TEST_F(StoreTreeTest, CursorsAppendDeleteAndFindTheirRecordAgain) {
  Store s;
  s.Insert(MakeRecord("m000"));
  Cursor c(s);
  c.Set(MakeRecord("a"), true);
  EXPECT_FALSE(c.attached());
  ASSERT_NE(c.Current(), nullptr);
  EXPECT_TRUE(c.attached());
  // Appends in order after the cursor: many pages' worth.
  for (int i = 0; i < 3000; i++) {
    c.InsertAfter(MakeRecord("a" + test::KeyOf(i), std::string(50, 'z')));
    ASSERT_EQ(c.Current()->key(), "a" + test::KeyOf(i));
  }
  EXPECT_EQ(s.CheckTree(), 3002u);
  // Another cursor on a record of the same page detaches when the page
  // changes, and finds its record again.
  Cursor d(s);
  d.SetKey("a" + test::KeyOf(2998));
  ASSERT_NE(d.Current(), nullptr);
  c.DeleteCurrent();   // deletes a..2999, stands on 2998
  EXPECT_EQ(c.Current()->key(), "a" + test::KeyOf(2998));
  EXPECT_EQ(d.Current()->key(), "a" + test::KeyOf(2998));
  // Delete backwards across page boundaries down to the first record.
  for (int i = 2998; i >= 0; i--) {
    ASSERT_EQ(c.Current()->key(), "a" + test::KeyOf(i));
    c.DeleteCurrent();
  }
  EXPECT_EQ(c.Current()->key(), "a");
  c.DeleteCurrent();
  EXPECT_EQ(c.Current(), nullptr);   // on the sentinel
  EXPECT_EQ(s.CheckTree(), 1u);
  EXPECT_EQ(s.First()->key(), "m000");
}

// Insert-after checks the record's upper neighbour in the page, at the
// first insertion and along a run of them: a record that does not sort
// below the next one is refused (706) and nothing changes.
TEST_F(StoreTreeTest, InsertAfterRefusesARecordNotBelowTheNextOne) {
  Store s;
  for (const char* k : {"b", "d", "f"}) s.Insert(MakeRecord(k));
  Cursor c(s);
  c.SetKey("b");
  ASSERT_NE(c.Current(), nullptr);
  EXPECT_EQ(InternalCode([&] { c.InsertAfter(MakeRecord("d")); }), 706);
  EXPECT_EQ(InternalCode([&] { c.InsertAfter(MakeRecord("e")); }), 706);
  c.SetKey("b");
  ASSERT_NE(c.Current(), nullptr);
  c.InsertAfter(MakeRecord("c"));
  c.InsertAfter(MakeRecord("c1"));
  EXPECT_EQ(InternalCode([&] { c.InsertAfter(MakeRecord("d")); }), 706);
  c.SetKey("c1");
  ASSERT_NE(c.Current(), nullptr);
  c.InsertAfter(MakeRecord("c2"));
  EXPECT_EQ(InternalCode([&] { c.InsertAfter(MakeRecord("d0")); }), 706);
  EXPECT_EQ(InternalCode([&] { c.InsertAfter(MakeRecord("c1")); }), 706);
  EXPECT_EQ(s.CheckTree(), 6u);
  std::string keys;
  for (RecordPtr r = s.First(); r; r = s.FindNext(r->key())) keys += std::string(r->key()) + ",";
  EXPECT_EQ(keys, "b,c,c1,c2,d,f,");
}

// A run of insertions after a cursor from key and data bytes keeps the
// records in blocks of its own, not as records: the file written is byte
// for byte the one written from records, and the records stay what they
// were through searches, deletes, replacements, trimming and reload. Record
// sizes include one larger than a whole block of such records.
TEST_F(StoreTreeTest, InsertAfterFromBytesWritesTheSameFileAsFromRecords) {
  std::mt19937 rng(7);
  Model model;
  for (int i = 0; i < 6000; i++) {
    const size_t size = i == 2500 ? 15000 : (i == 2501 ? 0 : rng() % 90);
    model["r" + test::KeyOf(i)] = test::RandomBytes(rng, size);
  }
  const std::string by_bytes = dir_.File("B.KST");
  for (const std::string& path : {path_, by_bytes}) {
    auto s = OpenStore(path);
    ASSERT_EQ(s->EnterWriteState(), 0);
    s->Insert(MakeRecord("z"));
    Cursor c(*s);
    c.Set(MakeRecord("a"), true);
    for (const auto& [key, data] : model) {
      if (path == by_bytes)
        c.InsertAfter(key, data);
      else
        c.InsertAfter(MakeRecord(key, data));
    }
    EXPECT_EQ(s->CheckTree(), model.size() + 2);
    ASSERT_EQ(s->Close(), 0);
  }
  EXPECT_EQ(test::ReadFileBytes(by_bytes), test::ReadFileBytes(path_));

  // The same before a commit: changes to records still in their blocks.
  Store s;
  Cursor c(s);
  c.Set(MakeRecord("a"), true);
  for (const auto& [key, data] : model) c.InsertAfter(key, data);
  RecordPtr held = s.FindExact("r" + test::KeyOf(2500));
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(held->data(), model["r" + test::KeyOf(2500)]);
  for (int i = 0; i < 6000; i += 3) {
    const std::string key = "r" + test::KeyOf(i);
    RecordPtr r = s.FindExact(key);
    ASSERT_NE(r, nullptr) << key;
    if (i % 2) {
      s.Delete(r);
      model.erase(key);
    } else {
      s.ReplaceData(r, "new");
      model[key] = "new";
    }
  }
  model["a"] = "";
  EXPECT_EQ(s.CheckTree(), model.size());
  EXPECT_EQ(test::Diff(model, test::ReadAll(s)), "");
  EXPECT_EQ(held->data().size(), 15000u);
}

TEST_F(StoreTreeTest, InsertAfterFromBytesRefusesWhatInsertingARecordRefuses) {
  Store s;
  for (const char* k : {"b", "d"}) s.Insert(MakeRecord(k));
  Cursor c(s);
  c.SetKey("b");
  ASSERT_NE(c.Current(), nullptr);
  EXPECT_EQ(InternalCode([&] { c.InsertAfter("d", "x"); }), 706);
  EXPECT_EQ(InternalCode([&] { c.InsertAfter("a", "x"); }), 706);
  EXPECT_EQ(InternalCode([&] { c.InsertAfter("c", std::string(15093, 'x')); }), 824);
  // The longest record a leaf takes.
  c.InsertAfter("c", std::string(15075, 'x'));
  EXPECT_EQ(s.CheckTree(), 3u);
  EXPECT_EQ(s.FindExact("c")->data().size(), 15075u);
}

TEST_F(StoreTreeTest, HeldRecordsSurviveTrimmingCommitAndReload) {
  auto s = OpenStore(path_);
  s->EnterWriteState();
  for (int i = 0; i < 5000; i++) s->Insert(MakeRecord(test::KeyOf(i), std::string(60, 'v')));
  RecordPtr held = s->FindExact(test::KeyOf(17));
  ASSERT_EQ(s->EndOperation(), 0);
  // Walking everything trims the cache to far below the page count.
  ASSERT_EQ(s->BeginAccess(), 0);
  EXPECT_EQ(test::ReadAll(*s).size(), 5000u);
  EXPECT_LT(s->stats().cached_pages, 120u);
  Cursor c(*s);
  c.SetKey(test::KeyOf(4000));
  ASSERT_NE(c.Current(), nullptr);
  EXPECT_EQ(test::ReadAll(*s).size(), 5000u);
  EXPECT_EQ(c.Current()->key(), test::KeyOf(4000));
  EXPECT_EQ(held->key(), test::KeyOf(17));
  EXPECT_EQ(held->data(), std::string(60, 'v'));
  s->EndAccess();
}

TEST_F(StoreTreeTest, LastNumberIsCommittedWithTheHeader) {
  {
    auto s = OpenStore(path_);
    s->EnterWriteState();
    ASSERT_EQ(s->BeginAccess(), 0);
    s->SetLastNumber(0x01020304);
    ASSERT_EQ(s->EndOperation(), 0);
    ASSERT_EQ(s->Close(), 0);
  }
  auto s = OpenStore(path_);
  ASSERT_EQ(s->BeginAccess(), 0);
  EXPECT_EQ(s->last_number(), 0x01020304u);
}

TEST_F(StoreTreeTest, NotATableFileAnswersOne) {
  for (size_t len : {100u, 512u}) {
    std::unique_ptr<platform::File> f;
    ASSERT_EQ(platform::File::Open(path_, {platform::File::Access::kReadWrite, true, true}, &f), 0);
    std::string junk(len, 'x');
    size_t written = 0;
    ASSERT_EQ(f->WriteAt(0, junk.data(), junk.size(), &written), 0);
    f.reset();
    auto s = OpenStore(path_);
    EXPECT_EQ(s->BeginAccess(), 1) << len;
    EXPECT_EQ(InternalCode([&] { s->First(); }), 1013);
  }
}

// The ordered scan must answer exactly what walking with FindNext answers,
// from any start, whether the pages come from disk (loaded, records never
// made) or are modified in memory, and stop when the visitor says so.
TEST_F(StoreTreeTest, ScanAnswersTheModelFromAnyStartAndStopsOnRequest) {
  std::mt19937 rng(7);
  Model model;
  auto s = OpenStore(path_);
  ASSERT_EQ(s->EnterWriteState(), 0);
  for (int i = 0; i < 6000; i++) {
    uint32_t k = rng() % 20000;
    std::string key = test::KeyOf(k, 1 + k % 7);
    if (model.count(key)) continue;
    std::string data(rng() % 100, char('a' + k % 26));
    s->Insert(MakeRecord(key, data));
    model[key] = data;
  }
  ASSERT_EQ(s->EndOperation(), 0);
  ASSERT_EQ(s->Close(), 0);

  auto scan = [](Store& st, std::string_view from, size_t limit) {
    Model got;
    std::string previous;
    uint64_t n = st.Scan(from, [&](std::string_view key, std::string_view data) {
      EXPECT_TRUE(got.empty() || previous < key) << "out of order";
      previous.assign(key);
      got.emplace(std::string(key), std::string(data));
      return got.size() < limit;
    });
    EXPECT_EQ(n, got.size());
    return got;
  };
  auto expected = [&](const std::string& from, size_t limit) {
    Model want;
    for (auto it = model.lower_bound(from); it != model.end() && want.size() < limit; ++it) want.insert(*it);
    return want;
  };
  auto middle = std::next(model.begin(), long(model.size() / 2));
  struct Case {
    const char* what;
    std::string from;
    size_t limit;
  } cases[] = {
      {"whole store", "", SIZE_MAX},
      {"from an existing key", middle->first, SIZE_MAX},
      {"from between two keys", middle->first + std::string(1, '\0'), SIZE_MAX},
      {"from beyond the last key", model.rbegin()->first + "~", SIZE_MAX},
      {"stopped after 1", "", 1},
      {"stopped after 1000", middle->first, 1000},
  };
  for (bool modified : {false, true}) {
    s = OpenStore(path_);
    ASSERT_EQ(s->BeginAccess(), 0);
    if (modified) {
      // Some pages changed in memory, the rest still as loaded.
      ASSERT_EQ(s->EnterWriteState(), 0);
      for (int i = 0; i < 300; i++) {
        std::string key = test::KeyOf(20000 + uint32_t(rng() % 20000), 3);
        if (model.count(key)) continue;
        s->Insert(MakeRecord(key, "new"));
        model[key] = "new";
      }
      middle = std::next(model.begin(), long(model.size() / 2));
    }
    for (const Case& c : cases) {
      ASSERT_EQ(test::Diff(expected(c.from, c.limit), scan(*s, c.from, c.limit)), "")
          << c.what << (modified ? ", modified" : ", as loaded");
    }
    ASSERT_EQ(s->EndOperation(), 0);
    ASSERT_EQ(s->Close(), 0);
  }
}

// A scan reads every page once, far more pages than any single search
// steps through.
TEST_F(StoreTreeTest, ScanWalksAStoreOfThousandsOfPages) {
  auto s = OpenStore(path_);
  ASSERT_EQ(s->EnterWriteState(), 0);
  const std::string data(6000, 'p');  // one or two records per page
  for (uint32_t i = 0; i < 3000; i++) s->Insert(MakeRecord(test::KeyOf(i, 6), data));
  ASSERT_EQ(s->EndOperation(), 0);
  ASSERT_EQ(s->Close(), 0);
  s = OpenStore(path_);
  ASSERT_EQ(s->BeginAccess(), 0);
  uint64_t bytes = 0;
  EXPECT_EQ(s->Scan("", [&](std::string_view, std::string_view d) {
    bytes += d.size();
    return true;
  }), 3000u);
  EXPECT_EQ(bytes, 3000u * data.size());
  EXPECT_GE(s->stats().page_reads, 1500u);
}

}  // namespace
}  // namespace kel
