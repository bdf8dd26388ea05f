#include "tools/field_values.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "storage/table_decl.h"
#include "tools/text.h"

namespace kel::tool {
namespace {

uint64_t GetLE(const uint8_t* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= uint64_t(p[i]) << (8 * i);
  return v;
}

void PutLE(uint8_t* p, size_t n, uint64_t v) {
  for (size_t i = 0; i < n; ++i) p[i] = uint8_t(v >> (8 * i));
}

std::string Quoted(std::string_view s) { return "'" + std::string(s) + "'"; }

bool ParseInteger(std::string_view text, int64_t lo, int64_t hi, int64_t* out, std::string* error) {
  std::string s(text);
  if (s.empty()) {
    *out = 0;
    return true;
  }
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(s.c_str(), &end, 10);
  if (end == s.c_str() || *end != '\0' || s[0] == ' ' || s[0] == '+') {
    *error = Quoted(text) + " is not a whole number";
    return false;
  }
  if (errno == ERANGE || v < lo || v > hi) {
    *error = Quoted(text) + " is out of range (" + std::to_string(lo) + " to " + std::to_string(hi) + ")";
    return false;
  }
  *out = v;
  return true;
}

bool LeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int DaysIn(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && LeapYear(y) ? 29 : kDays[m - 1];
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

std::string FormatDecimal(const uint8_t* p, uint32_t size, uint8_t places) {
  if (size == 0) return "0";
  if (places > 2 * size - 1) places = uint8_t(2 * size - 1);
  bool negative = (p[0] >> 4) != 0;
  std::string digits;
  digits += char('0' + (p[0] & 0x0F) % 10);
  for (uint32_t i = 1; i < size; ++i) {
    digits += char('0' + (p[i] >> 4) % 10);
    digits += char('0' + (p[i] & 0x0F) % 10);
  }
  // Digits above 9 are damage; they are shown modulo 10 rather than as
  // bytes, so the text stays a number.
  size_t first = digits.find_first_not_of('0');
  std::string whole, frac;
  size_t n = digits.size();
  whole = digits.substr(0, n - places);
  frac = digits.substr(n - places);
  size_t nz = whole.find_first_not_of('0');
  whole = nz == std::string::npos ? "0" : whole.substr(nz);
  std::string out;
  if (negative && first != std::string::npos) out += '-';
  out += whole;
  if (places) out += "." + frac;
  return out;
}

bool ParseDecimal(std::string_view text, uint32_t size, uint8_t places, uint8_t* p, std::string* error) {
  if (size == 0 || places > 2 * size - 1) {
    *error = "the field's declaration cannot hold a decimal value";
    return false;
  }
  std::string_view s = text;
  bool negative = false;
  if (s.empty()) {
    std::memset(p, 0, size);
    return true;
  }
  if (s[0] == '-') {
    negative = true;
    s.remove_prefix(1);
  }
  std::string_view whole = s, frac;
  size_t dot = s.find('.');
  if (dot != std::string_view::npos) {
    whole = s.substr(0, dot);
    frac = s.substr(dot + 1);
  }
  if ((whole.empty() && frac.empty()) || (!whole.empty() && !AllDigits(whole)) ||
      (dot != std::string_view::npos && !frac.empty() && !AllDigits(frac)) ||
      (dot != std::string_view::npos && frac.empty() && whole.empty())) {
    *error = Quoted(text) + " is not a decimal number";
    return false;
  }
  // Trailing zeros of the fraction do not count against the places.
  while (!frac.empty() && frac.back() == '0') frac.remove_suffix(1);
  if (frac.size() > places) {
    *error = Quoted(text) + " has more than " + std::to_string(places) + " decimal place" + (places == 1 ? "" : "s");
    return false;
  }
  size_t nz = whole.find_first_not_of('0');
  whole = nz == std::string_view::npos ? std::string_view() : whole.substr(nz);
  const size_t total = 2 * size - 1;
  if (whole.size() > total - places) {
    *error = Quoted(text) + " has more than " + std::to_string(total - places) + " digits before the point";
    return false;
  }
  std::string digits(total - places - whole.size(), '0');
  digits += whole;
  digits += frac;
  digits.append(places - frac.size(), '0');
  bool zero = digits.find_first_not_of('0') == std::string::npos;
  p[0] = uint8_t(((negative && !zero) ? 0xF0 : 0x00) | (digits[0] - '0'));
  for (uint32_t i = 1; i < size; ++i) p[i] = uint8_t(((digits[2 * i - 1] - '0') << 4) | (digits[2 * i] - '0'));
  return true;
}

std::string FormatReal(double v, int digits) {
  char buf[64];
  for (int prec = digits - 2; prec <= digits + 2; ++prec) {
    std::snprintf(buf, sizeof buf, "%.*g", prec, v);
    if (digits <= 9 ? float(std::strtod(buf, nullptr)) == float(v) : std::strtod(buf, nullptr) == v) break;
  }
  return buf;
}

}  // namespace

std::vector<Column> ColumnsOf(const TableDesc& desc) {
  std::vector<Column> out;
  for (const FieldDesc& f : desc.fields) {
    if (f.type == uint8_t(FieldType::kGroup) || f.overlay) continue;
    for (uint32_t e = 0; e < f.element_count; ++e) {
      std::string name = f.name;
      if (f.element_count > 1) name += "[" + std::to_string(e + 1) + "]";
      out.push_back(Column{name, &f, f.offset + e * f.element_size, f.element_size});
    }
  }
  return out;
}

bool IsNumeric(const Column& c) {
  switch (FieldType(c.field->type)) {
    case FieldType::kByte:
    case FieldType::kShort:
    case FieldType::kUShort:
    case FieldType::kLong:
    case FieldType::kULong:
    case FieldType::kDecimal:
      return true;
    case FieldType::kSReal:
    case FieldType::kReal:
      return true;
    default:
      return false;
  }
}

std::string FormatValue(const Column& c, const uint8_t* image) {
  const uint8_t* p = image + c.offset;
  const uint32_t n = c.size;
  char buf[64];
  switch (FieldType(c.field->type)) {
    case FieldType::kByte:
      return std::to_string(p[0]);
    case FieldType::kShort:
      return std::to_string(int16_t(GetLE(p, 2)));
    case FieldType::kUShort:
      return std::to_string(uint16_t(GetLE(p, 2)));
    case FieldType::kLong:
      return std::to_string(int32_t(GetLE(p, 4)));
    case FieldType::kULong:
      return std::to_string(uint32_t(GetLE(p, 4)));
    case FieldType::kDate: {
      uint32_t v = uint32_t(GetLE(p, 4));
      if (v == 0) return "";
      std::snprintf(buf, sizeof buf, "%04u-%02u-%02u", v >> 16, (v >> 8) & 0xFF, v & 0xFF);
      return buf;
    }
    case FieldType::kTime: {
      uint32_t v = uint32_t(GetLE(p, 4));
      if (v == 0) return "";
      std::snprintf(buf, sizeof buf, "%02u:%02u:%02u.%02u", v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
      return buf;
    }
    case FieldType::kSReal: {
      float f;
      std::memcpy(&f, p, 4);
      return FormatReal(f, 9);
    }
    case FieldType::kReal: {
      double d;
      std::memcpy(&d, p, 8);
      return FormatReal(d, 17);
    }
    case FieldType::kDecimal:
      return FormatDecimal(p, n, c.field->places);
    case FieldType::kString: {
      size_t len = n;
      while (len > 0 && p[len - 1] == ' ') --len;
      return AnsiToUtf8(std::string_view(reinterpret_cast<const char*>(p), len));
    }
    case FieldType::kCString: {
      size_t len = strnlen(reinterpret_cast<const char*>(p), n);
      return AnsiToUtf8(std::string_view(reinterpret_cast<const char*>(p), len));
    }
    case FieldType::kPString: {
      size_t len = n == 0 ? 0 : std::min<size_t>(p[0], n - 1);
      return AnsiToUtf8(std::string_view(reinterpret_cast<const char*>(p + 1), len));
    }
    default: {
      std::string hex;
      for (uint32_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", p[i]);
        hex += buf;
      }
      return hex;
    }
  }
}

bool ParseValue(const Column& c, std::string_view text, uint8_t* image, std::string* error) {
  uint8_t* p = image + c.offset;
  const uint32_t n = c.size;
  int64_t v = 0;
  switch (FieldType(c.field->type)) {
    case FieldType::kByte:
      if (!ParseInteger(text, 0, 255, &v, error)) return false;
      p[0] = uint8_t(v);
      return true;
    case FieldType::kShort:
      if (!ParseInteger(text, INT16_MIN, INT16_MAX, &v, error)) return false;
      PutLE(p, 2, uint64_t(v));
      return true;
    case FieldType::kUShort:
      if (!ParseInteger(text, 0, UINT16_MAX, &v, error)) return false;
      PutLE(p, 2, uint64_t(v));
      return true;
    case FieldType::kLong:
      if (!ParseInteger(text, INT32_MIN, INT32_MAX, &v, error)) return false;
      PutLE(p, 4, uint64_t(v));
      return true;
    case FieldType::kULong:
      if (!ParseInteger(text, 0, UINT32_MAX, &v, error)) return false;
      PutLE(p, 4, uint64_t(v));
      return true;
    case FieldType::kDate: {
      if (text.empty()) {
        PutLE(p, 4, 0);
        return true;
      }
      if (text.size() != 10 || text[4] != '-' || text[7] != '-' || !AllDigits(text.substr(0, 4)) ||
          !AllDigits(text.substr(5, 2)) || !AllDigits(text.substr(8, 2))) {
        *error = Quoted(text) + " is not a date (yyyy-mm-dd)";
        return false;
      }
      int y = std::atoi(std::string(text.substr(0, 4)).c_str());
      int m = std::atoi(std::string(text.substr(5, 2)).c_str());
      int d = std::atoi(std::string(text.substr(8, 2)).c_str());
      if (y < 1 || m < 1 || m > 12 || d < 1 || d > DaysIn(y, m)) {
        *error = Quoted(text) + " is not a calendar date";
        return false;
      }
      PutLE(p, 4, (uint32_t(y) << 16) | (uint32_t(m) << 8) | uint32_t(d));
      return true;
    }
    case FieldType::kTime: {
      if (text.empty()) {
        PutLE(p, 4, 0);
        return true;
      }
      unsigned h = 0, mi = 0, s = 0, cs = 0;
      char tail = 0;
      int got = std::sscanf(std::string(text).c_str(), "%2u:%2u:%2u.%2u%c", &h, &mi, &s, &cs, &tail);
      if (got < 2 || got > 4 || h > 23 || mi > 59 || s > 59 || cs > 99) {
        *error = Quoted(text) + " is not a time (hh:mm:ss.cc)";
        return false;
      }
      PutLE(p, 4, (h << 24) | (mi << 16) | (s << 8) | cs);
      return true;
    }
    case FieldType::kSReal:
    case FieldType::kReal: {
      std::string s(text);
      double d = 0;
      if (!s.empty()) {
        char* end = nullptr;
        errno = 0;
        d = std::strtod(s.c_str(), &end);
        if (end == s.c_str() || *end != '\0' || !std::isfinite(d) || s[0] == ' ') {
          *error = Quoted(text) + " is not a number";
          return false;
        }
        if (c.field->type == uint8_t(FieldType::kSReal) && std::fabs(d) > std::numeric_limits<float>::max()) {
          *error = Quoted(text) + " is out of range";
          return false;
        }
      }
      if (c.field->type == uint8_t(FieldType::kSReal)) {
        float f = float(d);
        std::memcpy(p, &f, 4);
      } else {
        std::memcpy(p, &d, 8);
      }
      return true;
    }
    case FieldType::kDecimal:
      return ParseDecimal(text, n, c.field->places, p, error);
    case FieldType::kString:
    case FieldType::kCString:
    case FieldType::kPString: {
      std::string ansi, why;
      if (!Utf8ToAnsi(text, &ansi, &why)) {
        *error = why;
        return false;
      }
      const auto type = FieldType(c.field->type);
      size_t room = type == FieldType::kString ? n : (n == 0 ? 0 : n - 1);
      if (type == FieldType::kPString && room > 255) room = 255;
      if (ansi.size() > room) {
        *error = std::to_string(Utf8Length(text)) + " characters, the field holds " + std::to_string(room);
        return false;
      }
      if (type == FieldType::kString) {
        std::memset(p, ' ', n);
        std::memcpy(p, ansi.data(), ansi.size());
      } else if (type == FieldType::kCString) {
        std::memset(p, 0, n);
        std::memcpy(p, ansi.data(), ansi.size());
      } else {
        std::memset(p, 0, n);
        p[0] = uint8_t(ansi.size());
        std::memcpy(p + 1, ansi.data(), ansi.size());
      }
      return true;
    }
    default:
      *error = "fields of type " + TypeName(*c.field) + " cannot be imported";
      return false;
  }
}

std::string TypeName(const FieldDesc& f) {
  const uint32_t n = f.element_size;
  switch (FieldType(f.type)) {
    case FieldType::kByte: return "BYTE";
    case FieldType::kShort: return "SHORT";
    case FieldType::kUShort: return "USHORT";
    case FieldType::kDate: return "DATE";
    case FieldType::kTime: return "TIME";
    case FieldType::kLong: return "LONG";
    case FieldType::kULong: return "ULONG";
    case FieldType::kSReal: return "SREAL";
    case FieldType::kReal: return "REAL";
    case FieldType::kDecimal:
    case FieldType::kPDecimal:
      return std::string(f.type == 10 ? "DECIMAL(" : "PDECIMAL(") + std::to_string(2 * n - 1) + "," +
             std::to_string(f.places) + ")";
    case FieldType::kString: return "STRING(" + std::to_string(n) + ")";
    case FieldType::kCString: return "CSTRING(" + std::to_string(n) + ")";
    case FieldType::kPString: return "PSTRING(" + std::to_string(n) + ")";
    case FieldType::kGroup: return "GROUP";
    default: return "type " + std::to_string(f.type);
  }
}

}  // namespace kel::tool
