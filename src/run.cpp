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
         "\n"
         "Reads the sample log of a variable-rates analysis on a fixed tree and writes, for\n"
         "every node, its branch length, how often the samples changed it, and the mean,\n"
         "mode, median and standard deviation of four per-sample series (Scalar, SigV,\n"
         "DeltaB, DeltaV) as one tab-separated table on standard output.\n"
         "\n"
         "Options file: one keyword per line (case-insensitive):\n"
         "  IT <iteration>              burn-in: samples before this iteration are dropped\n"
         "                              (default 0; the only keyword that changes the report)\n"
         "  NOCATS <count>              accepted and checked (default 1000)\n"
         "  RATES <name> <taxon> ...    the taxa must form exactly one node of the tree\n"
         "  SLICE <name> <value>        accepted\n"
         "  NODERATIO <real> <integer>  accepted\n"
         "  RATIONODE <name> <taxon> ...  accepted\n"
         "  NORMALISE                   accepted\n"
         "\n"
         "Exit status: 0 when the report was written, 1 on any error (one message line).\n"
         "\n"
         "  --help      print this text\n"
         "  --version   print the version\n";
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

  std::unique_ptr<Analysis> analysis = readLogHeader(argv[1]);
  buildCladeTree(*analysis);
  analysis->options = createDefaultOptions();
  if (argc == 3) readOptionsFile(*analysis, argv[2]);
  countRetainedSamples(*analysis);
  applyRetainedSamples(*analysis);
  summariseAllNodes(*analysis);
  writeNodeReport(stdout, *analysis);
  // A report cut short by a full disk or a closed pipe must not look like a success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    fail(1, Stream::kStderr, "Error writing the report to standard output\n");
  }
  return 0;
}

}  // namespace scalesum
