#include "app/dictionary/tables.h"

#include <cctype>
#include <cstring>
#include <initializer_list>

namespace kel::dict {
namespace {

// Builds a declaration field by field; offsets follow from the sizes.
class TableBuilder {
 public:
  TableBuilder(const char* label, const char* prefix, const char* display_name) {
    decl_.label = label;
    decl_.prefix = prefix;
    decl_.file_name = label;
    decl_.display_name = display_name;
    decl_.oem = decl_.create = decl_.reclaim = decl_.thread = true;
    FieldDecl record;
    record.type = FieldType::kGroup;
    record.label = decl_.prefix + ":RECORD";
    decl_.fields.push_back(record);
  }

  TableBuilder& Decimal(const char* name, uint8_t places = 0) {
    FieldDecl& f = Add(FieldType::kDecimal, name, 4);
    f.places = places;
    return *this;
  }
  TableBuilder& String(const char* name, uint32_t length) {
    FieldDecl& f = Add(FieldType::kString, name, length);
    f.picture = "@s" + std::to_string(length);
    return *this;
  }
  TableBuilder& Byte(const char* name) {
    Add(FieldType::kByte, name, 1);
    return *this;
  }
  TableBuilder& Date(const char* name) {
    Add(FieldType::kDate, name, 4);
    return *this;
  }

  // The NUM key: primary, unique, autonumbered.
  TableBuilder& NumKey() { return Key("NUM_KEY", {"NUM"}, kKeyPrimary | kKeyOpt | kKeyNoCase, true); }
  // Any other key.
  TableBuilder& DupKey(const char* name, const char* field) {
    return Key(name, {field}, kKeyDup | kKeyOpt | kKeyNoCase, false);
  }

  TableDecl Build() {
    decl_.fields[0].element_size = end_;
    decl_.fields[0].member_count = uint32_t(decl_.fields.size() - 1);
    return std::move(decl_);
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

  TableBuilder& Key(const char* name, std::initializer_list<const char*> fields, uint8_t flags,
                    bool autonumber) {
    KeyDecl k;
    k.label = decl_.prefix + ":" + name;
    k.description = decl_.prefix + ":";
    for (const char* c = name; *c; ++c) k.description += char(std::tolower((unsigned char)*c));
    k.flags = flags;
    k.autonumber = autonumber;
    for (const char* field : fields) {
      int index = decl_.FieldIndex(decl_.prefix + ":" + field);
      k.components.push_back({uint32_t(index), false});
    }
    decl_.keys.push_back(std::move(k));
    return *this;
  }

  TableDecl decl_;
  uint32_t end_ = 0;
};

std::array<TableDecl, kTableCount> BuildAll() {
  std::array<TableDecl, kTableCount> t;
  t[int(TableId::kGorod)] = TableBuilder("GOROD", "GOR", "gorod")
                                .Decimal("NUM")
                                .String("NOM", 50)
                                .NumKey()
                                .DupKey("NOM_KEY", "NOM")
                                .Build();
  t[int(TableId::kKlient)] = TableBuilder("KLIENT", "KLI", "klient")
                                 .Decimal("NUM")
                                 .Decimal("NUMGOR")
                                 .String("NOM", 50)
                                 .String("ADRESU", 200)
                                 .String("ADRESP", 200)
                                 .NumKey()
                                 .DupKey("NUMGOR_KEY", "NUMGOR")
                                 .DupKey("NOM_KEY", "NOM")
                                 .Build();
  t[int(TableId::kFirma)] = TableBuilder("FIRMA", "FIR", "firma")
                                .Decimal("NUM")
                                .String("NOM", 50)
                                .String("PHONE1", 20)
                                .String("PHONE2", 20)
                                .String("PHONE3", 20)
                                .String("PHONE4", 20)
                                .String("ADRESU", 200)
                                .String("ADRESP", 200)
                                .NumKey()
                                .DupKey("NOM_KEY", "NOM")
                                .Build();
  t[int(TableId::kPerevoz)] = TableBuilder("PEREVOZ", "PER", "perevoz")
                                  .Decimal("NUM")
                                  .Decimal("NUMFIRMA")
                                  .String("NOM", 50)
                                  .String("MODELAVTO", 50)
                                  .String("MODELKUZOV", 50)
                                  .Decimal("GRUZ", 2)
                                  .String("NOMFIRMA", 50)
                                  .Decimal("V", 2)
                                  .Byte("VID1")
                                  .Byte("VID2")
                                  .Byte("VID3")
                                  .Byte("FAVORIT")
                                  .String("SOST", 7)
                                  .String("MESTO", 50)
                                  .String("PASE", 200)
                                  .String("PHONE", 20)
                                  .NumKey()
                                  .DupKey("NOMFIRMA_KEY", "NOMFIRMA")
                                  .DupKey("NUMFIRMA_KEY", "NUMFIRMA")
                                  .DupKey("NOM_KEY", "NOM")
                                  .DupKey("MAVTO_KEY", "MODELAVTO")
                                  .DupKey("MKUZOV_KEY", "MODELKUZOV")
                                  .DupKey("GRUZ_KEY", "GRUZ")
                                  .Build();
  t[int(TableId::kAvto)] = TableBuilder("AVTO", "AVT", "avto")
                               .Decimal("NUM")
                               .String("NOM", 50)
                               .NumKey()
                               .DupKey("NOM_KEY", "NOM")
                               .Build();
  t[int(TableId::kKuzov)] = TableBuilder("KUZOV", "KUZ", "kuzov")
                                .Decimal("NUM")
                                .String("NOM", 50)
                                .NumKey()
                                .DupKey("NOM_KEY", "NOM")
                                .Build();
  t[int(TableId::kRabota)] = TableBuilder("RABOTA", "RAB", "rabota")
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
                                 .NumKey()
                                 .DupKey("KLIENT_KEY", "NOM_KLIENT")
                                 .DupKey("PEREVOZ_KEY", "NOM_PEREVOZ")
                                 .Build();
  return t;
}

const std::array<TableDecl, kTableCount>& Tables() {
  static const std::array<TableDecl, kTableCount> tables = BuildAll();
  return tables;
}

// The accepted values of PER:SOST in code page 1251, without padding.
constexpr std::string_view kSostValues[] = {
    "\xC6\xE4\xE5\xF2",              // Ждет
    "\xC3\xEE\xF2\xEE\xE2",          // Готов
    "\xC2 \xEF\xF3\xF2\xE8",         // В пути
    "\xC2\xEE\xE7\xE2\xF0\xE0\xF2",  // Возврат
    "\xD0\xE5\xEC\xEE\xED\xF2",      // Ремонт
    "",                              // blank
};

}  // namespace

const TableDecl& Decl(TableId id) { return Tables()[int(id)]; }

const std::array<TableId, kTableCount>& AllTables() {
  static const std::array<TableId, kTableCount> all = {
      TableId::kGorod, TableId::kKlient, TableId::kFirma, TableId::kPerevoz,
      TableId::kAvto,  TableId::kKuzov,  TableId::kRabota};
  return all;
}

std::optional<TableId> FindTable(std::string_view label) {
  for (TableId id : AllTables()) {
    const std::string& l = Decl(id).label;
    if (l.size() != label.size()) continue;
    bool same = true;
    for (size_t i = 0; i < l.size() && same; ++i)
      same = std::toupper((unsigned char)label[i]) == (unsigned char)l[i];
    if (same) return id;
  }
  return std::nullopt;
}

const std::array<RelationDecl, 2>& Relations() {
  static const std::array<RelationDecl, 2> relations = {{
      {TableId::kGorod, TableId::kKlient, "GOR:NUM", "KLI:NUMGOR", "KLI:NUMGOR_KEY",
       RelationRule::kNone, RelationRule::kCascade},
      {TableId::kFirma, TableId::kPerevoz, "FIR:NUM", "PER:NUMFIRMA", "PER:NUMFIRMA_KEY",
       RelationRule::kNone, RelationRule::kCascade},
  }};
  return relations;
}

// The rule is a membership test in the six values. (Searching "]value[" in
// the concatenated list "]Ждет[]Готов[]В пути[]Возврат[]Ремонт[] [][" would
// give the same answers except that it also lets bracket fragments such as
// " []" through; the six values are what the rule means.)
bool PerSostAccepted(std::string_view value) {
  while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
  for (std::string_view accepted : kSostValues)
    if (value == accepted) return true;
  return false;
}

std::optional<FieldRuleFailure> CheckFields(TableId table, const uint8_t* record) {
  if (table != TableId::kPerevoz) return std::nullopt;
  const TableDecl& decl = Decl(TableId::kPerevoz);
  const FieldDecl& sost = decl.fields[decl.FieldIndex("PER:SOST")];
  std::string_view value(reinterpret_cast<const char*>(record) + sost.offset, sost.size());
  if (PerSostAccepted(value)) return std::nullopt;
  return FieldRuleFailure{"PER:sost", "'Ждет','Готов','В пути','Возврат','Ремонт',' ',''"};
}

}  // namespace kel::dict
