#include "run.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "logfile.h"
#include "options.h"
#include "report.h"
#include "samples.h"
#include "series.h"
#include "tree.h"
#include "version.h"

namespace scalesum {

const char* helpText() {
  return "Usage: Scalesum <log file> [<options file>]\n"
         "       Scalesum --help | --version\n"
         "\n"
         "Reads the sample log of a variable-rates analysis on a fixed tree (plain or\n"
         "gzip-compressed; a regular file, since it is read four times) and writes, for every\n"
         "node, its branch length, how often the samples changed it, and the mean, mode,\n"
         "median and standard deviation of four per-sample series (Scalar, SigV, DeltaB,\n"
         "DeltaV) as one tab-separated table on standard output.\n"
         "\n"
         "Options file: one keyword per line, in any case; other lines are ignored.\n"
         "  IT <iteration>              burn-in: sample lines below this iteration are\n"
         "                              dropped (default 0); the only keyword that changes\n"
         "                              the report\n"
         "  NOCATS <count>              a count of 0 or more (default 1000)\n"
         "  RATES <name> <taxon>...     a named clade: exactly the taxa of one node\n"
         "  SLICE <name> <value>        a named value\n"
         "  NODERATIO <real> <integer>  a ratio setting\n"
         "  RATIONODE <name> <taxon>... a named list of taxa\n"
         "  NORMALISE                   a switch\n"
         "\n"
         "Exit status: 0 when the whole report was written; 1 on any failure, after one\n"
         "message line and without any part of the report.\n"
         "\n"
         "The manual (man Scalesum) describes the log format, the report and every message.\n";
}

int runScalesum(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(helpText(), stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("Scalesum %s\n", SCALESUM_VERSION);
    return 0;
  }
  if (argc < 2 || argc > 3) {
    fail(1, Stream::kStdout, "%s takes an options file and a log file. \n", "Scalesum");
  }

  runAnalysis(argv[1], argc == 3 ? argv[2] : nullptr, stdout);
  return 0;
}

void runAnalysis(const char* logPath, const char* optionsPath, FILE* out) {
  std::unique_ptr<Analysis> analysis = readLogHeader(logPath);
  buildCladeTree(*analysis);
  analysis->options = createDefaultOptions();
  if (optionsPath != nullptr) readOptionsFile(*analysis, optionsPath);
  countRetainedSamples(*analysis);
  applyRetainedSamples(*analysis);
  summariseAllNodes(*analysis);
  writeNodeReport(out, *analysis);
  // A report cut short by a full disk or a closed pipe must not look like a success.
  if (std::fflush(out) != 0 || std::ferror(out)) {
    fail(1, Stream::kStderr, "Error writing the report to standard output\n");
  }
}

}  // namespace scalesum
