// Helpers for the kelstore tests: a scratch directory, file bytes, running
// the built program, and tables written by the engine.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/cli.h"

namespace kel::test {

class ScratchDir {
 public:
  ScratchDir() {
    char tmpl[] = "/tmp/kelstore-test-XXXXXX";
    path_ = ::mkdtemp(tmpl);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

struct ToolRun {
  int status = -1;     // exit status; 128 + signal when killed
  std::string out, err;
};

// Runs the built kelstore program with `args`.
inline ToolRun RunTool(const std::vector<std::string>& args, const std::string& scratch = "/tmp") {
  ToolRun r;
  std::string out_path = scratch + "/.tool-out", err_path = scratch + "/.tool-err";
  pid_t pid = ::fork();
  if (pid == 0) {
    int o = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(o, 1);
    ::dup2(e, 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(KELSTORE_BIN));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(KELSTORE_BIN, argv.data());
    ::_exit(127);
  }
  int st = 0;
  ::waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  r.out = ReadBytes(out_path);
  r.err = ReadBytes(err_path);
  ::unlink(out_path.c_str());
  ::unlink(err_path.c_str());
  return r;
}

// Runs the command line in this process.
inline ToolRun RunInProcess(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  ToolRun r;
  r.status = tool::RunKelstore(args, out, err);
  r.out = out.str();
  r.err = err.str();
  return r;
}

}  // namespace kel::test
