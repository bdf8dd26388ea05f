#include "storage/def_stream.h"

#include <new>

#include "storage/errors.h"

namespace kel {
namespace {

class Writer {
 public:
  void U8(uint32_t v) { s_.push_back(char(v)); }
  void U16(uint32_t v) {
    s_.push_back(char(v & 0xFF));
    s_.push_back(char((v >> 8) & 0xFF));
  }
  void Str(const std::string& v, bool present = true) {
    if (!present) {
      s_.append("\0\1", 2);
    } else if (v.empty()) {
      s_.append("\0\0", 2);
    } else {
      s_.append(v.data(), v.find('\0') == std::string::npos ? v.size() : v.find('\0'));
      s_.push_back('\0');
    }
  }
  std::string Take() { return std::move(s_); }

 private:
  std::string s_;
};

// Reads the stream block by block; past the data of a block it reads zeros.
// Any bound violation sets failed() and reads zeros from then on.
class Reader {
 public:
  explicit Reader(const DefBlockFetcher& fetch) : fetch_(fetch) {}

  bool failed() const { return failed_; }

  uint8_t U8() {
    if (failed_) return 0;
    size_t block = pos_ / kDefBlockSize;
    if (block != loaded_) Load(block);
    if (failed_) return 0;
    size_t at = pos_++ % kDefBlockSize;
    return at < data_.size() ? uint8_t(data_[at]) : 0;
  }
  uint16_t U16() {
    uint16_t lo = U8();
    return uint16_t(lo | (U8() << 8));
  }
  // Answers the string; *present false for an absent one.
  std::string Str(bool* present = nullptr) {
    std::string out;
    if (present) *present = true;
    uint8_t c = U8();
    if (c == 0) {
      uint8_t marker = U8();
      if (marker == 1 && present) *present = false;
      return out;
    }
    while (c != 0 && !failed_) {
      out.push_back(char(c));
      if (out.size() > kMaxDefString) failed_ = true;
      c = U8();
    }
    return out;
  }

 private:
  void Load(size_t block) {
    if (block > 0xFFFF) {
      failed_ = true;
      return;
    }
    data_.clear();
    if (fetch_(uint16_t(block), &data_) && data_.size() > kDefBlockSize) failed_ = true;
    loaded_ = block;
  }

  const DefBlockFetcher& fetch_;
  std::string data_;
  size_t loaded_ = SIZE_MAX;
  size_t pos_ = 0;
  bool failed_ = false;
};

// Parses the whole stream into `d`; false when it breaks a bound.
bool Parse(Reader& r, TableDesc* d, uint16_t* version) {
  *version = r.U16();
  d->record_length = r.U16();
  uint16_t nfields = r.U16(), nmemos = r.U16(), nkeys = r.U16();
  if (nkeys > kMaxKeys || r.failed()) return false;
  for (uint32_t i = 0; i < nfields && !r.failed(); ++i) {
    FieldDesc f;
    f.type = r.U8();
    f.offset = r.U16();
    f.name = r.Str();
    f.element_count = r.U16();
    f.size = r.U16();
    f.overlay = r.U16() != 0;
    f.ordinal = r.U16();
    if (f.IsDecimal()) {
      f.places = r.U8();
      f.element_size = r.U8();
    } else if (f.IsString()) {
      f.element_size = r.U16();
      f.picture = r.Str();
    } else {
      f.element_size = f.element_count ? f.size / f.element_count : f.size;
    }
    d->fields.push_back(std::move(f));
  }
  for (uint32_t i = 0; i < nmemos && !r.failed(); ++i) {
    MemoDesc m;
    m.external_name = r.Str(&m.has_external_name);
    m.label = r.Str();
    m.size = r.U16();
    m.flags = uint8_t(r.U16());
    d->memos.push_back(std::move(m));
  }
  for (uint32_t i = 0; i < nkeys && !r.failed(); ++i) {
    KeyDesc k;
    k.external_name = r.Str(&k.has_external_name);
    k.label = r.Str();
    k.flags = r.U8();
    uint16_t n = r.U16();
    for (uint32_t c = 0; c < n && !r.failed(); ++c) {
      KeyComponent kc;
      kc.field = r.U16();
      kc.descending = r.U16() != 0;
      k.components.push_back(kc);
    }
    d->keys.push_back(std::move(k));
  }
  return !r.failed();
}

}  // namespace

std::string SerializeDefinition(const TableDesc& d) {
  Writer w;
  w.U16(d.version());
  w.U16(d.record_length);
  w.U16(uint32_t(d.fields.size()));
  w.U16(uint32_t(d.memos.size()));
  w.U16(uint32_t(d.keys.size()));
  for (const FieldDesc& f : d.fields) {
    w.U8(f.type);
    w.U16(f.offset);
    w.Str(f.name);
    w.U16(f.element_count);
    w.U16(f.size);
    w.U16(f.overlay ? 1 : 0);
    w.U16(f.ordinal);
    if (f.IsDecimal()) {
      w.U8(f.places);
      w.U8(f.element_size);
    } else if (f.IsString()) {
      w.U16(f.element_size);
      w.Str(f.picture);
    }
  }
  for (const MemoDesc& m : d.memos) {
    w.Str(m.external_name, m.has_external_name);
    w.Str(m.label);
    w.U16(m.size);
    w.U16(m.flags);
  }
  for (const KeyDesc& k : d.keys) {
    w.Str(k.external_name, k.has_external_name);
    w.Str(k.label);
    w.U8(k.flags);
    w.U16(uint32_t(k.components.size()));
    for (const KeyComponent& c : k.components) {
      w.U16(c.field);
      w.U16(c.descending ? 1 : 0);
    }
  }
  return w.Take();
}

std::vector<std::string> SplitDefinitionBlocks(const std::string& stream) {
  std::vector<std::string> blocks;
  for (size_t at = 0; at < stream.size(); at += kDefBlockSize) blocks.push_back(stream.substr(at, kDefBlockSize));
  Require(blocks.size() <= 0x10000, 3102);
  return blocks;
}

int ReadDefinition(const DefBlockFetcher& fetch, TableDesc* out) {
  try {
    Reader r(fetch);
    TableDesc d;
    uint16_t version = 0;
    if (!Parse(r, &d, &version)) return kInvalidRecordDeclaration;
    if (version != d.version()) return kInvalidRecordDeclaration;
    int rc = ValidateTableDesc(d);
    if (rc != 0) return rc;
    *out = std::move(d);
    return 0;
  } catch (const std::bad_alloc&) {
    return kInsufficientMemory;
  }
}

DefCompare CompareDefinition(const DefBlockFetcher& fetch, const TableDesc& decl) {
  Reader r(fetch);
  TableDesc s;
  uint16_t version = 0;
  constexpr DefCompare kDiff = DefCompare::kStructureDiffers;
  try {
    if (!Parse(r, &s, &version)) return kDiff;
  } catch (const std::bad_alloc&) {
    return kDiff;
  }
  if (version != decl.version() || s.record_length != decl.record_length || s.fields.size() != decl.fields.size() ||
      s.memos.size() != decl.memos.size() || s.keys.size() != decl.keys.size())
    return kDiff;
  bool names = false;
  for (size_t i = 0; i < s.fields.size(); ++i) {
    const FieldDesc &a = s.fields[i], &b = decl.fields[i];
    if (a.type != b.type || a.offset != b.offset || a.element_count != b.element_count || a.size != b.size ||
        a.overlay != b.overlay || a.ordinal != b.ordinal)
      return kDiff;
    if (b.IsDecimal() && (a.places != b.places || a.element_size != b.element_size)) return kDiff;
    if (b.IsString() && a.element_size != b.element_size) return kDiff;
    names |= a.name != b.name || (b.IsString() && a.picture != b.picture);
  }
  for (size_t i = 0; i < s.memos.size(); ++i) {
    const MemoDesc &a = s.memos[i], &b = decl.memos[i];
    if (!b.blob() && a.size != b.size) return kDiff;
    names |= a.external_name != b.external_name || a.has_external_name != b.has_external_name || a.label != b.label;
  }
  for (size_t i = 0; i < s.keys.size(); ++i) {
    const KeyDesc &a = s.keys[i], &b = decl.keys[i];
    if ((a.flags & ~kKeyFlag10) != (b.flags & ~kKeyFlag10) || a.components != b.components) return kDiff;
    names |= a.external_name != b.external_name || a.has_external_name != b.has_external_name || a.label != b.label;
  }
  return names ? DefCompare::kNamesDiffer : DefCompare::kEqual;
}

}  // namespace kel
