// Uniform and normal draws of our own, so that a seed gives the same
// simulated exam with any standard library.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

namespace omr::exam::testing {

class Draw {
 public:
  explicit Draw(std::uint64_t seed) : engine_(seed) {}
  double Uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }
  double Uniform(double lo, double hi) { return lo + (hi - lo) * Uniform(); }
  int Below(int n) { return static_cast<int>(Uniform() * n); }
  double Normal() {
    const double u = 1.0 - Uniform();
    return std::sqrt(-2.0 * std::log(u)) * std::cos(2 * M_PI * Uniform());
  }
  template <class T>
  void Shuffle(std::vector<T>& v) {
    for (std::size_t i = v.size(); i > 1; --i)
      std::swap(v[i - 1], v[static_cast<std::size_t>(Below(static_cast<int>(i)))]);
  }

 private:
  std::mt19937_64 engine_;
};

}  // namespace omr::exam::testing
