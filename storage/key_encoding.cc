#include "storage/key_encoding.h"

#include <algorithm>
#include <cstring>

#include "platform/codepage.h"
#include "storage/bytes.h"
#include "storage/errors.h"
#include "storage/record_kinds.h"

namespace kel {
namespace {

void Reverse(const uint8_t* src, size_t n, uint8_t* out) {
  for (size_t i = 0; i < n; ++i) out[i] = src[n - 1 - i];
}

void TreatString(uint8_t* seg, size_t n, bool nocase, const KeyStrings& s) {
  const Collation& c = *s.collation;
  if (s.weights) {
    const uint8_t* w = s.weights->data() + (nocase ? 256 : 0);
    for (size_t i = 0; i < n; ++i) seg[i] = w[seg[i]];
    return;
  }
  if (nocase)
    for (size_t i = 0; i < n; ++i) seg[i] = c.Fold(seg[i]);
  if (c.HasExpansions()) {
    std::string out;
    out.reserve(n + 1);
    uint8_t rep[2];
    for (size_t i = 0; i < n && out.size() < n; ++i) {
      if (c.Expansion(seg[i], rep)) {
        out.push_back(char(rep[0]));
        out.push_back(char(rep[1]));
      } else {
        out.push_back(char(seg[i]));
      }
    }
    std::memcpy(seg, out.data(), n);
  }
  if (s.oem) {
    for (size_t i = 0; i < n; ++i) seg[i] = c.OemWeight(platform::AnsiToOem(seg[i]));
  } else {
    for (size_t i = 0; i < n; ++i) seg[i] = c.AnsiWeight(seg[i]);
  }
}

}  // namespace

std::shared_ptr<const std::array<uint8_t, 512>> ComposeWeights(const Collation& c, bool oem) {
  if (c.HasExpansions()) return nullptr;
  auto w = std::make_shared<std::array<uint8_t, 512>>();
  KeyStrings plain{&c, oem};
  for (int fold = 0; fold < 2; ++fold) {
    for (int b = 0; b < 256; ++b) {
      uint8_t x = uint8_t(b);
      TreatString(&x, 1, fold == 1, plain);
      (*w)[size_t(fold * 256 + b)] = x;
    }
  }
  return w;
}

void EncodeSegment(const FieldDesc& f, const uint8_t* src, bool descending, bool nocase, const KeyStrings& strings,
                   uint8_t* out) {
  const size_t n = f.size;
  if (n == 0) return;
  bool d = descending;
  switch (FieldType(f.type)) {
    case FieldType::kShort:
    case FieldType::kLong:
      Reverse(src, n, out);
      out[0] ^= 0x80;
      break;
    case FieldType::kUShort:
    case FieldType::kULong:
    case FieldType::kDate:
    case FieldType::kTime:
      Reverse(src, n, out);
      break;
    case FieldType::kSReal:
    case FieldType::kReal:
      Reverse(src, n, out);
      if (out[0] & 0x80)
        d = !d;
      else
        out[0] |= 0x80;
      break;
    case FieldType::kDecimal:
      std::memcpy(out, src, n);
      if (out[0] & 0xF0) {
        out[0] &= 0x0F;
        d = !d;
      }
      out[0] ^= 0x80;
      break;
    case FieldType::kString:
    case FieldType::kGroup:
      std::memcpy(out, src, n);
      TreatString(out, n, nocase, strings);
      break;
    case FieldType::kCString: {
      const void* nul = std::memchr(src, 0, n);
      size_t len = nul ? size_t(static_cast<const uint8_t*>(nul) - src) : n;
      std::memcpy(out, src, len);
      std::memset(out + len, 0, n - len);
      TreatString(out, n, nocase, strings);
      break;
    }
    case FieldType::kPString: {
      size_t len = std::min<size_t>(src[0], n - 1);
      std::memcpy(out, src + 1, len);
      std::memset(out + len, 0, n - len);
      TreatString(out, n, nocase, strings);
      break;
    }
    default:
      std::memcpy(out, src, n);
      break;
  }
  if (d)
    for (size_t i = 0; i < n; ++i) out[i] = uint8_t(~out[i]);
}

void EncodeKeyValue(const TableDesc& desc, const std::vector<KeyComponent>& components, bool nocase,
                    const KeyStrings& strings, const uint8_t* image, uint8_t* out) {
  for (const KeyComponent& c : components) {
    const FieldDesc& f = desc.fields[c.field];
    EncodeSegment(f, image + f.offset, c.descending, nocase, strings, out);
    out += f.size;
  }
}

std::string EncodeKeyValue(const TableDesc& desc, const std::vector<KeyComponent>& components, bool nocase,
                           const KeyStrings& strings, const uint8_t* image) {
  std::string value(desc.ValueLength(components), '\0');
  EncodeKeyValue(desc, components, nocase, strings, image, reinterpret_cast<uint8_t*>(value.data()));
  return value;
}

bool KeyIsBlank(const TableDesc& desc, const std::vector<KeyComponent>& components, uint8_t flags,
                const uint8_t* image) {
  if (!(flags & kKeyOpt)) return false;
  for (const KeyComponent& c : components) {
    const FieldDesc& f = desc.fields[c.field];
    const uint8_t* p = image + f.offset;
    if (f.size == 0) continue;
    switch (FieldType(f.type)) {
      case FieldType::kString:
      case FieldType::kGroup:
        if (std::any_of(p, p + f.size, [](uint8_t b) { return b != ' '; })) return false;
        break;
      case FieldType::kCString:
      case FieldType::kPString:
        if (p[0] != 0) return false;
        break;
      default:
        if (std::any_of(p, p + f.size, [](uint8_t b) { return b != 0; })) return false;
        break;
    }
  }
  return true;
}

std::string EntryKey(uint32_t table, uint8_t keyno, bool dup, std::string_view value, uint32_t recno) {
  std::string k;
  k.reserve(5 + value.size() + 4);
  PutBE32(k, table);
  k.push_back(char(keyno));
  k.append(value);
  if (dup) PutBE32(k, recno);
  return k;
}

std::string EntryData(bool dup, uint32_t recno) {
  char buf[4];
  return std::string(EntryData(dup, recno, buf));
}

std::string_view EntryData(bool dup, uint32_t recno, char (&buf)[4]) {
  if (dup) return {};
  PutBe32(reinterpret_cast<uint8_t*>(buf), recno);
  return {buf, 4};
}

uint32_t EntryRecno(bool dup, std::string_view key, std::string_view data) {
  if (dup) {
    Require(key.size() >= 9, kErrKeyEntry);
    return GetBE32(key, key.size() - 4);
  }
  Require(data.size() == 4, kErrKeyEntry);
  return GetBE32(data, 0);
}

}  // namespace kel
