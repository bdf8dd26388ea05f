// Throughput of the file container's page codec: building a page image from
// its records (shared-prefix encoding and run-length compression) and parsing
// it back, and the run-length coder on its own. MB/s are counted on the
// unpacked bytes (page prefix plus encoded records).
//
// Pages are near the 4 KB a page of small records splits at: records with
// 8-byte keys sharing their leading bytes and space-padded text fields, as
// the tables of the application produce; "noise" pages hold random bytes and
// are stored uncompressed.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "storage/container.h"
#include "storage/errors.h"

namespace {

using namespace kel;

std::vector<Record> MakeRecords(int record_size, bool noise) {
  std::mt19937 rng(11);
  std::vector<Record> recs;
  recs.push_back(Record{});  // the sentinel of a leftmost leaf
  uint32_t estimate = 13 + 5;
  for (uint32_t n = 1; estimate + uint32_t(record_size) + 5 <= 4096; ++n) {
    Record r;
    char key[9];
    std::snprintf(key, sizeof key, "T%07u", n * 3);
    r.bytes.assign(key, 8);
    r.key_len = 8;
    while (int(r.bytes.size()) < record_size) {
      if (noise) {
        r.bytes.push_back(char(rng()));
      } else {
        // A text field: a few letters, then space padding.
        int len = 4 + int(rng() % 12);
        for (int i = 0; i < len && int(r.bytes.size()) < record_size; ++i) r.bytes.push_back(char('a' + rng() % 26));
        for (int i = 0; i < 24 && int(r.bytes.size()) < record_size; ++i) r.bytes.push_back(' ');
      }
    }
    estimate += uint32_t(r.bytes.size()) + 5;
    recs.push_back(std::move(r));
  }
  return recs;
}

std::vector<const Record*> Ptrs(const std::vector<Record>& v) {
  std::vector<const Record*> p;
  for (const Record& r : v) p.push_back(&r);
  return p;
}

uint16_t Unpacked(const PageImage& img) { return uint16_t(img.bytes[6] | (img.bytes[7] << 8)); }

void BM_PageBuild(benchmark::State& state) {
  OperationFrame frame("BENCH");
  auto recs = MakeRecords(int(state.range(0)), state.range(1) != 0);
  auto ptrs = Ptrs(recs);
  uint16_t est = uint16_t(SizeEstimate(ptrs, 0));
  PageImage img = BuildPageImage(ptrs, 0, est);
  for (auto _ : state) {
    PageImage built = BuildPageImage(ptrs, 0, est);
    benchmark::DoNotOptimize(built.bytes.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * Unpacked(img));
  state.counters["image_bytes"] = double(img.bytes.size());
  state.counters["unpacked_bytes"] = double(Unpacked(img));
}

void BM_PageParse(benchmark::State& state) {
  OperationFrame frame("BENCH");
  auto recs = MakeRecords(int(state.range(0)), state.range(1) != 0);
  auto ptrs = Ptrs(recs);
  PageImage img = BuildPageImage(ptrs, 0, uint16_t(SizeEstimate(ptrs, 0)));
  StampImage(img, 0, {});
  for (auto _ : state) {
    ParsedPage page = ParsePageImage(img.bytes.data(), img.bytes.size());
    benchmark::DoNotOptimize(page.records.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * Unpacked(img));
}

void BM_PageBuildAndParse(benchmark::State& state) {
  OperationFrame frame("BENCH");
  auto recs = MakeRecords(int(state.range(0)), state.range(1) != 0);
  auto ptrs = Ptrs(recs);
  uint16_t est = uint16_t(SizeEstimate(ptrs, 0));
  uint16_t unpacked = 0;
  for (auto _ : state) {
    PageImage img = BuildPageImage(ptrs, 0, est);
    StampImage(img, 0, {});
    ParsedPage page = ParsePageImage(img.bytes.data(), img.bytes.size());
    benchmark::DoNotOptimize(page.records.data());
    unpacked = Unpacked(img);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * unpacked);
}

std::vector<uint8_t> RecordBytes(bool noise) {
  auto recs = MakeRecords(100, noise);
  std::vector<uint8_t> out;
  for (const Record& r : recs) out.insert(out.end(), r.bytes.begin(), r.bytes.end());
  return out;
}

void BM_Compress(benchmark::State& state) {
  std::vector<uint8_t> in = RecordBytes(state.range(0) != 0);
  std::vector<uint8_t> out;
  bool compressible = false;
  for (auto _ : state) {
    compressible = Compress(in.data(), in.size(), &out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
  state.counters["ratio"] = compressible ? double(out.size()) / double(in.size()) : 1.0;
}

void BM_Decompress(benchmark::State& state) {
  OperationFrame frame("BENCH");
  std::vector<uint8_t> in = RecordBytes(false);
  std::vector<uint8_t> packed;
  if (!Compress(in.data(), in.size(), &packed)) {
    state.SkipWithError("input did not compress");
    return;
  }
  std::vector<uint8_t> out(in.size());
  for (auto _ : state) {
    Decompress(packed.data(), packed.size(), out.data(), out.size());
    benchmark::DoNotOptimize(out.data());
  }
  if (out != in) state.SkipWithError("round trip differs");
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}

void BM_CompressDecompress(benchmark::State& state) {
  OperationFrame frame("BENCH");
  std::vector<uint8_t> in = RecordBytes(false);
  std::vector<uint8_t> packed;
  std::vector<uint8_t> out(in.size());
  for (auto _ : state) {
    Compress(in.data(), in.size(), &packed);
    Decompress(packed.data(), packed.size(), out.data(), out.size());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}

// Args: record size, noise (0 = text records, 1 = random bytes).
BENCHMARK(BM_PageBuild)->Args({40, 0})->Args({200, 0})->Args({200, 1});
BENCHMARK(BM_PageParse)->Args({40, 0})->Args({200, 0})->Args({200, 1});
BENCHMARK(BM_PageBuildAndParse)->Args({40, 0})->Args({200, 0})->Args({200, 1});
BENCHMARK(BM_Compress)->Arg(0)->Arg(1);
BENCHMARK(BM_Decompress);
BENCHMARK(BM_CompressDecompress);

}  // namespace

BENCHMARK_MAIN();
