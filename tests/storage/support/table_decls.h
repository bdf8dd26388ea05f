// Declarations of tables for tests of the record operations, built here so
// that engine tests never depend on the application's dictionary: a
// RABOTA-shaped order table (396 bytes, a unique number key and two DUP
// string keys) and a GOROD-shaped city table, plus record helpers.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "storage/table_decl.h"

namespace kel::test {

class DeclBuilder {
 public:
  DeclBuilder(const char* label, const char* prefix, bool oem = true) {
    decl_.label = label;
    decl_.prefix = prefix;
    decl_.file_name = label;
    decl_.display_name = label;
    decl_.oem = oem;
    decl_.create = decl_.thread = true;
    FieldDecl record;
    record.type = FieldType::kGroup;
    record.label = decl_.prefix + ":RECORD";
    decl_.fields.push_back(record);
  }
  DeclBuilder& Decimal(const char* name, uint8_t places = 0) {
    Add(FieldType::kDecimal, name, 4).places = places;
    return *this;
  }
  DeclBuilder& String(const char* name, uint32_t length) {
    Add(FieldType::kString, name, length).picture = "@s" + std::to_string(length);
    return *this;
  }
  DeclBuilder& Byte(const char* name) {
    Add(FieldType::kByte, name, 1);
    return *this;
  }
  DeclBuilder& Date(const char* name) {
    Add(FieldType::kDate, name, 4);
    return *this;
  }
  DeclBuilder& Key(const char* name, std::vector<const char*> fields, uint8_t flags) {
    KeyDecl k;
    k.label = decl_.prefix + ":" + name;
    k.description = k.label;
    k.flags = flags;
    for (const char* f : fields) k.components.push_back({uint32_t(decl_.FieldIndex(decl_.prefix + ":" + f)), false});
    decl_.keys.push_back(k);
    return *this;
  }
  DeclBuilder& Memo(const char* name, uint32_t size) {
    MemoDecl m;
    m.label = decl_.prefix + ":" + name;
    m.size = size;
    decl_.memos.push_back(m);
    return *this;
  }
  TableDecl Build() {
    decl_.fields[0].element_size = end_;
    decl_.fields[0].member_count = uint32_t(decl_.fields.size() - 1);
    return decl_;
  }

 private:
  FieldDecl& Add(FieldType type, const char* name, uint32_t size) {
    FieldDecl f;
    f.type = type;
    f.label = decl_.prefix + ":" + name;
    f.offset = end_;
    f.element_size = size;
    end_ += size;
    decl_.fields.push_back(f);
    return decl_.fields.back();
  }
  TableDecl decl_;
  uint32_t end_ = 0;
};

// RABOTA: NUM_KEY (unique), KLIENT_KEY and PEREVOZ_KEY (DUP, NOCASE, OPT).
inline TableDecl RabotaDecl(bool oem = true) {
  return DeclBuilder("RABOTA", "RAB", oem)
      .Decimal("NUM")
      .String("NOM_KLIENT", 50)
      .String("TIP", 50)
      .String("TIPF", 50)
      .Decimal("TN")
      .Decimal("TNF")
      .Decimal("V", 2)
      .Decimal("VF", 2)
      .Byte("VID1")
      .Byte("VID1F")
      .Byte("VID2")
      .Byte("VID2F")
      .Byte("VID3")
      .Byte("VID3F")
      .String("NOM_PEREVOZ", 50)
      .String("GOROD_N", 50)
      .Date("DATA_N")
      .Date("DATA_NF")
      .String("GOROD_K", 50)
      .Date("DATA_K")
      .Date("DATA_KF")
      .String("FIRMA_PEREVOZ", 50)
      .Decimal("NUM_PEREVOZ")
      .Key("NUM_KEY", {"NUM"}, kKeyPrimary | kKeyOpt | kKeyNoCase)
      .Key("KLIENT_KEY", {"NOM_KLIENT"}, kKeyDup | kKeyOpt | kKeyNoCase)
      .Key("PEREVOZ_KEY", {"NOM_PEREVOZ"}, kKeyDup | kKeyOpt | kKeyNoCase)
      .Build();
}
constexpr size_t kRabNumKey = 0, kRabKlientKey = 1, kRabPerevozKey = 2;

// GOROD: NUM_KEY (unique) and NOM_KEY (DUP, NOCASE); with `memo` a notes
// memo of 300 bytes.
inline TableDecl GorodDecl(bool oem = true, bool memo = false) {
  DeclBuilder b("GOROD", "GOR", oem);
  b.Decimal("NUM").String("NOM", 50);
  b.Key("NUM_KEY", {"NUM"}, kKeyPrimary | kKeyOpt | kKeyNoCase).Key("NOM_KEY", {"NOM"}, kKeyDup | kKeyOpt | kKeyNoCase);
  if (memo) b.Memo("NOTES", 300);
  return b.Build();
}
constexpr size_t kGorNumKey = 0, kGorNomKey = 1;

// A positive packed decimal of 0 places (sign half-byte 0, seven digits).
inline void PutDecimal(uint8_t* at, uint32_t n) {
  uint8_t nib[8] = {0};
  for (int i = 7; i >= 1; --i) {
    nib[i] = uint8_t(n % 10);
    n /= 10;
  }
  for (int i = 0; i < 4; ++i) at[i] = uint8_t(nib[2 * i] << 4 | nib[2 * i + 1]);
}
inline uint32_t GetDecimal(const uint8_t* at) {
  uint32_t n = 0;
  for (int i = 0; i < 4; ++i) n = n * 100 + (at[i] >> 4) * 10 + (at[i] & 15);
  return n;
}
inline void PutString(uint8_t* at, size_t len, const std::string& s) {
  std::memset(at, ' ', len);
  std::memcpy(at, s.data(), std::min(len, s.size()));
}
inline std::string GetString(const uint8_t* at, size_t len) {
  std::string s(reinterpret_cast<const char*>(at), len);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// Field offsets of the declarations above.
constexpr size_t kGorNum = 0, kGorNom = 4;
constexpr size_t kRabNum = 0, kRabKlient = 4, kRabPerevoz = 4 + 150 + 16 + 6;

}  // namespace kel::test
