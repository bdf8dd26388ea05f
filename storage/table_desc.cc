#include "storage/table_desc.h"

#include <new>

#include "storage/errors.h"

namespace kel {
namespace {

bool SupportedType(uint8_t t) { return (t >= 1 && t <= 10) || (t >= 18 && t <= 20) || t == 22; }

// Validates the items of one field list, fields [begin, end), against a
// running end that starts at `start`. Items of the list are the fields at
// `begin` and after each item's members; members of a GROUP are their own
// list. Marks overlays in `out`. Answers 0, 75 or 79.
class LayoutChecker {
 public:
  LayoutChecker(const TableDecl& decl, TableDesc& out) : decl_(decl), out_(out) {}

  int CheckList(size_t begin, size_t end, uint32_t start) {
    uint32_t running = start;
    std::vector<size_t> items;
    for (size_t i = begin; i < end;) {
      const FieldDecl& f = decl_.fields[i];
      size_t members = f.type == FieldType::kGroup ? f.member_count : 0;
      if (members > end - i - 1) return kInvalidFieldTypeDescriptor;
      if (f.offset > running) return kInvalidFieldTypeDescriptor;  // a gap
      bool overlay = false;
      if (f.offset < running) {
        bool found = false;
        for (size_t j : items) found |= decl_.fields[j].offset == f.offset;
        if (!found) return kInvalidFieldTypeDescriptor;
        overlay = true;
      }
      if (overlay) {
        for (size_t m = i; m <= i + members; ++m) out_.fields[m].overlay = true;
      } else {
        if (!SupportedType(uint8_t(f.type))) return kUnsupportedDataType;
        running += f.size();
        if (members > 0) {
          int rc = CheckList(i + 1, i + 1 + members, f.offset);
          if (rc != 0) return rc;
        }
      }
      items.push_back(i);
      i += 1 + members;
    }
    return 0;
  }

 private:
  const TableDecl& decl_;
  TableDesc& out_;
};

int Build(const TableDecl& decl, TableDesc* out) {
  TableDesc d;
  d.record_length = decl.record_length();
  d.oem = decl.oem;
  if (d.record_length > kMaxRecordLength) return kInvalidRecordDeclaration;
  if (decl.keys.size() > kMaxKeys) return kInvalidRecordDeclaration;
  for (const MemoDecl& m : decl.memos)
    if (m.size > kMaxMemoSize) return kInvalidRecordDeclaration;
  if (decl.fields.empty() || decl.fields[0].type != FieldType::kGroup || decl.fields[0].offset != 0)
    return kInvalidFieldTypeDescriptor;
  if (decl.fields.size() > 0xFFFF || decl.memos.size() > 0xFFFF) return kInvalidRecordDeclaration;

  d.fields.resize(decl.fields.size());
  for (size_t i = 0; i < decl.fields.size(); ++i) {
    const FieldDecl& f = decl.fields[i];
    FieldDesc& g = d.fields[i];
    g.type = uint8_t(f.type);
    g.offset = f.offset;
    g.name = f.external_name.empty() ? f.label : f.external_name;
    g.element_count = f.element_count;
    g.element_size = f.element_size;
    g.size = f.size();
    g.ordinal = uint32_t(i);
    if (g.IsDecimal()) g.places = f.places;
    if (g.IsString()) g.picture = f.picture;
    // The stored widths: u16 counts and sizes, u8 DECIMAL element size.
    uint64_t size = uint64_t(f.element_size) * f.element_count;
    if (f.element_count > 0xFFFF || size > d.record_length || uint64_t(f.offset) + size > d.record_length)
      return kInvalidFieldTypeDescriptor;
    if (g.IsDecimal() && f.element_size > 0xFF) return kInvalidFieldTypeDescriptor;
  }
  LayoutChecker checker(decl, d);
  int rc = checker.CheckList(0, decl.fields.size(), 0);
  if (rc != 0) return rc;

  for (const MemoDecl& m : decl.memos) {
    MemoDesc md;
    md.has_external_name = !m.external_name.empty();
    md.external_name = m.external_name;
    md.label = m.label;
    md.size = m.size;
    md.flags = m.flags;
    d.memos.push_back(std::move(md));
  }
  for (const KeyDecl& k : decl.keys) {
    KeyDesc kd;
    kd.has_external_name = !k.external_name.empty();
    kd.external_name = k.external_name;
    kd.label = k.label;
    kd.flags = k.flags;
    for (const KeyComponentDecl& c : k.components) {
      if (c.field >= d.fields.size() || d.fields[c.field].element_count > 1) return kInvalidFieldTypeDescriptor;
      kd.components.push_back({c.field, c.descending});
    }
    d.keys.push_back(std::move(kd));
  }
  *out = std::move(d);
  return 0;
}

}  // namespace

uint16_t TableDesc::version() const {
  for (const MemoDesc& m : memos)
    if (m.blob()) return 2;
  return 1;
}

uint32_t TableDesc::ValueLength(const std::vector<KeyComponent>& components) const {
  uint32_t n = 0;
  for (const KeyComponent& c : components) n += fields[c.field].size;
  return n;
}

int BuildTableDesc(const TableDecl& decl, TableDesc* out) {
  try {
    return Build(decl, out);
  } catch (const std::bad_alloc&) {
    return kInsufficientMemory;
  }
}

int ValidateTableDesc(const TableDesc& d) {
  constexpr int kBad = kInvalidRecordDeclaration;
  if (d.record_length > kMaxRecordLength || d.keys.size() > kMaxKeys) return kBad;
  if (d.fields.empty() || d.fields[0].type != uint8_t(FieldType::kGroup) || d.fields[0].offset != 0) return kBad;
  for (size_t i = 0; i < d.fields.size(); ++i) {
    const FieldDesc& f = d.fields[i];
    if (f.ordinal != i) return kBad;
    if (uint64_t(f.offset) + f.size > d.record_length) return kBad;
    if (!f.overlay && !SupportedType(f.type)) return kBad;
    if ((f.IsString() || f.IsDecimal()) && uint64_t(f.element_size) * f.element_count != f.size) return kBad;
  }
  for (const MemoDesc& m : d.memos)
    if (m.size > kMaxMemoSize) return kBad;
  for (const KeyDesc& k : d.keys)
    for (const KeyComponent& c : k.components)
      if (c.field >= d.fields.size() || d.fields[c.field].element_count > 1) return kBad;
  return 0;
}

}  // namespace kel
