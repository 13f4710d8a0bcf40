// The mode search of one summary with each density engine, reported per kernel term: a summary
// of n values evaluates about 1000 x n terms. And the sort of a series before it, per value,
// against the comparison sort in the same order.
//
//   density_bench [--benchmark_filter=avx2] [--benchmark_min_time=1]
//   density_bench --benchmark_filter=sort/

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "KernelDensityFast.h"

using namespace scalesum;

namespace {

// Log-normal values (sigma 1), or 70% exactly 1.0 and the rest log-normal (a rarely scaled
// branch).
const DensitySummary& benchSummary(bool mostlyOnes, int n) {
  static std::map<std::pair<bool, int>, DensitySummary> cache;
  auto found = cache.find({mostlyOnes, n});
  if (found != cache.end()) return found->second;
  std::mt19937_64 rng(static_cast<uint64_t>(n) * 2 + mostlyOnes);
  std::lognormal_distribution<double> logNormal(0.0, 1.0);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<double> values(static_cast<size_t>(n));
  for (double& v : values) v = mostlyOnes && unit(rng) < 0.7 ? 1.0 : logNormal(rng);
  DensitySummary summary = createDensitySummary(n, values.data());
  applyRobustBandwidth(summary);
  return cache.emplace(std::make_pair(mostlyOnes, n), std::move(summary)).first->second;
}

struct Variant {
  const char* name;
  DensityEngine engine;
};

void runModeSearch(benchmark::State& state, DensityEngine engine, bool mostlyOnes, int n) {
  if (engine.lanes != DensityLanes::kReference && !densityEngineUsable(engine)) {
    state.SkipWithError("engine not usable on this machine");
    return;
  }
  const DensitySummary& summary = benchSummary(mostlyOnes, n);
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine.lanes == DensityLanes::kReference
                                 ? findDensityModeReference(summary)
                                 : findDensityModeWith(summary, engine));
  }
  const double terms = 1000.0 * n;
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * terms));
  // Seconds per term, printed with an SI prefix ("6.5n" is 6.5 ns).
  state.counters["per_term"] = benchmark::Counter(
      terms, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Sorts a fresh copy of the series on each iteration, with sortReals or the comparison sort;
// with runLength > 1 the shuffled values come in runs of that many equal ones, as the Scalars of
// a branch whose scalar lasts for many samples do.
void runSort(benchmark::State& state, bool mostlyOnes, int n, bool comparison, int runLength) {
  const std::vector<double>& sorted = benchSummary(mostlyOnes, n).sortedValues;
  std::vector<double> shuffled = sorted;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937_64(3));
  for (int i = n - 1; i >= 0; --i) shuffled[i] = shuffled[i / runLength];
  std::vector<double> values(shuffled.size());
  for (auto _ : state) {
    state.PauseTiming();
    values = shuffled;
    state.ResumeTiming();
    if (comparison) {
      std::sort(values.begin(), values.end(), [](double a, double b) {
        return a < b || (a == b && std::signbit(a) && !std::signbit(b));
      });
    } else {
      sortReals(values.data(), n);
    }
    benchmark::DoNotOptimize(values.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * n);
}

}  // namespace

int main(int argc, char** argv) {
  const Variant variants[] = {
      {"reference", {DensityLanes::kReference, false, false}},
      {"scalar+window", {DensityLanes::kScalar, true, false}},
      {"scalar+window+runs", {DensityLanes::kScalar, true, true}},
      {"avx2", {DensityLanes::kAvx2, false, false}},
      {"avx2+window", {DensityLanes::kAvx2, true, false}},
      {"avx2+window+runs", {DensityLanes::kAvx2, true, true}},
      {"avx2+window+runs+pruned", {DensityLanes::kAvx2, true, true, true}},
      {"avx512", {DensityLanes::kAvx512, false, false}},
      {"avx512+window", {DensityLanes::kAvx512, true, false}},
      {"avx512+window+runs", {DensityLanes::kAvx512, true, true}},
      {"avx512+window+runs+pruned", {DensityLanes::kAvx512, true, true, true}},
  };
  for (bool mostlyOnes : {false, true}) {
    for (int n : {1000, 10000, 100000}) {
      for (const Variant& variant : variants) {
        const std::string name = std::string("mode/") + variant.name +
                                 (mostlyOnes ? "/ones70/" : "/lognormal/") + std::to_string(n);
        benchmark::RegisterBenchmark(name.c_str(), runModeSearch, variant.engine, mostlyOnes, n)
            ->Unit(benchmark::kMillisecond);
      }
    }
  }
  for (bool mostlyOnes : {false, true}) {
    for (int n : {1000, 10000, 100000}) {
      for (bool comparison : {false, true}) {
        for (int runLength : {1, 20}) {
          const std::string name = std::string("sort/") + (comparison ? "std::sort" : "sortReals") +
                                   (mostlyOnes ? "/ones70" : "/lognormal") +
                                   (runLength > 1 ? "/runs20/" : "/") + std::to_string(n);
          benchmark::RegisterBenchmark(name.c_str(), runSort, mostlyOnes, n, comparison, runLength)
              ->Unit(benchmark::kMicrosecond);
        }
      }
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
