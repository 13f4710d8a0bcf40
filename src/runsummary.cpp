#include "runsummary.h"

#include <chrono>
#include <cstdio>

namespace scalesum {

namespace {

// Set while the program loads, before main: the summary times the whole run, parsing included.
const std::chrono::steady_clock::time_point kProgramStart = std::chrono::steady_clock::now();

const char* plural(int64_t count) {
  return count == 1 ? "" : "s";
}

}  // namespace

RunSummary summariseRun(const Tree& tree, const Results& results,
                        const std::vector<SampleRecord>& records, int32_t burnIn, size_t blocks) {
  RunSummary summary;
  summary.chains = static_cast<int>(records.size());
  for (const SampleRecord& record : records) summary.sampleLines += record.sampleLineCount;
  summary.retained = results.sampleCount;
  summary.burnIn = burnIn;
  summary.nodes = static_cast<int64_t>(tree.nodes.size());
  summary.blocks = static_cast<int64_t>(blocks);
  summary.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - kProgramStart).count();
  return summary;
}

std::string describeRunSummary(const RunSummary& summary) {
  // The iteration, or the share of each chain's sample lines when that was the burn-in.
  const std::string burnIn =
      summary.burnInShare.empty() ? std::to_string(summary.burnIn) : summary.burnInShare;
  char line[512];
  std::snprintf(line, sizeof line,
                "Scalesum: %d chain%s, %lld sample lines read, %lld samples retained (burn-in "
                "%s), %lld nodes, %lld block%s, %.2f s%s%s\n",
                summary.chains, plural(summary.chains), static_cast<long long>(summary.sampleLines),
                static_cast<long long>(summary.retained), burnIn.c_str(),
                static_cast<long long>(summary.nodes), static_cast<long long>(summary.blocks),
                plural(summary.blocks), summary.seconds, summary.verdict.empty() ? "" : ", ",
                summary.verdict.c_str());
  return line;
}

}  // namespace scalesum
