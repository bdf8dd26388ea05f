// Record operations through table handles, side by side with SQLite on the
// same machine and the same data: RABOTA-shaped records (396 bytes: number,
// seven strings of 50, four decimals, six flags, four dates, a carrier
// number) with their three keys - the unique order number, and the customer
// and carrier names (DUP, case-insensitive).
//
//   durable  ADD, each committed on its own (flushes)  vs  autocommit INSERT
//   stream   100k ADDs in stream mode, then FLUSH      vs  one transaction
//   get      100k random GETs by the unique key, warm  vs  prepared point SELECT
//   next     NEXT through 100k records in key order    vs  ORDER BY over the index
//   next-stream  the same NEXTs in stream mode, which keeps the access open
//   put      PUT changing the carrier name (a key),
//            each committed on its own                 vs  autocommit UPDATE
//
// SQLite: a rowid table with the same columns, a UNIQUE index on the number
// and NOCASE indexes on both names, default rollback journal,
// synchronous=FULL. Strings are stored trimmed; the table handle stores the
// record in the OEM code page as the application's tables are declared.
//
// After the timings it prints one table of ratios (SQLite time / table
// time: above 1 means the table handles are faster).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench/io_floor.h"
#include "storage/errors.h"
#include "storage/lock_area.h"
#include "storage/table.h"
#include "storage/table_decl.h"

namespace {

using namespace kel;

constexpr int kDurable = 300;
constexpr int kMany = 100000;
constexpr int kPuts = 300;
constexpr int kMode = open_mode::kReadWrite | open_mode::kDenyNone;

std::string Dir() {
  static std::string dir = [] {
    const char* t = getenv("TMPDIR");
    std::string tmpl = std::string(t && *t ? t : "/tmp") + "/table_bench_XXXXXX";
    if (!mkdtemp(tmpl.data())) abort();
    return tmpl;
  }();
  return dir;
}

// ---- the declaration ---------------------------------------------------------

class Builder {
 public:
  Builder() {
    d_.label = "RABOTA";
    d_.prefix = "RAB";
    d_.oem = d_.create = d_.thread = true;
    FieldDecl rec;
    rec.type = FieldType::kGroup;
    rec.label = "RAB:RECORD";
    d_.fields.push_back(rec);
  }
  Builder& Field(FieldType type, const char* name, uint32_t size, uint8_t places = 0) {
    FieldDecl f;
    f.type = type;
    f.label = std::string("RAB:") + name;
    f.offset = end_;
    f.element_size = size;
    f.places = places;
    if (type == FieldType::kString) f.picture = "@s" + std::to_string(size);
    end_ += size;
    d_.fields.push_back(f);
    return *this;
  }
  Builder& Key(const char* name, const char* field, uint8_t flags) {
    KeyDecl k;
    k.label = std::string("RAB:") + name;
    k.flags = flags;
    k.components.push_back({uint32_t(d_.FieldIndex(std::string("RAB:") + field)), false});
    d_.keys.push_back(k);
    return *this;
  }
  TableDecl Build() {
    d_.fields[0].element_size = end_;
    d_.fields[0].member_count = uint32_t(d_.fields.size() - 1);
    return d_;
  }

 private:
  TableDecl d_;
  uint32_t end_ = 0;
};

const TableDecl& Rabota() {
  static const TableDecl decl = [] {
    using T = FieldType;
    Builder b;
    b.Field(T::kDecimal, "NUM", 4);
    for (const char* s : {"NOM_KLIENT", "TIP", "TIPF"}) b.Field(T::kString, s, 50);
    b.Field(T::kDecimal, "TN", 4).Field(T::kDecimal, "TNF", 4).Field(T::kDecimal, "V", 4, 2).Field(T::kDecimal, "VF", 4, 2);
    for (const char* s : {"VID1", "VID1F", "VID2", "VID2F", "VID3", "VID3F"}) b.Field(T::kByte, s, 1);
    b.Field(T::kString, "NOM_PEREVOZ", 50).Field(T::kString, "GOROD_N", 50);
    b.Field(T::kDate, "DATA_N", 4).Field(T::kDate, "DATA_NF", 4);
    b.Field(T::kString, "GOROD_K", 50).Field(T::kDate, "DATA_K", 4).Field(T::kDate, "DATA_KF", 4);
    b.Field(T::kString, "FIRMA_PEREVOZ", 50).Field(T::kDecimal, "NUM_PEREVOZ", 4);
    b.Key("NUM_KEY", "NUM", kKeyPrimary | kKeyOpt | kKeyNoCase);
    b.Key("KLIENT_KEY", "NOM_KLIENT", kKeyDup | kKeyOpt | kKeyNoCase);
    b.Key("PEREVOZ_KEY", "NOM_PEREVOZ", kKeyDup | kKeyOpt | kKeyNoCase);
    TableDecl d = b.Build();
    if (d.record_length() != 396) abort();
    return d;
  }();
  return decl;
}

constexpr size_t kNum = 0, kKlient = 4, kTip = 54, kPerevoz = 176, kGorodN = 226, kGorodK = 284, kFirma = 342;

// ---- the data ---------------------------------------------------------------------

struct Order {
  uint32_t num;
  std::string klient, tip, perevoz, gorod_n, gorod_k, firma;
};

// Cyrillic names in code page 1251: "Клиент", "Перевозчик", "Город".
const std::string kKlientWord = "\xCA\xEB\xE8\xE5\xED\xF2 ";
const std::string kPerevozWord = "\xCF\xE5\xF0\xE5\xE2\xEE\xE7\xF7\xE8\xEA ";
const std::string kGorodWord = "\xC3\xEE\xF0\xEE\xE4 ";

Order MakeOrder(uint32_t num, uint32_t salt = 0) {
  Order o;
  o.num = num;
  o.klient = kKlientWord + std::to_string((num * 7919u) % 5000u);
  o.tip = "Tent " + std::to_string(num % 7);
  o.perevoz = kPerevozWord + std::to_string((num * 104729u + salt) % 800u);
  o.gorod_n = kGorodWord + std::to_string(num % 300);
  o.gorod_k = kGorodWord + std::to_string((num / 3) % 300);
  o.firma = "Firma " + std::to_string(num % 800);
  return o;
}

void PutDecimal(uint8_t* at, uint32_t n) {
  uint8_t nib[8] = {0};
  for (int i = 7; i >= 1; --i) {
    nib[i] = uint8_t(n % 10);
    n /= 10;
  }
  for (int i = 0; i < 4; ++i) at[i] = uint8_t(nib[2 * i] << 4 | nib[2 * i + 1]);
}

void PutString(uint8_t* at, const std::string& s) {
  std::memset(at, ' ', 50);
  std::memcpy(at, s.data(), std::min<size_t>(50, s.size()));
}

void Fill(uint8_t* rec, const Order& o) {
  std::memset(rec, 0, 396);
  for (size_t at : {kKlient, kTip, kTip + 50, kPerevoz, kGorodN, kGorodK, kFirma}) std::memset(rec + at, ' ', 50);
  PutDecimal(rec + kNum, o.num);
  PutString(rec + kKlient, o.klient);
  PutString(rec + kTip, o.tip);
  PutString(rec + kPerevoz, o.perevoz);
  PutString(rec + kGorodN, o.gorod_n);
  PutString(rec + kGorodK, o.gorod_k);
  PutString(rec + kFirma, o.firma);
  PutDecimal(rec + 154, 20);        // TN
  rec[170] = 1;                     // VID1
}

// ---- timing -------------------------------------------------------------------------

std::map<std::string, double> g_seconds;
std::map<std::string, platform::IoCounts> g_counts;  // calls made by the best run
platform::IoCounts g_last_counts;                    // calls made by the last Time()

void Record(benchmark::State& state, const std::string& name, double seconds) {
  state.SetIterationTime(seconds);
  double& best = g_seconds[name];
  if (best == 0 || seconds < best) {
    best = seconds;
    g_counts[name] = g_last_counts;
  }
}

template <typename F>
double Time(F&& f) {
  platform::IoCounts calls = platform::GetIoCounts();
  auto from = std::chrono::steady_clock::now();
  f();
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
  g_last_counts = bench::CountsSince(calls);
  return s;
}

void Check(int rc, const char* what) {
  if (rc != 0) {
    std::fprintf(stderr, "%s answered %d\n", what, rc);
    abort();
  }
}

// ---- the table handle side ---------------------------------------------------------

std::string TablePath(const char* name) { return Dir() + "/" + name; }

void CreateTable(const std::string& name) {
  std::remove((name + ".KST").c_str());
  Table t(Rabota());
  Check(t.Create(name), "CREATE");
}

void BM_DurableTable(benchmark::State& state) {
  for (auto _ : state) {
    std::string name = TablePath("DURABLE");
    CreateTable(name);
    Table t(Rabota());
    Check(t.Open(name, kMode), "OPEN");
    double s = Time([&] {
      for (int i = 1; i <= kDurable; ++i) {
        Fill(t.record(), MakeOrder(uint32_t(i)));
        Check(t.Add(), "ADD");
      }
    });
    Record(state, "durable/table", s);
    t.Close();
  }
}

void BM_StreamTable(benchmark::State& state) {
  for (auto _ : state) {
    std::string name = TablePath("MANY");
    CreateTable(name);
    Table t(Rabota());
    Check(t.Open(name, kMode), "OPEN");
    double s = Time([&] {
      t.SetStream(true);
      for (int i = 1; i <= kMany; ++i) {
        Fill(t.record(), MakeOrder(uint32_t(i)));
        Check(t.Add(), "ADD");
      }
      Check(t.Flush(), "FLUSH");
    });
    Record(state, "stream/table", s);
    t.Close();
  }
}

std::vector<uint32_t> RandomNumbers(int n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint32_t> v(static_cast<size_t>(n));
  for (auto& x : v) x = 1 + rng() % kMany;
  return v;
}

void BM_GetTable(benchmark::State& state) {
  Table t(Rabota());
  Check(t.Open(TablePath("MANY"), kMode), "OPEN");
  std::vector<uint32_t> nums = RandomNumbers(kMany, 7);
  auto run = [&] {
    for (uint32_t n : nums) {
      PutDecimal(t.record() + kNum, n);
      Check(t.GetByKey(0), "GET");
    }
  };
  run();  // warm
  for (auto _ : state) Record(state, "get/table", Time(run));
  t.Close();
}

// NEXT on its own ends its access after every record; in stream mode the
// access stays open across up to 5000 operations, as SQLite's statement keeps
// its read lock for the whole scan.
void WalkNext(benchmark::State& state, bool stream, const char* name) {
  Table t(Rabota());
  Check(t.Open(TablePath("MANY"), kMode), "OPEN");
  for (auto _ : state) {
    int n = 0;
    double s = Time([&] {
      t.SetStream(stream);
      Check(t.SetKey(0), "SET");
      while (t.Next() == 0) ++n;
      if (stream) Check(t.Flush(), "FLUSH");
      t.SetStream(false);
    });
    if (n != kMany) abort();
    Record(state, name, s);
  }
  t.Close();
}

void BM_NextTable(benchmark::State& state) { WalkNext(state, false, "next/table"); }
void BM_NextStreamTable(benchmark::State& state) { WalkNext(state, true, "next-stream/table"); }

void BM_PutTable(benchmark::State& state) {
  Table t(Rabota());
  Check(t.Open(TablePath("MANY"), kMode), "OPEN");
  std::vector<uint32_t> nums = RandomNumbers(kPuts, 11);
  for (auto _ : state) {
    double s = Time([&] {
      uint32_t salt = 1;
      for (uint32_t n : nums) {
        PutDecimal(t.record() + kNum, n);
        Check(t.GetByKey(0), "GET");
        PutString(t.record() + kPerevoz, MakeOrder(n, salt++).perevoz);
        Check(t.Put(), "PUT");
      }
    });
    Record(state, "put/table", s);
  }
  t.Close();
}

// ---- the SQLite side ----------------------------------------------------------------

sqlite3* OpenDb(const std::string& path, bool fresh) {
  if (fresh) std::remove(path.c_str());
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) abort();
  sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
  if (fresh) {
    const char* schema =
        "CREATE TABLE rabota(num INTEGER, nom_klient TEXT, tip TEXT, tipf TEXT, tn INTEGER, tnf INTEGER,"
        " v REAL, vf REAL, vid1 INTEGER, vid1f INTEGER, vid2 INTEGER, vid2f INTEGER, vid3 INTEGER, vid3f INTEGER,"
        " nom_perevoz TEXT, gorod_n TEXT, data_n INTEGER, data_nf INTEGER, gorod_k TEXT, data_k INTEGER,"
        " data_kf INTEGER, firma_perevoz TEXT, num_perevoz INTEGER);"
        "CREATE UNIQUE INDEX num_key ON rabota(num);"
        "CREATE INDEX klient_key ON rabota(nom_klient COLLATE NOCASE);"
        "CREATE INDEX perevoz_key ON rabota(nom_perevoz COLLATE NOCASE);";
    if (sqlite3_exec(db, schema, nullptr, nullptr, nullptr) != SQLITE_OK) abort();
  }
  return db;
}

sqlite3_stmt* Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) abort();
  return st;
}

void InsertRow(sqlite3_stmt* st, const Order& o) {
  sqlite3_bind_int(st, 1, int(o.num));
  sqlite3_bind_text(st, 2, o.klient.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st, 3, o.tip.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st, 4, o.tip.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st, 5, o.perevoz.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st, 6, o.gorod_n.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st, 7, o.gorod_k.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st, 8, o.firma.c_str(), -1, SQLITE_TRANSIENT);
  if (sqlite3_step(st) != SQLITE_DONE) abort();
  sqlite3_reset(st);
}

const char* kInsert =
    "INSERT INTO rabota VALUES(?1, ?2, ?3, ?4, 20, 0, 0, 0, 1, 0, 0, 0, 0, 0, ?5, ?6, 0, 0, ?7, 0, 0, ?8, 0)";

void BM_DurableSqlite(benchmark::State& state) {
  for (auto _ : state) {
    sqlite3* db = OpenDb(Dir() + "/durable.db", true);
    sqlite3_stmt* ins = Prepare(db, kInsert);
    double s = Time([&] {
      for (int i = 1; i <= kDurable; ++i) InsertRow(ins, MakeOrder(uint32_t(i)));
    });
    Record(state, "durable/sqlite", s);
    sqlite3_finalize(ins);
    sqlite3_close(db);
  }
}

void BM_StreamSqlite(benchmark::State& state) {
  for (auto _ : state) {
    sqlite3* db = OpenDb(Dir() + "/many.db", true);
    sqlite3_stmt* ins = Prepare(db, kInsert);
    double s = Time([&] {
      sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
      for (int i = 1; i <= kMany; ++i) InsertRow(ins, MakeOrder(uint32_t(i)));
      if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) abort();
    });
    Record(state, "stream/sqlite", s);
    sqlite3_finalize(ins);
    sqlite3_close(db);
  }
}

void BM_GetSqlite(benchmark::State& state) {
  sqlite3* db = OpenDb(Dir() + "/many.db", false);
  sqlite3_stmt* sel = Prepare(db, "SELECT * FROM rabota WHERE num = ?1");
  std::vector<uint32_t> nums = RandomNumbers(kMany, 7);
  auto run = [&] {
    for (uint32_t n : nums) {
      sqlite3_bind_int(sel, 1, int(n));
      if (sqlite3_step(sel) != SQLITE_ROW) abort();
      benchmark::DoNotOptimize(sqlite3_column_text(sel, 1));
      sqlite3_reset(sel);
    }
  };
  run();
  for (auto _ : state) Record(state, "get/sqlite", Time(run));
  sqlite3_finalize(sel);
  sqlite3_close(db);
}

void BM_NextSqlite(benchmark::State& state) {
  sqlite3* db = OpenDb(Dir() + "/many.db", false);
  sqlite3_stmt* scan = Prepare(db, "SELECT * FROM rabota ORDER BY num");
  for (auto _ : state) {
    int n = 0;
    double s = Time([&] {
      while (sqlite3_step(scan) == SQLITE_ROW) {
        for (int c = 0; c < 23; ++c) benchmark::DoNotOptimize(sqlite3_column_text(scan, c));
        ++n;
      }
      sqlite3_reset(scan);
    });
    if (n != kMany) abort();
    Record(state, "next/sqlite", s);
    Record(state, "next-stream/sqlite", s);
  }
  sqlite3_finalize(scan);
  sqlite3_close(db);
}

void BM_PutSqlite(benchmark::State& state) {
  sqlite3* db = OpenDb(Dir() + "/many.db", false);
  sqlite3_stmt* sel = Prepare(db, "SELECT * FROM rabota WHERE num = ?1");
  sqlite3_stmt* upd = Prepare(db, "UPDATE rabota SET nom_perevoz = ?1 WHERE num = ?2");
  std::vector<uint32_t> nums = RandomNumbers(kPuts, 11);
  for (auto _ : state) {
    double s = Time([&] {
      uint32_t salt = 1;
      for (uint32_t n : nums) {
        sqlite3_bind_int(sel, 1, int(n));
        if (sqlite3_step(sel) != SQLITE_ROW) abort();
        sqlite3_reset(sel);
        std::string name = MakeOrder(n, salt++).perevoz;
        sqlite3_bind_text(upd, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(upd, 2, int(n));
        if (sqlite3_step(upd) != SQLITE_DONE) abort();
        sqlite3_reset(upd);
      }
    });
    Record(state, "put/sqlite", s);
  }
  sqlite3_finalize(sel);
  sqlite3_finalize(upd);
  sqlite3_close(db);
}

#define KEL_BENCH(f, reps) \
  BENCHMARK(f)->Iterations(1)->Repetitions(reps)->UseManualTime()->Unit(benchmark::kMillisecond)

KEL_BENCH(BM_DurableTable, 1);
KEL_BENCH(BM_DurableSqlite, 1);
KEL_BENCH(BM_StreamTable, 2);
KEL_BENCH(BM_StreamSqlite, 2);
KEL_BENCH(BM_GetTable, 3);
KEL_BENCH(BM_GetSqlite, 3);
KEL_BENCH(BM_NextTable, 3);
KEL_BENCH(BM_NextStreamTable, 3);
KEL_BENCH(BM_NextSqlite, 3);
KEL_BENCH(BM_PutTable, 1);
KEL_BENCH(BM_PutSqlite, 1);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  bench::CallCosts costs = bench::MeasureCallCosts(Dir());
  std::printf("\nratios (SQLite time / table time, best run; above 1 = table handles faster):\n");
  bench::PrintCallCosts(costs);
  std::printf("  floor: the least time the calls the table handles made can take (see io_floor.h);\n"
              "  best: SQLite time / floor, the highest ratio reachable while making those calls\n");
  std::printf("  %-11s %-44s %10s %10s %6s   %-38s %9s %6s\n", "case", "what", "table ms", "sqlite ms", "ratio",
              "calls per op: read/write/flush/lock", "floor ms", "best");
  struct Row {
    const char* name;
    const char* what;
    int ops;
  } rows[] = {
      {"durable", "300 ADDs, each committed (flushed)", kDurable},
      {"stream", "100k ADDs in stream mode / one transaction", kMany},
      {"get", "100k random GETs by unique key, warm", kMany},
      {"next", "NEXT through 100k in key order", kMany},
      {"next-stream", "the same NEXTs in stream mode", kMany},
      {"put", "300 PUTs changing a key field, committed", kPuts},
  };
  for (const Row& r : rows) {
    double s = g_seconds[std::string(r.name) + "/table"];
    double q = g_seconds[std::string(r.name) + "/sqlite"];
    if (s <= 0 || q <= 0) continue;
    const platform::IoCounts& c = g_counts[std::string(r.name) + "/table"];
    double floor = bench::FloorSeconds(c, costs);
    char calls[64];
    std::snprintf(calls, sizeof calls, "%.2f/%.2f/%.3f/%.2f", double(c.reads) / r.ops, double(c.writes) / r.ops,
                  double(c.flushes) / r.ops, double(c.locks) / r.ops);
    std::printf("  %-11s %-44s %10.1f %10.1f %6.2f   %-38s %9.1f %6.2f\n", r.name, r.what, s * 1e3, q * 1e3, q / s,
                calls, floor * 1e3, floor > 0 ? q / floor : 0.0);
  }
  benchmark::Shutdown();
  std::string rm = "rm -rf '" + Dir() + "'";
  if (std::system(rm.c_str()) != 0) return 1;
  return 0;
}
