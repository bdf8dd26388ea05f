// The kelstore program as users run it: help, exit status, messages on bad
// input, export/import round trips, import refusals that leave the table
// as it was, build, demo data that the application opens.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <set>

#include "app/dictionary/tables.h"
#include "storage/lock_area.h"
#include "storage/table.h"
#include "tools/demo.h"
#include "tools/field_values.h"
#include "tools/text.h"
#include "tools/support/tool_testing.h"

namespace kel::tool {
namespace {

using test::ReadBytes;
using test::RunTool;
using test::ScratchDir;
using test::ToolRun;
using test::WriteBytes;

constexpr int kRW = open_mode::kReadWrite | open_mode::kDenyNone;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class CliTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    demo_ = new ScratchDir();
    ToolRun r = RunTool({"demo", demo_->path(), "--orders", "500"});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  static void TearDownTestSuite() {
    delete demo_;
    demo_ = nullptr;
  }
  std::string Demo(const std::string& table) { return *demo_ / (table + ".KST"); }
  std::string Copy(const std::string& table, const std::string& name) {
    WriteBytes(dir_ / name, ReadBytes(Demo(table)));
    return dir_ / name;
  }
  ToolRun Run(const std::vector<std::string>& args) { return RunTool(args, dir_.path()); }
  // An empty table of the application's declaration.
  std::string EmptyTable(dict::TableId id, const std::string& name) {
    Table t(dict::Decl(id));
    EXPECT_EQ(t.Create(dir_ / name), 0);
    return dir_ / (name + ".KST");
  }

  static ScratchDir* demo_;
  ScratchDir dir_;
};
ScratchDir* CliTest::demo_ = nullptr;

TEST_F(CliTest, HelpForTheToolAndEveryCommand) {
  ToolRun r = Run({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Contains(r.out, "Usage: kelstore COMMAND"));
  for (const char* cmd : {"info", "schema", "check", "export", "import", "build", "demo"}) {
    r = Run({cmd, "--help"});
    EXPECT_EQ(r.status, 0) << cmd;
    EXPECT_TRUE(Contains(r.out, std::string("Usage: kelstore ") + cmd)) << cmd << ": " << r.out;
    r = Run({"help", cmd});
    EXPECT_EQ(r.status, 0) << cmd;
  }
}

TEST_F(CliTest, MisuseAnswersTwoWithAMessage) {
  const std::string file = Copy("GOROD", "GOROD.KST");
  ::mkdir((dir_ / "adir").c_str(), 0755);
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{}, "Usage"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"info"}, "missing arguments"},
      {{"info", file, "extra"}, "too many arguments"},
      {{"check", file, "--bogus"}, "unknown option '--bogus'"},
      {{"export", file, "--format"}, "option --format needs a value"},
      {{"export", file, "--format", "xml"}, "unknown format 'xml'"},
      {{"export", file, "--key", "NO_SUCH_KEY"}, "the table has no key 'NO_SUCH_KEY' (keys: GOR:NUM_KEY, GOR:NOM_KEY)"},
      {{"info", dir_ / "missing.KST"}, "No such file or directory"},
      {{"check", dir_ / "adir"}, "is a directory, not a table file"},
      {{"export", dir_ / "adir"}, "is a directory"},
      {{"export", file + "\\!NOPE"}, "holds no table NOPE (it holds: UNNAMED)"},
      {{"schema", file + "\\!NOPE"}, "holds no table NOPE"},
      {{"import", file, dir_ / "missing.csv"}, "missing.csv"},
      {{"demo", dir_ / "missing-dir"}, "is not a directory"},
      {{"demo", dir_.path(), "--orders", "-5"}, "--orders takes a number"},
  };
  for (const Case& c : cases) {
    ToolRun r = Run(c.args);
    std::string line;
    for (const std::string& a : c.args) line += a + " ";
    EXPECT_EQ(r.status, 2) << line << "\n" << r.err;
    EXPECT_TRUE(Contains(r.err, c.message)) << line << "\n" << r.err;
  }
  // The extension is added when the file is named without it.
  EXPECT_EQ(Run({"info", dir_ / "GOROD"}).status, 0);
}

TEST_F(CliTest, ForeignAndDamagedFilesAnswerOneAndNeverCrash) {
  WriteBytes(dir_ / "text.KST", std::string(2000, 'x'));
  WriteBytes(dir_ / "short.KST", std::string(100, '\0'));
  std::string damaged = Copy("RABOTA", "DAMAGED.KST");
  {
    std::string bytes = ReadBytes(damaged);
    for (size_t i = 2048; i < bytes.size(); i += 700) bytes[i] = char(bytes[i] ^ 0x5A);
    WriteBytes(damaged, bytes);
  }
  for (std::string cmd : {"info", "schema", "check", "export", "build"}) {
    for (const std::string& f : {dir_ / "text.KST", dir_ / "short.KST"}) {
      ToolRun r = Run({cmd, f});
      EXPECT_EQ(r.status, 1) << cmd << " " << f << "\n" << r.err;
      EXPECT_TRUE(Contains(r.err + r.out, "not a table file")) << cmd << " " << f << "\n" << r.err << r.out;
    }
    ToolRun r = Run({cmd, damaged});
    EXPECT_LT(r.status, 3) << cmd << " crashed or ended through an internal error\n" << r.err;
  }
  ToolRun r = Run({"check", damaged});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.out, "problems found")) << r.out;
}

TEST_F(CliTest, EncipheredFileWithAndWithoutPassword) {
  TableDecl decl = dict::Decl(dict::TableId::kAvto);
  decl.owner = "tajna";
  {
    Table t(decl);
    ASSERT_EQ(t.Create(dir_ / "SECRET"), 0);
    ASSERT_EQ(t.Open(dir_ / "SECRET", kRW), 0);
    std::memset(t.record(), ' ', t.record_length());
    std::memset(t.record(), 0, 4);
    t.record()[3] = 0x42;
    std::memcpy(t.record() + 4, "\xCA\xE0\xEC\xC0\xC7", 5);   // КамАЗ in code page 1251
    ASSERT_EQ(t.Add(), 0);
    ASSERT_EQ(t.Close(), 0);
  }
  const std::string file = dir_ / "SECRET.KST";
  for (std::string cmd : {"info", "schema", "check", "export"}) {
    ToolRun r = Run({cmd, file});
    EXPECT_EQ(r.status, 1) << cmd;
    EXPECT_TRUE(Contains(r.err + r.out, "--password")) << cmd << ": " << r.err << r.out;
    r = Run({cmd, file, "--password", "tajna"});
    EXPECT_EQ(r.status, 0) << cmd << ": " << r.err;
  }
  ToolRun r = Run({"export", file, "--password=tajna"});
  EXPECT_EQ(r.out, "AVT:NUM,AVT:NOM\n42,КамАЗ\n");
}

TEST_F(CliTest, InfoAndSchemaShowWhatTheFileHolds) {
  ToolRun r = Run({"info", Demo("PEREVOZ")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "Pending log:         none"));
  EXPECT_TRUE(Contains(r.out, "UNNAMED (number 1): "));
  EXPECT_TRUE(Contains(r.out, "key PER:GRUZ_KEY: "));
  EXPECT_TRUE(Contains(r.out, "complete"));
  r = Run({"schema", Demo("PEREVOZ")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "record length 497 bytes"));
  EXPECT_TRUE(Contains(r.out, "PER:GRUZ                DECIMAL(7,2)        158      4"));
  EXPECT_TRUE(Contains(r.out, "PER:SOST                STRING(7)           220      7      1  @s7"));
  EXPECT_TRUE(Contains(r.out, "PER:NUM_KEY  OPT NOCASE PRIMARY unique (0x0e)"));
  EXPECT_TRUE(Contains(r.out, "components: +PER:NUMFIRMA"));
  r = Run({"info", Demo("GOROD"), "-o", dir_ / "info.txt"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out.empty());
  EXPECT_TRUE(Contains(ReadBytes(dir_ / "info.txt"), "Change count:"));
  // -o never overwrites the table file itself.
  std::string file = Copy("GOROD", "G.KST");
  r = Run({"export", file, "-o", file});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(ReadBytes(file), ReadBytes(Demo("GOROD")));
}

// Every record of a table in key order (record images, code page 1251).
std::vector<std::string> Images(dict::TableId id, const std::string& file) {
  std::vector<std::string> out;
  Table t(dict::Decl(id));
  EXPECT_EQ(t.Open(file, open_mode::kReadOnly | open_mode::kDenyNone), 0);
  EXPECT_EQ(t.SetKey(0), 0);
  while (t.Next() == 0) out.emplace_back(reinterpret_cast<const char*>(t.record()), t.record_length());
  t.Close();
  return out;
}

TEST_F(CliTest, ExportThenImportIntoAnEmptyTableReproducesTheRecords) {
  struct Case {
    dict::TableId id;
    const char* table;
    const char* format;
  } cases[] = {
      {dict::TableId::kRabota, "RABOTA", "csv"},
      {dict::TableId::kPerevoz, "PEREVOZ", "tsv"},
      {dict::TableId::kKlient, "KLIENT", "csv"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.table);
    const std::string before = ReadBytes(Demo(c.table));
    const std::string text = dir_ / (std::string(c.table) + "." + c.format);
    ToolRun r = Run({"export", Demo(c.table), "--format", c.format, "-o", text});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadBytes(Demo(c.table)), before) << "export changed the file";
    const std::string target = EmptyTable(c.id, std::string("NEW") + c.table);
    r = Run({"import", target, text});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Images(c.id, target), Images(c.id, Demo(c.table)));
    r = Run({"export", target, "--format", c.format});
    EXPECT_EQ(r.out, ReadBytes(text));
    r = Run({"check", target});
    EXPECT_EQ(r.status, 0) << r.out;
  }
}

TEST_F(CliTest, LargeImportAppendsThenBuildsTheKeys) {
  std::string csv = "GOR:NUM,GOR:NOM\n";
  for (int i = 3000; i > 0; --i) csv += std::to_string(i) + ",Город " + std::to_string(i % 97) + "\n";
  WriteBytes(dir_ / "big.csv", csv);
  const std::string target = EmptyTable(dict::TableId::kGorod, "BIG");
  ToolRun r = Run({"import", target, dir_ / "big.csv"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = Run({"check", target});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_FALSE(Contains(r.out, "incomplete")) << r.out;
  r = Run({"info", target});
  EXPECT_TRUE(Contains(r.out, "3000 records")) << r.out;
  EXPECT_TRUE(Contains(r.out, "key GOR:NOM_KEY: 3000 entries, complete")) << r.out;
  r = Run({"export", target, "--record-order"});
  EXPECT_EQ(r.out, csv);
}

// A table of other field types with a MEMO and a BLOB, declared here.
TableDecl NotesDecl() {
  TableDecl d;
  d.label = d.file_name = "NOTES";
  d.prefix = "NOT";
  d.oem = true;
  const auto field = [&](FieldType type, const char* label, uint32_t offset, uint32_t size, uint32_t count = 1) {
    FieldDecl f;
    f.type = type;
    f.label = label;
    f.offset = offset;
    f.element_size = size;
    f.element_count = count;
    d.fields.push_back(f);
  };
  field(FieldType::kGroup, "NOT:RECORD", 0, 24);
  d.fields[0].member_count = 4;
  field(FieldType::kLong, "NOT:ID", 0, 4);
  field(FieldType::kCString, "NOT:TAG", 4, 10);
  field(FieldType::kTime, "NOT:AT", 14, 4);
  field(FieldType::kShort, "NOT:X", 18, 2, 3);   // an array: three columns
  KeyDecl key;
  key.label = "NOT:ID_KEY";
  key.flags = kKeyOpt;
  key.components = {{1, false}};
  d.keys.push_back(key);
  KeyDecl tag;
  tag.label = "NOT:TAG_KEY";
  tag.flags = kKeyDup | kKeyNoCase;
  tag.components = {{2, true}};
  d.keys.push_back(tag);
  MemoDecl memo;
  memo.label = "NOT:TEXT";
  memo.size = 300;
  d.memos.push_back(memo);
  MemoDecl blob;
  blob.label = "NOT:DATA";
  blob.size = 1000;
  blob.flags = kMemoBlob;
  d.memos.push_back(blob);
  return d;
}

TEST_F(CliTest, MemosArraysAndOtherTypesRoundTrip) {
  const TableDecl decl = NotesDecl();
  const std::string source = dir_ / "NOTES";
  {
    Table t(decl);
    ASSERT_EQ(t.Create(source), 0);
    ASSERT_EQ(t.Open(source, kRW), 0);
    for (int i = 1; i <= 3; ++i) {
      std::memset(t.record(), 0, t.record_length());
      int32_t id = -i * 1000;
      std::memcpy(t.record(), &id, 4);
      std::memcpy(t.record() + 4, i == 2 ? "\xE0\xE1\xE2" : "tag", 3);
      uint32_t at = (13u << 24) | (uint32_t(i) << 16) | (5u << 8) | 7u;
      std::memcpy(t.record() + 14, &at, 4);
      int16_t arr[3] = {int16_t(-i), 0, int16_t(i * 300)};
      std::memcpy(t.record() + 18, arr, 6);
      t.memos()[0].assign(300, ' ');
      std::string text = "Строка " + std::to_string(i) + ", с запятой и \"кавычками\"\nи второй строкой";
      std::string ansi, error;
      ASSERT_TRUE(Utf8ToAnsi(text, &ansi, &error));
      t.memos()[0].replace(0, ansi.size(), ansi);
      t.memos()[1] = i == 3 ? std::string() : std::string(300 * i, char(i));
      ASSERT_EQ(t.Add(), 0);
    }
    ASSERT_EQ(t.Close(), 0);
  }
  const std::string file = source + ".KST";
  ToolRun r = Run({"export", file, "-o", dir_ / "notes.csv"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string csv = ReadBytes(dir_ / "notes.csv");
  EXPECT_EQ(csv.substr(0, csv.find('\n')), "NOT:ID,NOT:TAG,NOT:AT,NOT:X[1],NOT:X[2],NOT:X[3],NOT:TEXT,NOT:DATA");
  EXPECT_TRUE(Contains(csv, "\n-3000,tag,13:03:05.07,-3,0,900,\"Строка 3, с запятой и \"\"кавычками\"\"\nи второй строкой\",\n"))
      << csv;
  const std::string target = dir_ / "COPY";
  {
    Table t(decl);
    ASSERT_EQ(t.Create(target), 0);
  }
  r = Run({"import", target + ".KST", dir_ / "notes.csv"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = Run({"export", target + ".KST"});
  EXPECT_EQ(r.out, csv);
  // Memos and images alike, record by record in the order of the export.
  Table a(decl), b(decl);
  ASSERT_EQ(a.Open(file, kRW), 0);
  ASSERT_EQ(b.Open(target + ".KST", kRW), 0);
  ASSERT_EQ(a.SetKey(0), 0);
  ASSERT_EQ(b.SetKey(0), 0);
  int n = 0;
  while (a.Next() == 0) {
    ASSERT_EQ(b.Next(), 0);
    EXPECT_EQ(std::memcmp(a.record(), b.record(), a.record_length()), 0);
    EXPECT_EQ(a.memos(), b.memos());
    ++n;
  }
  EXPECT_EQ(n, 3);
  EXPECT_NE(b.Next(), 0);
  r = Run({"check", target + ".KST"});
  EXPECT_EQ(r.status, 0) << r.out;
}

TEST_F(CliTest, ExportOrdersAndJson) {
  ToolRun r = Run({"export", Demo("GOROD"), "--key", "gor:nom_key"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find('\n', 16) + 1), "GOR:NUM,GOR:NOM\n41,Архангельск\n");
  r = Run({"export", Demo("GOROD"), "--record-order", "--format", "json"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string first = "[\n  {\"GOR:NUM\": 1, \"GOR:NOM\": \"Москва\"},\n";
  EXPECT_EQ(r.out.substr(0, first.size()), first);
  r = Run({"export", Demo("RABOTA"), "--format", "json"});
  EXPECT_TRUE(Contains(r.out, "\"RAB:DATA_KF\": null")) << "current orders have no unloading date";
  EXPECT_TRUE(Contains(r.out, "\"RAB:V\": ")) << "DECIMAL written as a number";
}

TEST_F(CliTest, BadImportStopsWithItsRowAndLeavesTheTableAsItWas) {
  const std::string file = Copy("GOROD", "GOROD.KST");
  const std::string header = "GOR:NUM,GOR:NOM\n";
  struct Case {
    const char* name;
    std::string csv;
    const char* message;
  } cases[] = {
      {"too few columns", header + "101,Пушкин\n102\n", "row 3 (line 3): 1 columns, the table has 2"},
      {"too many columns", header + "101,Пушкин,x\n", "row 2 (line 2): 3 columns"},
      {"name too long", header + "101," + std::string(51, 'z') + "\n", "row 2 (line 2), column GOR:NOM: 51 characters, the field holds 50"},
      {"number with places", header + "101.5,Пушкин\n", "column GOR:NUM: '101.5' has more than 0 decimal places"},
      {"character outside 1251", header + "101,Пушкин \xE2\x98\xBA\n", "U+263A"},
      {"unique key repeated in the input", header + "101,A\n102,B\n101,C\n", "row 4: the value of unique key GOR:NUM_KEY repeats row 2"},
      {"unique key already in the table", header + "101,A\n7,B\n", "row 3: the value of unique key GOR:NUM_KEY is already in the table"},
      {"quote never closed", header + "101,\"Пушкин\n", "the quote opened on line 2 is never closed"},
      {"code page 1251 input", header + "101,\xCF\xF3\xF8\xEA\xE8\xED\n", "row 2 (line 2): field 2 is not valid UTF-8"},
      {"unknown column", "GOR:NUM,GOR:NAME\n", "'GOR:NAME' is not a field of the table"},
      {"column named twice", "GOR:NUM,gor:num\n", "column 'gor:num' is named twice"},
      {"empty input", "", "the input is empty"},
  };
  const std::string before = ReadBytes(file);
  for (const Case& c : cases) {
    WriteBytes(dir_ / "in.csv", c.csv);
    ToolRun r = Run({"import", file, dir_ / "in.csv"});
    EXPECT_EQ(r.status, 1) << c.name << "\n" << r.err;
    EXPECT_TRUE(Contains(r.err, c.message)) << c.name << "\n" << r.err;
    EXPECT_TRUE(Contains(r.err, "nothing was imported")) << c.name;
    EXPECT_TRUE(ReadBytes(file) == before) << c.name << ": the table changed";
  }
  // A good file then goes in, with CRLF lines, quotes and a header in
  // another column order.
  WriteBytes(dir_ / "in.csv", "gor:nom,GOR:NUM\r\n\"Пушкин, город\",101\r\n\"\"\"Кавычки\"\"\",102\r\n");
  ToolRun r = Run({"import", file, dir_ / "in.csv"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = Run({"export", file, "--key", "1"});
  EXPECT_TRUE(Contains(r.out, "\n101,\"Пушкин, город\"\n102,\"\"\"Кавычки\"\"\"\n")) << r.out;
  EXPECT_EQ(Run({"check", file}).status, 0);
  // --no-header takes the fields in order.
  WriteBytes(dir_ / "in.tsv", "103\tКолпино\n");
  r = Run({"import", file, dir_ / "in.tsv", "--no-header"});
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(CliTest, BuildRebuildsKeysAndReportsDuplicates) {
  const std::string file = Copy("PEREVOZ", "PEREVOZ.KST");
  ToolRun r = Run({"build", file});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Images(dict::TableId::kPerevoz, file), Images(dict::TableId::kPerevoz, Demo("PEREVOZ")));
  EXPECT_FALSE(Contains(r.err, "\r")) << "no progress bar when stderr is not a terminal";
  r = Run({"check", file});
  EXPECT_EQ(r.status, 0) << r.out;

  // An appended record repeats a city number: the keys are left incomplete
  // (check notes it), and the build finds the duplicate.
  const std::string cities = Copy("GOROD", "GOROD.KST");
  {
    Table t(dict::Decl(dict::TableId::kGorod));
    ASSERT_EQ(t.Open(cities, kRW), 0);
    std::memset(t.record(), ' ', t.record_length());
    std::memset(t.record(), 0, 4);
    t.record()[3] = 0x07;
    std::memcpy(t.record() + 4, "\xC4\xF3\xE1\xEB\xFC", 5);   // Дубль
    ASSERT_EQ(t.Append(), 0);
    ASSERT_EQ(t.Close(), 0);
  }
  r = Run({"check", cities});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Contains(r.out, "incomplete from record")) << r.out;
  r = Run({"build", cities});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "key GOR:NUM_KEY of ")) << r.err;
  EXPECT_TRUE(Contains(r.err, "has duplicate values")) << r.err;
  r = Run({"check", cities});
  EXPECT_EQ(r.status, 0) << r.out;
}

TEST_F(CliTest, DemoDataIsWhatTheApplicationOpens) {
  for (dict::TableId id : dict::AllTables()) {
    const TableDecl& decl = dict::Decl(id);
    SCOPED_TRACE(decl.label);
    ToolRun r = Run({"check", Demo(decl.file_name)});
    EXPECT_EQ(r.status, 0) << r.out;
    // Opened by its declaration as the application opens it: the stored
    // definition matches.
    Table t(decl);
    ASSERT_EQ(t.Open(*demo_ / decl.file_name, kRW), 0);
    uint64_t n = 0;
    EXPECT_EQ(t.Records(&n), 0);
    EXPECT_GT(n, 0u);
    EXPECT_EQ(t.Close(), 0);
  }
  // Units in every state, each accepted by the field rule.
  Table units(dict::Decl(dict::TableId::kPerevoz));
  ASSERT_EQ(units.Open(Demo("PEREVOZ"), kRW), 0);
  const TableDecl& pd = dict::Decl(dict::TableId::kPerevoz);
  const FieldDecl& sost = pd.fields[size_t(pd.FieldIndex("PER:SOST"))];
  std::set<std::string> states;
  ASSERT_EQ(units.SetFile(), 0);
  while (units.Next() == 0) {
    std::string v(reinterpret_cast<const char*>(units.record()) + sost.offset, sost.size());
    EXPECT_TRUE(dict::PerSostAccepted(v)) << v;
    states.insert(v);
  }
  EXPECT_EQ(states.size(), 5u);
  units.Close();
  // Orders: archived ones carry RAB:DATA_KF, current ones do not; numbers
  // run from 1 without gaps, so the next order number follows the last.
  const TableDecl& rd = dict::Decl(dict::TableId::kRabota);
  const FieldDecl& kf = rd.fields[size_t(rd.FieldIndex("RAB:DATA_KF"))];
  int archived = 0, current = 0;
  for (const std::string& img : Images(dict::TableId::kRabota, Demo("RABOTA"))) {
    uint32_t date = 0;
    std::memcpy(&date, img.data() + kf.offset, 4);
    (date ? archived : current)++;
  }
  EXPECT_EQ(archived + current, 500);
  EXPECT_GT(archived, 300);
  EXPECT_GT(current, 20);
  ToolRun r = Run({"export", Demo("RABOTA"), "--key", "RAB:NUM_KEY"});
  EXPECT_TRUE(Contains(r.out, "\n500,")) << "last order number";
}

}  // namespace
}  // namespace kel::tool
