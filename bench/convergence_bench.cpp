// What the convergence diagnostics cost per series: 4 chains of 2,500 draws, for the kinds of
// series a run summarises. Each iteration is one series; multiply by 4 series per node and the
// node count to compare with a run's time.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "convergence.h"
#include "seriesmath.h"

namespace {

constexpr size_t kChains = 4;
constexpr size_t kDraws = 2500;

enum Kind { kMixing, kSlow, kMostlyUnscaled, kDrifting };

// Four chains of the given kind, one after the other.
std::vector<double> simulate(Kind kind) {
  std::mt19937_64 random(7);
  std::normal_distribution<double> noise;
  std::uniform_real_distribution<double> uniform;
  std::vector<double> draws;
  for (size_t c = 0; c < kChains; ++c) {
    double x = 0.0;
    for (size_t i = 0; i < kDraws; ++i) {
      switch (kind) {
        case kMixing:
          x = 0.3 * x + noise(random);
          draws.push_back(x);
          break;
        case kSlow:
          x = 0.98 * x + noise(random);
          draws.push_back(x);
          break;
        case kMostlyUnscaled:
          // A branch that most samples leave alone: its scalar is exactly 1 there.
          draws.push_back(uniform(random) < 0.8 ? 1.0 : std::exp(noise(random)));
          break;
        case kDrifting:
          // A chain still on its way from where it started, as before its burn-in is cut:
          // its autocorrelations stay positive to lags near the half-chain's length.
          x = i == 0 ? 40.0 : 0.998 * x + noise(random);
          draws.push_back(x);
          break;
      }
    }
  }
  return draws;
}

void diagnose(benchmark::State& state) {
  const std::vector<double> draws = simulate(static_cast<Kind>(state.range(0)));
  std::vector<const double*> chains;
  for (size_t c = 0; c < kChains; ++c) chains.push_back(draws.data() + c * kDraws);
  scalesum::ConvergenceScratch scratch;
  for (auto _ : state) {
    benchmark::DoNotOptimize(scalesum::convergence(chains, kDraws, scratch));
  }
}
BENCHMARK(diagnose)
    ->ArgName("mixing0_slow1_unscaled2_drifting3")
    ->DenseRange(0, 3)
    ->Unit(benchmark::kMicrosecond);

// The statistics file's effective sample size of one drifting series of 10,000 values: with
// later lags from transforms (0) or every lag summed directly (1).
void sampleSize(benchmark::State& state) {
  std::mt19937_64 random(7);
  std::normal_distribution<double> noise;
  std::vector<double> series(10000);
  double x = 40.0;
  for (double& value : series) value = x = 0.998 * x + noise(random);
  const bool direct = state.range(0) == 1;
  scalesum::SampleSizeScratch scratch;
  for (auto _ : state) {
    benchmark::DoNotOptimize(direct ? scalesum::directSampleSize(series.data(), 10000, scratch)
                                    : scalesum::effectiveSampleSize(series.data(), 10000, scratch));
  }
}
BENCHMARK(sampleSize)->ArgName("direct")->DenseRange(0, 1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
