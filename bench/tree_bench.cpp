// Building the clade tree of balanced and caterpillar trees, with and without reading the
// log header that lists their clades.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "logfile.h"
#include "tree.h"

namespace {

// Writes the header of a log whose tree has `taxa` taxa and returns its path.
std::string writeTreeLog(int taxa, bool caterpillar) {
  std::vector<std::pair<int, int>> clades;  // [first, last) taxon ranges
  if (caterpillar) {
    for (int first = 0; first < taxa - 1; ++first) clades.push_back({first, taxa});
  } else {
    std::vector<std::pair<int, int>> pending{{0, taxa}};
    while (!pending.empty()) {
      auto [first, last] = pending.back();
      pending.pop_back();
      if (last - first < 2) continue;
      clades.push_back({first, last});
      const int middle = first + (last - first) / 2;
      pending.push_back({first, middle});
      pending.push_back({middle, last});
    }
  }
  for (int t = 0; t < taxa; ++t) clades.push_back({t, t + 1});
  char path[] = "/tmp/scalesum-tree-bench-XXXXXX";
  const int fd = ::mkstemp(path);
  ::close(fd);
  std::ofstream log(path);
  log << taxa << "\n";
  for (int t = 0; t < taxa; ++t) log << t << " taxon" << t << "\n";
  log << clades.size() << "\n";
  int id = 0;
  for (auto [first, last] : clades) {
    log << id++ << " 0.1 " << last - first;
    for (int t = first; t < last; ++t) log << " " << t;
    log << "\n";
  }
  log << "header\n";
  return path;
}

void BM_BuildCladeTree(benchmark::State& state) {
  const std::string path = writeTreeLog(static_cast<int>(state.range(0)), state.range(1) != 0);
  const bool buildOnly = state.range(2) != 0;
  for (auto _ : state) {
    if (buildOnly) state.PauseTiming();
    scalesum::LogFile log;
    scalesum::Tree tree = scalesum::readLogHeader(log, path.c_str());
    if (buildOnly) state.ResumeTiming();
    scalesum::buildCladeTree(tree);
    benchmark::DoNotOptimize(tree.root);
  }
  std::remove(path.c_str());
  state.SetLabel(std::string(state.range(1) != 0 ? "caterpillar" : "balanced") +
                 (buildOnly ? ", tree only" : ", header and tree"));
}

BENCHMARK(BM_BuildCladeTree)
    ->ArgsProduct({{500, 5000}, {0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
