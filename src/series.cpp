#include "series.h"

#include <omp.h>
#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <optional>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "stats.h"

namespace scalesum {

namespace {

void* idle(void*) {
  return nullptr;
}

// Returns how many threads, up to `wanted`, the loop can have. A thread's stack is memory too,
// and a threading runtime that cannot start a thread ends the process with a message of its
// own; since no result depends on the number of threads, the loop makes do with those that
// start. Stacks of joined threads stay cached for the runtime to reuse.
int startableThreads(int wanted) {
  std::vector<pthread_t> started;
  try {
    started.reserve(static_cast<size_t>(wanted));
  } catch (const std::bad_alloc&) {
    reportAllocationError("Scalesum", 7);
  }
  for (int i = 1; i < wanted; ++i) {
    pthread_t thread;
    if (::pthread_create(&thread, nullptr, idle, nullptr) != 0) break;
    started.push_back(thread);
  }
  for (pthread_t thread : started) ::pthread_join(thread, nullptr);
  return 1 + static_cast<int>(started.size());
}

// Counts the values above 1 and below 1: the samples that made the branch faster or slower.
void countAboveAndBelowOne(const std::vector<double>& values, SeriesResult& out) {
  int32_t above = 0;
  int32_t below = 0;
  for (double value : values) {
    above += value > 1.0;
    below += value < 1.0;
  }
  out.aboveOne = above;
  out.belowOne = below;
}

}  // namespace

namespace {

// Sets `starts` to where each of the run's chains begins in a series in sample order, and
// returns the shortest chain's count, which the diagnostics cut every chain to.
size_t chainStarts(const Analysis& analysis, const std::vector<double>& inOrder,
                   std::vector<const double*>& starts) {
  // One run: the chain of all samples (also what a caller that names no chains gets).
  const std::vector<int32_t> one = {analysis.sampleCount};
  const std::vector<int32_t>& counts =
      analysis.chainSampleCounts.empty() ? one : analysis.chainSampleCounts;
  starts.clear();
  size_t at = 0;
  size_t shortest = SIZE_MAX;
  for (int32_t count : counts) {
    starts.push_back(inOrder.data() + at);
    at += static_cast<size_t>(count);
    shortest = std::min(shortest, static_cast<size_t>(count));
  }
  return shortest;
}

}  // namespace

Convergence chainConvergence(const Analysis& analysis, const std::vector<double>& inOrder,
                             std::vector<double>* ascending, ScaledDraws scaled) {
  // Each thread keeps its buffers from series to series.
  thread_local ConvergenceScratch scratch;
  thread_local std::vector<const double*> starts;
  thread_local std::vector<double> ys;
  const size_t shortest = chainStarts(analysis, inOrder, starts);
  const bool whole = shortest * starts.size() == inOrder.size();
  if (scaled.scale > 0.0) {
    const ConvergenceScratch& of = scaled.of != nullptr ? *scaled.of : scratch;
    if (const std::optional<Convergence> same = scaledConvergence(of, scaled.scale, scratch, ys)) {
      if (ascending != nullptr && whole) ascending->swap(ys);
      return *same;
    }
  }
  const Convergence result = convergence(starts, shortest, scratch);
  if (ascending != nullptr && scratch.sortedAll && whole) {
    ascending->resize(inOrder.size());
    for (size_t i = 0; i < inOrder.size(); ++i) (*ascending)[i] = scratch.sorted[i].value;
  }
  return result;
}

void addStatistics(double hpdMass, const std::vector<double>& inOrder,
                   const DensitySummary& summary, SeriesResult& out) {
  const size_t n = summary.sortedValues.size();
  if (n == 0) return;
  const double* sorted = summary.sortedValues.data();
  out.allFinite = true;
  for (size_t i = 0; i < n && out.allFinite; ++i) out.allFinite = std::isfinite(sorted[i]);
  // Not-a-number values sort last; like the mean, the range is then not-a-number too.
  const bool anyNaN = std::isnan(sorted[n - 1]);
  out.min = anyNaN ? sorted[n - 1] : sorted[0];
  out.max = sorted[n - 1];
  if (!out.allFinite) return;
  std::tie(out.hpdLower, out.hpdUpper) = highestDensityInterval(sorted, n, hpdMass);
  if (out.min != out.max) out.ess = effectiveSampleSize(inOrder.data(), n);
}

void computeSeries(const NodeResult& result, double length, const Analysis& analysis, Series series,
                   std::vector<double>& values) {
  const size_t n = static_cast<size_t>(analysis.sampleCount);
  values.resize(n);
  const double* history = result.lengthHistory.data();
  const double* sigma = analysis.sampleSigma.data();
  double* out = values.data();
  // Each value is formed from exactly these operands in exactly this order.
  switch (series) {
    case Series::kScalar:
      for (size_t i = 0; i < n; ++i) out[i] = history[i] / length;
      break;
    case Series::kSigV:
      for (size_t i = 0; i < n; ++i) out[i] = (history[i] / length) * sigma[i];
      break;
    case Series::kDeltaB:
      for (size_t i = 0; i < n; ++i) out[i] = sigma[i] * length;
      break;
    case Series::kDeltaV:
      for (size_t i = 0; i < n; ++i) out[i] = ((history[i] / length) * sigma[i]) * length;
      break;
  }
}

namespace {

// Summarises one series of the node at `position` into its result; `scaled` says what draws
// the series is a multiple of, if any.
void summariseSeries(Analysis& analysis, size_t position, Series series,
                     std::vector<double>& scratch, ScaledDraws scaled) {
  NodeResult& result = analysis.results[position];
  computeSeries(result, analysis.nodes[position]->length, analysis, series, scratch);
  SeriesResult& out = result.series[static_cast<int>(series)];
  // The diagnostics sort the series anyway; the summary takes their order rather than sorting
  // it again.
  std::vector<double> ascending;
  if (analysis.wantStatistics) {
    out.convergence = chainConvergence(analysis, scratch, &ascending, scaled);
  }
  DensitySummary summary = ascending.empty()
                               ? createDensitySummary(analysis.sampleCount, scratch.data())
                               : summariseSorted(std::move(ascending));
  applyRobustBandwidth(summary);
  const double mode = findDensityMode(summary);
  if (series == Series::kScalar) countAboveAndBelowOne(scratch, out);
  if (analysis.wantStatistics) addStatistics(analysis.hpdMass, scratch, summary, out);
  // Only the statistics are reported; the sorted copy would otherwise hold four times the
  // memory of all the length histories.
  std::vector<double>().swap(summary.sortedValues);
  out.summary = std::move(summary);
  out.mode = mode;
}

}  // namespace

void summariseNode(Analysis& analysis, size_t position, std::vector<double>& scratch,
                   const ConvergenceScratch* sigmas) {
  // DeltaV is SigV times the node's length, value by value, so it comes straight after SigV,
  // while the diagnostics of SigV are at hand; DeltaB is the sigmas times the length. Their
  // diagnostics are most often the same.
  const double length = analysis.nodes[position]->length;
  summariseSeries(analysis, position, Series::kScalar, scratch, {});
  summariseSeries(analysis, position, Series::kSigV, scratch, {});
  summariseSeries(analysis, position, Series::kDeltaV, scratch, {nullptr, length});
  summariseSeries(analysis, position, Series::kDeltaB, scratch, {sigmas, length});
}

void summariseAllNodes(Analysis& analysis) {
  summariseNodes(analysis, 0, analysis.nodes.size(), nullptr);
}

void summariseNodes(Analysis& analysis, size_t begin, size_t end, std::atomic<int64_t>* finished) {
  // A node can stand at two positions (duplicate ids); it is summarised once, at its first,
  // which is never behind the later one, so it is summarised by this call or an earlier one.
  std::vector<size_t> distinct;
  std::vector<std::pair<size_t, size_t>> repeats;  // (later position, first position)
  std::unordered_map<const Node*, size_t> firstAt;
  for (size_t j = 0; j < end; ++j) {
    const auto [at, isNew] = firstAt.emplace(analysis.nodes[j], j);
    if (j < begin) continue;
    if (isNew) {
      distinct.push_back(j);
    } else {
      repeats.emplace_back(j, at->second);
    }
  }
  // Every node's summaries are independent and about equally costly, so nodes are handed out
  // one at a time: no thread idles while another works through a block of nodes.
  const auto tasks = static_cast<int64_t>(distinct.size());
  // The sigmas' diagnostics, which serve every node's DeltaB.
  ConvergenceScratch sigmas;
  if (analysis.wantStatistics) {
    std::vector<const double*> starts;
    const size_t shortest = chainStarts(analysis, analysis.sampleSigma, starts);
    convergence(starts, shortest, sigmas);
  }
  const int threads = startableThreads(omp_get_max_threads());
  // No failure may leave a thread: the first is kept and ends the run once all threads are
  // done, and after it no thread starts another node.
  std::atomic<bool> failed{false};
  RunFailure firstFailure;
#pragma omp parallel num_threads(threads)
  {
    std::vector<double> scratch;
#pragma omp for schedule(dynamic, 1)
    for (int64_t task = 0; task < tasks; ++task) {
      if (failed.load(std::memory_order_relaxed)) continue;
      try {
        summariseNode(analysis, distinct[static_cast<size_t>(task)], scratch,
                      analysis.wantStatistics ? &sigmas : nullptr);
      } catch (const std::bad_alloc&) {
        if (!failed.exchange(true)) firstFailure = allocationFailure("Scalesum", 4);
      } catch (const RunFailure& failure) {
        if (!failed.exchange(true)) firstFailure = failure;
      }
      if (finished != nullptr) finished->fetch_add(kSeriesCount, std::memory_order_relaxed);
    }
  }
  if (failed.load()) throw firstFailure;
  for (const auto& [later, first] : repeats) {
    for (int s = 0; s < kSeriesCount; ++s) {
      analysis.results[later].series[s] = analysis.results[first].series[s];
    }
    if (finished != nullptr) finished->fetch_add(kSeriesCount, std::memory_order_relaxed);
  }
}

}  // namespace scalesum
