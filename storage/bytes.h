// Little- and big-endian integer access to byte buffers, independent of the
// host's byte order and alignment.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kel {

inline uint16_t GetLe16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t GetLe32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint32_t GetBe32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}
inline void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

// Unsigned byte order of one word of each span: 0 when equal, else the sign
// of memcmp's answer.
template <typename Word>
inline int CompareWord(const uint8_t* a, const uint8_t* b) {
  Word x, y;
  std::memcpy(&x, a, sizeof x);
  std::memcpy(&y, b, sizeof y);
  if (x == y) return 0;
  // Byte order of the words as numbers must be the order in memory.
  if constexpr (std::endian::native == std::endian::little) {
    if constexpr (sizeof(Word) == 8) {
      x = __builtin_bswap64(x), y = __builtin_bswap64(y);
    } else {
      x = __builtin_bswap32(x), y = __builtin_bswap32(y);
    }
  }
  return x < y ? -1 : 1;
}

// Unsigned byte order of two spans of n bytes (memcmp's answer, by sign),
// a word at a time and without a call: for the short spans where keys and
// sort pairs differ.
inline int CompareBytes(const void* a_, const void* b_, size_t n) {
  const auto* a = static_cast<const uint8_t*>(a_);
  const auto* b = static_cast<const uint8_t*>(b_);
  for (; n >= 8; a += 8, b += 8, n -= 8) {
    if (const int c = CompareWord<uint64_t>(a, b)) return c;
  }
  if (n >= 4) {
    if (const int c = CompareWord<uint32_t>(a, b)) return c;
    a += 4, b += 4, n -= 4;
  }
  for (; n > 0; --n, ++a, ++b) {
    if (*a != *b) return *a < *b ? -1 : 1;
  }
  return 0;
}

// Copies n bytes of spans that do not overlap; a short span a word at a time
// and without a call: for the records and sort pairs copied one by one.
inline void CopyBytes(void* dst_, const void* src_, size_t n) {
  auto* dst = static_cast<uint8_t*>(dst_);
  const auto* src = static_cast<const uint8_t*>(src_);
  if (n > 64) {
    std::memcpy(dst, src, n);
  } else if (n >= 8) {
    // Whole words, the last one ending at the span's end (it may cover
    // bytes already copied, with the same values).
    for (size_t i = 0; i + 8 < n; i += 8) std::memcpy(dst + i, src + i, 8);
    std::memcpy(dst + n - 8, src + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(dst, src, 4);
    std::memcpy(dst + n - 4, src + n - 4, 4);
  } else {
    for (size_t i = 0; i < n; ++i) dst[i] = src[i];
  }
}

}  // namespace kel
