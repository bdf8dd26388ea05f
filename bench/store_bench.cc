// The record store side by side with SQLite on the same machine and data:
//
//   bulk      100k records (random 20-byte key, 100-byte data) in one commit
//   durable   2k records, each committed on its own with flushes
//   find      100k exact finds by key, each its own operation
//   scan      a full ordered scan (Store::Scan)
//   step      the same walk by FindNext, one record made per step
//
// SQLite: a WITHOUT ROWID table with a BLOB primary key (a clustered B-tree
// like the store), default rollback journal, synchronous=FULL; the bulk load
// is one transaction, the durable inserts are autocommit statements, finds
// and the scan are prepared statements outside any transaction. The store's
// operations each begin and end an access (header check and access locks)
// as the engine's dispatcher does.
//
// After the timings it prints the ratios (SQLite time / store time: above 1
// means the store is faster), the bytes written and flushes per durable
// commit, and the peak resident memory of a process that scans a store of
// 1M records.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/io_floor.h"
#include "platform/file.h"
#include "storage/errors.h"
#include "storage/lock_area.h"
#include "storage/store.h"

namespace {

using namespace kel;

constexpr int kMode = open_mode::kReadWrite | open_mode::kDenyNone | open_mode::kCreate;
constexpr int kBulk = 100000;
constexpr int kDurable = 2000;
constexpr int kFinds = 100000;

std::string Dir() {
  static std::string dir = [] {
    const char* t = getenv("TMPDIR");
    std::string tmpl = std::string(t && *t ? t : "/tmp") + "/store_bench_XXXXXX";
    if (!mkdtemp(tmpl.data())) abort();
    return tmpl;
  }();
  return dir;
}

std::vector<std::string> Keys(int n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> keys(size_t(n), std::string(20, '\0'));
  for (auto& k : keys) {
    for (auto& c : k) c = char(rng());
  }
  return keys;
}

const std::string& Data() {
  static std::string d = [] {
    std::mt19937 rng(3);
    std::string s(100, '\0');
    for (auto& c : s) c = char('a' + rng() % 26);
    return s;
  }();
  return d;
}

std::unique_ptr<Store> OpenStore(const std::string& path) {
  std::unique_ptr<platform::File> file;
  if (OpenTableFile(path, kMode, &file) != 0) abort();
  return std::make_unique<Store>(std::move(file), SharingClassOf(kMode));
}

sqlite3* OpenSqlite(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) abort();
  sqlite3_exec(db, "PRAGMA synchronous=FULL; CREATE TABLE IF NOT EXISTS t(k BLOB PRIMARY KEY, v BLOB) WITHOUT ROWID;",
               nullptr, nullptr, nullptr);
  return db;
}

void Exec(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) abort();
}

std::map<std::string, double> g_seconds;   // "<case>/<engine>" -> seconds

std::map<std::string, platform::IoCounts> g_counts;  // calls made by the reported run
platform::IoCounts g_calls_from, g_last_counts;

// Starts a timed region: the clock and the count of system calls.
std::chrono::steady_clock::time_point Start() {
  g_calls_from = platform::GetIoCounts();
  return std::chrono::steady_clock::now();
}

// Ends a timed region begun by Start().
double Seconds(std::chrono::steady_clock::time_point from) {
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
  g_last_counts = bench::CountsSince(g_calls_from);
  return s;
}

// Keeps the best of the repetitions, with the calls that run made.
void Report(benchmark::State& state, const std::string& name, double s) {
  state.SetIterationTime(s);
  auto it = g_seconds.find(name);
  if (it != g_seconds.end() && it->second <= s) return;
  g_seconds[name] = s;
  g_counts[name] = g_last_counts;
}

std::string StorePath() { return Dir() + "/bulk.KST"; }
std::string SqlitePath() { return Dir() + "/bulk.db"; }

// ---- bulk --------------------------------------------------------------------

void BM_BulkStore(benchmark::State& state) {
  auto keys = Keys(kBulk, 1);
  for (auto _ : state) {
    std::remove(StorePath().c_str());
    OperationFrame frame("BENCH");
    auto t0 = Start();
    auto s = OpenStore(StorePath());
    s->EnterWriteState();
    for (const auto& k : keys) s->Insert(MakeRecord(k, Data()));
    if (s->EndOperation() != 0) abort();
    s->Close();
    Report(state, "bulk/store", Seconds(t0));
  }
}

void BM_BulkSqlite(benchmark::State& state) {
  auto keys = Keys(kBulk, 1);
  for (auto _ : state) {
    std::remove(SqlitePath().c_str());
    auto t0 = Start();
    sqlite3* db = OpenSqlite(SqlitePath());
    Exec(db, "BEGIN");
    sqlite3_stmt* st;
    sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?,?)", -1, &st, nullptr);
    for (const auto& k : keys) {
      sqlite3_bind_blob(st, 1, k.data(), int(k.size()), SQLITE_STATIC);
      sqlite3_bind_blob(st, 2, Data().data(), int(Data().size()), SQLITE_STATIC);
      if (sqlite3_step(st) != SQLITE_DONE) abort();
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    Exec(db, "COMMIT");
    sqlite3_close(db);
    Report(state, "bulk/sqlite", Seconds(t0));
  }
}

// ---- durable single commits -----------------------------------------------------

struct IoSnapshot {
  uint64_t wchar = 0;
  int64_t flushes = 0;
};

IoSnapshot TakeIo() {
  IoSnapshot s;
  std::ifstream in("/proc/self/io");
  std::string name;
  uint64_t value;
  while (in >> name >> value) {
    if (name == "wchar:") s.wchar = value;
  }
  s.flushes = platform::GetFaultCounters().flushes;
  return s;
}

double g_store_bytes_per_commit = 0, g_store_flushes_per_commit = 0, g_sqlite_bytes_per_commit = 0;

void BM_DurableStore(benchmark::State& state) {
  auto keys = Keys(kDurable, 2);
  for (auto _ : state) {
    std::string path = Dir() + "/durable.KST";
    std::remove(path.c_str());
    OperationFrame frame("BENCH");
    auto s = OpenStore(path);
    IoSnapshot io0 = TakeIo();
    auto t0 = Start();
    for (const auto& k : keys) {
      s->EnterWriteState();
      s->Insert(MakeRecord(k, Data()));
      if (s->EndOperation() != 0) abort();
    }
    double secs = Seconds(t0);
    IoSnapshot io1 = TakeIo();
    g_store_bytes_per_commit = double(io1.wchar - io0.wchar) / kDurable;
    g_store_flushes_per_commit = double(io1.flushes - io0.flushes) / kDurable;
    s->Close();
    Report(state, "durable/store", secs);
  }
}

void BM_DurableSqlite(benchmark::State& state) {
  auto keys = Keys(kDurable, 2);
  for (auto _ : state) {
    std::string path = Dir() + "/durable.db";
    std::remove(path.c_str());
    sqlite3* db = OpenSqlite(path);
    sqlite3_stmt* st;
    sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?,?)", -1, &st, nullptr);
    IoSnapshot io0 = TakeIo();
    auto t0 = Start();
    for (const auto& k : keys) {
      sqlite3_bind_blob(st, 1, k.data(), int(k.size()), SQLITE_STATIC);
      sqlite3_bind_blob(st, 2, Data().data(), int(Data().size()), SQLITE_STATIC);
      if (sqlite3_step(st) != SQLITE_DONE) abort();
      sqlite3_reset(st);
    }
    double secs = Seconds(t0);
    IoSnapshot io1 = TakeIo();
    g_sqlite_bytes_per_commit = double(io1.wchar - io0.wchar) / kDurable;
    sqlite3_finalize(st);
    sqlite3_close(db);
    Report(state, "durable/sqlite", secs);
  }
}

// ---- finds and scan (on the bulk files) ----------------------------------------------

void BM_FindStore(benchmark::State& state) {
  auto keys = Keys(kBulk, 1);
  std::mt19937 rng(9);
  std::vector<int> order(kFinds);
  for (auto& i : order) i = int(rng() % kBulk);
  OperationFrame frame("BENCH");
  auto s = OpenStore(StorePath());
  for (auto _ : state) {
    auto t0 = Start();
    size_t bytes = 0;
    for (int i : order) {
      RecordPtr r = s->FindExact(keys[size_t(i)]);
      if (!r) abort();
      bytes += r->data().size();
      s->EndOperation();
    }
    benchmark::DoNotOptimize(bytes);
    Report(state, "find/store", Seconds(t0));
  }
}

void BM_FindSqlite(benchmark::State& state) {
  auto keys = Keys(kBulk, 1);
  std::mt19937 rng(9);
  std::vector<int> order(kFinds);
  for (auto& i : order) i = int(rng() % kBulk);
  sqlite3* db = OpenSqlite(SqlitePath());
  sqlite3_stmt* st;
  sqlite3_prepare_v2(db, "SELECT v FROM t WHERE k=?", -1, &st, nullptr);
  for (auto _ : state) {
    auto t0 = Start();
    size_t bytes = 0;
    for (int i : order) {
      const auto& k = keys[size_t(i)];
      sqlite3_bind_blob(st, 1, k.data(), int(k.size()), SQLITE_STATIC);
      if (sqlite3_step(st) != SQLITE_ROW) abort();
      bytes += size_t(sqlite3_column_bytes(st, 0));
      sqlite3_reset(st);
    }
    benchmark::DoNotOptimize(bytes);
    Report(state, "find/sqlite", Seconds(t0));
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
}

// Times `walk` over the bulk store, which counts the records and bytes it
// visits; every run must visit all of them.
template <typename Walk>
void TimeWalk(benchmark::State& state, const char* name, Walk walk) {
  OperationFrame frame("BENCH");
  auto s = OpenStore(StorePath());
  for (auto _ : state) {
    auto t0 = Start();
    size_t n = 0, bytes = 0;
    walk(*s, n, bytes);
    s->EndOperation();
    if (n != kBulk) abort();
    benchmark::DoNotOptimize(bytes);
    Report(state, name, Seconds(t0));
  }
}

void BM_ScanStore(benchmark::State& state) {
  TimeWalk(state, "scan/store", [](Store& s, size_t& n, size_t& bytes) {
    s.Scan("", [&](std::string_view key, std::string_view data) {
      bytes += key.size() + data.size();
      n++;
      return true;
    });
  });
}

// The same walk made of single steps: FindNext from each key answered, each
// step making its record (what a caller stepping record by record pays).
void BM_StepStore(benchmark::State& state) {
  TimeWalk(state, "step/store", [](Store& s, size_t& n, size_t& bytes) {
    std::string key;
    for (RecordPtr r = s.First(); r; r = s.FindNext(key)) {
      key.assign(r->key());
      bytes += r->bytes.size();
      n++;
    }
  });
}

void BM_ScanSqlite(benchmark::State& state) {
  sqlite3* db = OpenSqlite(SqlitePath());
  sqlite3_stmt* st;
  sqlite3_prepare_v2(db, "SELECT k, v FROM t ORDER BY k", -1, &st, nullptr);
  for (auto _ : state) {
    auto t0 = Start();
    size_t n = 0, bytes = 0;
    while (sqlite3_step(st) == SQLITE_ROW) {
      bytes += size_t(sqlite3_column_bytes(st, 0)) + size_t(sqlite3_column_bytes(st, 1));
      n++;
    }
    sqlite3_reset(st);
    if (n != kBulk) abort();
    benchmark::DoNotOptimize(bytes);
    Report(state, "scan/sqlite", Seconds(t0));
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
}

BENCHMARK(BM_BulkStore)->Iterations(1)->Repetitions(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BulkSqlite)->Iterations(1)->Repetitions(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DurableStore)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DurableSqlite)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindStore)->Iterations(1)->Repetitions(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindSqlite)->Iterations(1)->Repetitions(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanStore)->Iterations(1)->Repetitions(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanSqlite)->Iterations(1)->Repetitions(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StepStore)->Iterations(1)->Repetitions(3)->UseManualTime()->Unit(benchmark::kMillisecond);

// ---- memory while scanning 1M records ----------------------------------------------

uint64_t StatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field, 0) == 0) return std::strtoull(line.c_str() + std::strlen(field), nullptr, 10);
  }
  return 0;
}

// Builds a 1M-record store (in commits of 100k), then walks it step by step
// and scans it in a fresh child process and reports that process's peak resident set.
void ReportScanMemory() {
  std::string path = Dir() + "/million.KST";
  pid_t builder = fork();
  if (builder == 0) {
    OperationFrame frame("BENCH");
    auto s = OpenStore(path);
    std::mt19937 rng(11);
    std::string key(20, '\0');
    for (int batch = 0; batch < 10; batch++) {
      s->EnterWriteState();
      for (int i = 0; i < 100000; i++) {
        for (auto& c : key) c = char(rng());
        s->Insert(MakeRecord(key, Data()));
      }
      if (s->EndOperation() != 0) _exit(1);
    }
    _exit(s->Close());
  }
  int status = 0;
  waitpid(builder, &status, 0);
  int fds[2];
  if (pipe(fds) != 0) return;
  pid_t scanner = fork();
  if (scanner == 0) {
    OperationFrame frame("BENCH");
    uint64_t base = StatusKb("VmHWM:");
    auto s = OpenStore(path);
    uint64_t n = 0;
    std::string key;
    for (RecordPtr r = s->First(); r; r = s->FindNext(key)) {
      key.assign(r->key());
      n++;
    }
    // And the page-by-page scan: its pinned path is the tree height.
    if (s->Scan("", [](std::string_view, std::string_view) { return true; }) != n) _exit(1);
    s->EndOperation();
    uint64_t out[3] = {n, base, StatusKb("VmHWM:")};
    if (write(fds[1], out, sizeof out) != sizeof out) _exit(1);
    _exit(0);
  }
  close(fds[1]);
  uint64_t in[3] = {0, 0, 0};
  if (read(fds[0], in, sizeof in) != sizeof in) std::printf("scan child failed\n");
  close(fds[0]);
  waitpid(scanner, &status, 0);
  std::printf("scan of %llu records: peak RSS %llu KiB (%llu KiB before opening the store)\n",
              (unsigned long long)in[0], (unsigned long long)in[2], (unsigned long long)in[1]);
  std::remove(path.c_str());
}

double Best(const std::string& name) {
  return g_seconds.count(name) ? g_seconds[name] : 0;
}

}  // namespace

int main(int argc, char** argv) {
  ReportScanMemory();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  bench::CallCosts costs = bench::MeasureCallCosts(Dir());
  std::printf("\nratios (SQLite time / store time; above 1 = store faster):\n");
  bench::PrintCallCosts(costs);
  std::printf("  floor: the least time the store's system calls can take (see io_floor.h); best: SQLite / floor\n");
  for (const char* c : {"bulk", "durable", "find", "scan", "step"}) {
    double s = Best(std::string(c) + "/store");
    // A step-by-step walk is compared with the same SQLite scan.
    double q = Best(std::string(std::strcmp(c, "step") == 0 ? "scan" : c) + "/sqlite");
    if (s <= 0 || q <= 0) continue;
    const platform::IoCounts& n = g_counts[std::string(c) + "/store"];
    double floor = bench::FloorSeconds(n, costs);
    std::printf("  %-8s store %9.1f ms  sqlite %9.1f ms  ratio %.2f   calls r/w/f/l %llu/%llu/%llu/%llu  floor %.1f ms  best %.2f\n",
                c, s * 1e3, q * 1e3, q / s, (unsigned long long)n.reads, (unsigned long long)n.writes,
                (unsigned long long)n.flushes, (unsigned long long)n.locks, floor * 1e3, floor > 0 ? q / floor : 0.0);
  }
  std::printf("durable commit: store %.0f bytes written, %.1f flushes per commit; sqlite %.0f bytes written\n",
              g_store_bytes_per_commit, g_store_flushes_per_commit, g_sqlite_bytes_per_commit);
  benchmark::Shutdown();
  return 0;
}
