// Demo data: the seven tables of the application filled with a plausible
// dispatcher's day - Russian cities, customers, carrier firms with their
// transport units in every state, vehicle models, body types, and orders,
// current ones around today and archived ones before it.
//
// The content is the same on every run (a fixed random seed); only the
// dates follow today's date, so the current orders stay current.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kel::tool {

struct DemoOptions {
  uint64_t orders = 200;
  std::function<void(uint64_t done, uint64_t total)> progress;
};

// Creates (or re-creates) GOROD.KST ... RABOTA.KST in `dir`. "" or a
// message.
std::string CreateDemo(const std::string& dir, const DemoOptions& options);

}  // namespace kel::tool
