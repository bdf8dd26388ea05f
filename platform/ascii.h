// ASCII-only text helpers for names that are compared without regard to
// letter case (profile sections and keys, field and key labels). Bytes
// outside a-z/A-Z compare exactly, so no locale ever takes part.
#pragma once

#include <string_view>

namespace kel::platform {

inline char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 32) : c; }

inline bool EqualsNoCaseAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  return true;
}

}  // namespace kel::platform
