#include "storage/table_desc.h"

#include <gtest/gtest.h>

#include <functional>

#include "storage/errors.h"

namespace kel {
namespace {

FieldDecl F(FieldType t, uint32_t offset, uint32_t size, std::string label = "T:F", uint32_t count = 1) {
  FieldDecl f;
  f.type = t;
  f.offset = offset;
  f.element_size = size;
  f.element_count = count;
  f.label = std::move(label);
  return f;
}

FieldDecl Group(uint32_t offset, uint32_t size, uint32_t members) {
  FieldDecl f = F(FieldType::kGroup, offset, size, "T:G");
  f.member_count = members;
  return f;
}

// A table of 30 bytes: LONG at 0, STRING(20) at 4, DECIMAL(6) at 24.
TableDecl Basic() {
  TableDecl d;
  d.label = "T";
  d.fields = {Group(0, 30, 3), F(FieldType::kLong, 0, 4, "T:NUM"), F(FieldType::kString, 4, 20, "T:NAME"),
              F(FieldType::kDecimal, 24, 6, "T:SUM")};
  d.fields[1].external_name = "NUMBER";
  KeyDecl k;
  k.label = "T:NUM_KEY";
  k.components = {{1, false}};
  d.keys.push_back(k);
  return d;
}

TEST(TableDesc, BuildsFieldListFromDeclaration) {
  TableDesc d;
  ASSERT_EQ(BuildTableDesc(Basic(), &d), 0);
  EXPECT_EQ(d.record_length, 30u);
  ASSERT_EQ(d.fields.size(), 4u);
  EXPECT_EQ(d.fields[1].name, "NUMBER");  // the external name wins
  EXPECT_EQ(d.fields[2].name, "T:NAME");
  EXPECT_EQ(d.fields[3].ordinal, 3u);
  EXPECT_EQ(d.fields[2].size, 20u);
  EXPECT_EQ(d.version(), 1);
  EXPECT_EQ(d.ValueLength(d.keys[0].components), 4u);
  for (const FieldDesc& f : d.fields) EXPECT_FALSE(f.overlay);
}

TEST(TableDesc, OverlaysAreFlaggedWithTheirGroupMembers) {
  TableDecl decl = Basic();
  // A GROUP overlaying the STRING at 4 with two members, and a PDECIMAL
  // overlaying the DECIMAL at 24.
  decl.fields.push_back(Group(4, 20, 2));
  decl.fields.push_back(F(FieldType::kString, 4, 10));
  decl.fields.push_back(F(FieldType::kPDecimal, 14, 10));
  decl.fields.push_back(F(FieldType::kPDecimal, 24, 6));
  decl.fields[0].member_count = 7;
  TableDesc d;
  ASSERT_EQ(BuildTableDesc(decl, &d), 0);
  for (size_t i = 4; i < 8; ++i) EXPECT_TRUE(d.fields[i].overlay) << i;
  EXPECT_FALSE(d.fields[2].overlay);
}

TEST(TableDesc, ValidationErrors) {
  struct Case {
    const char* what;
    std::function<void(TableDecl&)> change;
    int code;
  } cases[] = {
      {"record of 15001 bytes", [](TableDecl& d) { d.fields[0].element_size = 15001; d.fields[3].element_size = 14977; }, 47},
      {"record of 15000 bytes", [](TableDecl& d) { d.fields[0].element_size = 15000; d.fields[3].element_size = 14976; d.fields[3].type = FieldType::kString; }, 0},
      {"241 keys", [](TableDecl& d) { d.keys.resize(241, d.keys[0]); }, 47},
      {"240 keys", [](TableDecl& d) { d.keys.resize(240, d.keys[0]); }, 0},
      {"memo of 64001", [](TableDecl& d) { d.memos.push_back({"T:M", "", 64001, 0}); }, 47},
      {"memo of 64000", [](TableDecl& d) { d.memos.push_back({"T:M", "", 64000, 0}); }, 0},
      {"outermost not a GROUP", [](TableDecl& d) { d.fields[0].type = FieldType::kString; }, 75},
      {"no fields", [](TableDecl& d) { d.fields.clear(); d.keys.clear(); }, 75},
      {"gap", [](TableDecl& d) { d.fields[2].offset = 5; d.fields[2].element_size = 19; }, 75},
      {"overlay inside a field", [](TableDecl& d) { d.fields[3].offset = 10; d.fields[3].element_size = 6; }, 75},
      {"PDECIMAL outside an overlay", [](TableDecl& d) { d.fields[3].type = FieldType::kPDecimal; }, 79},
      {"unknown type 15", [](TableDecl& d) { d.fields[1].type = FieldType(15); }, 79},
      {"array key component", [](TableDecl& d) { d.fields[1].element_size = 2; d.fields[1].element_count = 2; }, 75},
      {"key component out of range", [](TableDecl& d) { d.keys[0].components[0].field = 9; }, 75},
      {"field beyond the record", [](TableDecl& d) { d.fields[3].element_size = 7; }, 75},
      {"group member gap", [](TableDecl& d) {
         d.fields[0].member_count = 5;
         d.fields[2] = Group(4, 20, 2);
         d.fields.insert(d.fields.begin() + 3, {F(FieldType::kString, 4, 10), F(FieldType::kString, 15, 10)});
       }, 75},
      {"group members in order", [](TableDecl& d) {
         d.fields[0].member_count = 5;
         d.fields[2] = Group(4, 20, 2);
         d.fields.insert(d.fields.begin() + 3, {F(FieldType::kString, 4, 10), F(FieldType::kCString, 14, 10)});
       }, 0},
      {"member count past the list", [](TableDecl& d) { d.fields[0].member_count = 9; }, 75},
  };
  for (const Case& c : cases) {
    TableDecl decl = Basic();
    c.change(decl);
    TableDesc d;
    EXPECT_EQ(BuildTableDesc(decl, &d), c.code) << c.what;
  }
}

TEST(TableDesc, ValidateRejectsDamagedDescriptions) {
  TableDesc good;
  ASSERT_EQ(BuildTableDesc(Basic(), &good), 0);
  EXPECT_EQ(ValidateTableDesc(good), 0);
  std::function<void(TableDesc&)> damage[] = {
      [](TableDesc& d) { d.fields[2].offset = 25; },
      [](TableDesc& d) { d.fields[2].size = 200; },
      [](TableDesc& d) { d.fields[2].element_size = 3; },
      [](TableDesc& d) { d.fields[1].type = 11; },
      [](TableDesc& d) { d.fields[1].ordinal = 7; },
      [](TableDesc& d) { d.keys[0].components[0].field = 4; },
      [](TableDesc& d) { d.record_length = 16000; },
      [](TableDesc& d) { d.fields[0].type = 18; },
  };
  for (auto& f : damage) {
    TableDesc d = good;
    f(d);
    EXPECT_EQ(ValidateTableDesc(d), 47);
  }
}

}  // namespace
}  // namespace kel
