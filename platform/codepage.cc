#include "platform/codepage.h"

#include <array>
#include <cstring>

namespace kel::platform {
namespace {

// Code points of bytes 0x80..0xFF.
constexpr char32_t kCp1251High[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0xFFFD, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // C0 А..
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // E0 а..
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

constexpr char32_t kCp866High[128] = {
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // 80 А..
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // A0 а..п
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,  // B0
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,  // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,  // D0
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // E0 р..я
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
    0x0401, 0x0451, 0x0404, 0x0454, 0x0407, 0x0457, 0x040E, 0x045E,  // F0
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4, 0x25A0, 0x00A0,
};

constexpr char32_t CodePoint(const char32_t* high, int c) {
  return c < 0x80 ? char32_t(c) : high[c - 0x80];
}

constexpr char32_t UpperCodePoint(char32_t u) {
  if (u >= 'a' && u <= 'z') return u - 32;
  if (u >= 0x0430 && u <= 0x044F) return u - 0x20;
  if (u >= 0x0450 && u <= 0x045F) return u - 0x50;
  if (u == 0x0491) return 0x0490;
  return u;
}

constexpr char32_t LowerCodePoint(char32_t u) {
  if (u >= 'A' && u <= 'Z') return u + 32;
  if (u >= 0x0410 && u <= 0x042F) return u + 0x20;
  if (u >= 0x0400 && u <= 0x040F) return u + 0x50;
  if (u == 0x0490) return 0x0491;
  return u;
}

constexpr int Find(const char32_t* high, char32_t u) {
  for (int c = 0; c < 256; ++c)
    if (CodePoint(high, c) == u) return c;
  return -1;
}

struct Tables {
  std::array<uint8_t, 256> to_oem{}, to_ansi{};
  std::array<uint8_t, 256> upper_ansi{}, upper_oem{}, lower_ansi{};
};

constexpr Tables BuildTables() {
  Tables t;
  bool oem_taken[256] = {};
  bool ansi_paired[256] = {};
  for (int c = 0; c < 256; ++c) {
    int o = Find(kCp866High, CodePoint(kCp1251High, c));
    if (o >= 0) {
      t.to_oem[c] = uint8_t(o);
      t.to_ansi[o] = uint8_t(c);
      oem_taken[o] = true;
      ansi_paired[c] = true;
    }
  }
  // Leftovers of both code pages, paired in ascending order.
  int o = 0;
  for (int c = 0; c < 256; ++c) {
    if (ansi_paired[c]) continue;
    while (oem_taken[o]) ++o;
    t.to_oem[c] = uint8_t(o);
    t.to_ansi[o] = uint8_t(c);
    oem_taken[o] = true;
  }
  for (int c = 0; c < 256; ++c) {
    int u = Find(kCp1251High, UpperCodePoint(CodePoint(kCp1251High, c)));
    t.upper_ansi[c] = uint8_t(u >= 0 ? u : c);
    int l = Find(kCp1251High, LowerCodePoint(CodePoint(kCp1251High, c)));
    t.lower_ansi[c] = uint8_t(l >= 0 ? l : c);
    int uo = Find(kCp866High, UpperCodePoint(CodePoint(kCp866High, c)));
    t.upper_oem[c] = uint8_t(uo >= 0 ? uo : c);
  }
  return t;
}

constexpr Tables kTables = BuildTables();

}  // namespace

uint8_t AnsiToOem(uint8_t c) { return kTables.to_oem[c]; }
uint8_t OemToAnsi(uint8_t c) { return kTables.to_ansi[c]; }

namespace {

constexpr bool KeepsAscii(const std::array<uint8_t, 256>& table) {
  for (int c = 0; c < 0x80; ++c)
    if (table[c] != c) return false;
  return true;
}
static_assert(KeepsAscii(kTables.to_oem) && KeepsAscii(kTables.to_ansi));

// Both tables leave the ASCII half alone, so runs of eight ASCII bytes (most
// of a record: digits, Latin text, blanks) are stepped over whole.
void Translate(uint8_t* p, size_t n, const std::array<uint8_t, 256>& table) {
  size_t i = 0;
  while (i < n) {
    if (n - i >= 8) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      if ((w & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
      for (size_t end = i + 8; i < end; ++i) p[i] = table[p[i]];
      continue;
    }
    p[i] = table[p[i]];
    ++i;
  }
}

}  // namespace

void AnsiToOemBuffer(void* data, size_t n) { Translate(static_cast<uint8_t*>(data), n, kTables.to_oem); }

void OemToAnsiBuffer(void* data, size_t n) { Translate(static_cast<uint8_t*>(data), n, kTables.to_ansi); }

uint8_t UpperAnsi(uint8_t c) { return kTables.upper_ansi[c]; }
uint8_t UpperOem(uint8_t c) { return kTables.upper_oem[c]; }
uint8_t LowerAnsi(uint8_t c) { return kTables.lower_ansi[c]; }

std::string UpperAnsi(std::string s) {
  for (char& ch : s) ch = char(kTables.upper_ansi[uint8_t(ch)]);
  return s;
}

std::string UpperOem(std::string s) {
  for (char& ch : s) ch = char(kTables.upper_oem[uint8_t(ch)]);
  return s;
}

char32_t AnsiToUnicode(uint8_t c) { return CodePoint(kCp1251High, c); }
char32_t OemToUnicode(uint8_t c) { return CodePoint(kCp866High, c); }

int UnicodeToAnsi(char32_t u, int fallback) {
  if (u < 0x80) return int(u);
  if (u == 0xFFFD) return fallback;
  for (int c = 0x80; c < 256; ++c)
    if (kCp1251High[c - 0x80] == u) return c;
  return fallback;
}

}  // namespace kel::platform
