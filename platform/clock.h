// Tick count: milliseconds of CLOCK_MONOTONIC, and since program start.
#pragma once
#include <cstdint>

namespace kel::platform {
uint64_t TickCountMs();
// Milliseconds since the first call in this process (taken at static init).
uint64_t MsSinceProgramStart();
}  // namespace kel::platform
