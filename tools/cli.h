// The kelstore command line: subcommand dispatch, options, help texts, exit
// status and progress display.
//
// Exit status: 0 success; 1 a finding (problems found by check, a damaged
// or foreign file, input rows refused by import); 2 misuse (unknown command
// or option, missing argument, a file that does not exist or is a
// directory, an unknown table, a missing password). Messages go to stderr
// in English; results go to stdout or to the file given with -o.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace kel::tool {

constexpr int kExitOk = 0;
constexpr int kExitFinding = 1;
constexpr int kExitMisuse = 2;

// Runs one command line (args without the program name).
int RunKelstore(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// A progress bar on stderr, drawn only when stderr is a terminal.
class Progress {
 public:
  Progress(std::ostream& err, std::string label);
  ~Progress();
  void Update(uint64_t done, uint64_t total);
  void Finish();
  bool enabled() const { return enabled_; }

 private:
  std::ostream& err_;
  std::string label_;
  bool enabled_;
  int last_ = -1;
};

// What a command gets: its operands and options, and the streams.
struct Invocation {
  std::string command;
  std::vector<std::string> operands;
  std::map<std::string, std::string> options;   // "--format" -> "csv"; flags -> ""
  std::ostream* out;
  std::ostream* err;

  bool Has(const std::string& name) const { return options.count(name) != 0; }
  std::string Get(const std::string& name, const std::string& fallback = "") const {
    auto it = options.find(name);
    return it == options.end() ? fallback : it->second;
  }
};

int CmdInfo(const Invocation& inv);
int CmdSchema(const Invocation& inv);
int CmdCheck(const Invocation& inv);
int CmdExport(const Invocation& inv);
int CmdImport(const Invocation& inv);
int CmdBuild(const Invocation& inv);
int CmdDemo(const Invocation& inv);

}  // namespace kel::tool
