#include "storage/def_stream.h"

#include <gtest/gtest.h>

#include <map>

namespace kel {
namespace {

TableDesc Desc() {
  TableDecl d;
  FieldDecl rec;
  rec.type = FieldType::kGroup, rec.element_size = 36, rec.member_count = 3, rec.label = "T:REC";
  FieldDecl num;
  num.type = FieldType::kDecimal, num.offset = 0, num.element_size = 4, num.places = 2, num.label = "T:NUM";
  FieldDecl name;
  name.type = FieldType::kString, name.offset = 4, name.element_size = 30, name.label = "T:NAME", name.picture = "@s30";
  FieldDecl day;
  day.type = FieldType::kShort, day.offset = 34, day.element_size = 2, day.label = "T:DAY";
  d.fields = {rec, num, name, day};
  d.memos = {{"T:NOTE", "", 1000, 0}, {"T:PIC", "PICTURE", 0, kMemoBlob | kMemoBinary}};
  KeyDecl k1{"T:NUM_KEY", "", "", kKeyFlag10, {{1, false}}};
  KeyDecl k2{"T:NAME_KEY", "NAMEKEY", "", kKeyDup | kKeyNoCase, {{2, true}, {1, false}}};
  d.keys = {k1, k2};
  TableDesc out;
  EXPECT_EQ(BuildTableDesc(d, &out), 0);
  return out;
}

struct Blocks {
  std::map<uint16_t, std::string> blocks;
  explicit Blocks(const TableDesc& d) {
    auto v = SplitDefinitionBlocks(SerializeDefinition(d));
    for (size_t i = 0; i < v.size(); ++i) blocks[uint16_t(i)] = v[i];
  }
  DefBlockFetcher fetcher() {
    return [this](uint16_t n, std::string* out) {
      auto it = blocks.find(n);
      if (it == blocks.end()) return false;
      *out = it->second;
      return true;
    };
  }
};

TEST(DefStream, ExactBytesOfASmallStream) {
  TableDesc d;
  d.record_length = 2;
  d.fields.push_back({.type = 22, .offset = 0, .name = "R", .element_count = 1, .size = 2, .element_size = 2, .picture = {}});
  d.fields.push_back({.type = 2, .offset = 0, .name = "", .element_count = 1, .size = 2, .ordinal = 1, .element_size = 2, .picture = {}});
  d.keys.push_back({.external_name = "", .has_external_name = false, .label = "K", .flags = 1, .components = {{1, true}}});
  std::string expected(
      "\x01\x00" "\x02\x00" "\x02\x00" "\x00\x00" "\x01\x00"
      "\x16" "\x00\x00" "R\0" "\x01\x00" "\x02\x00" "\x00\x00" "\x00\x00"
      "\x02" "\x00\x00" "\x00\x00" "\x01\x00" "\x02\x00" "\x00\x00" "\x01\x00"
      "\x00\x01" "K\0" "\x01" "\x01\x00" "\x01\x00" "\x01\x00",
      47);
  EXPECT_EQ(SerializeDefinition(d), expected);
}

TEST(DefStream, WriteThenReadGivesTheSameDescription) {
  TableDesc d = Desc();
  Blocks b(d);
  TableDesc back;
  ASSERT_EQ(ReadDefinition(b.fetcher(), &back), 0);
  EXPECT_EQ(SerializeDefinition(back), SerializeDefinition(d));
  EXPECT_EQ(back.version(), 2);
  EXPECT_EQ(back.fields[2].picture, "@s30");
  EXPECT_EQ(back.fields[1].places, 2);
  EXPECT_TRUE(back.memos[1].has_external_name);
  EXPECT_FALSE(back.memos[0].has_external_name);
  EXPECT_EQ(back.keys[1].components[0], (KeyComponent{2, true}));
  EXPECT_EQ(CompareDefinition(b.fetcher(), d), DefCompare::kEqual);
}

TEST(DefStream, BlocksOf512And513Bytes) {
  for (size_t len : {511u, 512u, 513u, 1024u, 1025u}) {
    std::string s(len, 'x');
    auto blocks = SplitDefinitionBlocks(s);
    ASSERT_EQ(blocks.size(), (len + 511) / 512) << len;
    EXPECT_EQ(blocks.front().size(), std::min<size_t>(512, len));
    EXPECT_EQ(blocks.back().size(), len - 512 * (blocks.size() - 1));
  }
  // A real description whose stream is exactly 512 bytes, then 513.
  TableDesc d = Desc();
  size_t base = SerializeDefinition(d).size();
  d.fields[3].name += std::string(512 - base, 'N');
  ASSERT_EQ(SerializeDefinition(d).size(), 512u);
  Blocks b512(d);
  ASSERT_EQ(b512.blocks.size(), 1u);
  EXPECT_EQ(CompareDefinition(b512.fetcher(), d), DefCompare::kEqual);
  d.fields[3].name += "N";
  Blocks b513(d);
  ASSERT_EQ(b513.blocks.size(), 2u);
  EXPECT_EQ(b513.blocks[1].size(), 1u);
  TableDesc back;
  ASSERT_EQ(ReadDefinition(b513.fetcher(), &back), 0);
  EXPECT_EQ(back.fields[3].name, d.fields[3].name);
}

TEST(DefStream, CompareAnswers) {
  struct Case {
    const char* what;
    std::function<void(TableDesc&)> change;
    DefCompare answer;
  } cases[] = {
      {"field name", [](TableDesc& d) { d.fields[2].name = "T:OTHER"; }, DefCompare::kNamesDiffer},
      {"picture", [](TableDesc& d) { d.fields[2].picture = "@s20"; }, DefCompare::kNamesDiffer},
      {"key label", [](TableDesc& d) { d.keys[0].label = "T:K"; }, DefCompare::kNamesDiffer},
      {"memo external name", [](TableDesc& d) { d.memos[0].external_name = "NOTE", d.memos[0].has_external_name = true; }, DefCompare::kNamesDiffer},
      {"key flag 0x10 only", [](TableDesc& d) { d.keys[0].flags &= ~kKeyFlag10; }, DefCompare::kEqual},
      {"BLOB size", [](TableDesc& d) { d.memos[1].size = 77; }, DefCompare::kEqual},
      {"memo flags", [](TableDesc& d) { d.memos[1].flags = kMemoBlob; }, DefCompare::kEqual},
      {"field offset", [](TableDesc& d) { d.fields[3].offset = 33; }, DefCompare::kStructureDiffers},
      {"field type", [](TableDesc& d) { d.fields[3].type = 3; }, DefCompare::kStructureDiffers},
      {"decimal places", [](TableDesc& d) { d.fields[1].places = 0; }, DefCompare::kStructureDiffers},
      {"string element size", [](TableDesc& d) { d.fields[2].element_size = 29; }, DefCompare::kStructureDiffers},
      {"memo size", [](TableDesc& d) { d.memos[0].size = 999; }, DefCompare::kStructureDiffers},
      {"key flag DUP", [](TableDesc& d) { d.keys[0].flags |= kKeyDup; }, DefCompare::kStructureDiffers},
      {"key direction", [](TableDesc& d) { d.keys[1].components[1].descending = true; }, DefCompare::kStructureDiffers},
      {"key count", [](TableDesc& d) { d.keys.pop_back(); }, DefCompare::kStructureDiffers},
      {"record length", [](TableDesc& d) { d.record_length = 40; }, DefCompare::kStructureDiffers},
      {"version", [](TableDesc& d) { d.memos[1].flags = 0; d.memos[1].size = 0; }, DefCompare::kStructureDiffers},
  };
  TableDesc stored = Desc();
  Blocks b(stored);
  for (const Case& c : cases) {
    TableDesc declared = Desc();
    c.change(declared);
    EXPECT_EQ(CompareDefinition(b.fetcher(), declared), c.answer) << c.what;
  }
}

TEST(DefStream, DamagedStreamsAnswer47) {
  TableDesc d = Desc();
  {
    Blocks b(d);  // no blocks at all: all zeros
    b.blocks.clear();
    TableDesc back;
    EXPECT_EQ(ReadDefinition(b.fetcher(), &back), 47);
    EXPECT_EQ(CompareDefinition(b.fetcher(), d), DefCompare::kStructureDiffers);
  }
  {
    Blocks b(d);  // a block longer than 512
    b.blocks[0].resize(600, 'z');
    TableDesc back;
    EXPECT_EQ(ReadDefinition(b.fetcher(), &back), 47);
  }
  {
    Blocks b(d);  // an offset that points beyond the record
    b.blocks[0][12] = char(0xF0);
    TableDesc back;
    EXPECT_EQ(ReadDefinition(b.fetcher(), &back), 47);
  }
  {
    // A string without end: every block is non-zero.
    Blocks b(d);
    std::string junk(512, 'A');
    junk[0] = 1, junk[1] = 0, junk[2] = 10, junk[3] = 0, junk[4] = 1, junk[5] = 0;
    junk[6] = 0, junk[7] = 0, junk[8] = 0, junk[9] = 0, junk[10] = 22, junk[11] = 0, junk[12] = 0;
    b.blocks.clear();
    for (uint16_t i = 0; i < 20; ++i) b.blocks[i] = i == 0 ? junk : std::string(512, 'A');
    TableDesc back;
    EXPECT_EQ(ReadDefinition(b.fetcher(), &back), 47);
  }
  // Every truncation of a valid stream reads back without overrunning.
  std::string s = SerializeDefinition(d);
  for (size_t n = 0; n < s.size(); ++n) {
    std::string cut = s.substr(0, n);
    DefBlockFetcher f = [&](uint16_t i, std::string* out) {
      if (i > 0 || cut.empty()) return false;
      *out = cut;
      return true;
    };
    TableDesc back;
    int rc = ReadDefinition(f, &back);
    EXPECT_TRUE(rc == 0 || rc == 47);
  }
}

}  // namespace
}  // namespace kel
