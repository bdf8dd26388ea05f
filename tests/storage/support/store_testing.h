// Helpers for record store tests: open a store over a file, compare a store
// with a model map, deterministic keys.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "storage/errors.h"
#include "storage/lock_area.h"
#include "storage/store.h"

namespace kel::test {

// Raw file bytes, for tests that damage files or compare them before/after.
inline std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
}

// Little-endian fields inside raw file bytes.
inline uint32_t U32(const std::string& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}
inline void PutU32(std::string& b, size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); }
inline void PutU16(std::string& b, size_t at, uint16_t v) { std::memcpy(&b[at], &v, 2); }

// Tests with hundreds of real flushes keep their files in memory when the
// machine offers a memory file system. Call before the first temp directory.
inline void UseMemoryFilesWhenPossible() {
  if (::access("/dev/shm", W_OK) == 0) ::setenv("TMPDIR", "/dev/shm", 1);
}

constexpr int kSharedMode = open_mode::kReadWrite | open_mode::kDenyNone | open_mode::kCreate;
constexpr int kReadOnlyShared = open_mode::kReadOnly | open_mode::kDenyNone;

inline std::unique_ptr<Store> OpenStore(const std::string& path, int mode = kSharedMode) {
  std::unique_ptr<platform::File> file;
  int rc = OpenTableFile(path, mode, &file);
  EXPECT_EQ(rc, 0) << path;
  if (rc != 0) return nullptr;
  return std::make_unique<Store>(std::move(file), SharingClassOf(mode));
}

using Model = std::map<std::string, std::string>;

// Every record of the store in order (sentinel excluded), via FindNext.
inline Model ReadAll(Store& s) {
  Model m;
  std::string key;
  for (RecordPtr r = s.First(); r; r = s.FindNext(key)) {
    key.assign(r->key());
    m.emplace(key, std::string(r->data()));
  }
  return m;
}

// Describes the first difference between a model and a store, "" if none.
inline std::string Diff(const Model& want, const Model& got) {
  if (want == got) return "";
  auto a = want.begin();
  auto b = got.begin();
  while (a != want.end() && b != got.end() && *a == *b) {
    ++a;
    ++b;
  }
  std::string s = "sizes " + std::to_string(want.size()) + " vs " + std::to_string(got.size()) + "; ";
  if (a != want.end()) s += "want key " + std::to_string(a->first.size()) + "b [" + a->first.substr(0, 12) + "] ";
  if (b != got.end()) s += "got key " + std::to_string(b->first.size()) + "b [" + b->first.substr(0, 12) + "]";
  return s;
}

// A key of printable bytes derived from n, with varying length.
inline std::string KeyOf(uint32_t n, int width = 8) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "k%0*u", width, n);
  return buf;
}

inline std::string RandomBytes(std::mt19937& rng, size_t n) {
  std::string s(n, '\0');
  for (auto& c : s) c = char(rng() & 0xFF);
  return s;
}

}  // namespace kel::test
