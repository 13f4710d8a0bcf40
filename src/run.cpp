#include "run.h"

#include <omp.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "blocks.h"
#include "logfile.h"
#include "options.h"
#include "output.h"
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

  Progress progress;
  startProgress(progress, stderr, ::isatty(STDERR_FILENO) == 1, command.progress, command.quiet);
  progress.pass.store(1);  // the one read of the log
  std::unique_ptr<Analysis> analysis = readLogHeader(command.logPath.c_str());
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

  const int32_t burnIn = analysis->options.burnIn;
  std::vector<SampleRecord> records;
  records.push_back(
      readLogSamples(analysis->log, *analysis, burnIn,
                     recordLimit(command.maxMemory, omp_get_max_threads(), command.tempDir)));
  countRetainedSamples(*analysis, records, burnIn);
  const BlockPlan plan = planRun(*analysis, records, command.maxMemory);
  validateSampleNodes(records);
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

  if (!command.quiet && analysis->wantStatistics) {
    std::fputs(lowSampleSizeWarning(*analysis).c_str(), stderr);
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
    std::fputs(describeRunSummary(summariseRun(*analysis, records, plan.blockCount)).c_str(),
               stderr);
  }
}

}  // namespace scalesum
