#include "tools/text.h"

#include <cstdint>
#include <cstdio>
#include <unordered_map>

#include "platform/codepage.h"

namespace kel::tool {
namespace {

// Decodes one code point at s[i]; answers its length, 0 when invalid.
size_t DecodeOne(std::string_view s, size_t i, char32_t* out) {
  const auto b = [&](size_t k) { return uint8_t(s[k]); };
  uint8_t c = b(i);
  if (c < 0x80) {
    *out = c;
    return 1;
  }
  size_t n;
  char32_t u;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    u = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    u = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    u = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    u = (u << 6) | (b(i + k) & 0x3F);
  }
  if ((n == 3 && u < 0x800) || (n == 4 && u < 0x10000)) return 0;  // overlong
  if (u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) return 0;
  *out = u;
  return n;
}

const std::unordered_map<char32_t, uint8_t>& AnsiOfUnicode() {
  static const auto* map = [] {
    auto* m = new std::unordered_map<char32_t, uint8_t>();
    for (int c = 0x80; c < 256; ++c) {
      char32_t u = platform::AnsiToUnicode(uint8_t(c));
      if (u != 0xFFFD) m->emplace(u, uint8_t(c));
    }
    return m;
  }();
  return *map;
}

}  // namespace

size_t ValidUtf8Prefix(std::string_view s) {
  size_t i = 0;
  char32_t u;
  while (i < s.size()) {
    size_t n = DecodeOne(s, i, &u);
    if (n == 0) return i;
    i += n;
  }
  return i;
}

bool IsValidUtf8(std::string_view s) { return ValidUtf8Prefix(s) == s.size(); }

void AppendUtf8(std::string& out, char32_t u) {
  if (u < 0x80) {
    out += char(u);
  } else if (u < 0x800) {
    out += char(0xC0 | (u >> 6));
    out += char(0x80 | (u & 0x3F));
  } else if (u < 0x10000) {
    out += char(0xE0 | (u >> 12));
    out += char(0x80 | ((u >> 6) & 0x3F));
    out += char(0x80 | (u & 0x3F));
  } else {
    out += char(0xF0 | (u >> 18));
    out += char(0x80 | ((u >> 12) & 0x3F));
    out += char(0x80 | ((u >> 6) & 0x3F));
    out += char(0x80 | (u & 0x3F));
  }
}

std::string AnsiToUtf8(std::string_view ansi) {
  std::string out;
  out.reserve(ansi.size() * 2);
  for (char c : ansi) AppendUtf8(out, platform::AnsiToUnicode(uint8_t(c)));
  return out;
}

bool Utf8ToAnsi(std::string_view utf8, std::string* out, std::string* error) {
  out->clear();
  out->reserve(utf8.size());
  const auto& map = AnsiOfUnicode();
  size_t i = 0;
  while (i < utf8.size()) {
    char32_t u;
    size_t n = DecodeOne(utf8, i, &u);
    if (n == 0) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "invalid UTF-8 byte 0x%02X at byte %zu", unsigned(uint8_t(utf8[i])), i + 1);
      *error = buf;
      return false;
    }
    if (u < 0x80) {
      *out += char(u);
    } else {
      auto it = map.find(u);
      if (it == map.end()) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "U+%04X '", unsigned(u));
        *error = buf;
        error->append(utf8.substr(i, n));
        *error += "' has no code page 1251 form";
        return false;
      }
      *out += char(it->second);
    }
    i += n;
  }
  return true;
}

size_t Utf8Length(std::string_view utf8) {
  size_t n = 0;
  for (char c : utf8)
    if ((uint8_t(c) & 0xC0) != 0x80) ++n;
  return n;
}

}  // namespace kel::tool
