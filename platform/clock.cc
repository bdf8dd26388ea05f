#include "platform/clock.h"

#include <time.h>

namespace kel::platform {
namespace {
const uint64_t g_program_start = TickCountMs();
}

uint64_t TickCountMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

uint64_t MsSinceProgramStart() { return TickCountMs() - g_program_start; }

}  // namespace kel::platform
