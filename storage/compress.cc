// Run-length compression of the record bytes of a page image.
//
// The stream alternates literal groups and runs, always starting with a
// literal group:
//   count(L) + L literal bytes, count(m) = m more copies of the last byte
//   written, count(L) + L literals, ...
// A run is taken only when at least 4 equal bytes follow each other; its
// first byte travels as the last literal, the other r - 1 as the run count.
// The writer ends with a final literal group, whose count may be 0; the
// reader stops as soon as it has produced the unpacked length, so that
// final empty group is never read.
//
// count(v): 7 bits at a time, least significant first, bit 7 set on every
// byte but the last (128 is 80 01).
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "storage/container.h"
#include "storage/errors.h"

namespace kel {
namespace {

void PutCount(std::vector<uint8_t>* out, size_t v) {
  while (v >= 128) {
    out->push_back(uint8_t((v & 127) | 128));
    v >>= 7;
  }
  out->push_back(uint8_t(v));
}

// Reads a count without passing `end`; raises `code` on an overrun or a count
// longer than any page could need.
size_t GetCount(const uint8_t*& p, const uint8_t* end, int code) {
  size_t v = 0;
  for (int shift = 0;; shift += 7) {
    Require(p < end && shift <= 28, code);
    uint8_t b = *p++;
    v |= size_t(b & 127) << shift;
    if ((b & 128) == 0) return v;
  }
}

// The first position at or after `i` where 4 equal bytes begin (n when
// there is none). That is always the start of a block of equal bytes: had
// the block begun earlier, 4 equal bytes would begin there too. Eight
// positions are tested at once: byte k of `e` marks in[i+k] == in[i+k+1],
// and three neighbouring marks make a run of 4.
size_t NextRunStart(const uint8_t* in, size_t i, size_t n) {
  if constexpr (std::endian::native == std::endian::little) {
    constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    while (i + 9 <= n) {
      uint64_t a, b;
      std::memcpy(&a, in + i, 8);
      std::memcpy(&b, in + i + 1, 8);
      const uint64_t x = a ^ b;
      const uint64_t e = ~(((x & kLow7) + kLow7) | x | kLow7);  // top bit of each zero byte
      const uint64_t r = e & (e >> 8) & (e >> 16);                // runs starting at bytes 0..5
      if (r != 0) return i + size_t(std::countr_zero(r) / 8);
      i += 6;
    }
  }
  for (; i + 4 <= n; ++i) {
    if (in[i] == in[i + 1] && in[i] == in[i + 2] && in[i] == in[i + 3]) return i;
  }
  return n;
}

}  // namespace

bool Compress(const uint8_t* in, size_t n, std::vector<uint8_t>* out) {
  out->clear();
  size_t p = 0;  // first byte not yet written
  bool any_run = false;
  for (size_t i = NextRunStart(in, 0, n); i < n; i = NextRunStart(in, i, n)) {
    const uint8_t b = in[i];
    size_t r = 4;
    while (i + r < n && in[i + r] == b) ++r;
    PutCount(out, i + 1 - p);
    out->insert(out->end(), in + p, in + i + 1);
    PutCount(out, r - 1);
    i += r;
    p = i;
    any_run = true;
  }
  if (!any_run) return false;
  PutCount(out, n - p);
  out->insert(out->end(), in + p, in + n);
  return true;
}

void Decompress(const uint8_t* in, size_t in_len, uint8_t* out, size_t out_len, size_t stop) {
  const uint8_t* p = in;
  const uint8_t* end = in + in_len;
  size_t w = 0;
  size_t remaining = out_len;
  stop = std::min(stop, out_len);
  while (w < stop) {
    size_t literals = GetCount(p, end, container_error::kDecompressLiteral);
    Require(literals <= remaining && literals <= size_t(end - p), container_error::kDecompressLiteral);
    std::memcpy(out + w, p, std::min(literals, stop - w));
    p += literals;
    w += literals;
    remaining -= literals;
    if (w >= stop) break;
    size_t run = GetCount(p, end, container_error::kDecompressRun);
    Require(run <= remaining, container_error::kDecompressRun);
    if (run > 0) {
      Require(w > 0, container_error::kDecompressRun);  // nothing to repeat yet
      std::memset(out + w, out[w - 1], std::min(run, stop - w));
      w += run;
      remaining -= run;
    }
  }
}

}  // namespace kel
