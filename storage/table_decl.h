// Table declarations as the engine takes them: the application's data
// dictionary fills these in; the engine validates them into its table
// description and stores that description in the file.
//
// A declaration lists its fields in declaration order. The first field is
// the record itself, a GROUP at offset 0 whose size is the record length and
// whose members are all the other fields. A GROUP is followed directly by its
// members (member_count counts them all, nested members included).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kel {

enum class FieldType : uint8_t {
  kByte = 1,
  kShort = 2,
  kUShort = 3,
  kDate = 4,
  kTime = 5,
  kLong = 6,
  kULong = 7,
  kSReal = 8,
  kReal = 9,
  kDecimal = 10,
  kPDecimal = 11,
  kString = 18,
  kCString = 19,
  kPString = 20,
  kGroup = 22,
};

// Key flags, stored in the table definition.
enum KeyFlag : uint8_t {
  kKeyDup = 0x01,      // duplicates allowed
  kKeyOpt = 0x02,      // blank records get no entry
  kKeyNoCase = 0x04,   // string components fold case
  kKeyPrimary = 0x08,  // passed through, not interpreted by the engine
  kKeyFlag10 = 0x10,   // passed through; ignored when definitions are compared
  kKeyIndex = 0x20,    // not maintained by writes; marked incomplete instead
  kKeyDynamic = 0x40,  // components from an index string, entries in memory
};

// Memo flags.
enum MemoFlag : uint8_t {
  kMemoBinary = 0x02,  // never code-page converted
  kMemoBlob = 0x04,
};

struct FieldDecl {
  FieldType type = FieldType::kString;
  std::string label;           // full name, e.g. "GOR:NOM"
  std::string external_name;   // stored name when declared, else empty
  uint32_t offset = 0;         // in the record
  uint32_t element_size = 0;   // bytes per element (a GROUP: its whole size)
  uint32_t element_count = 1;  // product of the array dimensions
  uint8_t places = 0;          // DECIMAL/PDECIMAL decimal places
  std::string picture;         // STRING/CSTRING/PSTRING display picture
  uint32_t member_count = 0;   // GROUP: fields that follow and belong to it

  uint32_t size() const { return element_size * element_count; }
};

struct KeyComponentDecl {
  uint32_t field = 0;          // index into TableDecl::fields
  bool descending = false;
};

struct KeyDecl {
  std::string label;           // e.g. "GOR:NUM_KEY"
  std::string external_name;   // empty when not declared
  std::string description;     // e.g. "GOR:num_key", used in messages
  uint8_t flags = 0;
  std::vector<KeyComponentDecl> components;
  bool autonumber = false;     // application-level: table handle numbers it
};

struct MemoDecl {
  std::string label;
  std::string external_name;
  uint32_t size = 0;
  uint8_t flags = 0;
};

struct TableDecl {
  std::string label;           // "GOROD"
  std::string prefix;          // "GOR"
  std::string file_name;       // disk name without extension: "GOROD"
  std::string display_name;    // name in messages: "gorod"
  bool oem = false;
  bool create = false;
  bool reclaim = false;
  bool thread = false;
  bool encrypt = false;
  std::string owner;           // owner password, empty = none
  std::vector<FieldDecl> fields;   // fields[0] is the record GROUP
  std::vector<KeyDecl> keys;
  std::vector<MemoDecl> memos;

  uint32_t record_length() const { return fields.empty() ? 0 : fields[0].size(); }
  // Index of the field with this label (case-insensitive), or -1.
  int FieldIndex(std::string_view label) const;
  // Index of the key with this label (case-insensitive), or -1.
  int KeyIndex(std::string_view label) const;
};

}  // namespace kel
