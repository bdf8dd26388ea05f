// The least time a case can take on this machine given the system calls it
// makes. Each kind of call (positioned read, positioned write, flush,
// byte-range lock call) is timed here, in the same run, at its cheapest: a
// 512-byte read or write of a file in the page cache, an fsync with nothing
// left to write, a lock call without conflict. Multiplied by the calls a
// case made (counted by the platform layer), that gives a lower bound of its
// time: no user-space work can bring a case below it, so SQLite time / floor
// is the best ratio the case could reach while making the same calls.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "platform/file.h"

namespace kel::bench {

struct CallCosts {
  double read = 0, write = 0, flush = 0, lock = 0;  // seconds per call
};

inline platform::IoCounts CountsSince(const platform::IoCounts& from) {
  platform::IoCounts now = platform::GetIoCounts();
  platform::IoCounts d;
  d.reads = now.reads - from.reads;
  d.writes = now.writes - from.writes;
  d.flushes = now.flushes - from.flushes;
  d.locks = now.locks - from.locks;
  return d;
}

inline double FloorSeconds(const platform::IoCounts& c, const CallCosts& k) {
  return double(c.reads) * k.read + double(c.writes) * k.write + double(c.flushes) * k.flush +
         double(c.locks) * k.lock;
}

// Times each kind of call on a scratch file in `dir`; the best of three
// rounds of each, so that a busy moment does not inflate the floor.
inline CallCosts MeasureCallCosts(const std::string& dir) {
  using clock = std::chrono::steady_clock;
  auto secs = [](clock::time_point a) { return std::chrono::duration<double>(clock::now() - a).count(); };
  std::string path = dir + "/io_floor.tmp";
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) abort();
  constexpr size_t kFile = 8u << 20;
  std::vector<char> buf(512, 'x');
  std::vector<char> big(1 << 16, 'y');
  for (size_t off = 0; off < kFile; off += big.size()) {
    if (::pwrite(fd, big.data(), big.size(), off_t(off)) != ssize_t(big.size())) abort();
  }
  ::fsync(fd);
  std::mt19937 rng(5);
  auto offset = [&] { return off_t((rng() % (kFile / 512)) * 512); };
  CallCosts best{1, 1, 1, 1};
  for (int round = 0; round < 3; ++round) {
    constexpr int kN = 20000;
    auto t = clock::now();
    for (int i = 0; i < kN; ++i) {
      if (::pread(fd, buf.data(), buf.size(), offset()) != 512) abort();
    }
    best.read = std::min(best.read, secs(t) / kN);
    t = clock::now();
    for (int i = 0; i < kN; ++i) {
      if (::pwrite(fd, buf.data(), buf.size(), offset()) != 512) abort();
    }
    best.write = std::min(best.write, secs(t) / kN);
    ::fsync(fd);
    constexpr int kF = 1000;
    t = clock::now();
    for (int i = 0; i < kF; ++i) ::fsync(fd);
    best.flush = std::min(best.flush, secs(t) / kF);
    t = clock::now();
    for (int i = 0; i < kN / 2; ++i) {
      struct flock fl{};
      fl.l_type = F_RDLCK;
      fl.l_whence = SEEK_SET;
      fl.l_start = off_t(1) << 31;
      fl.l_len = 1;
      ::fcntl(fd, F_OFD_SETLK, &fl);
      fl.l_type = F_UNLCK;
      ::fcntl(fd, F_OFD_SETLK, &fl);
    }
    best.lock = std::min(best.lock, secs(t) / kN);
  }
  ::close(fd);
  ::unlink(path.c_str());
  return best;
}

inline void PrintCallCosts(const CallCosts& k) {
  std::printf("cheapest call on this machine: read %.2f us, write %.2f us, flush %.1f us, lock %.2f us\n",
              k.read * 1e6, k.write * 1e6, k.flush * 1e6, k.lock * 1e6);
}

}  // namespace kel::bench
