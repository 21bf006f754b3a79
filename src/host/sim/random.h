// Seeded pseudo-random numbers for the simulated camera's fault injection.
//
// Hard part: a fault schedule must be the same on every machine and library,
// so neither std::mt19937 with a std::distribution (whose mapping is not fixed
// by the standard) nor anything time-based is used: this is SplitMix64
// (Steele, Lea, Flood 2014), and chances are expressed in parts per million.
#pragma once

#include <cstdint>

namespace dualcam::host::sim {

class SeededRandom {
 public:
  explicit SeededRandom(uint64_t seed = 0) : state_(seed) {}

  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

  // Uniform in [0, bound); bound 0 gives 0. The modulo bias is below 2^-40
  // for the bounds used here, far under anything a test can observe.
  uint32_t Below(uint32_t bound) { return bound == 0 ? 0 : static_cast<uint32_t>(Next() % bound); }

  // True with the given chance in parts per million (0 never draws).
  bool Chance(uint32_t per_million) {
    if (per_million == 0) return false;
    return Below(1000000) < per_million;
  }

 private:
  uint64_t state_;
};

}  // namespace dualcam::host::sim
