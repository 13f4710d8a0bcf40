#include "run.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "blocks.h"
#include "logfile.h"
#include "options.h"
#include "progress.h"
#include "report.h"
#include "samples.h"
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

namespace {

// Returns the bytes of a size such as 512M (suffixes k, M and G count in 1024s), or 0 when the
// text is no such size.
int64_t parseMemorySize(const char* text) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long number = std::strtoull(text, &end, 10);
  if (end == text || text[0] == '-' || errno != 0) return 0;
  int shift = 0;
  if (*end == 'k' || *end == 'K') shift = 10;
  if (*end == 'M') shift = 20;
  if (*end == 'G') shift = 30;
  if (shift != 0) ++end;
  if (*end != '\0' || number > (static_cast<unsigned long long>(INT64_MAX) >> shift)) return 0;
  return static_cast<int64_t>(number << shift);
}

}  // namespace

int runScalesum(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(helpText(), stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("Scalesum %s\n", SCALESUM_VERSION);
    return 0;
  }
  CommandLine command;
  std::vector<const char*> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--progress") == 0) {
      command.progress = true;
    } else if (std::strcmp(argv[i], "--quiet") == 0) {
      command.quiet = true;
    } else if (std::strcmp(argv[i], "--max-memory") == 0 && i + 1 < argc) {
      command.maxMemory = parseMemorySize(argv[++i]);
      if (command.maxMemory == 0) {
        fail(1, Stream::kStdout, "--max-memory needs a size such as 512M, not %s\n", argv[i]);
      }
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.empty() || files.size() > 2) {
    fail(1, Stream::kStdout, "%s takes an options file and a log file. \n", "Scalesum");
  }
  command.logPath = files[0];
  if (files.size() == 2) command.optionsPath = files[1];
  runAnalysis(command, stdout);
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
  Progress progress;
  startProgress(progress, stderr, ::isatty(STDERR_FILENO) == 1, command.progress, command.quiet);
  progress.pass.store(1);  // the header's reading counts with the counting pass
  std::unique_ptr<Analysis> analysis = readLogHeader(command.logPath.c_str());
  buildCladeTree(*analysis);
  analysis->options = createDefaultOptions();
  if (!command.optionsPath.empty()) readOptionsFile(*analysis, command.optionsPath.c_str());
  countRetainedSamples(*analysis);
  summariseInBlocks(*analysis, command.maxMemory, progress);
  // The terminal line goes before the report, which may share the terminal.
  finishProgress(progress);
  writeNodeReport(out, *analysis);
  // A report cut short by a full disk or a closed pipe must not look like a success.
  if (std::fflush(out) != 0 || std::ferror(out)) {
    fail(1, Stream::kStderr, "Error writing the report to standard output\n");
  }
}

}  // namespace scalesum
