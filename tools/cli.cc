#include "tools/cli.h"

#include <unistd.h>

#include <exception>
#include <iostream>
#include <set>

namespace kel::tool {
namespace {

struct CommandSpec {
  const char* name;
  int (*run)(const Invocation&);
  int min_operands, max_operands;
  std::set<std::string> value_options;   // take a value
  std::set<std::string> flag_options;    // take none
  const char* usage;
  const char* help;
};

const char* kToolHelp =
    "Usage: kelstore COMMAND [ARGUMENTS] [OPTIONS]\n"
    "\n"
    "Looks into, checks, exports, imports and rebuilds KelStore table files\n"
    "(.KST), and creates the demo data of the application.\n"
    "\n"
    "Commands:\n"
    "  info FILE               header, regions, pending log, tables and counts\n"
    "  schema FILE[\\!TABLE]    fields, memos and keys as stored in the file\n"
    "  check FILE              full structural check; never changes the file\n"
    "  export FILE[\\!TABLE]    records as CSV, TSV or JSON (UTF-8)\n"
    "  import FILE[\\!TABLE] INPUT\n"
    "                          adds the rows of a CSV or TSV file\n"
    "  build FILE[\\!TABLE]     rebuilds the keys of a table\n"
    "  demo DIR [--orders N]   creates the seven tables with demo data\n"
    "  help [COMMAND]          this text, or the help of a command\n"
    "\n"
    "A table inside a file is named FILE\\!TABLE (quote it in the shell);\n"
    "without it the file's only table (or its UNNAMED table) is used. A FILE\n"
    "without an extension gets \".KST\".\n"
    "\n"
    "Exit status: 0 success, 1 a finding (problems found, damaged or foreign\n"
    "file, refused input), 2 misuse (bad command line, missing file or table).\n"
    "Run 'kelstore COMMAND --help' for the options of a command.\n";

const std::vector<CommandSpec>& Commands() {
  static const std::vector<CommandSpec> commands = {
      {"info", CmdInfo, 1, 1, {"--password", "-o"}, {},
       "kelstore info FILE [--password PW] [-o OUT]",
       "Shows the file header (length, signature, last issued number, change\n"
       "count, root page), the region table, a pending commit log, the file\n"
       "size against the used end, and the tables the file holds with their\n"
       "record counts and key states. Reads the file without changing it.\n"},
      {"schema", CmdSchema, 1, 1, {"--password", "-o"}, {},
       "kelstore schema FILE[\\!TABLE] [--password PW] [-o OUT]",
       "Shows the table definition stored in the file: record length, fields\n"
       "(type, offset, size, places, picture), memos, and keys with their\n"
       "flags and components. Without \\!TABLE every table of the file.\n"},
      {"check", CmdCheck, 1, 1, {"--password", "-o"}, {},
       "kelstore check FILE [--password PW] [-o OUT]",
       "Checks the whole file without changing it (a pending commit log is\n"
       "read, never replayed): header and region packing, every page image,\n"
       "tree order and separators, every page reachable exactly once, counter\n"
       "records against real counts, every key entry against the record it\n"
       "points at, every record present in every complete key.\n"
       "Prints one line per problem, or a summary on a sound file.\n"
       "Exit status 1 when problems were found.\n"},
      {"export", CmdExport, 1, 1, {"--password", "-o", "--format", "--key"}, {"--record-order"},
       "kelstore export FILE[\\!TABLE] [--format csv|tsv|json] [--key KEY | --record-order] [-o OUT]",
       "Writes the records of a table as UTF-8 text: a header row of field\n"
       "names, then one row per record (CSV and TSV), or a JSON array of\n"
       "objects. Dates are written as yyyy-mm-dd (empty for no date), DECIMAL\n"
       "values with their places, strings without trailing spaces.\n"
       "Order: the first key (default), the key named by --key (label, e.g.\n"
       "GOR:NOM_KEY, or its number from 1), or record order with\n"
       "--record-order. The file is opened read-only.\n"},
      {"import", CmdImport, 2, 2, {"--password", "--format"}, {"--no-header"},
       "kelstore import FILE[\\!TABLE] INPUT [--format csv|tsv] [--no-header]",
       "Adds the rows of INPUT (UTF-8 CSV, or TSV by --format or the .tsv\n"
       "extension) to the table, with the table's stored definition. The first\n"
       "row names the columns (every field once, in any order) unless\n"
       "--no-header is given; then the columns are the fields in order.\n"
       "Every row is checked before any is added: the number of columns, each\n"
       "value against its field, and unique keys against the other rows and\n"
       "the table. A bad row stops the import with its row number and leaves\n"
       "the table unchanged (exit status 1). Rows are added in stream mode.\n"},
      {"build", CmdBuild, 1, 1, {"--password"}, {},
       "kelstore build FILE[\\!TABLE] [--password PW]",
       "Rebuilds every key of the table (a full build) with a progress bar on\n"
       "a terminal. Exit status 1 when a unique key finds duplicate values.\n"},
      {"demo", CmdDemo, 1, 1, {"--orders"}, {},
       "kelstore demo DIR [--orders N]",
       "Creates the seven tables of the application (GOROD.KST, KLIENT.KST,\n"
       "FIRMA.KST, PEREVOZ.KST, AVTO.KST, KUZOV.KST, RABOTA.KST) in DIR with\n"
       "demo data: cities, customers, carrier firms with their transport units\n"
       "in every state, vehicle models, body types, and N orders (default 200),\n"
       "current and archived. Existing tables in DIR are replaced.\n"},
  };
  return commands;
}

const CommandSpec* FindCommand(const std::string& name) {
  for (const CommandSpec& c : Commands())
    if (name == c.name) return &c;
  return nullptr;
}

void CommandHelp(const CommandSpec& c, std::ostream& out) {
  out << "Usage: " << c.usage << "\n\n" << c.help;
  if (c.value_options.count("--password"))
    out << "\n--password PW gives the owner password of an enciphered file.\n";
  if (c.value_options.count("-o")) out << "-o OUT writes the output to OUT instead of stdout.\n";
}

}  // namespace

Progress::Progress(std::ostream& err, std::string label)
    : err_(err), label_(std::move(label)), enabled_(&err == &std::cerr && ::isatty(STDERR_FILENO)) {}

Progress::~Progress() { Finish(); }

void Progress::Update(uint64_t done, uint64_t total) {
  if (!enabled_) return;
  int pct = total == 0 ? 100 : int(std::min<uint64_t>(100, done * 100 / total));
  if (pct == last_) return;
  last_ = pct;
  const int width = 30;
  int fill = pct * width / 100;
  err_ << '\r' << label_ << " [" << std::string(fill, '#') << std::string(width - fill, ' ') << "] " << pct << '%'
       << std::flush;
}

void Progress::Finish() {
  if (!enabled_ || last_ < 0) return;
  err_ << '\r' << std::string(label_.size() + 40, ' ') << '\r' << std::flush;
  last_ = -1;
}

int RunKelstore(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    err << kToolHelp;
    return kExitMisuse;
  }
  const std::string& first = args[0];
  if (first == "--help" || first == "-h") {
    out << kToolHelp;
    return kExitOk;
  }
  if (first == "help") {
    if (args.size() == 1) {
      out << kToolHelp;
      return kExitOk;
    }
    const CommandSpec* c = FindCommand(args[1]);
    if (!c) {
      err << "kelstore: unknown command '" << args[1] << "'\n";
      return kExitMisuse;
    }
    CommandHelp(*c, out);
    return kExitOk;
  }
  const CommandSpec* cmd = FindCommand(first);
  if (!cmd) {
    err << "kelstore: unknown command '" << first << "' (run 'kelstore --help')\n";
    return kExitMisuse;
  }
  Invocation inv;
  inv.command = cmd->name;
  inv.out = &out;
  inv.err = &err;
  bool options_done = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (options_done || a.size() < 2 || a[0] != '-') {
      inv.operands.push_back(a);
      continue;
    }
    if (a == "--") {
      options_done = true;
      continue;
    }
    if (a == "--help" || a == "-h") {
      CommandHelp(*cmd, out);
      return kExitOk;
    }
    std::string name = a, value;
    bool has_value = false;
    if (size_t eq = a.find('='); eq != std::string::npos && a.rfind("--", 0) == 0) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
      has_value = true;
    }
    if (cmd->value_options.count(name)) {
      if (!has_value) {
        if (i + 1 >= args.size()) {
          err << "kelstore " << cmd->name << ": option " << name << " needs a value\n";
          return kExitMisuse;
        }
        value = args[++i];
      }
      inv.options[name] = value;
    } else if (cmd->flag_options.count(name) && !has_value) {
      inv.options[name] = "";
    } else {
      err << "kelstore " << cmd->name << ": unknown option '" << a << "'\nUsage: " << cmd->usage << "\n";
      return kExitMisuse;
    }
  }
  if (int(inv.operands.size()) < cmd->min_operands || int(inv.operands.size()) > cmd->max_operands) {
    err << "kelstore " << cmd->name << ": " << (int(inv.operands.size()) < cmd->min_operands ? "missing" : "too many")
        << " arguments\nUsage: " << cmd->usage << "\n";
    return kExitMisuse;
  }
  try {
    return cmd->run(inv);
  } catch (const std::exception& e) {
    // Nothing the engine raises gets here (its internal errors are caught
    // where they arise); this is the last guard against a crash.
    err << "kelstore " << cmd->name << ": failed: " << e.what() << "\n";
    return kExitFinding;
  }
}

}  // namespace kel::tool
