#include "storage/keys.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/file.h"
#include "storage/key_build.h"
#include "support/table_fixture.h"

namespace kel {
namespace {

using test::TableFixture;

enum : size_t { kNum = 0, kNameDup = 1, kNoteOpt = 2, kSumIndex = 3, kDyn = 4 };

TableDecl Decl() {
  TableDecl d;
  d.label = "TEST";
  auto field = [](FieldType t, const char* label, uint32_t off, uint32_t size) {
    FieldDecl f;
    f.type = t, f.label = label, f.offset = off, f.element_size = size;
    return f;
  };
  d.fields = {field(FieldType::kGroup, "T:REC", 0, 30), field(FieldType::kLong, "T:NUM", 0, 4),
              field(FieldType::kString, "T:NAME", 4, 10), field(FieldType::kDecimal, "T:SUM", 14, 4),
              field(FieldType::kString, "T:NOTE", 18, 12)};
  d.fields[0].member_count = 4;
  d.keys = {
      {"T:NUM_KEY", "", "", 0, {{1, false}}},
      {"T:NAME_KEY", "", "", kKeyDup | kKeyNoCase, {{2, false}}},
      {"T:NOTE_KEY", "", "", kKeyOpt | kKeyNoCase, {{4, false}}},
      {"T:SUM_KEY", "", "", kKeyDup | kKeyIndex, {{3, false}}},
      {"T:DYN", "", "", kKeyDynamic, {}},
  };
  return d;
}

std::string Rec(int32_t num, const std::string& name, int sum = 0, const std::string& note = "") {
  std::string r(30, ' ');
  std::memcpy(r.data(), &num, 4);
  std::memcpy(r.data() + 4, name.data(), std::min<size_t>(10, name.size()));
  uint8_t dec[4] = {0, 0, uint8_t((std::abs(sum) / 10) % 10), uint8_t(std::abs(sum) % 10)};
  dec[3] |= 0;
  if (sum < 0) dec[0] = 0xD0;
  std::memcpy(r.data() + 14, dec, 4);
  std::memcpy(r.data() + 18, note.data(), std::min<size_t>(12, note.size()));
  return r;
}

class KeysTest : public ::testing::Test {
 protected:
  OperationFrame frame_{"TEST"};
  test::TempDir dir_;
  std::string path_ = dir_.File("T.KST");
  TableFixture t_{path_, Decl()};
  TableKeys& keys() { return t_.keys(); }
  Counter C(size_t k) { return keys().GetCounter(k); }
};

TEST_F(KeysTest, AddCreatesEntriesAndDupEntriesOrderByRecordNumber) {
  uint32_t a, b, c;
  ASSERT_EQ(t_.Add(Rec(2, "Smith"), &a), 0);
  ASSERT_EQ(t_.Add(Rec(1, "SMITH"), &b), 0);
  ASSERT_EQ(t_.Add(Rec(-1, "Adams"), &c), 0);
  EXPECT_EQ(t_.Entries(kNum), (std::vector<uint32_t>{c, b, a}));       // -1, 1, 2
  EXPECT_EQ(t_.Entries(kNameDup), (std::vector<uint32_t>{c, a, b}));   // equal NOCASE values by recno
  EXPECT_EQ(C(kNum).count, 3u);
  EXPECT_EQ(C(kNameDup).count, 3u);
  EXPECT_EQ(C(kNoteOpt).count, 0u);  // blank notes: no entries
  // Entry layout: unique keys carry the record number as data, DUP keys at
  // the end of the key.
  RecordPtr e = keys().FirstEntry(kNum);
  EXPECT_EQ(e->key().size(), 9u);
  EXPECT_EQ(GetBE32(e->data(), 0), c);
  RecordPtr d = keys().FirstEntry(kNameDup);
  EXPECT_EQ(d->key().size(), 5u + 10 + 4);
  EXPECT_EQ(d->data().size(), 0u);
  EXPECT_EQ(GetBE32(d->key(), 15), c);
}

TEST_F(KeysTest, DuplicateUndoesTheKeysAlreadyChanged) {
  uint32_t a;
  ASSERT_EQ(t_.Add(Rec(1, "abc", 0, "abc"), &a), 0);
  auto before0 = t_.EntryRecords(kNum), before1 = t_.EntryRecords(kNameDup);
  uint32_t b;
  // Keys 0 and 1 accept the record; key 2 (unique NOCASE) refuses "ABC".
  EXPECT_EQ(t_.Add(Rec(2, "abc", 0, "ABC"), &b), kDuplicateKey);
  EXPECT_EQ(t_.EntryRecords(kNum), before0);
  EXPECT_EQ(t_.EntryRecords(kNameDup), before1);
  EXPECT_EQ(C(kNum).count, 1u);
  EXPECT_EQ(C(kNameDup).count, 1u);
  // A change refused the same way leaves the record's entries as they were.
  uint32_t c;
  ASSERT_EQ(t_.Add(Rec(3, "xyz", 0, "xyz"), &c), 0);
  auto all0 = t_.EntryRecords(kNum), all1 = t_.EntryRecords(kNameDup), all2 = t_.EntryRecords(kNoteOpt);
  EXPECT_EQ(t_.Put(c, Rec(4, "new", 0, "Abc")), kDuplicateKey);
  EXPECT_EQ(t_.EntryRecords(kNum), all0);
  EXPECT_EQ(t_.EntryRecords(kNameDup), all1);
  EXPECT_EQ(t_.EntryRecords(kNoteOpt), all2);
  // Number 1 is taken by record a: refused at the first key.
  EXPECT_EQ(t_.Put(c, Rec(1, "new", 0, "xyz")), kDuplicateKey);
  EXPECT_EQ(t_.EntryRecords(kNameDup), all1);
}

TEST_F(KeysTest, OptKeyFollowsBlankTransitions) {
  uint32_t r;
  ASSERT_EQ(t_.Add(Rec(1, ""), &r), 0);
  EXPECT_EQ(C(kNoteOpt).count, 0u);
  EXPECT_TRUE(t_.Entries(kNoteOpt).empty());
  EXPECT_EQ(C(kNameDup).count, 1u);  // not OPT: blank values have entries
  ASSERT_EQ(t_.Put(r, Rec(1, "", 0, "Note")), 0);
  EXPECT_EQ(t_.Entries(kNoteOpt), std::vector<uint32_t>{r});
  ASSERT_EQ(t_.Put(r, Rec(1, "")), 0);
  EXPECT_TRUE(t_.Entries(kNoteOpt).empty());
  EXPECT_EQ(C(kNoteOpt).count, 0u);
  t_.Delete(r);
  for (size_t k : {kNum, kNameDup, kNoteOpt}) EXPECT_EQ(C(k).count, 0u);
  EXPECT_TRUE(t_.Entries(kNum).empty());
}

TEST_F(KeysTest, WriteTouchesOnlyKeysWhoseBytesChange) {
  uint32_t r;
  ASSERT_EQ(t_.Add(Rec(1, "Name", 0, "note"), &r), 0);
  ASSERT_EQ(BuildKey(keys(), kSumIndex, {}), 0);
  ASSERT_EQ(t_.store().Commit(), 0);
  RecordPtr num = keys().FirstEntry(kNum), name = keys().FirstEntry(kNameDup);
  // Only letter case changes, and every string key is NOCASE.
  std::string old = Rec(1, "Name", 0, "note"), changed = Rec(1, "NAME", 0, "NoTe");
  ASSERT_EQ(keys().Maintain(TableFixture::Img(changed), TableFixture::Img(old), r, false), 0);
  EXPECT_FALSE(t_.store().has_uncommitted_changes());
  EXPECT_EQ(keys().FirstEntry(kNum), num);
  EXPECT_EQ(keys().FirstEntry(kNameDup), name);
  EXPECT_EQ(C(kSumIndex).mark, 0u);  // the INDEX key's value did not change either
}

TEST_F(KeysTest, WouldDuplicate) {
  uint32_t a;
  ASSERT_EQ(t_.Add(Rec(1, "abc", 0, "abc"), &a), 0);
  std::string same = Rec(1, "ABC", 0, "ABC"), other = Rec(2, "abd", 0, "abd"), blank = Rec(5, "");
  EXPECT_TRUE(keys().WouldDuplicate(-1, TableFixture::Img(same), std::nullopt));
  EXPECT_FALSE(keys().WouldDuplicate(-1, TableFixture::Img(same), a));  // its own entries
  EXPECT_TRUE(keys().WouldDuplicate(kNoteOpt, TableFixture::Img(same), std::nullopt));
  EXPECT_FALSE(keys().WouldDuplicate(kNameDup, TableFixture::Img(same), std::nullopt));  // DUP: never
  EXPECT_FALSE(keys().WouldDuplicate(-1, TableFixture::Img(other), std::nullopt));
  EXPECT_FALSE(keys().WouldDuplicate(kNoteOpt, TableFixture::Img(blank), std::nullopt));
  EXPECT_EQ(C(kNum).count, 1u);
}

TEST_F(KeysTest, IndexKeyIsMarkedNotMaintained) {
  uint32_t a, b;
  ASSERT_EQ(t_.Add(Rec(1, "a", 5), &a), 0);
  EXPECT_EQ(C(kSumIndex).count, 0u);
  EXPECT_EQ(C(kSumIndex).mark, a);
  ASSERT_EQ(t_.Add(Rec(2, "b", 7), &b), 0);
  EXPECT_EQ(C(kSumIndex).mark, a);  // the lowest record stays the mark
  BuildOptions o;
  EXPECT_EQ(BuildKey(keys(), kSumIndex, o), 0);
  EXPECT_EQ(C(kSumIndex).mark, 0u);
  EXPECT_EQ(t_.Entries(kSumIndex), (std::vector<uint32_t>{a, b}));
  // A write after the build marks it again from that record.
  ASSERT_EQ(t_.Put(b, Rec(2, "b", 3)), 0);
  EXPECT_EQ(C(kSumIndex).mark, b);
  EXPECT_EQ(t_.Entries(kSumIndex), (std::vector<uint32_t>{a, b}));  // stale until built
  EXPECT_EQ(BuildKey(keys(), kSumIndex, o), 0);
  EXPECT_EQ(t_.Entries(kSumIndex), (std::vector<uint32_t>{b, a}));  // 3 before 5
  EXPECT_EQ(C(kSumIndex).count, 2u);
}

TEST_F(KeysTest, AppendMarksEveryKeyAndBuildAllCompletesTheOthers) {
  uint32_t first;
  ASSERT_EQ(t_.Add(Rec(10, "old", 1, "old")), 0);
  ASSERT_EQ(BuildKey(keys(), kSumIndex, {}), 0);
  std::vector<Counter> before;
  for (size_t k = 0; k < 4; ++k) before.push_back(C(k));
  ASSERT_EQ(t_.Add(Rec(11, "one", 2, "one"), &first, true), 0);
  ASSERT_EQ(t_.Add(Rec(12, "two", 3, "two"), nullptr, true), 0);
  ASSERT_EQ(t_.Add(Rec(13, "three", 4, "three"), nullptr, true), 0);
  for (size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(C(k).count, before[k].count) << k;
    EXPECT_EQ(C(k).mark, first) << k;
  }
  bool all = false;
  ASSERT_EQ(BuildAllKeys(keys(), false, {}, &all), 0);
  EXPECT_TRUE(all);
  for (size_t k : {kNum, kNameDup, kNoteOpt}) {
    EXPECT_EQ(C(k).count, before[k].count + 3) << k;
    EXPECT_EQ(C(k).mark, 0u) << k;
  }
  EXPECT_EQ(C(kSumIndex).mark, first);  // INDEX keys wait for their own build
  EXPECT_EQ(C(kSumIndex).count, 1u);
  ASSERT_EQ(BuildKey(keys(), kSumIndex, {}), 0);
  EXPECT_EQ(C(kSumIndex).count, 4u);
  EXPECT_EQ(C(kSumIndex).mark, 0u);
}

TEST_F(KeysTest, FullBuildOfAllKeysRewritesTheCollationRecord) {
  // A table whose stored tables differ from the engine's (an older file).
  Collation old = Collation::Default();
  old.mutable_bytes()[1088] = 'X';
  StoreCollation(t_.store(), t_.table(), old, false);
  keys().set_strings({&old, false});
  ASSERT_EQ(t_.Add(Rec(1, "", 0, "same")), 0);
  uint32_t b;
  ASSERT_EQ(t_.Add(Rec(2, "", 0, "SAME"), &b, true), 0);
  BuildOptions full;
  full.full_build = true;
  bool all = true;
  EXPECT_EQ(BuildAllKeys(keys(), false, full, &all), kDuplicateKey);  // key 2 conflicts
  EXPECT_FALSE(all);  // so the caller does not truncate
  Collation stored;
  bool oem = true;
  ASSERT_TRUE(LoadCollation(t_.store(), t_.table(), &stored, &oem));
  EXPECT_EQ(stored, Collation::Default());
  EXPECT_FALSE(oem);
  EXPECT_EQ(keys().strings().collation, &Collation::Default());
  EXPECT_EQ(C(kNum).count, 2u);
  EXPECT_EQ(C(kNoteOpt).mark, b);
  EXPECT_EQ(C(kSumIndex).count, 0u);  // INDEX keys are not part of it
}

TEST_F(KeysTest, ConflictingFirstBuildKeepsTheLowerRecord) {
  uint32_t a, b;
  ASSERT_EQ(t_.Add(Rec(1, "", 0, "same"), &a, true), 0);
  ASSERT_EQ(t_.Add(Rec(2, "", 0, "SAME"), &b, true), 0);
  EXPECT_EQ(BuildKey(keys(), kNoteOpt, {}), kDuplicateKey);
  EXPECT_EQ(t_.Entries(kNoteOpt), std::vector<uint32_t>{a});
  EXPECT_EQ(C(kNoteOpt).mark, b);
  EXPECT_EQ(C(kNoteOpt).count, 1u);
  // Once the conflict is gone a build from the mark completes the key.
  ASSERT_EQ(t_.Put(b, Rec(2, "", 0, "other")), 0);
  EXPECT_EQ(BuildKey(keys(), kNoteOpt, {}), 0);
  EXPECT_EQ(C(kNoteOpt).mark, 0u);
  EXPECT_EQ(t_.Entries(kNoteOpt), (std::vector<uint32_t>{b, a}));  // "other" < "same"
  // A full build of a complete key gives the same entries again.
  auto entries = t_.EntryRecords(kNoteOpt);
  BuildOptions full;
  full.full_build = true;
  EXPECT_EQ(BuildKey(keys(), kNoteOpt, full), 0);
  EXPECT_EQ(t_.EntryRecords(kNoteOpt), entries);
}

TEST_F(KeysTest, CompleteKeyIsLeftAloneAndReadOnlyFileIsRefused) {
  ASSERT_EQ(t_.Add(Rec(1, "x")), 0);
  ASSERT_EQ(t_.store().Commit(), 0);
  EXPECT_EQ(BuildKey(keys(), kNum, {}), 0);
  EXPECT_FALSE(t_.store().has_uncommitted_changes());
  auto ro = test::OpenStore(path_, test::kReadOnlyShared);
  ASSERT_EQ(ro->BeginAccess(), 0);
  TableKeys ro_keys(*ro, t_.table(), t_.desc(), {});
  BuildOptions full;
  full.full_build = true;
  EXPECT_EQ(BuildKey(ro_keys, kNum, full), kAccessDenied);
}

TEST_F(KeysTest, LookupsStayInsideTheirKey) {
  uint32_t a, b;
  ASSERT_EQ(t_.Add(Rec(1, "a"), &a), 0);
  ASSERT_EQ(t_.Add(Rec(2, "b"), &b), 0);
  RecordPtr first = keys().FirstEntry(kNum), last = keys().LastEntry(kNum);
  EXPECT_EQ(keys().RecnoOf(kNum, *first), a);
  EXPECT_EQ(keys().RecnoOf(kNum, *last), b);
  EXPECT_EQ(keys().EntryAfter(kNum, last->key()), nullptr);     // next is key 1's
  EXPECT_EQ(keys().EntryBefore(kNum, first->key()), nullptr);   // before: the table's data
  EXPECT_EQ(keys().EntryBefore(kNameDup, keys().FirstEntry(kNameDup)->key()), nullptr);
  EXPECT_EQ(keys().ExactEntry(kNum, first->key()), first);
  EXPECT_EQ(keys().FirstEntry(kSumIndex), nullptr);
  EXPECT_EQ(keys().LastEntry(kSumIndex), nullptr);
  EXPECT_EQ(keys().FirstEntry(kDyn), nullptr);  // not built
  EXPECT_EQ(RecnoOfDataKey(FirstData(t_.store(), t_.table())->key()), a);
  EXPECT_EQ(RecnoOfDataKey(LastData(t_.store(), t_.table())->key()), b);
  EXPECT_EQ(DataAfter(t_.store(), t_.table(), b), nullptr);
  EXPECT_EQ(DataBefore(t_.store(), t_.table(), a), nullptr);
  EXPECT_EQ(RecnoOfDataKey(DataBefore(t_.store(), t_.table(), 0xFFFFFFFF)->key()), b);
}

TEST_F(KeysTest, DynamicIndexLivesInMemoryAndIsNeverCommitted) {
  EXPECT_EQ(keys().SetIndexString(kDyn, ""), kInvalidIndexString);
  EXPECT_EQ(keys().SetIndexString(kDyn, "T:NAME,nosuch"), kInvalidIndexString);
  EXPECT_EQ(keys().SetIndexString(kNum, "T:NAME"), kInvalidIndexString);  // not dynamic
  EXPECT_EQ(BuildKey(keys(), kDyn, {}), kInvalidIndexString);             // no components yet
  uint32_t r[4];
  const char* names[] = {"b", "a", "b", "c"};
  for (int i = 0; i < 4; ++i) ASSERT_EQ(t_.Add(Rec(10 - i, names[i]), &r[i]), 0);
  ASSERT_EQ(t_.store().Commit(), 0);
  ASSERT_EQ(keys().SetIndexString(kDyn, "  t:name , -T:Num"), 0);
  ASSERT_EQ(keys().components(kDyn).size(), 2u);
  EXPECT_TRUE(keys().components(kDyn)[1].descending);
  BuildOptions o;
  o.save_pages = 0;  // a progress save after every entry: the file stays untouched
  ASSERT_EQ(BuildKey(keys(), kDyn, o), 0);
  EXPECT_FALSE(t_.store().has_uncommitted_changes());
  // Name ascending, number descending: a(9), b(10), b(8), c(7).
  EXPECT_EQ(t_.Entries(kDyn), (std::vector<uint32_t>{r[1], r[0], r[2], r[3]}));
  EXPECT_EQ(C(kDyn).count, 4u);
  EXPECT_EQ(C(kDyn).mark, 0u);
  // Writes do not maintain it; the filter limits a build.
  ASSERT_EQ(t_.Add(Rec(1, "d")), 0);
  EXPECT_EQ(C(kDyn).count, 4u);
  o.filter = [](const uint8_t* image) { return image[4] == 'b'; };
  ASSERT_EQ(BuildKey(keys(), kDyn, o), 0);
  EXPECT_EQ(t_.Entries(kDyn), (std::vector<uint32_t>{r[0], r[2]}));
  // A cancelled build leaves no half-built index behind.
  o.progress = [](int) { return false; };
  EXPECT_EQ(BuildKey(keys(), kDyn, o), kBuildCancelled);
  EXPECT_EQ(keys().StoreOf(kDyn), nullptr);
  o.progress = nullptr;
  ASSERT_EQ(BuildKey(keys(), kDyn, o), 0);
  keys().DropDynamicIndexes();
  EXPECT_EQ(keys().FirstEntry(kDyn), nullptr);
}

TEST_F(KeysTest, ProgressAndCancellation) {
  for (int i = 0; i < 200; ++i) ASSERT_EQ(t_.Add(Rec(i, "n" + std::to_string(i)), nullptr, true), 0);
  std::vector<int> seen;
  BuildOptions o;
  o.progress_step = 10;
  o.progress = [&](int p) {
    seen.push_back(p);
    return p < 50;
  };
  uint32_t mark = C(kNum).mark;
  EXPECT_EQ(BuildKey(keys(), kNum, o), kBuildCancelled);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), 50);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(C(kNum).mark, mark);  // the next build starts from the same record
  o.progress = [&](int p) { return true; };
  EXPECT_EQ(BuildKey(keys(), kNum, o), 0);
  EXPECT_EQ(C(kNum).count, 200u);
}

TEST_F(KeysTest, SpillErrorFailsTheBuildAndKeepsTheMark) {
  for (int i = 0; i < 3000; ++i) ASSERT_EQ(t_.Add(Rec(i, "n"), nullptr, true), 0);
  ASSERT_EQ(t_.store().Commit(), 0);
  uint32_t mark = C(kNum).mark;
  BuildOptions o;
  o.sort.spill_bytes = 1000;
  o.sort.temp_dir = dir_.path();
  platform::FaultPlan plan;
  plan.fail_write = 0;
  plan.error = 28;
  platform::ArmFaults(plan);
  int rc = BuildKey(keys(), kNum, o);
  platform::DisarmFaults();
  EXPECT_EQ(rc, 28);
  EXPECT_EQ(C(kNum).mark, mark);
  EXPECT_EQ(C(kNum).count, 0u);
  EXPECT_EQ(BuildKey(keys(), kNum, o), 0);  // many runs, merged
  EXPECT_EQ(C(kNum).count, 3000u);
  std::vector<uint32_t> e = t_.Entries(kNum);
  EXPECT_TRUE(std::is_sorted(e.begin(), e.end()));  // numbers rise with record numbers
}

TEST_F(KeysTest, BuildInterruptedAfterAProgressSaveResumesFromItsMark) {
  constexpr int kRecords = 6000;
  for (int i = 0; i < kRecords; ++i) {
    std::string name = "N" + std::to_string((i * 7919) % 1000);
    ASSERT_EQ(t_.Add(Rec(i, name, i % 50), nullptr, true), 0);
  }
  ASSERT_EQ(t_.store().Commit(), 0);
  uint32_t start = C(kNameDup).mark;
  ASSERT_NE(start, 0u);
  BuildOptions o;
  o.save_pages = 8;
  o.sort.spill_bytes = 20000;
  o.sort.temp_dir = dir_.path();

  // The uninterrupted build, on a copy of the table.
  std::string pristine = dir_.File("PRISTINE.KST"), copy = dir_.File("COPY.KST");
  ASSERT_EQ(system(("cp " + path_ + " " + pristine + " && cp " + path_ + " " + copy).c_str()), 0);
  test::Model expected;
  {
    auto s = test::OpenStore(copy);
    ASSERT_EQ(s->BeginAccess(), 0);
    ASSERT_EQ(s->EnterWriteState(), 0);
    TableKeys k(*s, t_.table(), t_.desc(), {});
    ASSERT_EQ(BuildKey(k, kNameDup, o), 0);
    std::string at;
    for (RecordPtr r = k.FirstEntry(kNameDup); r; r = k.EntryAfter(kNameDup, at)) {
      at.assign(r->key());
      expected.emplace(at, std::string(r->data()));
    }
    ASSERT_EQ(expected.size(), size_t(kRecords));
  }

  // The same build with the power gone at different points: before the
  // first progress save is in force, and after one or more saves.
  bool resumed_from_a_save = false;
  for (int crash_after : {1, 5, 11, 23}) {
    SCOPED_TRACE(crash_after);
    ASSERT_EQ(system(("cp " + pristine + " " + path_).c_str()), 0);
    t_.Reopen();
    platform::FaultPlan plan;
    plan.crash_after_flush = crash_after;
    platform::ArmFaults(plan);
    try {
      BuildKey(keys(), kNameDup, o);
    } catch (const InternalError&) {
      // After the crash nothing reaches the disk any more: the rest of this
      // "dead" process's build may well trip over pages it never wrote.
    }
    bool crashed = platform::GetFaultCounters().crashed;
    platform::DisarmFaults();
    ASSERT_TRUE(crashed);
    t_.Reopen();
    Counter saved = C(kNameDup);
    EXPECT_EQ(saved.mark, start);
    EXPECT_LT(saved.count, uint32_t(kRecords));
    EXPECT_EQ(t_.EntryRecords(kNameDup).size(), saved.count);
    resumed_from_a_save |= saved.count > 0;
    ASSERT_EQ(BuildKey(keys(), kNameDup, o), 0);
    EXPECT_EQ(C(kNameDup).mark, 0u);
    EXPECT_EQ(C(kNameDup).count, uint32_t(kRecords));
    EXPECT_EQ(test::Diff(expected, t_.EntryRecords(kNameDup)), "");
    t_.store().CheckTree();
  }
  EXPECT_TRUE(resumed_from_a_save);
}

}  // namespace
}  // namespace kel

namespace kel {
namespace {

TEST(KeysOemTest, CyrillicKeysInAnOemTable) {
  OperationFrame frame("TEST");
  test::TempDir dir;
  test::TableFixture t(dir.File("O.KST"), Decl(), /*oem=*/true);
  const std::string upper = "\xA8\xCB\xCA\xC0", lower = "\xB8\xEB\xEA\xE0";  // ЁЛКА, ёлка
  uint32_t a, b, c;
  ASSERT_EQ(t.Add(Rec(1, "\xDF\xE1\xEB\xEE\xEA\xEE", 0, upper), &a), 0);  // Яблоко
  // The data record holds the strings in the OEM code page.
  std::string stored(ExactData(t.store(), t.table(), a)->data());
  EXPECT_EQ(stored.substr(18, 4), "\xF0\x8B\x8A\x80");
  EXPECT_EQ(stored.substr(4, 6), "\x9F\xA1\xAB\xAE\xAA\xAE");
  // The unique NOCASE key folds ЁЛКА and ёлка together.
  EXPECT_EQ(t.Add(Rec(2, "x", 0, lower), &b), kDuplicateKey);
  ASSERT_EQ(t.Add(Rec(2, "\xC5\xEB\xFC", 0, "\xE5\xEB\xFC"), &b), 0);  // Ель / ель
  ASSERT_EQ(t.Add(Rec(3, "\xC0\xE8\xF1\xF2", 0, "\xE0\xE8\xF1\xF2"), &c), 0);  // Аист / аист
  // Russian order: аист < ель < ёлка; Аист < Ель < Яблоко.
  EXPECT_EQ(t.Entries(kNoteOpt), (std::vector<uint32_t>{c, b, a}));
  EXPECT_EQ(t.Entries(kNameDup), (std::vector<uint32_t>{c, b, a}));
}

}  // namespace
}  // namespace kel
