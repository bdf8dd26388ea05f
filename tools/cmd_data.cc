// kelstore export, import and build: records out of and into a table
// through the record operations, and key rebuilds.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <set>

#include "storage/errors.h"
#include "storage/key_build.h"
#include "storage/lock_area.h"
#include "storage/record_kinds.h"
#include "storage/table.h"
#include "storage/table_records.h"
#include "tools/cli.h"
#include "tools/command_support.h"
#include "tools/delimited.h"
#include "tools/field_values.h"
#include "tools/table_file.h"
#include "tools/text.h"

namespace kel::tool {
namespace {

constexpr int kReadShared = open_mode::kReadOnly | open_mode::kDenyNone;
// Import and build keep other writers out while they run, so what was
// checked stays true until it is written.
constexpr int kWriteDenyWrite = open_mode::kReadWrite | open_mode::kDenyWrite;

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(uint8_t(c)));
  return s;
}

// A column of the text form: a field element or a memo.
struct TextColumn {
  std::string name;       // UTF-8
  bool is_memo = false;
  Column column{};        // field element
  size_t memo = 0;        // memo number
};

std::vector<TextColumn> TextColumns(const TableDesc& desc) {
  std::vector<TextColumn> out;
  for (const Column& c : ColumnsOf(desc)) {
    TextColumn t;
    t.name = AnsiToUtf8(c.name);
    t.column = c;
    out.push_back(t);
  }
  for (size_t m = 0; m < desc.memos.size(); ++m) {
    TextColumn t;
    const MemoDesc& md = desc.memos[m];
    t.name = AnsiToUtf8(md.label.empty() ? md.external_name : md.label);
    t.is_memo = true;
    t.memo = m;
    out.push_back(t);
  }
  return out;
}

std::string Hex(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (char c : bytes) {
    out += digits[uint8_t(c) >> 4];
    out += digits[uint8_t(c) & 15];
  }
  return out;
}

bool Unhex(std::string_view text, std::string* out) {
  if (text.size() % 2) return false;
  out->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    auto nib = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    int a = nib(text[i]), b = nib(text[i + 1]);
    if (a < 0 || b < 0) return false;
    *out += char(a << 4 | b);
  }
  return true;
}

std::string MemoText(const MemoDesc& md, const std::string& value) {
  if (md.blob() || md.binary()) return Hex(value);
  size_t len = value.size();
  while (len > 0 && value[len - 1] == ' ') --len;
  return AnsiToUtf8(std::string_view(value).substr(0, len));
}

bool ParseMemo(const MemoDesc& md, std::string_view text, std::string* value, std::string* error) {
  if (md.blob() || md.binary()) {
    if (!Unhex(text, value)) {
      *error = "not hexadecimal bytes";
      return false;
    }
  } else if (!Utf8ToAnsi(text, value, error)) {
    return false;
  }
  if (!md.blob() && value->size() > md.size) {
    *error = std::to_string(value->size()) + " bytes, the memo holds " + std::to_string(md.size);
    return false;
  }
  if (!md.blob()) value->resize(md.size, md.binary() ? '\0' : ' ');
  return true;
}

// The key named by --key: its label or external name (without regard to
// case) or its number from 1. -1 when none matches.
int FindKey(const TableDesc& desc, const std::string& name) {
  for (size_t k = 0; k < desc.keys.size(); ++k) {
    if (Lower(AnsiToUtf8(desc.keys[k].label)) == Lower(name) ||
        (!desc.keys[k].external_name.empty() && Lower(AnsiToUtf8(desc.keys[k].external_name)) == Lower(name)))
      return int(k);
  }
  if (!name.empty() && std::all_of(name.begin(), name.end(), ::isdigit)) {
    size_t n = std::stoul(name);
    if (n >= 1 && n <= desc.keys.size()) return int(n - 1);
  }
  return -1;
}

std::string KeyLabel(const KeyDesc& k) { return AnsiToUtf8(k.label.empty() ? k.external_name : k.label); }

int OpenTable(const Invocation& inv, Table& table, const ResolvedTable& rt, int mode) {
  int rc = table.Open(rt.Name(), mode);
  if (rc == 0) return 0;
  std::string what = EngineError(rc);
  if (rc == kAccessDenied) what += ": the file is in use, or not writable";
  if (rc == kInvalidDataFile && inv.Get("--password").empty()) what += "; if the file is enciphered, give --password";
  *inv.err << "kelstore " << inv.command << ": cannot open " << rt.Name() << ": " << what << "\n";
  return OpenErrorStatus(rc);
}

}  // namespace

int CmdExport(const Invocation& inv) {
  const std::string format = inv.Get("--format", "csv");
  if (format != "csv" && format != "tsv" && format != "json") {
    *inv.err << "kelstore export: unknown format '" << format << "' (csv, tsv or json)\n";
    return kExitMisuse;
  }
  if (inv.Has("--key") && inv.Has("--record-order")) {
    *inv.err << "kelstore export: --key and --record-order exclude each other\n";
    return kExitMisuse;
  }
  ResolvedTable rt;
  if (int st = ResolveTable(inv, inv.operands[0], &rt)) return st;
  OutputSink sink;
  if (int st = sink.Open(inv, rt.path)) return st;

  TableDecl decl;   // no fields: the stored definition is used
  decl.owner = inv.Get("--password");
  Table table(decl);
  if (int st = OpenTable(inv, table, rt, kReadShared)) return st;
  const TableDesc& desc = table.desc();
  const std::vector<TextColumn> cols = TextColumns(desc);

  uint64_t records = 0;
  table.Records(&records);
  int key = -1;
  if (inv.Has("--key")) {
    key = FindKey(desc, inv.Get("--key"));
    if (key < 0 || desc.keys[key].dynamic()) {
      std::string list;
      for (const KeyDesc& k : desc.keys)
        if (!k.dynamic()) list += (list.empty() ? "" : ", ") + KeyLabel(k);
      *inv.err << "kelstore export: the table has no key '" << inv.Get("--key") << "' (keys: " << list << ")\n";
      return kExitMisuse;
    }
  } else if (!inv.Has("--record-order")) {
    // The first key, when it lists every record (an OPT key leaves out
    // records that are blank for it; an incomplete key misses some).
    for (size_t k = 0; k < desc.keys.size() && key < 0; ++k) {
      if (desc.keys[k].dynamic()) continue;
      uint64_t entries = 0;
      if (table.RecordsKey(k, &entries) == 0 && entries == records) key = int(k);
      break;
    }
  }
  if (key >= 0) {
    uint64_t entries = 0;
    table.RecordsKey(size_t(key), &entries);
    if (entries != records)
      *inv.err << "kelstore export: note: key " << KeyLabel(desc.keys[key]) << " lists " << entries << " of "
               << records << " records (use --record-order for all)\n";
  }

  std::ostream& out = sink.stream();
  const char delim = format == "tsv" ? '\t' : ',';
  std::vector<std::string> cells;
  if (format != "json") {
    for (const TextColumn& c : cols) cells.push_back(c.name);
    WriteDelimitedRow(out, delim, cells);
  } else {
    out << "[";
  }
  int rc = key >= 0 ? table.SetKey(size_t(key)) : table.SetFile();
  uint64_t n = 0;
  Progress progress(*inv.err, "export");
  while (rc == 0 && (rc = table.Next()) == 0) {
    const uint8_t* image = table.record();
    cells.clear();
    for (const TextColumn& c : cols)
      cells.push_back(c.is_memo ? MemoText(desc.memos[c.memo], table.memos()[c.memo]) : FormatValue(c.column, image));
    if (format == "json") {
      out << (n ? ",\n  {" : "\n  {");
      for (size_t i = 0; i < cols.size(); ++i) {
        out << (i ? ", " : "") << JsonString(cols[i].name) << ": ";
        const bool numeric = !cols[i].is_memo && IsNumeric(cols[i].column);
        if (numeric) {
          out << cells[i];
        } else if (cells[i].empty() && !cols[i].is_memo && cols[i].column.field->type == uint8_t(FieldType::kDate)) {
          out << "null";
        } else {
          out << JsonString(cells[i]);
        }
      }
      out << "}";
    } else {
      WriteDelimitedRow(out, delim, cells);
    }
    ++n;
    if (n % 1024 == 0) progress.Update(n, records);
  }
  progress.Finish();
  if (format == "json") out << (n ? "\n]\n" : "]\n");
  int close_rc = table.Close();
  if (rc != kRecordNotAvailable) {
    *inv.err << "kelstore export: reading " << rt.Name() << " failed after " << n << " records: " << EngineError(rc)
             << "\n";
    sink.Close(inv);
    return kExitFinding;
  }
  (void)close_rc;   // a read-only close has nothing to commit
  if (int st = sink.Close(inv)) return st;
  *inv.err << "exported " << n << (n == 1 ? " record" : " records") << " of " << rt.Name() << "\n";
  return kExitOk;
}

int CmdImport(const Invocation& inv) {
  const std::string& input_name = inv.operands[1];
  std::string format = inv.Get("--format");
  if (format.empty()) format = input_name.size() > 4 && Lower(input_name.substr(input_name.size() - 4)) == ".tsv" ? "tsv" : "csv";
  if (format != "csv" && format != "tsv") {
    *inv.err << "kelstore import: unknown format '" << format << "' (csv or tsv)\n";
    return kExitMisuse;
  }
  std::string bad = CheckRegularFile(input_name);
  if (!bad.empty()) {
    *inv.err << "kelstore import: " << bad << "\n";
    return kExitMisuse;
  }
  std::ifstream input(input_name, std::ios::binary);
  if (!input) {
    *inv.err << "kelstore import: cannot read " << input_name << "\n";
    return kExitMisuse;
  }
  ResolvedTable rt;
  if (int st = ResolveTable(inv, inv.operands[0], &rt)) return st;
  TableDecl decl;
  decl.owner = inv.Get("--password");
  Table table(decl);
  if (int st = OpenTable(inv, table, rt, kWriteDenyWrite)) return st;
  const TableDesc& desc = table.desc();
  const std::vector<TextColumn> cols = TextColumns(desc);
  const auto fail = [&](const std::string& what) {
    *inv.err << "kelstore import: " << input_name << ", " << what << "; nothing was imported\n";
    table.Close();
    return kExitFinding;
  };

  // Read and check every row before anything is added.
  DelimitedReader reader(input, format == "tsv" ? '\t' : ',');
  DelimitedRow row;
  std::vector<size_t> order(cols.size());   // input column -> table column
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  if (!inv.Has("--no-header")) {
    if (!reader.Next(&row)) return fail(reader.error().empty() ? "the input is empty" : reader.error());
    std::vector<bool> seen(cols.size(), false);
    if (row.cells.size() != cols.size())
      return fail("row 1 (the header): " + std::to_string(row.cells.size()) + " columns, the table has " +
                  std::to_string(cols.size()));
    for (size_t i = 0; i < row.cells.size(); ++i) {
      size_t found = cols.size();
      for (size_t c = 0; c < cols.size(); ++c)
        if (Lower(cols[c].name) == Lower(row.cells[i])) found = c;
      if (found == cols.size()) return fail("row 1 (the header): '" + row.cells[i] + "' is not a field of the table");
      if (seen[found]) return fail("row 1 (the header): column '" + row.cells[i] + "' is named twice");
      seen[found] = true;
      order[i] = found;
    }
  }
  struct Pending {
    std::string image;
    MemoValues memos;
    size_t row;
  };
  std::vector<Pending> rows;
  Progress progress(*inv.err, "import");
  while (reader.Next(&row)) {
    if (row.cells.size() != cols.size())
      return fail("row " + std::to_string(row.number) + " (line " + std::to_string(row.line) + "): " +
                  std::to_string(row.cells.size()) + " columns, the table has " + std::to_string(cols.size()));
    Pending p{std::string(desc.record_length, '\0'), MemoValues(desc.memos.size()), row.number};
    for (size_t m = 0; m < desc.memos.size(); ++m)
      if (!desc.memos[m].blob()) p.memos[m].assign(desc.memos[m].size, ' ');
    for (size_t i = 0; i < row.cells.size(); ++i) {
      const TextColumn& c = cols[order[i]];
      std::string error;
      bool ok = c.is_memo ? ParseMemo(desc.memos[c.memo], row.cells[i], &p.memos[c.memo], &error)
                          : ParseValue(c.column, row.cells[i], reinterpret_cast<uint8_t*>(p.image.data()), &error);
      if (!ok)
        return fail("row " + std::to_string(row.number) + " (line " + std::to_string(row.line) + "), column " +
                    c.name + ": " + error);
    }
    rows.push_back(std::move(p));
  }
  if (!reader.error().empty()) return fail(reader.error());

  // Unique keys: within the input, then against the table.
  TableKeys* keys = table.keys();
  for (size_t k = 0; k < desc.keys.size(); ++k) {
    const KeyDesc& key = desc.keys[k];
    if (key.dup() || key.dynamic()) continue;
    std::map<std::string, size_t> first_row;
    for (const Pending& p : rows) {
      const auto* img = reinterpret_cast<const uint8_t*>(p.image.data());
      bool blank = false;
      std::string value;
      int rc = Guarded([&] {
        blank = keys->Blank(k, img);
        if (!blank) value = keys->Value(k, img);
      });
      if (rc != 0) return fail("the key values cannot be built (" + InternalErrorText(rc) + ")");
      if (blank) continue;
      auto [it, fresh] = first_row.emplace(value, p.row);
      if (!fresh)
        return fail("row " + std::to_string(p.row) + ": the value of unique key " + KeyLabel(key) +
                    " repeats row " + std::to_string(it->second));
    }
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    std::memcpy(table.record(), rows[i].image.data(), desc.record_length);
    for (size_t k = 0; k < desc.keys.size(); ++k) {
      if (desc.keys[k].dup() || desc.keys[k].dynamic()) continue;
      bool yes = false;
      int rc = table.Duplicate(int(k), false, &yes);
      if (rc != 0) return fail("checking row " + std::to_string(rows[i].row) + " failed: " + EngineError(rc));
      if (yes)
        return fail("row " + std::to_string(rows[i].row) + ": the value of unique key " + KeyLabel(desc.keys[k]) +
                    " is already in the table");
    }
    if (i % 1024 == 0) progress.Update(i, 3 * rows.size());
  }

  // Add in stream mode: many adds share one commit. A large import appends
  // and builds the keys afterwards (see kBulkRecords).
  const bool bulk = rows.size() > kBulkRecords;
  table.SetStream(true);
  for (size_t i = 0; i < rows.size(); ++i) {
    std::memcpy(table.record(), rows[i].image.data(), desc.record_length);
    table.memos() = rows[i].memos;
    int rc = bulk ? table.Append() : table.Add();
    if (rc != 0) {
      progress.Finish();
      table.SetStream(false);
      table.Flush();
      table.Close();
      *inv.err << "kelstore import: adding row " << rows[i].row << " failed: " << EngineError(rc) << "; " << i
               << " rows before it were added" << (bulk ? " (run 'kelstore build' to complete the keys)" : "")
               << "\n";
      return kExitFinding;
    }
    if (i % 1024 == 0) progress.Update(rows.size() + i, 3 * rows.size());
  }
  table.SetStream(false);
  int rc = table.Flush();
  if (rc == 0 && bulk)
    rc = BuildIncompleteKeys(table, [&](int percent) { progress.Update(2 * rows.size() + rows.size() * percent / 100, 3 * rows.size()); });
  progress.Finish();
  int close_rc = table.Close();
  if (rc == 0) rc = close_rc;
  if (rc != 0) {
    *inv.err << "kelstore import: committing the rows failed: " << EngineError(rc) << "\n";
    return kExitFinding;
  }
  *inv.err << "imported " << rows.size() << (rows.size() == 1 ? " row" : " rows") << " into " << rt.Name() << "\n";
  return kExitOk;
}

int CmdBuild(const Invocation& inv) {
  ResolvedTable rt;
  if (int st = ResolveTable(inv, inv.operands[0], &rt)) return st;
  TableDecl decl;
  decl.owner = inv.Get("--password");
  Table table(decl);
  if (int st = OpenTable(inv, table, rt, kWriteDenyWrite)) return st;
  const TableDesc& desc = table.desc();
  Progress progress(*inv.err, "build");
  BuildOptions options;
  options.full_build = true;
  options.progress = [&](int percent) {
    progress.Update(uint64_t(percent), 100);
    return true;
  };
  bool all_built = false;
  int code = 0;
  int rc = Guarded([&] { code = BuildAllKeys(*table.keys(), table.oem(), options, &all_built); });
  progress.Finish();
  if (rc != 0) {
    // Nothing half-done is committed after an internal error.
    Guarded([&] { table.store()->Discard(); });
    table.Close();
    *inv.err << "kelstore build: " << rt.Name() << " is damaged (" << InternalErrorText(rc)
             << "); run 'kelstore check'\n";
    return kExitFinding;
  }
  int status = kExitOk;
  if (code == kDuplicateKey) {
    for (size_t k = 0; k < desc.keys.size(); ++k) {
      if (desc.keys[k].dynamic()) continue;
      Counter c;
      if (Guarded([&] { c = table.keys()->GetCounter(k); }) == 0 && c.mark != 0)
        *inv.err << "kelstore build: key " << KeyLabel(desc.keys[k]) << " of " << rt.Name()
                 << " has duplicate values; record " << c.mark << " and later ones with a repeated value are left out\n";
    }
    status = kExitFinding;
  } else if (code != 0) {
    *inv.err << "kelstore build: building the keys of " << rt.Name() << " failed: " << EngineError(code) << "\n";
    status = kExitFinding;
  }
  int flush = table.Flush();
  int close_rc = table.Close();
  if (status == kExitOk && (flush != 0 || close_rc != 0)) {
    *inv.err << "kelstore build: committing failed: " << EngineError(flush ? flush : close_rc) << "\n";
    return kExitFinding;
  }
  if (status == kExitOk) {
    uint64_t n = desc.keys.size();
    *inv.err << "built " << n << (n == 1 ? " key" : " keys") << " of " << rt.Name() << "\n";
  }
  return status;
}

}  // namespace kel::tool
