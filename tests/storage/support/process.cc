#include "storage/support/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace kel::test {
namespace {

int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void RemoveTree(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (dir != nullptr) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      std::string child = path + "/" + name;
      struct stat st{};
      if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        RemoveTree(child);
      } else {
        unlink(child.c_str());
      }
    }
    closedir(dir);
  }
  rmdir(path.c_str());
}

}  // namespace

// ---- Pipe ------------------------------------------------------------------

Pipe::Pipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  read_fd_ = fds[0];
  write_fd_ = fds[1];
}

Pipe::~Pipe() {
  if (read_fd_ >= 0) close(read_fd_);
  if (write_fd_ >= 0) close(write_fd_);
}

void Pipe::Send(char c) {
  while (write(write_fd_, &c, 1) < 0 && errno == EINTR) {
  }
}

bool Pipe::ReadExact(void* buf, size_t len, int timeout_ms) {
  char* p = static_cast<char*>(buf);
  const int64_t deadline = NowMs() + timeout_ms;
  while (len > 0) {
    int64_t left = deadline - NowMs();
    if (left < 0) return false;
    pollfd pfd{read_fd_, POLLIN, 0};
    int r = poll(&pfd, 1, int(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    ssize_t n = read(read_fd_, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= size_t(n);
  }
  return true;
}

int Pipe::Receive(int timeout_ms) {
  unsigned char c;
  if (!ReadExact(&c, 1, timeout_ms)) return -1;
  return c;
}

void Pipe::SendInt(int32_t value) {
  const char* p = reinterpret_cast<const char*>(&value);
  size_t left = sizeof value;
  while (left > 0) {
    ssize_t n = write(write_fd_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= size_t(n);
  }
}

bool Pipe::ReceiveInt(int32_t* value, int timeout_ms) {
  return ReadExact(value, sizeof *value, timeout_ms);
}

bool Pipe::Ready() {
  pollfd pfd{read_fd_, POLLIN, 0};
  return poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN) != 0;
}

// ---- ChildProcess ----------------------------------------------------------

ChildProcess ChildProcess::Start(std::function<int()> body) {
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int code = 120;
    try {
      code = body();
    } catch (...) {
      code = 120;
    }
    fflush(stdout);
    fflush(stderr);
    _exit(code & 0xFF);
  }
  return ChildProcess(pid);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_), status_(other.status_), reaped_(other.reaped_) {
  other.pid_ = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    Kill();
    pid_ = other.pid_;
    status_ = other.status_;
    reaped_ = other.reaped_;
    other.pid_ = -1;
  }
  return *this;
}

ChildProcess::~ChildProcess() { Kill(); }

bool ChildProcess::Running() {
  if (pid_ < 0 || reaped_) return false;
  siginfo_t info{};
  // WNOWAIT: look without reaping, so Wait() still gets the status.
  if (waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
  return info.si_pid == 0;
}

int ChildProcess::Wait(int timeout_ms) {
  if (pid_ < 0) return kSignalled;
  if (!reaped_) {
    const int64_t deadline = NowMs() + timeout_ms;
    useconds_t pause = 200;
    for (;;) {
      pid_t r = waitpid(pid_, &status_, WNOHANG);
      if (r == pid_) {
        reaped_ = true;
        break;
      }
      if (r < 0 && errno != EINTR) return kSignalled;
      if (NowMs() > deadline) {
        Kill();
        return kTimedOut;
      }
      usleep(pause);
      if (pause < 5000) pause *= 2;
    }
  }
  if (WIFEXITED(status_)) return WEXITSTATUS(status_);
  return kSignalled;
}

void ChildProcess::Kill() {
  if (pid_ < 0 || reaped_) return;
  kill(pid_, SIGKILL);
  while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
}

// ---- TempDir ---------------------------------------------------------------

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kel-test-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

TempDir::~TempDir() { RemoveTree(path_); }

}  // namespace kel::test
