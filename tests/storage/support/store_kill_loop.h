// A real-process crash test of the record store, shared by the normal test
// run (few rounds) and the soak run (many rounds):
//
// A child process commits numbered changes one by one and reports every
// commit that returned 0 through a pipe; the parent kills it with SIGKILL at
// a random moment, reopens the file (as a reader, then as a writer) and
// checks that it holds exactly the state of some commit not older than the
// last one reported, with a sound tree. The next round continues the count.
//
// Commit n (the file's last issued number becomes n) inserts record n and,
// for n divisible by 3, deletes record n - 50: the expected state of every n
// is known without a log. Self-contained (fork, pipe, kill) so that the soak
// binary can use it without the test support library.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "storage/errors.h"
#include "storage/lock_area.h"
#include "storage/store.h"

namespace kel::test {

inline std::string KillLoopKey(uint32_t n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "r%08u", n);
  return buf;
}

inline std::string KillLoopData(uint32_t n) { return std::string((n * 37) % 300, char('A' + n % 26)); }

inline bool KillLoopPresent(uint32_t j, uint32_t last) {
  if (j == 0 || j > last) return false;
  uint32_t killer = j + 50;
  return !(killer <= last && killer % 3 == 0);
}

inline std::unique_ptr<Store> KillLoopOpen(const std::string& path, bool writer) {
  int mode = writer ? (open_mode::kReadWrite | open_mode::kDenyNone | open_mode::kCreate)
                    : (open_mode::kReadOnly | open_mode::kDenyNone);
  std::unique_ptr<platform::File> file;
  if (OpenTableFile(path, mode, &file) != 0) return nullptr;
  return std::make_unique<Store>(std::move(file), SharingClassOf(mode));
}

// The child: commits forever (until killed). Writes each committed number
// (4 bytes) to `fd`.
[[noreturn]] inline void KillLoopChild(const std::string& path, int fd) {
  OperationFrame frame("KILL");
  int code = 0;
  try {
    auto s = KillLoopOpen(path, true);
    if (!s) _exit(3);
    s->EnterWriteState();
    if (s->BeginAccess() != 0) _exit(4);
    uint32_t n = s->last_number();
    for (;;) {
      n++;
      s->Insert(MakeRecord(KillLoopKey(n), KillLoopData(n)));
      if (n % 3 == 0 && n > 50) s->Delete(s->FindExact(KillLoopKey(n - 50)));
      s->SetLastNumber(n);
      if (s->EndOperation() != 0) _exit(5);
      if (::write(fd, &n, 4) != 4) _exit(6);
      s->EnterWriteState();
    }
  } catch (const InternalError& e) {
    code = 10;
  }
  _exit(code);
}

// Checks the file; answers "" or a description of what is wrong, and sets
// *last to the file's last committed number.
inline std::string KillLoopVerify(const std::string& path, uint32_t acked, uint32_t* last) {
  OperationFrame frame("KILL");
  try {
    uint32_t seen[2] = {0, 0};
    for (int writer = 0; writer < 2; writer++) {
      auto s = KillLoopOpen(path, writer == 1);
      if (!s) return "open failed";
      if (writer) s->EnterWriteState();
      if (s->BeginAccess() != 0) return "not a table file";
      uint32_t l = s->last_number();
      seen[writer] = l;
      if (l < acked) return "lost commit " + std::to_string(acked) + " (file at " + std::to_string(l) + ")";
      uint64_t count = s->CheckTree();
      uint64_t want = 0;
      uint32_t j = 0;
      std::string key;
      for (RecordPtr r = s->First(); r; r = s->FindNext(key)) {
        key.assign(r->key());
        // Next expected record.
        do {
          j++;
        } while (j <= l && !KillLoopPresent(j, l));
        if (j > l) return "extra record " + key;
        if (key != KillLoopKey(j) || r->data() != KillLoopData(j)) return "record " + key + " where " + KillLoopKey(j) + " expected";
        want++;
      }
      do {
        j++;
      } while (j <= l && !KillLoopPresent(j, l));
      if (j <= l) return "missing record " + KillLoopKey(j);
      if (count != want) return "tree count differs";
      s->EndOperation();
      if (s->Close() != 0) return "close failed";
    }
    if (seen[0] != seen[1]) return "reader and writer disagree";
    *last = seen[1];
    return "";
  } catch (const InternalError& e) {
    return "internal error " + std::to_string(e.code());
  }
}

// Runs `rounds` kill rounds on `path`; answers "" or the first failure.
// *commits: in, the last commit reported before (0 for a new file); out, the
// last commit the file holds.
inline std::string RunKillLoop(const std::string& path, int rounds, uint32_t seed, int max_delay_ms,
                               uint32_t* commits) {
  std::mt19937 rng(seed);
  uint32_t acked = *commits;
  for (int round = 0; round < rounds; round++) {
    int fds[2];
    if (::pipe(fds) != 0) return "pipe failed";
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = ::fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) {
      ::close(fds[0]);
      KillLoopChild(path, fds[1]);
    }
    ::close(fds[1]);
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % (uint32_t(max_delay_ms) * 1000 + 1)));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status)) {
      ::close(fds[0]);
      return "child ended by itself with " + std::to_string(WEXITSTATUS(status));
    }
    uint32_t n;
    while (::read(fds[0], &n, 4) == 4) acked = n;
    ::close(fds[0]);
    uint32_t last = 0;
    std::string err = KillLoopVerify(path, acked, &last);
    if (!err.empty()) return "round " + std::to_string(round) + ": " + err;
    if (last > acked + 1) return "round " + std::to_string(round) + ": file ahead of any commit";
    acked = last;
  }
  *commits = acked;
  return "";
}

}  // namespace kel::test
