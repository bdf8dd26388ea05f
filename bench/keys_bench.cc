// BUILD of keys over a large table, side by side with SQLite's CREATE INDEX
// on the same rows: a DUP string key (many equal names) and a unique numeric
// key. A third benchmark reports the peak memory (VmHWM) of a build with
// 1M and 4M records: it stays bounded by the sort's spill threshold and the
// page cache, not by the record count.
//
// Both sides commit durably (KelStore's write-ahead commit with fsync,
// SQLite's default rollback journal with synchronous=FULL). Table contents
// are written once per size outside the timed region; each timed run starts
// from a copy of the file in which the key is empty and marked incomplete
// from record 1, as after a series of APPENDs.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "bench/io_floor.h"
#include "storage/collation.h"
#include "storage/errors.h"
#include "storage/key_build.h"
#include "storage/keys.h"
#include "storage/lock_area.h"
#include "storage/record_kinds.h"
#include "storage/store.h"
#include "storage/table_desc.h"
#include "storage/table_records.h"

namespace {

using namespace kel;

constexpr int kMode = open_mode::kReadWrite | open_mode::kDenyNone | open_mode::kCreate;
constexpr uint32_t kRecordLength = 4 + 20 + 16;  // NUM, NAME, filler
enum : size_t { kNumKey = 0, kNameKey = 1 };

std::string Dir() {
  static std::string dir = [] {
    const char* t = getenv("TMPDIR");
    std::string tmpl = std::string(t && *t ? t : "/tmp") + "/keys_bench_XXXXXX";
    if (!mkdtemp(tmpl.data())) abort();
    return tmpl;
  }();
  return dir;
}

TableDesc Desc() {
  TableDecl d;
  d.label = "BENCH";
  auto field = [](FieldType t, const char* label, uint32_t off, uint32_t size) {
    FieldDecl f;
    f.type = t, f.label = label, f.offset = off, f.element_size = size;
    return f;
  };
  d.fields = {field(FieldType::kGroup, "B:REC", 0, kRecordLength), field(FieldType::kLong, "B:NUM", 0, 4),
              field(FieldType::kString, "B:NAME", 4, 20), field(FieldType::kString, "B:FILL", 24, 16)};
  d.fields[0].member_count = 3;
  d.keys = {{"B:NUM_KEY", "", "", 0, {{1, false}}}, {"B:NAME_KEY", "", "", kKeyDup, {{2, false}}}};
  TableDesc out;
  if (BuildTableDesc(d, &out) != 0) abort();
  return out;
}

uint32_t NumOf(uint32_t i) { return i * 2654435761u; }  // a permutation of uint32
std::string NameOf(uint32_t i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "Name%-16u", (i * 40503u) % 50000u);
  return std::string(buf, 20);
}

std::unique_ptr<Store> Open(const std::string& path) {
  std::unique_ptr<platform::File> file;
  if (OpenTableFile(path, kMode, &file) != 0) abort();
  auto s = std::make_unique<Store>(std::move(file), SharingClassOf(kMode));
  if (s->BeginAccess() != 0 || s->EnterWriteState() != 0) abort();
  return s;
}

// The table file with n records, both keys empty and marked from record 1.
std::string TableFile(uint32_t n) {
  static std::map<uint32_t, std::string> made;
  auto it = made.find(n);
  if (it != made.end()) return it->second;
  std::string path = Dir() + "/base" + std::to_string(n) + ".KST";
  TableDesc desc = Desc();
  auto s = Open(path);
  uint32_t table = NextNumber(*s);
  InsertTableName(*s, "BENCH", table);
  WriteDefinition(*s, table, desc);
  WriteZeroCounters(*s, table, desc.keys.size());
  StoreCollation(*s, table, Collation::Default(), false);
  uint32_t first = 0;
  {
    Cursor append(*s);
    std::string image(kRecordLength, ' ');
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t r = NextNumber(*s);
      if (i == 0) first = r;
      uint32_t num = NumOf(i);
      std::memcpy(image.data(), &num, 4);
      std::memcpy(image.data() + 4, NameOf(i).data(), 20);
      RecordPtr rec = MakeRecord(DataKey(table, r), image);
      if (i == 0)
        append.Set(rec, true);
      else
        append.InsertAfter(rec);
      if (s->modified_page_count() >= 400 && s->Commit() != 0) abort();
    }
  }
  WriteCounter(*s, table, kDataCounterIndex, {n, 0});
  for (size_t k = 0; k < desc.keys.size(); ++k) WriteCounter(*s, table, uint8_t(k), {0, first});
  if (s->Close() != 0) abort();
  made[n] = path;
  return path;
}

void Copy(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
}

void KelBuild(benchmark::State& state, size_t key) {
  OperationFrame frame("BENCH");
  const uint32_t n = uint32_t(state.range(0));
  std::string base = TableFile(n), path = Dir() + "/run.KST";
  TableDesc desc = Desc();
  for (auto _ : state) {
    state.PauseTiming();
    Copy(base, path);
    auto s = Open(path);
    TableKeys keys(*s, 1, desc, {});
    BuildOptions o;
    o.sort.temp_dir = Dir();
    const platform::IoCounts calls = platform::GetIoCounts();
    state.ResumeTiming();
    if (BuildKey(keys, key, o) != 0) state.SkipWithError("build failed");
    state.PauseTiming();
    const platform::IoCounts made = bench::CountsSince(calls);
    state.counters["reads"] = double(made.reads);
    state.counters["writes"] = double(made.writes);
    state.counters["flushes"] = double(made.flushes);
    if (keys.GetCounter(key).count != n) state.SkipWithError("wrong count");
    s->Close();
    unlink(path.c_str());
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * n);
}

void BM_KelBuildDupString(benchmark::State& state) { KelBuild(state, kNameKey); }
void BM_KelBuildUniqueLong(benchmark::State& state) { KelBuild(state, kNumKey); }

// ---- SQLite ----------------------------------------------------------------

void Exec(sqlite3* db, const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    std::fprintf(stderr, "sqlite: %s\n", err);
    abort();
  }
}

std::string SqliteFile(uint32_t n) {
  static std::map<uint32_t, std::string> made;
  auto it = made.find(n);
  if (it != made.end()) return it->second;
  std::string path = Dir() + "/base" + std::to_string(n) + ".db";
  sqlite3* db;
  sqlite3_open(path.c_str(), &db);
  Exec(db, "CREATE TABLE t(num INTEGER, name TEXT, fill TEXT)");
  Exec(db, "BEGIN");
  sqlite3_stmt* st;
  sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?,?,?)", -1, &st, nullptr);
  std::string fill(16, ' ');
  for (uint32_t i = 0; i < n; ++i) {
    std::string name = NameOf(i);
    sqlite3_bind_int64(st, 1, int32_t(NumOf(i)));
    sqlite3_bind_text(st, 2, name.data(), 20, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 3, fill.data(), 16, SQLITE_STATIC);
    sqlite3_step(st);
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  Exec(db, "COMMIT");
  sqlite3_close(db);
  made[n] = path;
  return path;
}

void SqliteIndex(benchmark::State& state, const char* sql) {
  const uint32_t n = uint32_t(state.range(0));
  std::string base = SqliteFile(n), path = Dir() + "/run.db";
  for (auto _ : state) {
    state.PauseTiming();
    Copy(base, path);
    sqlite3* db;
    sqlite3_open(path.c_str(), &db);
    Exec(db, "PRAGMA synchronous=FULL");
    state.ResumeTiming();
    Exec(db, sql);
    state.PauseTiming();
    sqlite3_close(db);
    unlink(path.c_str());
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * n);
}

void BM_SqliteIndexDupString(benchmark::State& state) { SqliteIndex(state, "CREATE INDEX i ON t(name)"); }
void BM_SqliteIndexUniqueLong(benchmark::State& state) { SqliteIndex(state, "CREATE UNIQUE INDEX i ON t(num)"); }

// ---- peak memory ---------------------------------------------------------------

long StatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return -1;
}

// Peak RSS during the build of the DUP string key, measured from a reset
// high-water mark; reported as counters (kB).
void BM_KelBuildPeakRss(benchmark::State& state) {
  OperationFrame frame("BENCH");
  const uint32_t n = uint32_t(state.range(0));
  std::string base = TableFile(n), path = Dir() + "/run.KST";
  TableDesc desc = Desc();
  long before = 0, peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Copy(base, path);
    auto s = Open(path);
    TableKeys keys(*s, 1, desc, {});
    BuildOptions o;
    o.sort.temp_dir = Dir();
    {
      std::ofstream reset("/proc/self/clear_refs");
      reset << "5";
    }
    before = StatusKb("VmRSS:");
    state.ResumeTiming();
    if (BuildKey(keys, kNameKey, o) != 0) state.SkipWithError("build failed");
    state.PauseTiming();
    peak = StatusKb("VmHWM:");
    s->Close();
    unlink(path.c_str());
    state.ResumeTiming();
  }
  state.counters["rss_before_kB"] = double(before);
  state.counters["peak_rss_kB"] = double(peak);
  state.counters["build_growth_kB"] = double(peak - before);
}

BENCHMARK(BM_KelBuildDupString)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SqliteIndexDupString)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_KelBuildUniqueLong)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SqliteIndexUniqueLong)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_KelBuildPeakRss)->Arg(1000000)->Arg(4000000)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::string cmd = "rm -rf " + Dir();
  return system(cmd.c_str()) == 0 ? 0 : 1;
}
