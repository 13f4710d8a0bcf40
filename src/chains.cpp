#include "chains.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "failure.h"
#include "linereader.h"

namespace scalesum {

namespace {

std::string describe(const char* format, long long a, long long b) {
  char text[160];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

}  // namespace

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

std::string firstTableDifference(const Tree& first, const Tree& chain) {
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

void requireSameTables(const Tree& first, const Tree& chain) {
  const std::string difference = firstTableDifference(first, chain);
  if (!difference.empty()) {
    fail(1, Stream::kStdout, "Error in %s: not the tree of %s: %s\n", chain.path.c_str(),
         first.path.c_str(), difference.c_str());
  }
}

BurnIn decideBurnIn(const CommandLine& command, int32_t fileIteration) {
  BurnIn burnIn;
  burnIn.iteration = command.burnIn.value_or(fileIteration);
  burnIn.share = command.burnInShare;
  burnIn.shareText = command.burnInText;
  burnIn.readingCut = burnIn.share ? INT32_MIN : burnIn.iteration;
  // A flag that lowers the file's burn-in, or turns it into a share, may keep samples that the
  // file was written to drop.
  if (fileIteration > 0) {
    if (command.burnIn && *command.burnIn < fileIteration) {
      burnIn.warning = warningText("--burnin %d replaces the options file's IT %d", *command.burnIn,
                                   fileIteration);
    } else if (command.burnInShare) {
      burnIn.warning = warningText("--burnin %s replaces the options file's IT %d",
                                   command.burnInText.c_str(), fileIteration);
    }
  }
  return burnIn;
}

void dropBurnInShare(const BurnIn& burnIn, SampleRecord& record) {
  if (burnIn.share) dropLeadingSamples(record, burnInLines(*burnIn.share, record.sampleLineCount));
}

// A share of the lines (10%) is easily taken for an iteration (10).
void warnOfIdleBurnIn(const std::vector<SampleRecord>& records, const BurnIn& burnIn) {
  const int32_t cut = burnIn.readingCut;
  if (cut <= 0) return;
  const std::string share = cut <= 100 ? std::to_string(cut) + "%" : "PCT%";
  for (const SampleRecord& record : records) {
    if (record.sampleLineCount == 0 || record.sampleCount < record.sampleLineCount ||
        cut >= record.firstIteration) {
      continue;
    }
    warn(
        "burn-in %d is below the first sample's iteration (%d) in %s, so no sample is dropped; "
        "--burnin %s drops a share of the sample lines",
        cut, record.firstIteration, record.path.c_str(), share.c_str());
  }
}

void dropLeadingSamples(SampleRecord& record, int64_t count) {
  count = std::min(count, record.sampleCount);
  record.skipped += count;
  record.sampleCount -= count;
  std::erase_if(record.faults, [&](const SampleFault& f) { return f.sampleIndex < count; });
  for (SampleFault& fault : record.faults) fault.sampleIndex -= count;
}

ChainColumns chainColumns(const SampleRecord& record) {
  ChainColumns columns;
  SampleEntry sample;
  try {
    const auto n = static_cast<size_t>(record.sampleCount);
    columns.iterations.reserve(n);
    for (std::vector<double>& values : columns.values) values.reserve(n);
    RecordCursor cursor = startReplay(record);
    while (nextSample(record, cursor, sample)) {
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
