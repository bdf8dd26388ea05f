// Helpers for tests that need real separate processes: run a lambda in a
// forked child, wait for it with a timeout, kill it; pipes for simple
// step-by-step synchronisation between parent and child.
//
// Typical use:
//
//   kel::test::Pipe to_child, to_parent;
//   auto child = kel::test::ChildProcess::Start([&] {
//     ... open the file here, in the child ...
//     to_parent.Send('L');                 // "I hold the lock"
//     if (to_child.Receive() != 'G') return 2;
//     return 0;                            // the child's exit code
//   });
//   ASSERT_EQ(to_parent.Receive(), 'L');
//   ...
//   to_child.Send('G');
//   EXPECT_EQ(child.Wait(), 0);
//
// Files (and with them their byte-range locks) opened before the fork are
// shared by parent and child: open the files a child works on inside the
// child. GoogleTest assertions do not cross the fork; a child reports
// failure through its exit code (or through a pipe).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>

namespace kel::test {

// A one-way pipe usable from both sides of a fork.
class Pipe {
 public:
  Pipe();
  ~Pipe();
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  // Writes one byte.
  void Send(char c);
  // Waits for one byte: answers it, or -1 on timeout or end of stream.
  int Receive(int timeout_ms = 10000);

  // Four-byte values, for reporting numbers (codes, slots) to the parent.
  void SendInt(int32_t value);
  // Answers true and sets *value, false on timeout or end of stream.
  bool ReceiveInt(int32_t* value, int timeout_ms = 10000);

  // True when a byte can be read without waiting.
  bool Ready();

 private:
  bool ReadExact(void* buf, size_t len, int timeout_ms);
  int read_fd_ = -1;
  int write_fd_ = -1;
};

// A forked child running a function. The child leaves with the function's
// answer as its exit code (an escaping exception gives 120); it never
// returns into the test framework.
class ChildProcess {
 public:
  static ChildProcess Start(std::function<int()> body);

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // Kills a child that is still running.
  ~ChildProcess();

  // Waits for the child to end: answers its exit code, kTimedOut when it
  // did not end in time (it is then killed), or kSignalled when a signal
  // ended it.
  static constexpr int kTimedOut = -1;
  static constexpr int kSignalled = -2;
  int Wait(int timeout_ms = 10000);

  // True while the child has not ended (does not reap it).
  bool Running();

  void Kill();
  pid_t pid() const { return pid_; }

 private:
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  pid_t pid_ = -1;
  int status_ = 0;
  bool reaped_ = false;
};

// A fresh empty directory under TMPDIR for one test, removed with its
// contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace kel::test
