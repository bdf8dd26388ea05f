// The table description: the engine's validated view of a table declaration.
//
// A description lists every field in declaration order (the record GROUP
// first, each GROUP followed by its members), the memos and the keys. It is
// built from a TableDecl (BuildTableDesc), or rebuilt from the definition
// stream stored in the file (def_stream.h) and then checked by
// ValidateTableDesc before anything trusts its offsets.
//
// Invariants of a valid description (what encoders may rely on):
//   - record_length <= 15000; fields[0] is the record GROUP at offset 0;
//   - every field lies inside the record: offset + size <= record_length,
//     and size == element_size * element_count;
//   - a field that is not an overlay has a supported type (1..10, 18..20, 22);
//   - ordinals equal positions; at most 240 keys; memos at most 64000 bytes;
//   - key components name existing fields that are not arrays.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "storage/table_decl.h"

namespace kel {

constexpr uint32_t kMaxRecordLength = 15000;
constexpr size_t kMaxKeys = 240;
constexpr uint32_t kMaxMemoSize = 64000;
constexpr uint32_t kMemoChunk = 256;

struct FieldDesc {
  uint8_t type = 0;            // FieldType code
  uint32_t offset = 0;
  std::string name;            // stored name: external name, else the label
  uint32_t element_count = 1;
  uint32_t size = 0;           // element_size * element_count
  bool overlay = false;
  uint32_t ordinal = 0;
  uint8_t places = 0;          // DECIMAL, PDECIMAL
  uint32_t element_size = 0;   // bytes per element
  std::string picture;         // STRING, CSTRING, PSTRING

  bool IsString() const { return type == 18 || type == 19 || type == 20; }
  bool IsDecimal() const { return type == 10 || type == 11; }
};

struct MemoDesc {
  std::string external_name;
  bool has_external_name = false;
  std::string label;
  uint32_t size = 0;
  uint8_t flags = 0;

  bool blob() const { return flags & kMemoBlob; }
  bool binary() const { return flags & kMemoBinary; }
};

struct KeyComponent {
  uint32_t field = 0;          // ordinal in the field list
  bool descending = false;
  bool operator==(const KeyComponent&) const = default;
};

struct KeyDesc {
  std::string external_name;
  bool has_external_name = false;
  std::string label;
  uint8_t flags = 0;
  std::vector<KeyComponent> components;

  bool dup() const { return flags & kKeyDup; }
  bool opt() const { return flags & kKeyOpt; }
  bool nocase() const { return flags & kKeyNoCase; }
  bool index() const { return flags & kKeyIndex; }
  bool dynamic() const { return flags & kKeyDynamic; }
};

struct TableDesc {
  uint32_t record_length = 0;
  bool oem = false;            // the declared OEM attribute
  std::vector<FieldDesc> fields;
  std::vector<MemoDesc> memos;
  std::vector<KeyDesc> keys;

  uint16_t version() const;    // 2 when any memo is a BLOB, else 1
  // Sum of the component sizes of a key (for `components`, given separately
  // so that a dynamic index's own components can be measured).
  uint32_t ValueLength(const std::vector<KeyComponent>& components) const;
};

// Validates `decl` and builds its description. Answers 0, 47 (record too
// long, too many keys, memo too large), 75 (bad layout, array key
// component), 79 (unsupported type outside an overlay) or 8 (no memory).
int BuildTableDesc(const TableDecl& decl, TableDesc* out);

// Checks a description rebuilt from disk against the invariants above;
// 0 or 47.
int ValidateTableDesc(const TableDesc& desc);

}  // namespace kel
