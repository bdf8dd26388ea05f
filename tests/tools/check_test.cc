// kelstore check: sound files the engine writes pass; each deliberately
// damaged file is found; the check never changes the file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <random>

#include "app/dictionary/tables.h"
#include "platform/file.h"
#include "storage/container.h"
#include "storage/key_encoding.h"
#include "storage/lock_area.h"
#include "storage/record_kinds.h"
#include "storage/store.h"
#include "storage/table.h"
#include "storage/table_records.h"
#include "tools/checker.h"
#include "tools/demo.h"
#include "tools/support/tool_testing.h"
#include "tools/table_file.h"

namespace kel::tool {
namespace {

using test::ReadBytes;
using test::ScratchDir;
using test::WriteBytes;

constexpr int kRW = open_mode::kReadWrite | open_mode::kDenyNone;

std::string Describe(const CheckResult& r) {
  std::string s;
  for (const std::string& p : r.problems) s += "  " + p + "\n";
  for (const std::string& n : r.notes) s += "  note: " + n + "\n";
  return s;
}

// Checks `path` and expects the file's bytes to stay as they were.
CheckResult CheckUnchanged(const std::string& path, const std::string& password = "") {
  const std::string before = ReadBytes(path);
  CheckOptions options;
  options.password = password;
  CheckResult result;
  EXPECT_EQ(CheckTableFile(path, options, &result), "");
  EXPECT_TRUE(ReadBytes(path) == before) << "check changed " << path;
  return result;
}

// ---- damage at the record level, through the store -------------------------

void WithStore(const std::string& path, const std::function<void(Store&, uint32_t)>& damage) {
  std::unique_ptr<platform::File> file;
  ASSERT_EQ(OpenTableFile(path, kRW, &file), 0);
  Store store(std::move(file), SharingClass::kShared);
  int rc = Guarded([&] {
    ASSERT_EQ(store.BeginAccess(), 0);
    ASSERT_EQ(store.EnterWriteState(), 0);
    uint32_t table = 0;
    ASSERT_TRUE(FindTableByName(store, "UNNAMED", &table));
    damage(store, table);
    ASSERT_EQ(store.Commit(), 0);
    store.Close();
  });
  ASSERT_EQ(rc, 0);
}

// ---- damage at the page level, on the bytes of the file ---------------------

class RawPages {
 public:
  explicit RawPages(const std::string& path) : path_(path), bytes_(ReadBytes(path)) {
    Header::Decode(reinterpret_cast<const uint8_t*>(bytes_.data()), &h_);
  }
  ~RawPages() { WriteBytes(path_, bytes_); }

  Header& header() { return h_; }
  void StoreHeader() { h_.Encode(reinterpret_cast<uint8_t*>(bytes_.data())); }
  std::string& bytes() { return bytes_; }

  int ClassOf(int32_t a) const {
    for (int i = 1; i <= kMaxClass; ++i)
      if (uint32_t(a) >= h_.start[i] && uint32_t(a) < h_.end[i]) return i;
    return 0;
  }
  uint8_t* Image(int32_t a) { return reinterpret_cast<uint8_t*>(bytes_.data()) + PageOffset(a); }
  size_t Length(int32_t a) const { return size_t(ClassOf(a)) * kUnit; }
  ParsedPage Parse(int32_t a) {
    ParsedPage p;
    EXPECT_EQ(Guarded([&] { p = ParsePageImage(Image(a), Length(a)); }), 0);
    return p;
  }
  // Rewrites page `a` from records (same class needed).
  void Put(int32_t a, const ParsedPage& p) {
    std::vector<const Record*> ptrs;
    std::vector<int32_t> children;
    for (const Record& r : p.records) {
      ptrs.push_back(&r);
      children.push_back(r.child);
    }
    PageImage img;
    ASSERT_EQ(Guarded([&] {
                img = BuildPageImage(ptrs, p.level, uint16_t(SizeEstimate(ptrs, p.level)));
                StampImage(img, a, children);
              }),
              0);
    ASSERT_EQ(img.bytes.size(), Length(a)) << "the rebuilt page changed its size class";
    std::memcpy(Image(a), img.bytes.data(), img.bytes.size());
  }
  // A page of the given level reached by following the second child.
  int32_t Descend(int level) {
    int32_t a = h_.root;
    for (ParsedPage p = Parse(a); p.level > level; p = Parse(a)) a = p.records[p.records.size() > 1 ? 1 : 0].child;
    return a;
  }

 private:
  std::string path_;
  std::string bytes_;
  Header h_;
};

struct DamageCase {
  const char* name;
  std::function<void(const std::string& path)> damage;
  const char* finding;   // a problem line must contain this
};

class CheckTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new ScratchDir();
    DemoOptions options;
    options.orders = 3000;   // RABOTA gets a tree of several levels
    ASSERT_EQ(CreateDemo(dir_->path(), options), "");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  std::string Copy(const std::string& table, const std::string& name) {
    std::string path = scratch_ / name;
    WriteBytes(path, ReadBytes(*dir_ / table));
    return path;
  }

  static ScratchDir* dir_;
  ScratchDir scratch_;
};
ScratchDir* CheckTest::dir_ = nullptr;

TEST_F(CheckTest, FilesTheEngineWritesAreSound) {
  for (const char* name : {"GOROD", "KLIENT", "FIRMA", "PEREVOZ", "AVTO", "KUZOV", "RABOTA"}) {
    CheckResult r = CheckUnchanged(*dir_ / (std::string(name) + ".KST"));
    EXPECT_TRUE(r.ok()) << name << "\n" << Describe(r);
    EXPECT_EQ(r.tables, 1u) << name;
  }
  CheckResult r = CheckUnchanged(*dir_ / "RABOTA.KST");
  EXPECT_GT(r.pages, 50u);

  // After deletes: pages emptied and freed, regions moved.
  std::string path = Copy("RABOTA.KST", "DELETED.KST");
  {
    Table t(dict::Decl(dict::TableId::kRabota));
    ASSERT_EQ(t.Open(path, kRW), 0);
    t.SetStream(true);
    ASSERT_EQ(t.SetFile(), 0);
    int n = 0;
    while (t.Next() == 0)
      if (++n % 3 != 0 || n < 1000) {
        ASSERT_EQ(t.Delete(), 0);
      }
    t.SetStream(false);
    ASSERT_EQ(t.Flush(), 0);
    ASSERT_EQ(t.Close(), 0);
  }
  r = CheckUnchanged(path);
  EXPECT_TRUE(r.ok()) << Describe(r);

  // Two tables in one file.
  path = scratch_ / "TWO.KST";
  for (const char* table : {"\\!CITIES", "\\!MORE"}) {
    Table t(dict::Decl(dict::TableId::kGorod));
    ASSERT_EQ(t.Create(path + table), 0);
    ASSERT_EQ(t.Open(path + table, kRW), 0);
    t.SetStream(true);
    for (int i = 1; i <= 300; ++i) {
      std::memset(t.record(), ' ', t.record_length());
      std::memset(t.record(), 0, 4);
      t.record()[3] = uint8_t(i % 10) | uint8_t((i / 10 % 10) << 4);
      t.record()[2] = uint8_t(i / 100 % 10);
      std::memcpy(t.record() + 4, "Город", 10);
      ASSERT_EQ(t.Add(), 0);
    }
    t.SetStream(false);
    ASSERT_EQ(t.Flush(), 0);
    ASSERT_EQ(t.Close(), 0);
  }
  r = CheckUnchanged(path);
  EXPECT_TRUE(r.ok()) << Describe(r);
  EXPECT_EQ(r.tables, 2u);

  // A table copied into another file (renumbered there), then emptied.
  {
    const std::string source = Copy("KLIENT.KST", "K1.KST");
    const std::string target = scratch_ / "K2.KST";
    Table t(dict::Decl(dict::TableId::kKlient));
    ASSERT_EQ(t.Copy(source, target + "\\!COPIED"), 0);
    r = CheckUnchanged(target);
    EXPECT_TRUE(r.ok()) << Describe(r);
    ASSERT_EQ(t.Open(source, open_mode::kReadWrite | open_mode::kDenyAll), 0);
    ASSERT_EQ(t.Empty(), 0);
    ASSERT_EQ(t.Close(), 0);
    r = CheckUnchanged(source);
    EXPECT_TRUE(r.ok()) << Describe(r);
  }

  // An empty file is a valid table file.
  WriteBytes(scratch_ / "EMPTY.KST", "");
  r = CheckUnchanged(scratch_ / "EMPTY.KST");
  EXPECT_TRUE(r.ok()) << Describe(r);
}

TEST_F(CheckTest, EncipheredFileNeedsItsPassword) {
  std::string path = scratch_ / "SECRET.KST";
  TableDecl decl = dict::Decl(dict::TableId::kKuzov);
  decl.owner = "пароль";
  {
    Table t(decl);
    ASSERT_EQ(t.Create(path), 0);
    ASSERT_EQ(t.Open(path, kRW), 0);
    std::memset(t.record(), ' ', t.record_length());
    std::memset(t.record(), 0, 4);
    t.record()[3] = 1;
    ASSERT_EQ(t.Add(), 0);
    ASSERT_EQ(t.Close(), 0);
  }
  CheckResult r = CheckUnchanged(path, "пароль");
  EXPECT_TRUE(r.ok()) << Describe(r);
  r = CheckUnchanged(path);
  ASSERT_FALSE(r.ok());
  EXPECT_NE(r.problems[0].find("--password"), std::string::npos) << r.problems[0];
  r = CheckUnchanged(path, "wrong");
  EXPECT_FALSE(r.ok());
}

TEST_F(CheckTest, PendingLogIsReadButNeverReplayed) {
  std::string path = Copy("GOROD.KST", "PENDING.KST");
  {
    Table t(dict::Decl(dict::TableId::kGorod));
    ASSERT_EQ(t.Open(path, kRW), 0);
    ASSERT_EQ(t.SetFile(), 0);
    ASSERT_EQ(t.Next(), 0);
    // The commit of this delete stops ("the power goes") once the header
    // points at the complete log: the log is pending on disk.
    platform::FaultPlan plan;
    plan.crash_after_flush = 1;
    platform::ArmFaults(plan);
    t.Delete();
    t.Close();
  }
  platform::DisarmFaults();
  {
    RawFile raw;
    ASSERT_EQ(raw.Open(path, ""), "");
    ASSERT_EQ(raw.log_state(), RawFile::LogState::kComplete);
    EXPECT_EQ(raw.header().change_count, raw.disk_header().change_count + 1);
  }
  CheckResult r = CheckUnchanged(path);
  EXPECT_TRUE(r.ok()) << Describe(r);
  ASSERT_FALSE(r.notes.empty());
  EXPECT_NE(r.notes[0].find("pending"), std::string::npos);
  // Reading tools see the logged state and leave the log where it is.
  const std::string before_tools = ReadBytes(path);
  test::ToolRun run = test::RunTool({"export", path}, scratch_.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 50) << "header and 49 cities";
  run = test::RunTool({"info", path}, scratch_.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("complete: the next writer replays it"), std::string::npos) << run.out;
  run = test::RunTool({"schema", path}, scratch_.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(ReadBytes(path) == before_tools) << "a reading command changed the file";
  // The logged state is the one checked: one city less.
  CheckResult before = CheckUnchanged(*dir_ / "GOROD.KST");
  EXPECT_EQ(r.records, before.records - 3);   // the data record and its entries in the 2 keys
}

TEST_F(CheckTest, FindsEachDamage) {
  const DamageCase cases[] = {
      {"data counter off",
       [](const std::string& p) {
         WithStore(p, [](Store& s, uint32_t t) {
           Counter c = ReadCounter(s, t, kDataCounterIndex);
           c.count += 3;
           WriteCounter(s, t, kDataCounterIndex, c);
         });
       },
       "the data counter says 3003 records, the table holds 3000"},
      {"key counter off",
       [](const std::string& p) {
         WithStore(p, [](Store& s, uint32_t t) {
           Counter c = ReadCounter(s, t, 1);
           c.count -= 1;
           WriteCounter(s, t, 1, c);
         });
       },
       "RAB:KLIENT_KEY: the counter says"},
      {"key entry pointing nowhere",
       [](const std::string& p) {
         WithStore(p, [](Store& s, uint32_t t) {
           RecordPtr e = s.FindNext(KeyPrefix(t, 1));
           std::string key(e->key());
           key.replace(key.size() - 4, 4, std::string("\x00\x0F\x42\x3F", 4));   // record 999999
           s.Insert(MakeRecord(key));
         });
       },
       "an entry points at record 999999, which does not exist"},
      {"key entry missing",
       [](const std::string& p) {
         WithStore(p, [](Store& s, uint32_t t) {
           s.Delete(s.FindNext(KeyPrefix(t, 0)));
           Counter c = ReadCounter(s, t, 0);
           c.count -= 1;
           WriteCounter(s, t, 0, c);
         });
       },
       "RAB:NUM_KEY: record 2 has no entry"},
      {"record changed behind its keys",
       [](const std::string& p) {
         WithStore(p, [](Store& s, uint32_t t) {
           RecordPtr d = FirstData(s, t);
           std::string data(d->data());
           data[4] = 'Z';   // first letter of RAB:NOM_KLIENT
           s.ReplaceData(d, data);
         });
       },
       "RAB:KLIENT_KEY: the entry of record 2 does not hold the value the record gives"},
      {"data record of the wrong length",
       [](const std::string& p) {
         WithStore(p, [](Store& s, uint32_t t) {
           RecordPtr d = LastData(s, t);
           s.ReplaceData(d, d->data().substr(1));
         });
       },
       "holds 395 bytes, the table's records have 396"},
      {"numbers above the last issued one",
       [](const std::string& p) { WithStore(p, [](Store& s, uint32_t) { s.SetLastNumber(100); }); },
       "above the last issued number 100"},
      {"records of a table without a name",
       [](const std::string& p) {
         WithStore(p, [](Store& s, uint32_t t) { s.Insert(MakeRecord(DataKey(t + 1, 7), "x")); });
       },
       "1 records belong to table number 2, which has no name"},
      {"definition lost",
       [](const std::string& p) {
         WithStore(p, [](Store& s, uint32_t t) { s.Delete(s.FindExact(DefBlockKey(t, 0))); });
       },
       "its definition cannot be read"},
      {"unordered page",
       [](const std::string& p) {
         RawPages raw(p);
         int32_t a = raw.Descend(0);
         ParsedPage page = raw.Parse(a);
         ASSERT_GE(page.records.size(), 3u);
         std::swap(page.records[1], page.records[2]);
         raw.Put(a, page);
       },
       "are out of order"},
      {"separator above the first key of its child",
       [](const std::string& p) {
         RawPages raw(p);
         int32_t a = raw.header().root;
         ParsedPage page = raw.Parse(a);
         ASSERT_GE(page.records.size(), 3u);
         ParsedPage child = raw.Parse(page.records[1].child);
         Record& sep = page.records[1];
         sep.bytes.assign(child.records.back().key());
         sep.key_len = uint16_t(sep.bytes.size());
         raw.Put(a, page);
       },
       "lies outside the range its parent's separators give"},
      {"orphan page",
       [](const std::string& p) {
         RawPages raw(p);
         Header& h = raw.header();
         int c = raw.ClassOf(h.root);
         int top = kMaxClass;
         while (h.start[top] == h.end[top]) --top;
         ASSERT_GE(top, c);
         // One more page slot at the end of the highest region, holding a
         // copy of the root page that nothing points at.
         std::string copy(reinterpret_cast<const char*>(raw.Image(h.root)), raw.Length(h.root));
         int32_t slot = int32_t(h.end[top]);
         h.end[top] += uint32_t(top);
         for (int i = top + 1; i <= kMaxClass; ++i) h.start[i] = h.end[i] = h.end[top];
         raw.StoreHeader();
         raw.bytes().resize(PageOffset(int32_t(h.end[top])), char(kFiller));
         std::memcpy(raw.Image(slot), copy.data(), std::min<size_t>(copy.size(), size_t(top) * kUnit));
       },
       "is not reachable from the root"},
      {"page reached twice",
       [](const std::string& p) {
         RawPages raw(p);
         uint8_t* root = raw.Image(raw.header().root);
         std::memcpy(root + 13 + 4, root + 13, 4);   // child 2 := child 1
       },
       "is reached twice"},
      {"page image that does not parse",
       [](const std::string& p) {
         RawPages raw(p);
         uint8_t* leaf = raw.Image(raw.Descend(0));
         leaf[4] = 0xFF;
         leaf[5] = 0xFF;
       },
       "the page image does not parse"},
      {"page not at its home",
       [](const std::string& p) {
         RawPages raw(p);
         uint8_t* leaf = raw.Image(raw.Descend(0));
         leaf[1] ^= 0x01;
       },
       "its image says it belongs at offset"},
      {"size estimate off",
       [](const std::string& p) {
         RawPages raw(p);
         uint8_t* leaf = raw.Image(raw.Descend(0));
         leaf[8] ^= 0x40;
       },
       "size estimate"},
      {"region table broken",
       [](const std::string& p) {
         RawPages raw(p);
         Header& h = raw.header();
         int top = kMaxClass;
         while (h.start[top] == h.end[top]) --top;
         h.end[top] -= 1;
         raw.StoreHeader();
       },
       "is not a whole number of its pages"},
      {"file cut short",
       [](const std::string& p) { ASSERT_EQ(::truncate(p.c_str(), 40960), 0); },
       "shorter than its used end"},
      {"signature overwritten",
       [](const std::string& p) {
         RawPages raw(p);
         std::memcpy(raw.bytes().data() + 14, "XXXX", 4);
       },
       "not a table file"},
  };
  for (const DamageCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = Copy("RABOTA.KST", "DAMAGED.KST");
    c.damage(path);
    if (HasFatalFailure()) return;
    CheckResult r = CheckUnchanged(path);
    EXPECT_FALSE(r.ok()) << "nothing found";
    bool found = false;
    for (const std::string& p : r.problems) found |= p.find(c.finding) != std::string::npos;
    EXPECT_TRUE(found) << "no line with \"" << c.finding << "\" in\n" << Describe(r);
  }
}

}  // namespace
}  // namespace kel::tool

namespace kel::tool {
namespace {

// Bytes flipped anywhere in a file: the check reports, never crashes, never
// writes.
TEST_F(CheckTest, RandomDamageIsReportedNotCrashedOn) {
  const std::string pristine = ReadBytes(*dir_ / "KLIENT.KST");
  std::mt19937 rng(7);
  int found = 0;
  for (int round = 0; round < 300; ++round) {
    std::string bytes = pristine;
    const int flips = 1 + int(rng() % 4);
    for (int i = 0; i < flips; ++i) bytes[rng() % bytes.size()] ^= char(1 + rng() % 255);
    std::string path = scratch_ / "RANDOM.KST";
    WriteBytes(path, bytes);
    CheckResult r = CheckUnchanged(path);
    found += !r.ok();
  }
  // Flips in filler bytes or free space change nothing; most do.
  EXPECT_GT(found, 150);
}

}  // namespace
}  // namespace kel::tool
