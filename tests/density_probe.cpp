// Prints the density engine this process chose and exits 0 when that is the engine its argument
// names, with both shortcuts unless it is the reference, and its densities equal the reference's
// on a series. A test runs it under an environment that changes the platform's exp.

#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "KernelDensityFast.h"

using namespace scalesum;

int main(int argc, char** argv) {
  std::mt19937_64 rng(31337);
  std::lognormal_distribution<double> spread(0.0, 2.0);
  std::vector<double> values(700);
  for (size_t i = 0; i < values.size(); ++i) values[i] = i % 3 == 0 ? 1.0 : spread(rng);
  DensitySummary s = createDensitySummary(700, values.data());
  applyRobustBandwidth(s);
  std::vector<double> points(kMaxGridPoints), fast(kMaxGridPoints), slow(kMaxGridPoints);
  evaluateDensityGrid(s, selectedDensityEngine(), points.data(), fast.data());
  evaluateDensityGrid(s, {}, points.data(), slow.data());
  std::printf("path %s\n", densityEnginePath());
  const DensityEngine engine = selectedDensityEngine();
  const bool shortcuts =
      engine.lanes == DensityLanes::kReference || (engine.zeroWindow && engine.valueRuns);
  return argc == 2 && std::strcmp(argv[1], densityEnginePath()) == 0 && shortcuts && fast == slow
             ? 0
             : 1;
}
