#include "chains.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <optional>
#include <unordered_set>

#include "failure.h"
#include "linereader.h"
#include "stats.h"

namespace scalesum {

namespace {

std::string describe(const char* format, long long a, long long b) {
  char text[160];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

// Counts `figure`, which is worse than the extreme so far when `worse`; `at` tells where it is.
template <typename Where>
void offer(FigureCount& figures, double figure, bool worse, const Where& at) {
  if (figures.count++ == 0 || worse) {
    figures.extreme = figure;
    figures.where = at();
  }
}

// Visits every figure that a warning looks at: each series of each node (when statistics were
// computed) and each column's row of all chains, with where it is.
template <typename Visit>
void visitFigures(const Analysis& analysis, const std::vector<ParamsRow>& paramRows,
                  const std::vector<std::string>& fieldNames, Visit visit) {
  if (analysis.wantStatistics) {
    std::unordered_set<const Node*> seen;  // a node at two positions counts once
    for (size_t i = 0; i < analysis.nodes.size(); ++i) {
      if (!seen.insert(analysis.nodes[i]).second) continue;
      for (int s = 0; s < kSeriesCount; ++s) {
        const SeriesStatistics stats = seriesStatistics(analysis, i, static_cast<Series>(s));
        visit(stats.rhat, stats.essBulk, stats.essTail, [&] {
          return "node " + std::to_string(analysis.nodes[i]->id) + ", " + kSeriesNames[s];
        });
      }
    }
  }
  for (const ParamsRow& row : paramRows) {
    if (row.chain != 0) continue;
    auto unlessNA = [](double v) {
      return std::isnan(v) ? std::nullopt : std::optional<double>(v);
    };
    visit(unlessNA(row.convergence.rhat), unlessNA(row.convergence.essBulk),
          unlessNA(row.convergence.essTail),
          [&] { return "column " + columnName(fieldNames, row.field); });
  }
}

}  // namespace

std::string highRhatWarning(const Analysis& analysis, const std::vector<ParamsRow>& paramRows,
                            const std::vector<std::string>& fieldNames) {
  FigureCount high;
  visitFigures(analysis, paramRows, fieldNames,
               [&](const std::optional<double>& rhat, const std::optional<double>&,
                   const std::optional<double>&, const auto& where) {
                 if (!rhat) return;
                 ++high.total;
                 if (*rhat >= kHighRhat) offer(high, *rhat, *rhat > high.extreme, where);
               });
  char measure[80];
  std::snprintf(measure, sizeof measure, "an R-hat of %g or more", kHighRhat);
  // One chain's R-hat compares its halves: it says the chain moved on, not that runs disagree.
  const size_t chains = analysis.chainSampleCounts.size();
  return figureWarning(high, "series or columns", measure, "worst", 3, chains,
                       chains > 1 ? "may not have converged" : "may need to run longer");
}

std::string lowBulkOrTailWarning(const Analysis& analysis, const std::vector<ParamsRow>& paramRows,
                                 const std::vector<std::string>& fieldNames) {
  const size_t chains = analysis.chainSampleCounts.size();
  if (chains < 2) return {};
  const double threshold = kLowSampleSizePerChain * static_cast<double>(chains);
  FigureCount low;
  visitFigures(analysis, paramRows, fieldNames,
               [&](const std::optional<double>&, const std::optional<double>& bulk,
                   const std::optional<double>& tail, const auto& where) {
                 if (!bulk && !tail) return;
                 ++low.total;
                 const bool lowBulk = bulk && *bulk < threshold;
                 const bool lowTail = tail && *tail < threshold;
                 if (!lowBulk && !lowTail) return;
                 const double lowest = !lowTail ? *bulk : !lowBulk ? *tail : std::min(*bulk, *tail);
                 offer(low, lowest, lowest < low.extreme, where);
               });
  char measure[120];
  std::snprintf(measure, sizeof measure,
                "a bulk or tail effective sample size below %g (%g per chain)", threshold,
                kLowSampleSizePerChain);
  return figureWarning(low, "series or columns", measure, "lowest", 1, chains,
                       "may need to run longer");
}

std::string unequalChainsWarning(const Analysis& analysis) {
  const std::vector<int32_t>& counts = analysis.chainSampleCounts;
  if (counts.size() < 2 ||
      std::adjacent_find(counts.begin(), counts.end(), std::not_equal_to<>()) == counts.end()) {
    return {};
  }
  std::string line = "Scalesum: warning: the chains keep ";
  for (size_t c = 0; c < counts.size(); ++c) {
    if (c > 0) line += c + 1 < counts.size() ? ", " : " and ";
    line += std::to_string(counts[c]);
  }
  line +=
      " samples after the burn-in; R-hat and the bulk and tail effective sample sizes use "
      "the first " +
      std::to_string(*std::min_element(counts.begin(), counts.end())) + " of each\n";
  return line;
}

void refuseCopiedChain(const std::vector<SampleRecord>& records) {
  const SampleRecord& last = records.back();
  if (last.sampleCount == 0) return;
  for (size_t c = 0; c + 1 < records.size(); ++c) {
    const SampleRecord& earlier = records[c];
    if (earlier.sampleCount == last.sampleCount && earlier.fingerprint == last.fingerprint) {
      fail(1, Stream::kStdout,
           "Error in %s: the same samples as %s; each chain is a run of its own\n",
           last.path.c_str(), earlier.path.c_str());
    }
  }
}

void refuseRepeatedLogs(const std::vector<std::string>& paths) {
  std::vector<struct stat> seen(paths.size());
  std::vector<bool> known(paths.size(), false);
  for (size_t i = 0; i < paths.size(); ++i) {
    // Standard input twice is the reader's to refuse; a file that is not there, the opener's.
    if (paths[i] == kStandardInput || ::stat(paths[i].c_str(), &seen[i]) != 0) continue;
    known[i] = true;
    for (size_t j = 0; j < i; ++j) {
      if (known[j] && seen[j].st_dev == seen[i].st_dev && seen[j].st_ino == seen[i].st_ino) {
        fail(1, Stream::kStdout,
             "Error in %s: the same file as %s; each chain is a run of its own\n", paths[i].c_str(),
             paths[j].c_str());
      }
    }
  }
}

std::string firstTableDifference(const Analysis& first, const Analysis& chain) {
  if (first.taxa.size() != chain.taxa.size()) {
    return describe("%lld taxa, not %lld", static_cast<long long>(chain.taxa.size()),
                    static_cast<long long>(first.taxa.size()));
  }
  for (size_t i = 0; i < first.taxa.size(); ++i) {
    const Taxon& a = first.taxa[i];
    const Taxon& b = chain.taxa[i];
    if (a.id != b.id || a.name != b.name) {
      return "taxon line " + std::to_string(i + 1) + " is " + std::to_string(b.id) + " " + b.name +
             ", not " + std::to_string(a.id) + " " + a.name;
    }
  }
  if (first.nodeStore.size() != chain.nodeStore.size()) {
    return describe("%lld nodes, not %lld", static_cast<long long>(chain.nodeStore.size()),
                    static_cast<long long>(first.nodeStore.size()));
  }
  for (size_t i = 0; i < first.nodeStore.size(); ++i) {
    const Node& a = *first.nodeStore[i];
    const Node& b = *chain.nodeStore[i];
    const std::string which = "node line " + std::to_string(i + 1);
    if (a.id != b.id) {
      return which + describe(" has id %lld, not %lld", b.id, a.id);
    }
    // Bit for bit: the chains must have logged the very same tree.
    if (std::memcmp(&a.length, &b.length, sizeof a.length) != 0) {
      char text[160];
      std::snprintf(text, sizeof text, " (node %d) has length %.17g, not %.17g", a.id, b.length,
                    a.length);
      return which + text;
    }
    if (a.taxonIds != b.taxonIds) {
      return which + " (node " + std::to_string(a.id) + ") has other taxa";
    }
  }
  return {};
}

void requireSameTables(const Analysis& first, const Analysis& chain) {
  const std::string difference = firstTableDifference(first, chain);
  if (!difference.empty()) {
    fail(1, Stream::kStdout, "Error in %s: not the tree of %s: %s\n", chain.log.path.c_str(),
         first.log.path.c_str(), difference.c_str());
  }
}

void dropLeadingSamples(SampleRecord& record, int64_t count) {
  count = std::min(count, record.sampleCount);
  record.skipped += count;
  record.sampleCount -= count;
  std::erase_if(record.faults, [&](const SampleFault& f) { return f.sampleIndex < count; });
  for (SampleFault& fault : record.faults) fault.sampleIndex -= count;
}

ChainColumns chainColumns(SampleRecord& record) {
  ChainColumns columns;
  SampleEntry sample;
  try {
    const auto n = static_cast<size_t>(record.sampleCount);
    columns.iterations.reserve(n);
    for (std::vector<double>& values : columns.values) values.reserve(n);
    rewindRecord(record);
    while (nextSample(record, sample)) {
      columns.iterations.push_back(sample.iteration);
      // Fields 1 to 6: 1, 2, 4 and 6 are the kept reals, 3 the scalar count, 5 sigma.
      const double byField[kGlobalColumnCount] = {
          sample.globals[0], sample.globals[1], static_cast<double>(sample.groupCount),
          sample.globals[2], sample.sigma,      sample.globals[3]};
      for (int c = 0; c < kGlobalColumnCount; ++c) {
        const int field = c + 1;
        const bool missing = field != 3 && (sample.notANumber & notANumberBit(field)) != 0;
        columns.values[c].push_back(missing ? std::numeric_limits<double>::quiet_NaN()
                                            : byField[c]);
        columns.notANumber[c] = columns.notANumber[c] || missing;
      }
    }
  } catch (const std::bad_alloc&) {
    reportAllocationError("Scalesum", 21);
  }
  return columns;
}

}  // namespace scalesum
