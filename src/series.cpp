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

#include "convergence.h"
#include "failure.h"
#include "seriesmath.h"

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
    const int direction = scalarDirection(value);
    above += direction > 0;
    below += direction < 0;
  }
  out.aboveOne = above;
  out.belowOne = below;
}

// What one thread reuses from series to series; no two threads share one.
struct SeriesScratch {
  std::vector<double> values;         // the series being summarised, in sample order
  ConvergenceScratch draws;           // the diagnosis of the draws this thread diagnosed last
  std::vector<const double*> starts;  // where each chain begins in `values`
  std::vector<double> scaled;         // draws scaled from an earlier diagnosis, ascending
  SampleSizeScratch sampleSize;       // the effective sample sizes' working memory
  SampleSizeScratch scaledSize;       // a scaled series' own, beside the series it scales
  ConvergenceScratch errors;          // the Monte Carlo errors', apart from `draws`
};

// A series that is, value by value, `scale` times the draws whose diagnosis `of` holds, whose
// Monte Carlo errors are `errors` and whose sample size `sampleSize` holds; no draws, or a
// scale that is not above 0, says nothing.
struct ScaledDraws {
  const ConvergenceScratch* of = nullptr;
  double scale = 0.0;
  const MonteCarloErrors* errors = nullptr;
  const SampleSizeScratch* sampleSize = nullptr;
};

// The sigmas' diagnosis, Monte Carlo errors and sample size, which serve every node's DeltaB.
struct SigmaDraws {
  ConvergenceScratch diagnosis;
  MonteCarloErrors errors;
  SampleSizeScratch sampleSize;
};

// Sets `starts` to where each of the run's chains begins in a series in sample order, and
// returns the shortest chain's count, which the diagnostics cut every chain to.
size_t chainStarts(const Results& results, const std::vector<double>& inOrder,
                   std::vector<const double*>& starts) {
  // One run: the chain of all samples (also what a caller that names no chains gets).
  const std::vector<int32_t> one = {results.sampleCount};
  const std::vector<int32_t>& counts =
      results.chainSampleCounts.empty() ? one : results.chainSampleCounts;
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

// Returns the diagnostics of a series in sample order over the run's chains, each cut to its
// first samples up to the shortest chain's count; when `scaled` names draws of which the
// series is a multiple, theirs serve as far as scaling leaves them unchanged, and otherwise
// the series' own diagnosis is left in scratch.draws and `diagnosed` set. When no sample was
// cut, sets `ascending` to the series sorted as sortReals() sorts it; it is left empty
// otherwise.
Convergence chainConvergence(const Results& results, const std::vector<double>& inOrder,
                             SeriesScratch& scratch, std::vector<double>& ascending,
                             ScaledDraws scaled, bool& diagnosed) {
  diagnosed = false;
  const size_t shortest = chainStarts(results, inOrder, scratch.starts);
  const bool whole = shortest * scratch.starts.size() == inOrder.size();
  if (scaled.of != nullptr && scaled.scale > 0.0) {
    if (const std::optional<Convergence> same =
            scaledConvergence(*scaled.of, scaled.scale, scratch.draws, scratch.scaled)) {
      if (whole) ascending.swap(scratch.scaled);
      return *same;
    }
  }
  const Convergence result = convergence(scratch.starts, shortest, scratch.draws);
  diagnosed = true;
  if (scratch.draws.sortedAll && whole) {
    ascending.resize(inOrder.size());
    for (size_t i = 0; i < inOrder.size(); ++i) ascending[i] = scratch.draws.sorted[i].value;
  }
  return result;
}

}  // namespace

void addStatistics(double hpdMass, const std::vector<double>& inOrder,
                   const DensitySummary& summary, SeriesResult& out, SampleSizeScratch& scratch,
                   double scale, const SampleSizeScratch* of) {
  scratch.summed = 0;  // whatever it held is another series'
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
  if (out.min != out.max) out.ess = scaledSampleSize(inOrder.data(), n, scale, of, scratch).ess;
}

void computeSeries(const NodeResult& result, double length, const Results& results, Series series,
                   std::vector<double>& values) {
  const size_t n = static_cast<size_t>(results.sampleCount);
  values.resize(n);
  const double* history = result.lengthHistory.data();
  const double* sigma = results.sampleSigma.data();
  double* out = values.data();
  // Each value is formed from exactly these operands in exactly this order.
  switch (series) {
    case Series::kScalar:
      for (size_t i = 0; i < n; ++i) out[i] = scalarOf(history[i], length);
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
void summariseSeries(const Tree& tree, Results& results, size_t position, Series series,
                     SeriesScratch& scratch, ScaledDraws scaled) {
  NodeResult& result = results.nodes[position];
  computeSeries(result, tree.nodes[position]->length, results, series, scratch.values);
  const std::vector<double>& values = scratch.values;
  SeriesResult& out = result.series[static_cast<int>(series)];
  // The diagnostics sort the series anyway; the summary takes their order rather than sorting
  // it again.
  std::vector<double> ascending;
  if (results.wantStatistics) {
    bool diagnosed = false;
    out.convergence = chainConvergence(results, values, scratch, ascending, scaled, diagnosed);
    if (!diagnosed && scaled.errors != nullptr) {
      out.errors = scaledErrors(*scaled.errors, scaled.scale);
    } else {
      const size_t shortest = chainStarts(results, values, scratch.starts);
      out.errors = monteCarloErrors(scratch.starts, shortest, scratch.errors,
                                    diagnosed ? &scratch.draws : nullptr);
    }
  }
  DensitySummary summary = ascending.empty()
                               ? createDensitySummary(results.sampleCount, values.data())
                               : summariseSorted(std::move(ascending));
  applyRobustBandwidth(summary);
  const double mode = findDensityMode(summary);
  if (series == Series::kScalar) countAboveAndBelowOne(values, out);
  if (results.wantStatistics)
    addStatistics(results.hpdMass, values, summary, out,
                  scaled.sampleSize != nullptr ? scratch.scaledSize : scratch.sampleSize,
                  scaled.scale, scaled.sampleSize);
  // Only the statistics are reported; the sorted copy would otherwise hold four times the
  // memory of all the length histories.
  std::vector<double>().swap(summary.sortedValues);
  out.summary = std::move(summary);
  out.mode = mode;
}

// Summarises the four series of the node at position `position` and stores their summaries
// and modes in the node's result; `sigmas`, when given, holds the diagnostics of the samples'
// sigmas.
void summariseNode(const Tree& tree, Results& results, size_t position, SeriesScratch& scratch,
                   const SigmaDraws* sigmas) {
  // DeltaV is SigV times the node's length, value by value, so it comes straight after SigV,
  // while the diagnostics of SigV are at hand in the scratch; DeltaB is the sigmas times the
  // length. Their diagnostics are most often the same.
  const double length = tree.nodes[position]->length;
  summariseSeries(tree, results, position, Series::kScalar, scratch, {});
  summariseSeries(tree, results, position, Series::kSigV, scratch, {});
  const MonteCarloErrors& sigV =
      results.nodes[position].series[static_cast<int>(Series::kSigV)].errors;
  summariseSeries(tree, results, position, Series::kDeltaV, scratch,
                  {&scratch.draws, length, &sigV, &scratch.sampleSize});
  summariseSeries(tree, results, position, Series::kDeltaB, scratch,
                  sigmas != nullptr ? ScaledDraws{&sigmas->diagnosis, length, &sigmas->errors,
                                                  &sigmas->sampleSize}
                                    : ScaledDraws{});
}

}  // namespace

void summariseAllNodes(const Tree& tree, Results& results) {
  summariseNodes(tree, results, 0, tree.nodes.size(), nullptr);
}

void summariseNodes(const Tree& tree, Results& results, size_t begin, size_t end,
                    std::atomic<int64_t>* finished) {
  // A node can stand at two positions (duplicate ids); it is summarised once, at its first,
  // which is never behind the later one, so it is summarised by this call or an earlier one.
  std::vector<size_t> distinct;
  std::vector<std::pair<size_t, size_t>> repeats;  // (later position, first position)
  std::unordered_map<const Node*, size_t> firstAt;
  for (size_t j = 0; j < end; ++j) {
    const auto [at, isNew] = firstAt.emplace(tree.nodes[j], j);
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
  SigmaDraws sigmas;
  if (results.wantStatistics) {
    std::vector<const double*> starts;
    const size_t shortest = chainStarts(results, results.sampleSigma, starts);
    convergence(starts, shortest, sigmas.diagnosis);
    ConvergenceScratch errors;
    sigmas.errors = monteCarloErrors(starts, shortest, errors, &sigmas.diagnosis);
    const auto n = static_cast<size_t>(results.sampleCount);
    if (n >= 2 && results.sampleSigma.size() >= n)
      effectiveSampleSize(results.sampleSigma.data(), n, sigmas.sampleSize);
  }
  const int threads = startableThreads(omp_get_max_threads());
  // No failure may leave a thread: the first is kept and ends the run once all threads are
  // done, and after it no thread starts another node.
  std::atomic<bool> failed{false};
  RunFailure firstFailure;
#pragma omp parallel num_threads(threads)
  {
    SeriesScratch scratch;
#pragma omp for schedule(dynamic, 1)
    for (int64_t task = 0; task < tasks; ++task) {
      if (failed.load(std::memory_order_relaxed)) continue;
      try {
        summariseNode(tree, results, distinct[static_cast<size_t>(task)], scratch,
                      results.wantStatistics ? &sigmas : nullptr);
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
      results.nodes[later].series[s] = results.nodes[first].series[s];
    }
    if (finished != nullptr) finished->fetch_add(kSeriesCount, std::memory_order_relaxed);
  }
}

}  // namespace scalesum
