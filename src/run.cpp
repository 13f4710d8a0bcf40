#include "run.h"

#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "blocks.h"
#include "chains.h"
#include "logfile.h"
#include "options.h"
#include "output.h"
#include "params.h"
#include "picture.h"
#include "progress.h"
#include "report.h"
#include "runsummary.h"
#include "samples.h"
#include "series.h"
#include "stats.h"
#include "tree.h"
#include "treefile.h"

namespace scalesum {

int runScalesum(int argc, char** argv) {
  runAnalysis(parseCommandLine(argc, argv), stdout);
  return 0;
}

void runAnalysis(const char* logPath, const char* optionsPath, FILE* out) {
  CommandLine command;
  command.logPath = logPath;
  if (optionsPath != nullptr) command.optionsPath = optionsPath;
  command.quiet = true;
  runAnalysis(command, out);
}

void runAnalysis(const CommandLine& command, FILE* out) {
  // The files are created first: a folder that cannot take them is reported before the work.
  OutputFile report;
  OutputFile stats;
  if (!command.outputPath.empty()) {
    report = openOutputFile(command.outputPath, "report");
    out = report.stream;
  }
  if (!command.statsPath.empty()) stats = openOutputFile(command.statsPath, "statistics");
  OutputFile tree;
  OutputFile picture;
  if (!command.treePath.empty()) tree = openOutputFile(command.treePath, "tree");
  if (!command.svgPath.empty()) picture = openOutputFile(command.svgPath, "picture");
  OutputFile scaledTree;
  if (!command.scaledTreePath.empty()) {
    scaledTree = openOutputFile(command.scaledTreePath, "scaled tree");
  }
  const bool writesNexus = !command.treePath.empty() || !command.scaledTreePath.empty();
  OutputFile params;
  OutputFile traces;
  if (!command.paramsPath.empty()) params = openOutputFile(command.paramsPath, "parameter table");
  if (!command.tracesPath.empty()) traces = openOutputFile(command.tracesPath, "traces");

  Progress progress;
  startProgress(progress, stderr, ::isatty(STDERR_FILENO) == 1, command.progress, command.quiet);
  progress.pass.store(1);  // the one read of the log
  std::unique_ptr<Analysis> analysis = readLogHeader(command.logPath.c_str());
  // Chain 1 is the positional log. The other chains' tables are held against its own as read,
  // before the tree is built from them.
  std::vector<std::string> logPaths{command.logPath};
  logPaths.insert(logPaths.end(), command.chainPaths.begin(), command.chainPaths.end());
  refuseRepeatedLogs(logPaths);
  std::vector<std::unique_ptr<Analysis>> otherChains;
  for (const std::string& path : command.chainPaths) {
    otherChains.push_back(readLogHeader(path.c_str()));
    requireSameTables(*analysis, *otherChains.back());
  }
  buildCladeTree(*analysis);
  // A tree that cannot be drawn is refused before the work, and before any report is printed;
  // both writers draw this one layout.
  TreeLayout layout;
  if (writesNexus || !command.svgPath.empty()) layout = layoutTree(*analysis);
  analysis->options = createDefaultOptions();
  if (!command.optionsPath.empty()) {
    readOptionsFile(*analysis, command.optionsPath.c_str(), command.quiet ? nullptr : stderr);
  }
  if (command.burnIn) analysis->options.burnIn = *command.burnIn;
  analysis->wantStatistics = !command.statsPath.empty() || writesNexus || !command.svgPath.empty();
  analysis->hpdMass = command.hpdMass;
  if (command.threads > 0) omp_set_num_threads(command.threads);

  // A share as burn-in keeps every line while reading, and drops its share of them after.
  const int32_t burnIn = command.burnInShare ? INT32_MIN : analysis->options.burnIn;
  const RecordLimit limit = recordLimit(command.maxMemory, omp_get_max_threads(), command.tempDir);
  std::vector<SampleRecord> records;
  int64_t taken = 0;  // what the records read so far keep from the cap
  for (size_t chain = 0; chain < logPaths.size(); ++chain) {
    LogFile& log = chain == 0 ? analysis->log : otherChains[chain - 1]->log;
    RecordLimit chainLimit = limit;
    chainLimit.limitBytes = limit.limitBytes > taken ? limit.limitBytes - taken : 0;
    records.push_back(readLogSamples(log, *analysis, burnIn, chainLimit));
    SampleRecord& record = records.back();
    if (command.burnInShare) {
      dropLeadingSamples(record, burnInLines(*command.burnInShare, record.sampleLineCount));
    }
    taken += recordBytes(record) + limit.reservePerSample * record.sampleCount;
    analysis->chainSampleCounts.push_back(
        static_cast<int32_t>(std::min<int64_t>(record.sampleCount, INT32_MAX)));
  }
  if (command.burnInShare) {
    int64_t retained = 0;
    for (const SampleRecord& record : records) retained += record.sampleCount;
    if (retained == 0) {
      fail(1, Stream::kStdout,
           "Error in %s: no sample line after the burn-in (%s of each chain's sample lines)\n",
           analysis->log.path.c_str(), command.burnInText.c_str());
    }
  }
  countRetainedSamples(*analysis, records, burnIn);
  const BlockPlan plan = planRun(*analysis, records, command.maxMemory);
  validateSampleNodes(records);
  // The global columns, before the blocks: the chains' tables are written with the others.
  std::vector<ChainColumns> columns;
  if (!command.paramsPath.empty() || !command.tracesPath.empty()) {
    for (SampleRecord& record : records) columns.push_back(chainColumns(record));
  }
  std::vector<ParamsRow> paramRows;
  if (!command.paramsPath.empty()) paramRows = paramsRows(columns, command.hpdMass);
  const size_t positions = analysis->nodes.size();
  progress.nodeCount.store(static_cast<int64_t>(positions));
  progress.passCount.store(1 + static_cast<int>(plan.blockCount));
  for (size_t block = 0; block < plan.blockCount; ++block) {
    const auto [begin, end] = blockPositions(plan, block, positions);
    progress.pass.store(2 + static_cast<int>(block));
    applySamplesToPositions(*analysis, records, begin, end);
    summariseNodes(*analysis, begin, end, &progress.summariesDone);
    // The next block needs the room; the last block's histories stay.
    if (block + 1 < plan.blockCount) releaseHistories(*analysis, begin, end);
  }
  // The terminal line goes before the report, which may share the terminal.
  finishProgress(progress);

  // The files are complete before the report is printed: a disk that fills up while they are
  // written must not follow a report that already looks like a success.
  if (!command.statsPath.empty()) {
    writeStatistics(stats.stream, *analysis);
    finishOutputFile(stats);
  }
  TreeFileSettings treeSettings{command.colorBy, command.crediblePercent, BranchLengths::kLogged};
  if (!command.treePath.empty()) {
    writeTreeFile(tree.stream, *analysis, layout, treeSettings);
    finishOutputFile(tree);
  }
  if (!command.scaledTreePath.empty()) {
    treeSettings.lengths =
        command.scaleByMedian ? BranchLengths::kScaledByMedian : BranchLengths::kScaledByMean;
    writeTreeFile(scaledTree.stream, *analysis, layout, treeSettings);
    finishOutputFile(scaledTree);
  }
  if (!command.svgPath.empty()) {
    const PictureSettings pictureSettings{
        command.colorBy, command.circular ? PictureLayout::kCircular : PictureLayout::kRectangular,
        command.nodeIds, command.crediblePercent};
    writePicture(picture.stream, *analysis, layout, pictureSettings);
    finishOutputFile(picture);
  }
  const std::vector<std::string>& fieldNames = records.front().fieldNames;
  if (!command.paramsPath.empty()) {
    writeParams(params.stream, paramRows, fieldNames);
    finishOutputFile(params);
  }
  if (!command.tracesPath.empty()) {
    writeTraces(traces.stream, columns, fieldNames);
    finishOutputFile(traces);
  }
  writeNodeReport(out, *analysis);
  if (command.outputPath.empty()) {
    // A report cut short by a full disk or a closed pipe must not look like a success.
    if (std::fflush(out) != 0 || std::ferror(out)) {
      fail(1, Stream::kStderr, "Error writing the report to standard output\n");
    }
  } else {
    finishOutputFile(report);
  }
  commitOutputFile(report);
  commitOutputFile(stats);
  commitOutputFile(tree);
  commitOutputFile(picture);
  commitOutputFile(scaledTree);
  commitOutputFile(params);
  commitOutputFile(traces);

  if (!command.quiet && (analysis->wantStatistics || !paramRows.empty())) {
    std::fputs(highRhatWarning(*analysis, paramRows, fieldNames).c_str(), stderr);
    if (analysis->wantStatistics) std::fputs(lowSampleSizeWarning(*analysis).c_str(), stderr);
    std::fputs(lowBulkOrTailWarning(*analysis, paramRows, fieldNames).c_str(), stderr);
  }
  if (!command.quiet && analysis->wantStatistics) {
    std::fputs(credibleShiftsLine(*analysis, command.crediblePercent).c_str(), stderr);
    const auto [first, second] =
        writesNexus ? namesDifferingInCase(*analysis) : std::pair<std::string, std::string>{};
    if (!first.empty()) {
      std::fprintf(stderr,
                   "Scalesum: warning: taxa %s and %s differ only in case, which NEXUS readers "
                   "may fold, taking them for one taxon\n",
                   first.c_str(), second.c_str());
    }
  }
  if (command.verbose) {
    RunSummary summary = summariseRun(*analysis, records, plan.blockCount);
    if (command.burnInShare) summary.burnInShare = command.burnInText;
    std::fputs(describeRunSummary(summary).c_str(), stderr);
  }
}

}  // namespace scalesum
