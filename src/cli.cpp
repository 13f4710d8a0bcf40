#include "cli.h"

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "failure.h"
#include "linereader.h"
#include "output.h"
#include "statistic.h"
#include "version.h"

namespace scalesum {

namespace {

// The most threads a run may ask for; more would only cost stacks.
constexpr int kMaxThreads = 1024;

// Codes of the flags that have no one-letter form.
enum : int {
  kHpd = 256,
  kTree,
  kSvg,
  kColorBy,
  kMaxMemory,
  kProgress,
  kTempDir,
  kHelp,
  kVersion,
  // Rate shifts and the pictures.
  kCredible,
  kScaledTree,
  kScaleBy,
  kLayout,
  kNodeIds,
  kTraces,
  // The convergence verdict.
  kRhatMax,
  kEssMin,
  kTracerEssMin,
  kSummary,
  kRequireConvergence,
  kPrior,
  kHtml,
};

constexpr option kFlags[] = {
    {"output", required_argument, nullptr, 'o'},
    {"stats", required_argument, nullptr, 's'},
    {"burnin", required_argument, nullptr, 'b'},
    {"threads", required_argument, nullptr, 't'},
    {"hpd", required_argument, nullptr, kHpd},
    {"quiet", no_argument, nullptr, 'q'},
    {"verbose", no_argument, nullptr, 'v'},
    {"tree", required_argument, nullptr, kTree},
    {"svg", required_argument, nullptr, kSvg},
    {"color-by", required_argument, nullptr, kColorBy},
    {"max-memory", required_argument, nullptr, kMaxMemory},
    {"progress", no_argument, nullptr, kProgress},
    {"temp-dir", required_argument, nullptr, kTempDir},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    // Rate shifts and the pictures.
    {"credible", required_argument, nullptr, kCredible},
    {"scaled-tree", required_argument, nullptr, kScaledTree},
    {"scale-by", required_argument, nullptr, kScaleBy},
    {"layout", required_argument, nullptr, kLayout},
    {"node-ids", no_argument, nullptr, kNodeIds},
    {"chain", required_argument, nullptr, 'c'},
    {"params", required_argument, nullptr, 'p'},
    {"traces", required_argument, nullptr, kTraces},
    {"rhat-max", required_argument, nullptr, kRhatMax},
    {"ess-min", required_argument, nullptr, kEssMin},
    {"tracer-ess-min", required_argument, nullptr, kTracerEssMin},
    {"summary", required_argument, nullptr, kSummary},
    {"require-convergence", no_argument, nullptr, kRequireConvergence},
    {"prior", required_argument, nullptr, kPrior},
    {"html", required_argument, nullptr, kHtml},
    {nullptr, 0, nullptr, 0},
};

// Leading '-': every argument is handed over in order, whatever POSIXLY_CORRECT says, so
// that flags may follow the files. ':': a missing value is told apart from an unknown flag.
constexpr const char* kShortFlags = "-:o:s:b:t:qvc:p:";

// Returns the long name of the flag with `code`, or null.
const char* flagName(int code) {
  for (const option& flag : kFlags) {
    if (flag.name != nullptr && flag.val == code) return flag.name;
  }
  return nullptr;
}

[[noreturn]] __attribute__((format(printf, 1, 2))) void badUse(const char* format, ...) {
  char reason[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(reason, sizeof reason, format, args);
  va_end(args);
  fail(1, Stream::kStdout, "Scalesum: %s\nTry 'Scalesum --help' for more information.\n", reason);
}

// Returns whether all of `text` is the number `value` reads.
template <typename Number>
bool readWhole(const char* text, Number& value) {
  const char* end = text + std::strlen(text);
  const auto [stop, error] = std::from_chars(text, end, value);
  return error == std::errc() && stop == end && stop != text;
}

std::string fileValue(const char* flag, const char* text) {
  if (*text == '\0') badUse("--%s: the file name is empty", flag);
  return text;
}

// Reads a size such as 512M or 0.5GiB: bytes, or k, M, G or T (in any case) for powers of 1024,
// written B or iB or bare, after a whole number or one with a fraction; what falls short of a
// whole byte is dropped.
int64_t memoryValue(const char* text) {
  std::string_view number = text;
  const bool binary = number.ends_with("iB");
  if (binary) {
    number.remove_suffix(2);
  } else if (number.ends_with('B')) {
    number.remove_suffix(1);
  }
  int shift = 0;
  if (!number.empty()) {
    switch (number.back()) {
      case 'k':
      case 'K':
        shift = 10;
        break;
      case 'm':
      case 'M':
        shift = 20;
        break;
      case 'g':
      case 'G':
        shift = 30;
        break;
      case 't':
      case 'T':
        shift = 40;
        break;
    }
  }
  if (shift != 0) number.remove_suffix(1);
  const bool negative = number.starts_with('-');
  if (negative) number.remove_prefix(1);
  const size_t point = number.find('.');
  const std::string_view whole = number.substr(0, point);
  const std::string_view decimals =
      point == std::string_view::npos ? std::string_view() : number.substr(point + 1);
  // 10^18 is the most decimals that the exact sum below can hold.
  constexpr size_t kMaxDecimals = 18;
  auto allDigits = [](std::string_view digits) {
    return !digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos;
  };
  if ((binary && shift == 0) || !allDigits(whole) ||
      (point != std::string_view::npos &&
       (!allDigits(decimals) || decimals.size() > kMaxDecimals))) {
    badUse("--max-memory: %s is not a size such as 512M", text);
  }
  if (negative) badUse("--max-memory: %s is not above 0", text);
  int64_t count = 0;
  for (char c : whole) {
    if (count > (INT64_MAX - (c - '0')) / 10) badUse("--max-memory: %s is too large", text);
    count = count * 10 + (c - '0');
  }
  if (count > (INT64_MAX >> shift)) badUse("--max-memory: %s is too large", text);
  // The fraction's bytes, floor(decimals / 10^n * 2^shift), one binary digit at a time.
  int64_t numerator = 0, denominator = 1, fraction = 0;
  for (char c : decimals) {
    numerator = numerator * 10 + (c - '0');
    denominator *= 10;
  }
  for (int bit = 0; bit < shift; ++bit) {
    numerator *= 2;
    const bool set = numerator >= denominator;
    if (set) numerator -= denominator;
    fraction = fraction * 2 + (set ? 1 : 0);
  }
  const int64_t bytes = (count << shift) + fraction;
  if (bytes <= 0) badUse("--max-memory: %s is not above 0", text);
  return bytes;
}

// The flags whose value names a file, and where it goes; --chain and --prior add a file to a
// list.
struct FileFlag {
  int code;
  std::string CommandLine::*path;
};
constexpr FileFlag kFileFlags[] = {
    {'o', &CommandLine::outputPath},
    {'s', &CommandLine::statsPath},
    {'p', &CommandLine::paramsPath},
    {kTraces, &CommandLine::tracesPath},
    {kSummary, &CommandLine::summaryPath},
    {kHtml, &CommandLine::htmlPath},
    {kTree, &CommandLine::treePath},
    {kSvg, &CommandLine::svgPath},
    {kScaledTree, &CommandLine::scaledTreePath},
    {kTempDir, &CommandLine::tempDir},
};

// Applies the flag with `code` if its value names a file; returns whether it did.
bool applyFileFlag(CommandLine& command, int code, const char* value) {
  if (code == 'c') {
    command.chainPaths.push_back(fileValue("chain", value));
    return true;
  }
  if (code == kPrior) {
    command.priorPaths.push_back(fileValue("prior", value));
    return true;
  }
  for (const FileFlag& flag : kFileFlags) {
    if (flag.code != code) continue;
    command.*flag.path = fileValue(flagName(code), value);
    return true;
  }
  return false;
}

// Applies --burnin: an iteration, or a share of each chain's sample lines; the last one given
// wins.
void applyBurnIn(CommandLine& command, const char* value) {
  if (std::strchr(value, '%') != nullptr) {
    command.burnInShare = parseBurnInShare(value);
    command.burnInText = value;
    command.burnIn.reset();
    return;
  }
  int64_t burnIn = 0;
  if (!readWhole(value, burnIn)) badUse("--burnin: %s is not a whole number", value);
  if (burnIn < INT32_MIN || burnIn > INT32_MAX) badUse("--burnin: %s is out of range", value);
  command.burnIn = static_cast<int32_t>(burnIn);
  command.burnInShare.reset();
}

// Returns the finite threshold `text` of --`flag`, which must be above 1 (an R-hat is never below
// it) when `least` is 1, and 0 or more otherwise.
double thresholdValue(const char* flag, const char* text, double least) {
  double value = 0.0;
  if (!readWhole(text, value) || !std::isfinite(value)) {
    badUse("--%s: %s is not a number", flag, text);
  }
  if (least > 0.0 && !(value > least)) badUse("--%s: %s is not above 1", flag, text);
  if (!(value >= least)) badUse("--%s: %s is not 0 or more", flag, text);
  return value;
}

// Applies the flag with `code` if its value is a number; returns whether it did.
bool applyNumberFlag(CommandLine& command, int code, const char* value) {
  switch (code) {
    case 'b':
      applyBurnIn(command, value);
      return true;
    case 't': {
      int64_t threads = 0;
      if (!readWhole(value, threads)) badUse("--threads: %s is not a whole number", value);
      if (threads < 1) badUse("--threads: %s is not 1 or more", value);
      if (threads > kMaxThreads) badUse("--threads: %s is more than %d", value, kMaxThreads);
      command.threads = static_cast<int>(threads);
      return true;
    }
    case kHpd: {
      double mass = 0.0;
      if (!readWhole(value, mass)) badUse("--hpd: %s is not a number", value);
      if (!(mass > 0.0 && mass < 1.0)) badUse("--hpd: %s is not between 0 and 1", value);
      command.hpdMass = mass;
      return true;
    }
    case kCredible: {
      double percent = 0.0;
      if (!readWhole(value, percent)) badUse("--credible: %s is not a number", value);
      if (!(percent > 50.0 && percent <= 100.0)) {
        badUse("--credible: %s is not above 50 and at most 100", value);
      }
      command.crediblePercent = percent;
      return true;
    }
    case kMaxMemory:
      command.maxMemory = memoryValue(value);
      return true;
    case kRhatMax:
      command.thresholds.rhatMax = thresholdValue("rhat-max", value, 1.0);
      return true;
    case kEssMin:
      command.thresholds.essMin = thresholdValue("ess-min", value, 0.0);
      return true;
    case kTracerEssMin:
      command.thresholds.tracerEssMin = thresholdValue("tracer-ess-min", value, 0.0);
      return true;
  }
  return false;
}

// Applies the flag with `code` if its value is one of a set of words; returns whether it did.
bool applyChoiceFlag(CommandLine& command, int code, const char* value) {
  switch (code) {
    case kColorBy:
      if (!isStatisticName(value)) {
        badUse("--color-by: %s is not a statistic such as scalar_median", value);
      }
      command.colorBy = value;
      return true;
    case kScaleBy:
      if (std::strcmp(value, "mean") != 0 && std::strcmp(value, "median") != 0) {
        badUse("--scale-by: %s is not mean or median", value);
      }
      command.scaleByMedian = std::strcmp(value, "median") == 0;
      return true;
    case kLayout:
      if (std::strcmp(value, "rectangular") != 0 && std::strcmp(value, "circular") != 0) {
        badUse("--layout: %s is not rectangular or circular", value);
      }
      command.circular = std::strcmp(value, "circular") == 0;
      return true;
  }
  return false;
}

// Applies the flag with `code`, one that getopt_long knows.
void applyFlag(CommandLine& command, int code, const char* value) {
  if (applyFileFlag(command, code, value) || applyNumberFlag(command, code, value) ||
      applyChoiceFlag(command, code, value)) {
    return;
  }
  switch (code) {
    case 'q':
      command.quiet = true;
      break;
    case 'v':
      command.verbose = true;
      break;
    case kProgress:
      command.progress = true;
      break;
    case kNodeIds:
      command.nodeIds = true;
      break;
    case kRequireConvergence:
      command.requireConvergence = true;
      break;
    case kHelp:
      command.request = Request::kHelp;
      break;
    case kVersion:
      command.request = Request::kVersion;
      break;
  }
}

// Rejects an output that would replace an input or another output of the same run.
void checkOutputs(const CommandLine& command) {
  const std::pair<const char*, const std::string*> outputs[] = {
      {"output", &command.outputPath},
      {"stats", &command.statsPath},
      {"tree", &command.treePath},
      {"svg", &command.svgPath},
      {"scaled-tree", &command.scaledTreePath},
      {"params", &command.paramsPath},
      {"traces", &command.tracesPath},
      {"summary", &command.summaryPath},
      {"html", &command.htmlPath}};
  for (size_t i = 0; i < std::size(outputs); ++i) {
    const auto& [flag, path] = outputs[i];
    if (path->empty()) continue;
    if (command.logPath != kStandardInput && isSameFile(*path, command.logPath)) {
      badUse("--%s: %s is the log file", flag, path->c_str());
    }
    for (const std::string& chain : command.chainPaths) {
      if (chain != kStandardInput && isSameFile(*path, chain)) {
        badUse("--%s: %s is the log file of a chain", flag, path->c_str());
      }
    }
    for (const std::string& prior : command.priorPaths) {
      if (prior != kStandardInput && isSameFile(*path, prior)) {
        badUse("--%s: %s is a prior log", flag, path->c_str());
      }
    }
    if (!command.optionsPath.empty() && isSameFile(*path, command.optionsPath)) {
      badUse("--%s: %s is the options file", flag, path->c_str());
    }
    for (size_t j = 0; j < i; ++j) {
      if (!outputs[j].second->empty() && isSameFile(*path, *outputs[j].second)) {
        badUse("--%s: %s is also the file of --%s", flag, path->c_str(), outputs[j].first);
      }
    }
  }
}

}  // namespace

CommandLine parseCommandLine(int argc, char** argv) {
  CommandLine command;
  command.arguments.assign(argv, argv + argc);
  std::vector<const char*> files;
  ::opterr = 0;
  ::optind = 0;  // start afresh, also when called more than once
  for (;;) {
    const int code = ::getopt_long(argc, argv, kShortFlags, kFlags, nullptr);
    if (code == -1) break;
    if (code == 1) {
      files.push_back(::optarg);
    } else if (code == ':') {
      badUse("--%s: the value is missing", flagName(::optopt));
    } else if (code == '?') {
      if (::optopt != 0 && flagName(::optopt) != nullptr &&
          std::strncmp(argv[::optind - 1], "--", 2) == 0) {
        badUse("--%s takes no value", flagName(::optopt));
      }
      if (::optopt != 0) badUse("unknown flag -%c", ::optopt);
      const std::string_view typed = argv[::optind - 1];
      badUse("unknown flag %.*s", static_cast<int>(typed.substr(0, typed.find('=')).size()),
             typed.data());
    } else {
      applyFlag(command, code, ::optarg);
      if (command.request != Request::kRun) return command;
    }
  }
  for (int i = ::optind; i < argc; ++i) files.push_back(argv[i]);
  if (files.empty() || files.size() > 2) {
    // The first line is the one scripts have always seen; the rest says what to type. Three
    // files or more are most likely chains of one analysis.
    fail(1, Stream::kStdout,
         "%s takes an options file and a log file. \n"
         "Usage: Scalesum <log file> [<options file>] [flags]\n"
         "Try 'Scalesum --help' for more information.\n%s",
         "Scalesum",
         files.empty() ? ""
                       : "Further chains go with -c: Scalesum run1.log run.options -c run2.log -c "
                         "run3.log\n");
  }
  command.logPath = files[0];
  if (files.size() == 2) command.optionsPath = files[1];
  checkOutputs(command);
  return command;
}

BurnInShare parseBurnInShare(const char* text) {
  // digits, then up to six decimals after a point, then the sign: nothing else.
  constexpr int kMaxDecimals = 6;
  const std::string_view typed = text;
  const size_t point = typed.find('.');
  const std::string_view whole = typed.substr(0, std::min(point, typed.size() - 1));
  const std::string_view decimals =
      point == std::string_view::npos ? std::string_view() : typed.substr(point + 1);
  auto allDigits = [](std::string_view digits) {
    return digits.find_first_not_of("0123456789") == std::string_view::npos;
  };
  const bool wellFormed = typed.size() >= 2 && typed.back() == '%' && !whole.empty() &&
                          allDigits(whole) &&
                          (point == std::string_view::npos ||
                           (decimals.size() >= 2 && decimals.size() <= kMaxDecimals + 1 &&
                            allDigits(decimals.substr(0, decimals.size() - 1))));
  if (!wellFormed) badUse("--burnin: %s is not a percentage such as 25%%", text);
  BurnInShare share{0, 100};
  for (char c : whole) {
    share.numerator = share.numerator * 10 + (c - '0');
    if (share.numerator > 100) badUse("--burnin: %s is more than 100%%", text);
  }
  if (point != std::string_view::npos) {
    for (char c : decimals.substr(0, decimals.size() - 1)) {
      share.numerator = share.numerator * 10 + (c - '0');
      share.denominator *= 10;
    }
  }
  if (share.numerator > share.denominator) badUse("--burnin: %s is more than 100%%", text);
  return share;
}

int64_t burnInLines(const BurnInShare& share, int64_t sampleLines) {
  // lines = q * denominator + r, so the share of them is q * numerator plus the share of r,
  // and neither product can overflow.
  const int64_t q = sampleLines / share.denominator;
  const int64_t r = sampleLines % share.denominator;
  return q * share.numerator + r * share.numerator / share.denominator;
}

const char* versionText() {
  return "Scalesum " SCALESUM_VERSION "\n";
}

const char* helpText() {
  return "Usage: Scalesum <log file> [<options file>] [flags]\n"
         "       Scalesum --help | --version\n"
         "\n"
         "Reads the sample log of a variable-rates analysis on a fixed tree (plain or\n"
         "gzip-compressed; a file, a pipe, or - for standard input, read once) and\n"
         "writes, for every node, its branch length, how often the samples changed it,\n"
         "and the mean, mode, median and standard deviation of four per-sample series\n"
         "(Scalar, SigV, DeltaB, DeltaV) as one tab-separated table on standard output.\n"
         "\n"
         "Flags, before or after the files (--flag=value or --flag value; -- ends them):\n"
         "  -o, --output FILE       write the report to FILE, not to standard output\n"
         "  -s, --stats FILE        write the statistics file to FILE: per node and\n"
         "                          series also the HPD interval, effective sample\n"
         "                          size, min and max\n"
         "  -b, --burnin ITERATION  burn-in as the options file's IT; the flag wins\n"
         "  -b, --burnin PCT%       burn-in as a share of each chain's sample lines,\n"
         "                          0% to 100%: the first floor(PCT% of them) are\n"
         "                          dropped, whatever the options file's IT\n"
         "  -c, --chain LOG         one more chain of the same analysis (repeatable):\n"
         "                          same taxa and nodes; results from all chains'\n"
         "                          retained samples, in order\n"
         "      --prior LOG         a log of the same analysis run from the prior\n"
         "                          alone (repeatable): same taxa and nodes, the same\n"
         "                          burn-in; the statistics file then gives its shares\n"
         "                          and the Bayes factors bf_changed, bf_up, bf_down\n"
         "  -p, --params FILE       write the table of the sample lines' global\n"
         "                          columns, per chain and for all chains\n"
         "      --traces FILE       write the global columns sample by sample\n"
         "      --summary FILE      write one JSON document: inputs with their SHA-256,\n"
         "                          thresholds, convergence verdict, credible shifts\n"
         "      --require-convergence  exit with status 3, the reasons on standard\n"
         "                          error, when the verdict is not converged\n"
         "      --rhat-max X        R-hat at or above X breaks (above 1; default 1.01)\n"
         "      --ess-min N         bulk or tail ESS below N per chain breaks, for\n"
         "                          several chains (default 100)\n"
         "      --tracer-ess-min N  the statistics file's ess below N breaks (default\n"
         "                          200)\n"
         "      --html FILE         write one self-contained HTML page of the run:\n"
         "                          trees, convergence, global columns, shifts\n"
         "  -t, --threads N         threads for the summaries, 1 to 1024 (default:\n"
         "                          all); the results never depend on it\n"
         "      --hpd MASS          probability mass of the HPD intervals, between\n"
         "                          0 and 1 (default 0.95)\n"
         "      --tree FILE         write the annotated tree as a NEXUS file\n"
         "      --svg FILE          write an SVG phylogram coloured by --color-by\n"
         "      --color-by NAME     series_column of the statistics file (default\n"
         "                          scalar_median; sigv_ess, ...), pct_changed, pct_up,\n"
         "                          pct_down, bf_changed, bf_up or bf_down\n"
         "      --credible PCT      a branch whose Scalar is above (below) 1 in at\n"
         "                          least PCT% of the samples is a credible increase\n"
         "                          (decrease), above 50 and at most 100 (default 95)\n"
         "      --scaled-tree FILE  write the tree with each branch length times its\n"
         "                          Scalar's mean as a NEXUS file\n"
         "      --scale-by STAT     mean (the default) or median: what --scaled-tree\n"
         "                          multiplies by\n"
         "      --layout LAYOUT     rectangular (the default) or circular picture\n"
         "      --node-ids          write each internal node's id in the picture\n"
         "      --max-memory SIZE   cap on the memory of the length histories: bytes\n"
         "                          or k, M, G, T (default: half the physical memory)\n"
         "      --temp-dir DIR      folder for the samples' record when it does not fit\n"
         "                          under --max-memory (default: $TMPDIR, else /tmp)\n"
         "      --progress          progress reports on standard error, also when it\n"
         "                          is no terminal\n"
         "  -q, --quiet             no warnings and no progress reports\n"
         "  -v, --verbose           a summary line on standard error at the end: chains,\n"
         "                          sample lines, samples retained, nodes, blocks, time\n"
         "      --help              print this help and exit\n"
         "      --version           print the version and exit\n"
         "Files named by flags appear only when the whole run succeeds; a failed run\n"
         "leaves an existing file as it was. With --stats, --tree, --scaled-tree, --svg\n"
         "or --html, warnings on standard error tell of series whose effective sample\n"
         "size is below 200 or whose R-hat is 1.01 or more (with --params also of\n"
         "columns; the thresholds flags move both), and a line tells how many credible\n"
         "shifts there are. --summary and --require-convergence compute those figures\n"
         "too.\n"
         "\n"
         "Options file: one keyword per line, in any case; a line with another first\n"
         "word, or an IT value that is not a whole number, gives a warning (unless -q).\n"
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
         "message line and without any part of the report; 1 also on bad use of a flag;\n"
         "3 with --require-convergence when every output was written but the verdict\n"
         "is not converged.\n"
         "\n"
         "A compressed log of another kind is read through a pipe:\n"
         "  xzcat run.log.xz | Scalesum - run.options\n"
         "\n"
         "The manual (man Scalesum) describes the log format, the report, the statistics\n"
         "file and every message.\n";
}

}  // namespace scalesum
