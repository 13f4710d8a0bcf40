// Prints which density engine this process chose and whether its modes and densities equal the
// reference's on a few random series, one "key value" line each; exits 1 on any mismatch. Tests
// run it under environments that change the platform's exp.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "KernelDensityFast.h"

using namespace scalesum;

namespace {

uint64_t bitsOf(double x) {
  uint64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  return bits;
}

const char* yesNo(bool b) {
  return b ? "yes" : "no";
}

}  // namespace

int main() {
  const auto start = std::chrono::steady_clock::now();
  const char* path = densityEnginePath();
  const std::chrono::duration<double, std::milli> checkTime =
      std::chrono::steady_clock::now() - start;
  std::printf("path %s\n", path);
  std::printf("check-ms %.3f\n", checkTime.count());
  std::printf("avx2-supported %s\n", yesNo(densityLanesSupported(DensityLanes::kAvx2)));
  std::printf("avx2-usable %s\n", yesNo(densityEngineUsable({DensityLanes::kAvx2, true, true})));
  std::printf("avx512-supported %s\n", yesNo(densityLanesSupported(DensityLanes::kAvx512)));
  std::printf("avx512-usable %s\n",
              yesNo(densityEngineUsable({DensityLanes::kAvx512, true, true})));

  std::mt19937_64 rng(31337);
  std::lognormal_distribution<double> spread(0.0, 2.0);
  int mismatches = 0;
  std::vector<double> points(kMaxGridPoints), fast(kMaxGridPoints), slow(kMaxGridPoints);
  for (int n : {3, 50, 700}) {
    std::vector<double> values(static_cast<size_t>(n));
    for (size_t i = 0; i < values.size(); ++i) values[i] = i % 3 == 0 ? 1.0 : spread(rng);
    DensitySummary summary = createDensitySummary(n, values.data());
    applyRobustBandwidth(summary);
    if (bitsOf(findDensityMode(summary)) != bitsOf(findDensityModeReference(summary))) ++mismatches;
    const int32_t count =
        evaluateDensityGrid(summary, selectedDensityEngine(), points.data(), fast.data());
    evaluateDensityGrid(summary, {}, points.data(), slow.data());
    for (int32_t k = 0; k < count; ++k) mismatches += bitsOf(fast[k]) != bitsOf(slow[k]);
  }
  std::printf("mismatches %d\n", mismatches);
  return mismatches == 0 ? 0 : 1;
}
