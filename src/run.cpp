#include "run.h"

#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <deque>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "blocks.h"
#include "chains.h"
#include "failure.h"
#include "htmlpage.h"
#include "layout.h"
#include "logfile.h"
#include "options.h"
#include "output.h"
#include "params.h"
#include "picture.h"
#include "prior.h"
#include "progress.h"
#include "provenance.h"
#include "report.h"
#include "results.h"
#include "runsummary.h"
#include "samples.h"
#include "series.h"
#include "statistic.h"
#include "statsfile.h"
#include "summaryfile.h"
#include "tree.h"
#include "treefile.h"
#include "verdict.h"
#include "version.h"
#include "warnings.h"

namespace scalesum {

void runAnalysis(const char* logPath, const char* optionsPath, FILE* out) {
  CommandLine command;
  command.logPath = logPath;
  if (optionsPath != nullptr) command.optionsPath = optionsPath;
  command.quiet = true;
  runAnalysis(command, out);
}

namespace {

// The files a run writes besides the report on standard output, created before the work so
// that a folder that cannot take them is reported first; each is empty when not asked for.
struct Outputs {
  OutputFile report, stats, tree, scaledTree, picture, params, traces, summary, page;

  Outputs() = default;
  Outputs(const Outputs&) = delete;
  Outputs& operator=(const Outputs&) = delete;
  // A run that a failure unwound leaves no file open, and nothing buffered to be written out.
  ~Outputs() {
    for (OutputFile* file :
         {&report, &stats, &tree, &scaledTree, &picture, &params, &traces, &summary, &page}) {
      abandonOutputFile(*file);
    }
  }
};

void openOutputs(Outputs& o, const CommandLine& command) {
  if (!command.outputPath.empty()) o.report = openOutputFile(command.outputPath, "report");
  if (!command.statsPath.empty()) o.stats = openOutputFile(command.statsPath, "statistics");
  if (!command.treePath.empty()) o.tree = openOutputFile(command.treePath, "tree");
  if (!command.svgPath.empty()) o.picture = openOutputFile(command.svgPath, "picture");
  if (!command.scaledTreePath.empty()) {
    o.scaledTree = openOutputFile(command.scaledTreePath, "scaled tree");
  }
  if (!command.paramsPath.empty()) {
    o.params = openOutputFile(command.paramsPath, "parameter table");
  }
  if (!command.tracesPath.empty()) o.traces = openOutputFile(command.tracesPath, "traces");
  if (!command.summaryPath.empty()) o.summary = openOutputFile(command.summaryPath, "summary");
  if (!command.htmlPath.empty()) o.page = openOutputFile(command.htmlPath, "page");
}

bool writesNexus(const CommandLine& command) {
  return !command.treePath.empty() || !command.scaledTreePath.empty();
}

// What one run works on: each record is written by one step and read by the later ones.
struct Run {
  std::deque<LogFile> logs;                // each chain's log, chain 1 first, open at its samples
  std::deque<LogFile> priorLogs;           // each prior log, open at its samples
  std::vector<PriorLogCount> priorCounts;  // what became of each prior log's sample lines
  Tree tree;                               // chain 1's tables, then the clade tree built from them
  Options options;
  std::optional<InputFile> optionsFile;  // the options file as read, when there is one
  std::vector<SampleRecord> records;     // each chain's retained samples
  Results results;
};

// Opens every chain's log into `logs`, chain 1 (the positional log) first, and every prior log
// into `priorLogs`, reads their tables, holds the others' tables against chain 1's as read, and
// returns chain 1's, not yet built into a tree.
Tree readChainHeaders(const CommandLine& command, std::deque<LogFile>& logs,
                      std::deque<LogFile>& priorLogs) {
  std::vector<std::string> paths{command.logPath};
  paths.insert(paths.end(), command.chainPaths.begin(), command.chainPaths.end());
  std::vector<std::string> all = paths;
  all.insert(all.end(), command.priorPaths.begin(), command.priorPaths.end());
  refuseRepeatedLogs(all);
  Tree first;
  for (const std::string& path : paths) {
    logs.emplace_back();
    // The summary gives each log's digest, taken as the log is read: no log is read twice.
    logs.back().reader.digesting = !command.summaryPath.empty() || !command.htmlPath.empty();
    Tree tables = readLogHeader(logs.back(), path.c_str());
    if (logs.size() == 1) {
      first = std::move(tables);
    } else {
      requireSameTables(first, tables);
    }
  }
  readPriorHeaders(command.priorPaths, first, priorLogs,
                   !command.summaryPath.empty() || !command.htmlPath.empty());
  return first;
}

// Returns the options that the options file gives the run on `tree`, and sets `file` to the
// options file as read.
Options readRunOptions(const Tree& tree, const CommandLine& command,
                       std::optional<InputFile>& file) {
  if (command.optionsPath.empty()) return createDefaultOptions();
  const TextFile text = readTextFile(command.optionsPath.c_str());
  file = textInputFile(text);
  return readOptions(tree, text, command.quiet ? nullptr : stderr);
}

// Whether any file asked for, or the verdict that must be reached, needs the intervals, sample
// sizes and ranges.
bool wantsStatistics(const CommandLine& command) {
  return !command.statsPath.empty() || writesNexus(command) || !command.svgPath.empty() ||
         !command.summaryPath.empty() || command.requireConvergence || !command.htmlPath.empty();
}

// Reads the sample lines of every chain, in chain order, into one record each, applying the
// burn-in per chain, and counts each chain's retained samples into `results`; the records
// share the memory cap.
std::vector<SampleRecord> readChainSamples(std::deque<LogFile>& logs, const Tree& tree,
                                           Results& results, const BurnIn& burnIn,
                                           const CommandLine& command) {
  const RecordLimit limit = recordLimit(command.maxMemory, omp_get_max_threads(),
                                        results.wantStatistics, command.tempDir);
  std::vector<SampleRecord> records;
  int64_t taken = 0;  // what the records read so far keep from the cap
  const bool severalChains = logs.size() > 1;
  for (LogFile& log : logs) {
    RecordLimit chainLimit = limit;
    chainLimit.limitBytes = limit.limitBytes > taken ? limit.limitBytes - taken : 0;
    records.push_back(readLogSamples(log, tree, burnIn.readingCut, chainLimit, severalChains));
    SampleRecord& record = records.back();
    dropBurnInShare(burnIn, record);
    // A copy of a chain would make the chains look as if they agreed.
    if (severalChains) {
      fingerprintRecord(record);
      refuseCopiedChain(records);
    }
    taken += recordBytes(record) + limit.reservePerSample * record.sampleCount;
    results.chainSampleCounts.push_back(
        static_cast<int32_t>(std::min<int64_t>(record.sampleCount, INT32_MAX)));
  }
  if (burnIn.share) {
    int64_t retained = 0;
    for (const SampleRecord& record : records) retained += record.sampleCount;
    if (retained == 0) {
      fail(1, Stream::kStdout,
           "Error in %s: no sample line after the burn-in (%s of each chain's sample lines)\n",
           logs.front().path.c_str(), burnIn.shareText.c_str());
    }
  }
  return records;
}

// Counts the prior logs' samples into the run's results, one log at a time, under what the
// chains' records leave of the memory cap.
void countPrior(Run& run, const BurnIn& burnIn, const CommandLine& command) {
  RecordLimit limit = recordLimit(command.maxMemory, omp_get_max_threads(),
                                  run.results.wantStatistics, command.tempDir);
  int64_t taken = 0;
  for (const SampleRecord& record : run.records) {
    taken += recordBytes(record) + limit.reservePerSample * record.sampleCount;
  }
  limit.limitBytes = limit.limitBytes > taken ? limit.limitBytes - taken : 0;
  run.priorCounts = countPriorSamples(run.priorLogs, run.tree, burnIn, limit, run.results,
                                      !command.htmlPath.empty());
}

// Adds to `densities` the histogram of log2 Scalar of each credible shift in [begin, end), while
// its history is at hand; a node at two positions takes its first one's.
void takeShiftDensities(const Tree& tree, const Results& results, size_t begin, size_t end,
                        double crediblePercent, std::vector<ShiftDensity>& densities) {
  for (size_t i = begin; i < end; ++i) {
    if (credibleShift(results, i, crediblePercent) == 0) continue;
    const auto first = std::find(tree.nodes.begin(), tree.nodes.end(), tree.nodes[i]);
    const auto at = static_cast<size_t>(first - tree.nodes.begin());
    if (at == i) {
      densities.push_back(takeShiftDensity(tree, results, i));
      continue;
    }
    for (const ShiftDensity& d : densities) {
      if (d.position != at) continue;
      densities.push_back(d);
      densities.back().position = i;
      break;
    }
  }
}

// Records and summarises the nodes' series one block of positions at a time, releasing a
// block's histories before the next; the last block's stay.
void summariseBlocks(const Tree& tree, Results& results, const std::vector<SampleRecord>& records,
                     const BlockPlan& plan, Progress& progress,
                     std::vector<ShiftDensity>* shiftDensities, double crediblePercent) {
  const size_t positions = tree.nodes.size();
  progress.nodeCount.store(static_cast<int64_t>(positions));
  progress.passCount.store(1 + static_cast<int>(plan.blockCount));
  for (size_t block = 0; block < plan.blockCount; ++block) {
    const auto [begin, end] = blockPositions(plan, block, positions);
    progress.pass.store(2 + static_cast<int>(block));
    applySamplesToPositions(tree, results, records, begin, end);
    summariseNodes(tree, results, begin, end, &progress.summariesDone);
    if (shiftDensities != nullptr) {
      takeShiftDensities(tree, results, begin, end, crediblePercent, *shiftDensities);
    }
    if (block + 1 < plan.blockCount) releaseHistories(results, begin, end);
  }
}

// Writes every file asked for and then the report, and renames the files over their names
// only when all are complete: a disk that fills up while they are written must not follow a
// report that already looks like a success.
void writeOutputs(Outputs& o, const CommandLine& command, const Tree& tree, const Results& results,
                  const TreeLayout& layout, const std::vector<ChainColumns>& columns,
                  const std::vector<ParamsRow>& paramRows,
                  const std::vector<std::string>& fieldNames, const PageContent& page, FILE* out) {
  if (o.stats.stream != nullptr) {
    writeStatistics(o.stats.stream, tree, results);
    finishOutputFile(o.stats);
  }
  TreeFileSettings treeSettings{command.colorBy, command.crediblePercent, BranchLengths::kLogged};
  if (o.tree.stream != nullptr) {
    writeTreeFile(o.tree.stream, tree, results, layout, treeSettings);
    finishOutputFile(o.tree);
  }
  if (o.scaledTree.stream != nullptr) {
    treeSettings.lengths =
        command.scaleByMedian ? BranchLengths::kScaledByMedian : BranchLengths::kScaledByMean;
    writeTreeFile(o.scaledTree.stream, tree, results, layout, treeSettings);
    finishOutputFile(o.scaledTree);
  }
  if (o.picture.stream != nullptr) {
    const PictureSettings pictureSettings{
        command.colorBy, command.circular ? PictureLayout::kCircular : PictureLayout::kRectangular,
        command.nodeIds, command.crediblePercent, command.chainPaths};
    writePicture(o.picture.stream, tree, results, layout, pictureSettings);
    finishOutputFile(o.picture);
  }
  if (o.params.stream != nullptr) {
    writeParams(o.params.stream, paramRows, fieldNames);
    finishOutputFile(o.params);
  }
  if (o.traces.stream != nullptr) {
    writeTraces(o.traces.stream, columns, fieldNames);
    finishOutputFile(o.traces);
  }
  if (o.page.stream != nullptr) {
    writeHtmlPage(o.page.stream, tree, results, layout, columns, page);
    finishOutputFile(o.page);
  }
  if (o.report.stream != nullptr) out = o.report.stream;
  writeNodeReport(out, tree, results);
  if (o.report.stream == nullptr) {
    // A report cut short by a full disk or a closed pipe must not look like a success.
    if (std::fflush(out) != 0 || std::ferror(out)) {
      fail(1, Stream::kStderr, "Error writing the report to standard output\n");
    }
  } else {
    finishOutputFile(o.report);
  }
  for (OutputFile* file : {&o.report, &o.stats, &o.tree, &o.picture, &o.scaledTree, &o.params,
                           &o.traces, &o.summary, &o.page}) {
    commitOutputFile(*file);
  }
}

// Writes the warnings of a finished run to standard error, unless it is quiet.
void warnAfterRun(const CommandLine& command, const Tree& tree, const Results& results,
                  const std::vector<ParamsRow>& paramRows,
                  const std::vector<std::string>& fieldNames) {
  if (command.quiet) return;
  if (results.wantStatistics || !paramRows.empty()) {
    std::fputs(unequalChainsWarning(results).c_str(), stderr);
    const Thresholds& thresholds = command.thresholds;
    std::fputs(highRhatWarning(tree, results, paramRows, fieldNames, thresholds).c_str(), stderr);
    if (results.wantStatistics) {
      std::fputs(lowSampleSizeWarning(tree, results, thresholds).c_str(), stderr);
    }
    std::fputs(lowBulkOrTailWarning(tree, results, paramRows, fieldNames, thresholds).c_str(),
               stderr);
  }
  if (!results.wantStatistics) return;
  std::fputs(credibleShiftsLine(tree, results, command.crediblePercent).c_str(), stderr);
  std::fputs(infiniteBayesFactorWarning(tree, results).c_str(), stderr);
  if (!writesNexus(command)) return;
  const auto [first, second] = namesDifferingInCase(tree);
  if (!first.empty()) {
    warn(
        "taxa %s and %s differ only in case, which NEXUS readers may fold, taking them for one "
        "taxon",
        first.c_str(), second.c_str());
  }
}

// Returns where the run's results come from: the program, its command line, and each input
// with what became of its sample lines.
Provenance describeProvenance(const CommandLine& command, const Run& run, const BurnIn& burnIn) {
  Provenance provenance;
  provenance.version = SCALESUM_VERSION;
  provenance.arguments = command.arguments;
  for (size_t c = 0; c < run.logs.size(); ++c) {
    provenance.chains.push_back(logProvenance(run.logs[c].reader, run.records[c].sampleLineCount,
                                              run.records[c].sampleCount));
  }
  for (size_t p = 0; p < run.priorLogs.size(); ++p) {
    provenance.priors.push_back(logProvenance(
        run.priorLogs[p].reader, run.priorCounts[p].sampleLines, run.priorCounts[p].retained));
  }
  provenance.options = run.optionsFile;
  if (burnIn.share) {
    provenance.burnInShare = burnIn.shareText;
  } else {
    provenance.burnInIteration = burnIn.iteration;
  }
  return provenance;
}

// Writes the summary document into its file, which the other outputs' commit puts in place.
void writeSummaryFile(OutputFile& file, const CommandLine& command, const Run& run,
                      const BurnIn& burnIn, const Verdict& verdict) {
  writeSummary(file.stream, describeProvenance(command, run, burnIn), command.thresholds, verdict,
               credibleShiftRows(run.tree, run.results, command.crediblePercent),
               command.crediblePercent);
  finishOutputFile(file);
}

// Returns what the page shows beyond the tree and the results: where they come from, the
// verdict, and each credible shift's histograms and Bayes factors.
PageContent pageContent(const CommandLine& command, const Run& run, const BurnIn& burnIn,
                        const Verdict& verdict, std::vector<ShiftDensity> shiftDensities) {
  PageContent page;
  page.provenance = describeProvenance(command, run, burnIn);
  page.verdict.judged = verdict.judged;
  page.verdict.converged = verdict.converged;
  if (!verdict.converged) {
    page.verdict.reasons =
        verdictReasons(verdict, command.thresholds, run.results.chainSampleCounts.size());
  }
  page.thresholds = command.thresholds;
  page.colorBy = command.colorBy;
  page.crediblePercent = command.crediblePercent;
  page.nodeIds = command.nodeIds;
  page.fieldNames = run.records.front().fieldNames;
  if (!run.results.prior.empty()) {
    for (size_t i = 0; i < run.tree.nodes.size(); ++i) {
      const auto factor = [&](const char* name) {
        return statisticByName(run.tree, run.results, i, name)
            .value_or(std::numeric_limits<double>::quiet_NaN());
      };
      page.bayesFactors.push_back({factor("bf_changed"), factor("bf_up"), factor("bf_down")});
    }
  }
  page.shiftDensities = std::move(shiftDensities);
  return page;
}

// Writes the closing line that --verbose asks for, and returns the run's exit status: 3, with
// the reasons on standard error, when --require-convergence meets a run that did not converge.
int closeRun(const CommandLine& command, const Run& run, const BurnIn& burnIn, size_t blocks,
             const Verdict& verdict, bool judgedColumns) {
  if (command.verbose) {
    RunSummary summary = summariseRun(run.tree, run.results, run.records, burnIn.iteration, blocks);
    if (burnIn.share) summary.burnInShare = burnIn.shareText;
    // A run that computed no convergence figure has no verdict to add.
    if (run.results.wantStatistics || judgedColumns) summary.verdict = verdictWords(verdict);
    std::fputs(describeRunSummary(summary).c_str(), stderr);
  }
  if (!command.requireConvergence || verdict.converged) return 0;
  // The reasons are what status 3 means, so they are written even under --quiet.
  std::fputs(
      verdictReasonLines(verdict, command.thresholds, run.results.chainSampleCounts.size()).c_str(),
      stderr);
  return kNotConvergedStatus;
}

}  // namespace

int runAnalysis(const CommandLine& command, FILE* out) {
  Outputs outputs;
  openOutputs(outputs, command);
  Progress progress;
  startProgress(progress, stderr, ::isatty(STDERR_FILENO) == 1, command.progress, command.quiet);
  progress.pass.store(1);  // the one read of the logs

  Run run;
  run.tree = readChainHeaders(command, run.logs, run.priorLogs);
  run.results.nodes.resize(run.tree.nodes.size());
  buildCladeTree(run.tree);
  // A tree that cannot be drawn is refused before the work, and before any report is printed;
  // every writer draws this one layout.
  TreeLayout layout;
  if (writesNexus(command) || !command.svgPath.empty() || !command.htmlPath.empty()) {
    layout = layoutTree(run.tree);
  }
  run.options = readRunOptions(run.tree, command, run.optionsFile);
  const BurnIn burnIn = decideBurnIn(command, run.options.burnIn);
  if (!command.quiet) std::fputs(burnIn.warning.c_str(), stderr);
  run.results.wantStatistics = wantsStatistics(command);
  run.results.hpdMass = command.hpdMass;
  if (command.threads > 0) omp_set_num_threads(command.threads);

  run.records = readChainSamples(run.logs, run.tree, run.results, burnIn, command);
  countRetainedSamples(run.tree, run.results, run.records, burnIn.readingCut);
  if (!run.priorLogs.empty()) countPrior(run, burnIn, command);
  if (!command.quiet) warnOfIdleBurnIn(run.records, burnIn);
  const BlockPlan plan = planRun(run.tree, run.results, run.records, command.maxMemory);
  validateSampleNodes(run.records);
  // The global columns come from the records before the blocks replay them.
  std::vector<ChainColumns> columns;
  const bool writesPage = !command.htmlPath.empty();
  if (!command.paramsPath.empty() || !command.tracesPath.empty() || writesPage) {
    for (SampleRecord& record : run.records) columns.push_back(chainColumns(record));
  }
  std::vector<ParamsRow> paramRows;
  if (!command.paramsPath.empty()) paramRows = paramsRows(columns, command.hpdMass);

  std::vector<ShiftDensity> shiftDensities;
  summariseBlocks(run.tree, run.results, run.records, plan, progress,
                  writesPage ? &shiftDensities : nullptr, command.crediblePercent);
  // The terminal line goes before the report, which may share the terminal.
  finishProgress(progress);

  const std::vector<std::string>& fieldNames = run.records.front().fieldNames;
  const Verdict verdict =
      judgeRun(run.tree, run.results, paramRows, fieldNames, command.thresholds);
  if (outputs.summary.stream != nullptr) {
    writeSummaryFile(outputs.summary, command, run, burnIn, verdict);
  }
  PageContent page;
  if (writesPage) {
    page = pageContent(command, run, burnIn, verdict, std::move(shiftDensities));
  }
  writeOutputs(outputs, command, run.tree, run.results, layout, columns, paramRows, fieldNames,
               page, out);
  warnAfterRun(command, run.tree, run.results, paramRows, fieldNames);
  return closeRun(command, run, burnIn, plan.blockCount, verdict, !paramRows.empty());
}

int runScalesum(int argc, char** argv) {
  try {
    const CommandLine command = parseCommandLine(argc, argv);
    if (command.request != Request::kRun) {
      std::fputs(command.request == Request::kHelp ? helpText() : versionText(), stdout);
      return 0;
    }
    return runAnalysis(command, stdout);
  } catch (const RunFailure& failure) {
    removeUnfinishedOutputs();
    return reportFailure(failure);
  } catch (const std::bad_alloc&) {
    removeUnfinishedOutputs();
    return reportFailure(allocationFailure("Scalesum", 0));
  }
}

}  // namespace scalesum
