// kelstore info, schema and check: reading a table file without changing it.
#include <cstdio>
#include <iomanip>
#include <sstream>

#include "storage/record_kinds.h"
#include "storage/table_desc.h"
#include "storage/table_records.h"
#include "tools/checker.h"
#include "tools/cli.h"
#include "tools/command_support.h"
#include "tools/field_values.h"
#include "tools/table_file.h"
#include "tools/text.h"

namespace kel::tool {
namespace {

std::string KeyFlags(uint8_t flags) {
  std::string s;
  const auto add = [&](uint8_t bit, const char* name) {
    if (flags & bit) s += std::string(s.empty() ? "" : " ") + name;
  };
  add(kKeyDup, "DUP");
  add(kKeyOpt, "OPT");
  add(kKeyNoCase, "NOCASE");
  add(kKeyPrimary, "PRIMARY");
  add(kKeyIndex, "INDEX");
  add(kKeyDynamic, "DYNAMIC");
  if (!(flags & kKeyDup)) s += std::string(s.empty() ? "" : " ") + "unique";
  char buf[16];
  std::snprintf(buf, sizeof buf, " (0x%02x)", flags);
  return s + buf;
}

std::string KeyName(const KeyDesc& k) {
  return k.label.empty() ? k.external_name : k.label;
}

// The tables of an open store with their numbers.
struct TableInfo {
  std::string name;
  uint32_t number = 0;
};

void PrintSchema(std::ostream& out, const std::string& name, uint32_t number, const TableDesc& d) {
  out << "Table " << name << " (number " << number << "), record length " << d.record_length << " bytes, "
      << "definition version " << d.version() << "\n";
  out << "Fields:\n";
  out << "  " << std::left << std::setw(4) << "No" << std::setw(24) << "Name" << std::setw(16) << "Type"
      << std::right << std::setw(7) << "Offset" << std::setw(7) << "Size" << std::setw(7) << "Elems"
      << "  Picture\n";
  for (const FieldDesc& f : d.fields) {
    out << "  " << std::left << std::setw(4) << f.ordinal + 1 << std::setw(24) << AnsiToUtf8(f.name) << std::setw(16)
        << TypeName(f) << std::right << std::setw(7) << f.offset << std::setw(7) << f.size << std::setw(7)
        << f.element_count << "  " << AnsiToUtf8(f.picture) << (f.overlay ? "  (overlay)" : "") << "\n";
  }
  if (d.memos.empty()) {
    out << "Memos: none\n";
  } else {
    out << "Memos:\n";
    for (size_t m = 0; m < d.memos.size(); ++m) {
      const MemoDesc& md = d.memos[m];
      out << "  " << m + 1 << "  " << AnsiToUtf8(md.label.empty() ? md.external_name : md.label) << "  "
          << (md.blob() ? "BLOB" : "MEMO") << "(" << md.size << ")" << (md.binary() ? " BINARY" : "") << "\n";
    }
  }
  out << "Keys:\n";
  for (size_t k = 0; k < d.keys.size(); ++k) {
    const KeyDesc& key = d.keys[k];
    out << "  " << k + 1 << "  " << AnsiToUtf8(KeyName(key));
    if (key.has_external_name && !key.external_name.empty() && key.external_name != key.label)
      out << " (external name " << AnsiToUtf8(key.external_name) << ")";
    out << "  " << KeyFlags(key.flags) << "\n     components:";
    if (key.components.empty()) out << " none";
    for (const KeyComponent& c : key.components) {
      out << " " << (c.descending ? "-" : "+")
          << (c.field < d.fields.size() ? AnsiToUtf8(d.fields[c.field].name) : "field " + std::to_string(c.field));
    }
    out << "\n";
  }
}

}  // namespace

int CmdInfo(const Invocation& inv) {
  std::string path, table;
  if (int st = ResolveFile(inv, inv.operands[0], &path, &table)) return st;
  OutputSink sink;
  if (int st = sink.Open(inv, path)) return st;
  std::ostream& out = sink.stream();
  const std::string password = inv.Get("--password");
  RawFile raw;
  std::string err = raw.Open(path, password);
  if (!err.empty()) {
    *inv.err << "kelstore info: " << err << "\n";
    return raw.not_table_file() ? kExitFinding : kExitMisuse;
  }
  const Header& d = raw.disk_header();
  const Header& h = raw.header();
  out << "File:                " << path << "\n";
  out << "File size:           " << raw.file_size() << " bytes\n";
  if (raw.empty_file()) {
    out << "An empty file: a valid table file without tables.\n";
    return sink.Close(inv);
  }
  out << "Used end:            " << h.UsedEnd() << " bytes";
  if (raw.file_size() > h.UsedEnd())
    out << " (" << raw.file_size() - h.UsedEnd() << " bytes behind it: "
        << (d.log_start != d.log_end ? "the pending log" : "left by the last commit, cut at the next close") << ")";
  else if (raw.file_size() < h.UsedEnd())
    out << " (the file is shorter: damaged)";
  out << "\n";
  out << "Header length:       " << d.header_length << "\n";
  out << "Signature:           kElS\n";
  out << "Last issued number:  " << h.last_number << "\n";
  out << "Change count:        " << h.change_count << "\n";
  out << "Root page:           " << h.root << "\n";
  out << "Pending log:         ";
  switch (raw.log_state()) {
    case RawFile::LogState::kNone: out << "none\n"; break;
    case RawFile::LogState::kComplete:
      out << "from " << d.log_start << " to " << d.log_end << " (" << raw.log_blocks()
          << " blocks, complete: the next writer replays it; shown here as committed)\n";
      break;
    case RawFile::LogState::kBroken:
      out << "from " << d.log_start << " to " << d.log_end << ", broken (" << raw.log_problem()
          << "): the next writer rolls it back\n";
      break;
  }
  out << "Regions (class: first page - end, pages):\n";
  bool any = false;
  for (int i = 1; i < kRegionCount; ++i) {
    if (h.start[i] == h.end[i]) continue;
    any = true;
    out << "  " << std::setw(2) << i << " (" << std::setw(5) << i * kUnit << " bytes): " << h.start[i] << " - "
        << h.end[i] << ", " << (h.end[i] - h.start[i]) / uint32_t(i) << " pages\n";
  }
  if (!any) out << "  none\n";

  StoreFile sf;
  err = sf.Open(path, false, password);
  int status = 0;
  if (err.empty()) {
    std::vector<std::string> names;
    std::ostringstream tables;
    int rc = Guarded([&] {
      names = ListTableNames(sf.store());
      for (const std::string& name : names) {
        uint32_t t = 0;
        FindTableByName(sf.store(), name, &t);
        Counter data = ReadCounter(sf.store(), t, kDataCounterIndex);
        tables << "  " << AnsiToUtf8(name) << " (number " << t << "): " << data.count << " records\n";
        TableDesc desc;
        if (ReadStoredDefinition(sf.store(), t, &desc) != 0) {
          tables << "    definition cannot be read\n";
          continue;
        }
        for (size_t k = 0; k < desc.keys.size(); ++k) {
          if (desc.keys[k].dynamic()) {
            tables << "    key " << AnsiToUtf8(KeyName(desc.keys[k])) << ": dynamic index (kept in memory)\n";
            continue;
          }
          Counter c = ReadCounter(sf.store(), t, uint8_t(k));
          tables << "    key " << AnsiToUtf8(KeyName(desc.keys[k])) << ": " << c.count << " entries, "
                 << (c.mark == 0 ? "complete" : "incomplete from record " + std::to_string(c.mark)) << "\n";
        }
      }
    });
    out << "Tables:\n";
    if (rc != 0) {
      out << tables.str();
      *inv.err << "kelstore info: " << path << ": damaged (" << InternalErrorText(rc) << "); run 'kelstore check'\n";
      status = kExitFinding;
    } else {
      out << (names.empty() ? "  none\n" : tables.str());
    }
  } else {
    *inv.err << "kelstore info: " << err << "\n";
    status = kExitFinding;
  }
  int st = sink.Close(inv);
  return status ? status : st;
}

int CmdSchema(const Invocation& inv) {
  std::string path, table;
  if (int st = ResolveFile(inv, inv.operands[0], &path, &table)) return st;
  OutputSink sink;
  if (int st = sink.Open(inv, path)) return st;
  StoreFile sf;
  std::string err = sf.Open(path, false, inv.Get("--password"));
  if (!err.empty()) {
    *inv.err << "kelstore schema: " << err << "\n";
    return kExitFinding;
  }
  int status = 0;
  int rc = Guarded([&] {
    std::vector<std::string> names = ListTableNames(sf.store());
    if (!table.empty()) {
      bool found = false;
      for (const std::string& n : names) found |= n == table;
      if (!found) {
        *inv.err << "kelstore schema: " << path << " holds no table " << table << "\n";
        status = kExitMisuse;
        return;
      }
      names = {table};
    }
    if (names.empty()) sink.stream() << path << " holds no tables\n";
    for (size_t i = 0; i < names.size(); ++i) {
      uint32_t t = 0;
      FindTableByName(sf.store(), names[i], &t);
      TableDesc desc;
      int code = ReadStoredDefinition(sf.store(), t, &desc);
      if (i) sink.stream() << "\n";
      if (code != 0) {
        *inv.err << "kelstore schema: the definition of " << names[i] << " cannot be read (" << EngineError(code)
                 << ")\n";
        status = kExitFinding;
        continue;
      }
      PrintSchema(sink.stream(), AnsiToUtf8(names[i]), t, desc);
    }
  });
  if (rc != 0) {
    *inv.err << "kelstore schema: " << path << ": damaged (" << InternalErrorText(rc) << "); run 'kelstore check'\n";
    status = kExitFinding;
  }
  int st = sink.Close(inv);
  return status ? status : st;
}

int CmdCheck(const Invocation& inv) {
  std::string path, table;
  if (int st = ResolveFile(inv, inv.operands[0], &path, &table)) return st;
  OutputSink sink;
  if (int st = sink.Open(inv, path)) return st;
  Progress progress(*inv.err, "check");
  CheckOptions options;
  options.password = inv.Get("--password");
  options.progress = [&](uint64_t done, uint64_t total) { progress.Update(done, total); };
  CheckResult result;
  std::string err = CheckTableFile(path, options, &result);
  progress.Finish();
  if (!err.empty()) {
    *inv.err << "kelstore check: " << err << "\n";
    return kExitMisuse;
  }
  std::ostream& out = sink.stream();
  for (const std::string& p : result.problems) out << p << "\n";
  if (result.problem_count > result.problems.size())
    out << "... and " << result.problem_count - result.problems.size() << " more problems\n";
  if (result.ok()) {
    out << path << ": sound (" << result.pages << " pages, " << result.records << " records, " << result.tables
        << (result.tables == 1 ? " table" : " tables") << ")\n";
  } else {
    out << path << ": " << result.problem_count << (result.problem_count == 1 ? " problem" : " problems")
        << " found\n";
  }
  for (const std::string& n : result.notes) out << "  note: " << n << "\n";
  int st = sink.Close(inv);
  if (!result.ok()) return kExitFinding;
  return st;
}

}  // namespace kel::tool
