// The declarations against the record layouts, keys and relations the tables
// are meant to have (written out here independently of the builder).
#include "app/dictionary/tables.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace kel::dict {
namespace {

struct FieldRow {
  const char* label;
  uint32_t offset;
  FieldType type;
  uint32_t size;
  uint8_t places;
};

struct TableRow {
  TableId id;
  const char* label;
  const char* display;
  uint32_t record_length;
  std::vector<FieldRow> fields;
};

constexpr FieldType D = FieldType::kDecimal, S = FieldType::kString, B = FieldType::kByte,
                    T = FieldType::kDate;

const std::vector<TableRow>& Expected() {
  static const std::vector<TableRow> rows = {
      {TableId::kGorod, "GOROD", "gorod", 54, {{"GOR:NUM", 0, D, 4, 0}, {"GOR:NOM", 4, S, 50, 0}}},
      {TableId::kKlient, "KLIENT", "klient", 458,
       {{"KLI:NUM", 0, D, 4, 0}, {"KLI:NUMGOR", 4, D, 4, 0}, {"KLI:NOM", 8, S, 50, 0},
        {"KLI:ADRESU", 58, S, 200, 0}, {"KLI:ADRESP", 258, S, 200, 0}}},
      {TableId::kFirma, "FIRMA", "firma", 534,
       {{"FIR:NUM", 0, D, 4, 0}, {"FIR:NOM", 4, S, 50, 0}, {"FIR:PHONE1", 54, S, 20, 0},
        {"FIR:PHONE2", 74, S, 20, 0}, {"FIR:PHONE3", 94, S, 20, 0}, {"FIR:PHONE4", 114, S, 20, 0},
        {"FIR:ADRESU", 134, S, 200, 0}, {"FIR:ADRESP", 334, S, 200, 0}}},
      {TableId::kPerevoz, "PEREVOZ", "perevoz", 497,
       {{"PER:NUM", 0, D, 4, 0},         {"PER:NUMFIRMA", 4, D, 4, 0},
        {"PER:NOM", 8, S, 50, 0},        {"PER:MODELAVTO", 58, S, 50, 0},
        {"PER:MODELKUZOV", 108, S, 50, 0}, {"PER:GRUZ", 158, D, 4, 2},
        {"PER:NOMFIRMA", 162, S, 50, 0}, {"PER:V", 212, D, 4, 2},
        {"PER:VID1", 216, B, 1, 0},      {"PER:VID2", 217, B, 1, 0},
        {"PER:VID3", 218, B, 1, 0},      {"PER:FAVORIT", 219, B, 1, 0},
        {"PER:SOST", 220, S, 7, 0},      {"PER:MESTO", 227, S, 50, 0},
        {"PER:PASE", 277, S, 200, 0},    {"PER:PHONE", 477, S, 20, 0}}},
      {TableId::kAvto, "AVTO", "avto", 54, {{"AVT:NUM", 0, D, 4, 0}, {"AVT:NOM", 4, S, 50, 0}}},
      {TableId::kKuzov, "KUZOV", "kuzov", 54, {{"KUZ:NUM", 0, D, 4, 0}, {"KUZ:NOM", 4, S, 50, 0}}},
      {TableId::kRabota, "RABOTA", "rabota", 396,
       {{"RAB:NUM", 0, D, 4, 0},           {"RAB:NOM_KLIENT", 4, S, 50, 0},
        {"RAB:TIP", 54, S, 50, 0},         {"RAB:TIPF", 104, S, 50, 0},
        {"RAB:TN", 154, D, 4, 0},          {"RAB:TNF", 158, D, 4, 0},
        {"RAB:V", 162, D, 4, 2},           {"RAB:VF", 166, D, 4, 2},
        {"RAB:VID1", 170, B, 1, 0},        {"RAB:VID1F", 171, B, 1, 0},
        {"RAB:VID2", 172, B, 1, 0},        {"RAB:VID2F", 173, B, 1, 0},
        {"RAB:VID3", 174, B, 1, 0},        {"RAB:VID3F", 175, B, 1, 0},
        {"RAB:NOM_PEREVOZ", 176, S, 50, 0}, {"RAB:GOROD_N", 226, S, 50, 0},
        {"RAB:DATA_N", 276, T, 4, 0},      {"RAB:DATA_NF", 280, T, 4, 0},
        {"RAB:GOROD_K", 284, S, 50, 0},    {"RAB:DATA_K", 334, T, 4, 0},
        {"RAB:DATA_KF", 338, T, 4, 0},     {"RAB:FIRMA_PEREVOZ", 342, S, 50, 0},
        {"RAB:NUM_PEREVOZ", 392, D, 4, 0}}},
  };
  return rows;
}

TEST(TablesTest, RecordLayoutsAreExactlyTheDeclaredOnes) {
  ASSERT_EQ(Expected().size(), size_t(kTableCount));
  for (const TableRow& row : Expected()) {
    const TableDecl& t = Decl(row.id);
    SCOPED_TRACE(row.label);
    EXPECT_EQ(t.label, row.label);
    EXPECT_EQ(t.file_name, row.label);
    EXPECT_EQ(t.display_name, row.display);
    EXPECT_EQ(t.record_length(), row.record_length);
    EXPECT_TRUE(t.oem && t.create && t.reclaim && t.thread);
    EXPECT_FALSE(t.encrypt);
    EXPECT_TRUE(t.owner.empty());
    EXPECT_TRUE(t.memos.empty());

    // The record GROUP, then the fields in order, without gaps.
    ASSERT_EQ(t.fields.size(), row.fields.size() + 1);
    EXPECT_EQ(t.fields[0].type, FieldType::kGroup);
    EXPECT_EQ(t.fields[0].offset, 0u);
    EXPECT_EQ(t.fields[0].member_count, row.fields.size());
    uint32_t end = 0;
    for (size_t i = 0; i < row.fields.size(); ++i) {
      const FieldRow& want = row.fields[i];
      const FieldDecl& f = t.fields[i + 1];
      SCOPED_TRACE(want.label);
      EXPECT_EQ(f.label, want.label);
      EXPECT_EQ(f.offset, want.offset);
      EXPECT_EQ(f.offset, end);
      EXPECT_EQ(f.type, want.type);
      EXPECT_EQ(f.size(), want.size);
      EXPECT_EQ(f.element_count, 1u);
      EXPECT_EQ(f.places, want.places);
      if (f.type == FieldType::kString) {
        EXPECT_EQ(f.picture, "@s" + std::to_string(want.size));
      }
      end += f.size();
    }
    EXPECT_EQ(end, row.record_length);
  }
}

struct KeyRow {
  const char* label;
  const char* description;
  const char* field;
};

TEST(TablesTest, KeysWithDescriptionsFlagsAndComponents) {
  const std::vector<std::pair<TableId, std::vector<KeyRow>>> expected = {
      {TableId::kGorod, {{"GOR:NUM_KEY", "GOR:num_key", "GOR:NUM"}, {"GOR:NOM_KEY", "GOR:nom_key", "GOR:NOM"}}},
      {TableId::kKlient,
       {{"KLI:NUM_KEY", "KLI:num_key", "KLI:NUM"},
        {"KLI:NUMGOR_KEY", "KLI:numgor_key", "KLI:NUMGOR"},
        {"KLI:NOM_KEY", "KLI:nom_key", "KLI:NOM"}}},
      {TableId::kFirma, {{"FIR:NUM_KEY", "FIR:num_key", "FIR:NUM"}, {"FIR:NOM_KEY", "FIR:nom_key", "FIR:NOM"}}},
      {TableId::kPerevoz,
       {{"PER:NUM_KEY", "PER:num_key", "PER:NUM"},
        {"PER:NOMFIRMA_KEY", "PER:nomfirma_key", "PER:NOMFIRMA"},
        {"PER:NUMFIRMA_KEY", "PER:numfirma_key", "PER:NUMFIRMA"},
        {"PER:NOM_KEY", "PER:nom_key", "PER:NOM"},
        {"PER:MAVTO_KEY", "PER:mavto_key", "PER:MODELAVTO"},
        {"PER:MKUZOV_KEY", "PER:mkuzov_key", "PER:MODELKUZOV"},
        {"PER:GRUZ_KEY", "PER:gruz_key", "PER:GRUZ"}}},
      {TableId::kAvto, {{"AVT:NUM_KEY", "AVT:num_key", "AVT:NUM"}, {"AVT:NOM_KEY", "AVT:nom_key", "AVT:NOM"}}},
      {TableId::kKuzov, {{"KUZ:NUM_KEY", "KUZ:num_key", "KUZ:NUM"}, {"KUZ:NOM_KEY", "KUZ:nom_key", "KUZ:NOM"}}},
      {TableId::kRabota,
       {{"RAB:NUM_KEY", "RAB:num_key", "RAB:NUM"},
        {"RAB:KLIENT_KEY", "RAB:klient_key", "RAB:NOM_KLIENT"},
        {"RAB:PEREVOZ_KEY", "RAB:perevoz_key", "RAB:NOM_PEREVOZ"}}},
  };
  for (const auto& [id, keys] : expected) {
    const TableDecl& t = Decl(id);
    SCOPED_TRACE(t.label);
    ASSERT_EQ(t.keys.size(), keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
      const KeyDecl& k = t.keys[i];
      SCOPED_TRACE(keys[i].label);
      EXPECT_EQ(k.label, keys[i].label);
      EXPECT_EQ(k.description, keys[i].description);
      ASSERT_EQ(k.components.size(), 1u);
      EXPECT_EQ(t.fields.at(k.components[0].field).label, keys[i].field);
      EXPECT_FALSE(k.components[0].descending);
      if (i == 0) {
        EXPECT_EQ(k.flags, kKeyPrimary | kKeyOpt | kKeyNoCase);
        EXPECT_TRUE(k.autonumber);
      } else {
        EXPECT_EQ(k.flags, kKeyDup | kKeyOpt | kKeyNoCase);
        EXPECT_FALSE(k.autonumber);
      }
    }
  }
  EXPECT_EQ(Decl(TableId::kKlient).KeyIndex("kli:numgor_key"), 1);
  EXPECT_EQ(FindTable("perevoz"), TableId::kPerevoz);
  EXPECT_FALSE(FindTable("ORDERS"));
}

TEST(TablesTest, TwoCascadingRelations) {
  const auto& r = Relations();
  struct Want {
    TableId parent, child;
    const char *pf, *cf, *key;
  } want[] = {{TableId::kGorod, TableId::kKlient, "GOR:NUM", "KLI:NUMGOR", "KLI:NUMGOR_KEY"},
              {TableId::kFirma, TableId::kPerevoz, "FIR:NUM", "PER:NUMFIRMA", "PER:NUMFIRMA_KEY"}};
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(r[i].parent, want[i].parent);
    EXPECT_EQ(r[i].child, want[i].child);
    EXPECT_STREQ(r[i].parent_field, want[i].pf);
    EXPECT_STREQ(r[i].child_field, want[i].cf);
    EXPECT_STREQ(r[i].child_key, want[i].key);
    EXPECT_EQ(r[i].on_update, RelationRule::kNone);
    EXPECT_EQ(r[i].on_delete, RelationRule::kCascade);
    // The names resolve in the declarations.
    EXPECT_GE(Decl(r[i].parent).FieldIndex(r[i].parent_field), 1);
    EXPECT_GE(Decl(r[i].child).FieldIndex(r[i].child_field), 1);
    EXPECT_GE(Decl(r[i].child).KeyIndex(r[i].child_key), 1);
  }
}

// PER:SOST as it stands in the record: seven bytes of code page 1251.
std::string Sost(std::string_view ansi) {
  std::string s(ansi);
  s.resize(7, ' ');
  return s;
}

TEST(TablesTest, SostRuleAcceptsTheFiveWordsAndBlankOnly) {
  struct Case {
    std::string value;
    bool accepted;
  } cases[] = {
      {Sost("\xC6\xE4\xE5\xF2"), true},              // Ждет + 3 spaces
      {Sost("\xC3\xEE\xF2\xEE\xE2"), true},          // Готов
      {Sost("\xC2 \xEF\xF3\xF2\xE8"), true},         // В пути
      {Sost("\xC2\xEE\xE7\xE2\xF0\xE0\xF2"), true},  // Возврат, fills the field
      {Sost("\xD0\xE5\xEC\xEE\xED\xF2"), true},      // Ремонт
      {Sost(""), true},                              // blank
      {"", true},
      {Sost("\xE6\xE4\xE5\xF2"), false},             // ждет: letter case counts
      {Sost(" \xC6\xE4\xE5\xF2"), false},            // leading space
      {Sost("\xC6\xE4\xE5"), false},                 // Жде: a part of a word
      {Sost("\xC2"), false},                         // В
      {Sost(" []"), false},                          // bracket fragment of the list
      {Sost("]["), false},
      {Sost("Ready"), false},
      {std::string("\xC6\xE4\xE5\xF2\0\0\0", 7), false},  // NUL padding is not blank
  };
  for (const Case& c : cases) EXPECT_EQ(PerSostAccepted(c.value), c.accepted) << c.value;
}

TEST(TablesTest, FieldChecksOfARecord) {
  const TableDecl& per = Decl(TableId::kPerevoz);
  std::vector<uint8_t> record(per.record_length(), ' ');
  EXPECT_FALSE(CheckFields(TableId::kPerevoz, record.data()));
  std::memcpy(record.data() + 220, "Unknown", 7);
  auto failure = CheckFields(TableId::kPerevoz, record.data());
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->field, "PER:sost");
  EXPECT_EQ(failure->message, "'Ждет','Готов','В пути','Возврат','Ремонт',' ',''");
  // Other tables have no checks, whatever their bytes.
  std::vector<uint8_t> gorod(Decl(TableId::kGorod).record_length(), 0xFF);
  EXPECT_FALSE(CheckFields(TableId::kGorod, gorod.data()));
}

}  // namespace
}  // namespace kel::dict
