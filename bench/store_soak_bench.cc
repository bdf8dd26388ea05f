// Soak run of the record store's real-process crash test (not part of
// ctest): a writer process committing numbered changes is killed with
// SIGKILL at random moments, many times over; after every kill the file is
// reopened as a reader and as a writer and must hold exactly the state of a
// commit not older than the last one the writer reported.
//
//   store_soak_bench [rounds=2000] [max-delay-ms=40] [seed]
//
// Runs in $TMPDIR (default /tmp). Prints progress every 100 rounds and exits
// with 1 at the first failure.
#include <stdlib.h>

#include <cstdio>
#include <string>

#include "tests/storage/support/store_kill_loop.h"

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
  int delay = argc > 2 ? std::atoi(argv[2]) : 40;
  uint32_t seed = argc > 3 ? uint32_t(std::strtoul(argv[3], nullptr, 10)) : 20261211u;
  const char* t = getenv("TMPDIR");
  std::string dir = std::string(t && *t ? t : "/tmp") + "/store_soak_XXXXXX";
  if (!mkdtemp(dir.data())) return 2;
  std::string path = dir + "/SOAK.KST";
  int done = 0;
  uint32_t commits = 0;
  while (done < rounds) {
    int batch = rounds - done < 100 ? rounds - done : 100;
    std::string err = kel::test::RunKillLoop(path, batch, seed + uint32_t(done), delay, &commits);
    done += batch;
    if (!err.empty()) {
      std::printf("FAILED after %d rounds: %s (file kept: %s)\n", done, err.c_str(), path.c_str());
      return 1;
    }
    std::printf("%d rounds, %u commits survived every kill\n", done, commits);
    std::fflush(stdout);
  }
  std::remove(path.c_str());
  std::remove(dir.c_str());
  return 0;
}
