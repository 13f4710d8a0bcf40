// The whole program. On any input a run ends with exactly the report the input calls for
// (referenceReport), or with status 1, one message line and no part of the report.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <set>

#include "options.h"
#include "reference_report.h"
#include "run.h"
#include "samples.h"
#include "test_util.h"

namespace scalesum {
namespace {

using namespace testing;

const std::string kExample = kSourceDir + "examples/example.";

// Runs the analysis in this process: how it ended (status -1: completed) and what it wrote.
std::pair<Failure, std::string> analyse(const std::string& logPath,
                                        const std::string& optionsPath = "") {
  Failure failure;
  const std::string report = written([&](FILE* out) {
    failure = catchFailure([&] {
      runAnalysis(logPath.c_str(), optionsPath.empty() ? nullptr : optionsPath.c_str(), out);
    });
  });
  return {failure, report};
}

// Checks a run; a failure given no standard error has its standard output echoed there.
void expectRun(const RunResult& result, const RunResult& expected, const std::string& what) {
  EXPECT_EQ(result.status, expected.status) << what;
  EXPECT_EQ(result.out, expected.out) << what;
  EXPECT_EQ(result.err, expected.status != 0 && expected.err.empty() ? expected.out : expected.err)
      << what;
}

TEST(Program, ReportsAreByteForByteTheExpectedOnes) {
  const RunResult recorded{0, readFile(kExample + "report"), ""};
  for (const char* threads : {"OMP_NUM_THREADS=1", "OMP_NUM_THREADS=2", "OMP_NUM_THREADS=7"}) {
    expectRun(runProgram({kExample + "log", kExample + "options"}, {threads}), recorded, threads);
  }
  // Compression is told by the content; two gzip members form one stream, as gzip reads them.
  TempDir dir;
  std::string packed;
  for (const std::string& part :
       {readFile(kExample + "log").substr(0, 50000), readFile(kExample + "log").substr(50000)}) {
    packed += readFile(dir.writeGzip("z", part));
  }
  expectRun(runProgram({dir.write("example.txt", packed), kExample + "options"}), recorded, "gz");
  std::string damaged = packed;
  for (size_t k = 2000; k < 2100; ++k) damaged[k] ^= 0x5a;
  const std::string corrupt =
      "Error in " + dir.path("bad.gz") + ": the compressed data are corrupt or cut short (";
  for (const std::string& bad : {packed.substr(0, packed.size() / 3), damaged}) {
    const RunResult failed = runProgram({dir.write("bad.gz", bad)});
    EXPECT_TRUE(failed.status == 1 && failed.out.rfind(corrupt, 0) == 0) << failed.out;
  }
  // Simulated logs, whose expected reports are worked out with the straightforward density loop.
  for (const char* seed : {"11", "12"}) {
    const RunResult made =
        runCommand("/usr/bin/env", {"python3", kSourceDir + "tools/simulate_log.py", "--taxa", "14",
                                    "--samples", "300", "--seed", seed, "--out",
                                    dir.path("sim.log"), "--options", dir.path("sim.options")});
    ASSERT_EQ(made.status, 0) << made.err;
    const auto burnIn = referenceBurnIn(readFile(dir.path("sim.options")));
    const auto expected = referenceReport(readFile(dir.path("sim.log")), *burnIn);
    ASSERT_TRUE(expected.has_value());
    expectRun(runProgram({dir.path("sim.log"), dir.path("sim.options")}), {0, *expected, ""}, seed);
  }
}

// Reads "tree.log" and "run.options" from text as a run does, up to the samples applied.
Failure readRun(const std::string& log, const std::string& options) {
  return catchFailure([&] {
    auto loaded = loadTree(log);
    const int32_t burnIn =
        options.empty() ? 0 : readOptions(loaded->tree, textFileOf("run.options", options)).burnIn;
    applyRetainedSamples(loaded->tree, loaded->results, readSamples(*loaded, burnIn));
  });
}

TEST(Program, EveryRejectedLogOrOptionsFileEndsWithItsMessage) {
  const std::string good = smallLog("1 0 0 0 0 1 0\n"), at = "Error in tree.log line ";
  const std::string ends = ": the file ends before the header is complete (";
  const std::string node = "4: a node line needs an id, a branch length, a taxon count n and n ";
  const std::string cr = "4: a carriage return inside the line; lines must end in LF or CR LF\n";
  const std::string count = "the number of scalars (field 4) is ", name(9000, 'x');
  const std::string keyword = "Error in run.options line 1: ";
  const std::string noSample =
      "Error in tree.log: no sample line at or after iteration 2 (the burn-in)\n";
  const std::string cases[][3] = {
      {"", "", at + "1" + ends + "the taxon count expected)\n"},
      {"0\n", "", "tree.log needs more that one node.\n"},
      {"2\n1 A\n2 B C\n", "", "Err finding taxa:\n"},
      {"1\n1 A\n2\n1 0 1 1\n", "", at + "5" + ends + "a node line expected)\n"},
      {"1\n1 A\n1\n1 0 2 1\nh\n", "", at + node + "taxon ids\n"},
      {"1\n1 A\n2\n1 0 1 1\nIt Lh Prior\n1 0 0 0 0 1 0\n", "",
       at + "5: the number of taxa (field 3) of a node line is not a number: Prior\n"},
      {std::string("1\n1 A\n1\n1 0 1 1\0 2\nh\n", 20), "", at + "4: the line holds a NUL byte\n"},
      {"1\n1 A\n2\n1 0 1 1\r2 0 1 1\nh\n", "", at + cr},
      {good + "2 0 0 0 0 1", "",
       at + "16: the last line has no line feed; the file looks cut short\n"},
      {"2\n1 A\n2 B\n1\n1 0 1 1\nh\n", "", "Error cannot find root.\n"},
      {"2\n1 A\n2 B\n2\n1 0 2 1 2\n2 0 1 3\nh\n", "",
       "Error in tree.log: node 2 lists taxon id 3, which no taxon has\n"},
      {"1\n1 A\n2\n1 0 1 1\n2 0 1 1\nh\n", "",
       "Error in tree.log: node 2 does not fit inside the root's clade, so it has no place in the "
       "tree\n"},
      {good, "RATES x A Q\n", "Cannot find matching taxa for Q node x\n"},
      {good, "RATES " + name, "Count not find valid node for " + name.substr(0, 8160) + "\n"},
      {good, "IT 5\nIT\n", "Error in run.options line 2: IT needs an iteration\n"},
      {good, "NOCATS\n", keyword + "NOCATS needs a count\n"},
      {good, "NOCATS -1\n", keyword + "NOCATS needs a count of 0 or more\n"},
      {good, "\nslice s\n", "Error in run.options line 2: SLICE needs a name and a value\n"},
      {good, "NODERATIO 1.5\n", keyword + "NODERATIO needs a real and an integer\n"},
      {good, "RATES\n", keyword + "RATES needs a clade name\n"},
      {good, "RATIONODE\n", keyword + "RATIONODE needs a name\n"},
      {good, "IT 2\n", noSample},
      {good + "Iter Lh Prior No Alpha Sigma X\n", "", at + "16: " + count + "not a number: No\n"},
      {good + "2 0 0 0 0 1\n", "",
       at + "16: a sample line needs at least 7 fields, this one has 6\n"},
      {smallLog("1 0 0 -1 0 1 0\n"), "", at + "15: " + count + "negative: -1\n"},
      {smallLog("1 0 0 2 0 1 0 2 2 0 Node\n"), "",
       at + "15: 2 scalars need 15 fields, the line has 11\n"},
      // Node ids are checked line by line before anything is applied.
      {smallLog("1 0 0 1 0 1 0 9 2 0 Node\n1 0 0 1 0\n"), "",
       "Could not find node ID 9 in list.\n"},
      {good + "2 0 0 1 0 1 0 1 2 0 Node\n", "", "Root is being scaled.\n"},
      {good + "2 0 0 1 0 1 0 1 2 0 Node\n3 0 0 1 0 1 0 8 2 0 x\n", "",
       "Could not find node ID 8 in list.\n"},
      // Damaged text anywhere is reported before any sample is checked, even after a line
      // that the checks reject.
      {smallLog("1 0 0 1 0 1 0 9 2 0 Node\n2 0 0 0 0 1 0\r3\n"), "",
       at + "16: a carriage return inside the line; lines must end in LF or CR LF\n"},
      {smallLog("1 0 0 1 0 1 0 9 2 0 Node\n"), "IT 2\n", noSample},
      {"\x28\xb5\x2f\xfd\n", "",
       "Error in tree.log: zstd-compressed data; Scalesum reads plain and gzip logs: zstdcat "
       "tree.log | Scalesum - [<options file>]\n"},
  };
  for (const auto& [log, options, message] : cases) {
    const Failure failure = readRun(log, options);
    EXPECT_EQ(failure.status, 1) << message;
    EXPECT_EQ(failure.message, message);
  }
}

// Every failure and bad use ends with its message on its streams and leaves no file asked for.
TEST(Program, EveryFailureEndsWithItsMessageOnItsStreamsAndLeavesNoFile) {
  TempDir dir;
  // Sample lines first..last-1; `shift` moves the sigmas, to make a chain whose samples differ.
  auto lines = [](int first, int last, double shift = 0.0) {
    std::string text;
    for (int i = first; i < last; ++i) {
      text += std::to_string(10 * i) + " 0 0 0 0 " + std::to_string(shift + 0.5 + i % 13 * 0.01) +
              " 0\n";
    }
    return text;
  };
  const std::string missing = dir.path("missing"), stats = dir.path("s.tsv");
  const std::string log = dir.write("a.log", smallLog(lines(0, 40)));
  const std::string other = dir.write("b.log", smallLog(lines(40, 80)));
  std::string longer = readFile(log);
  longer.replace(longer.find("5\t2.0"), 5, "5\t2.00000000000000044");  // one ulp more
  dir.write("longer.log", longer);
  // Copies: of chain 1, and of chains 1 and 2 with other first 10 lines, which burn-ins drop.
  const std::string copy = dir.write("copy.log", readFile(log));
  const std::string newStart = dir.write("new.log", smallLog(lines(0, 10, 3) + lines(10, 40)));
  const std::string otherNewStart =
      dir.write("new2.log", smallLog(lines(40, 50, 3) + lines(50, 80)));
  const std::string noFile = "Could not open file " + missing + " for reading\n";
  const std::string usage =
      "Scalesum takes an options file and a log file. \n"
      "Usage: Scalesum <log file> [<options file>] [flags]\n"
      "Try 'Scalesum --help' for more information.\n";
  const std::string further =
      "Further chains go with -c: Scalesum run1.log run.options -c run2.log -c run3.log\n";
  const std::string help = "\nTry 'Scalesum --help' for more information.\n";
  const std::string memory = "Memory allocation error in file Scalesum line ";
  const std::string own = "; each chain is a run of its own\n";
  const std::string noneLeft =
      ": no sample line after the burn-in (100% of each chain's sample lines)\n";
  // The memory cap is checked before the samples are: 8 bytes for the sigma, 231 for the one
  // thread's scratch and 203 for the sigmas' diagnostics (statistics are asked for below), 8 for
  // a history and 49 for the record.
  const std::string capped = dir.write("cap.log", smallLog("1 0 0 1 0 1 0 9 2 0 Node\n"));
  const std::string tooSmall =
      "Error: a memory cap of 1 bytes is too small for 1 samples: summarising one node at a time "
      "needs 499 bytes (see --max-memory)\n";
  // Each run asks for the statistics and the global columns.
  const std::vector<std::pair<std::vector<std::string>, RunResult>> runs = {
      {{}, {1, usage, ""}},
      {{"a", "b", "c"}, {1, usage + further, ""}},
      {{"--help"}, {0, helpText(), ""}},
      {{missing, log}, {1, "", noFile}},
      {{log, missing}, {1, noFile, noFile}},
      {{dir.write("m1", "1\n1 A\n-1\nh\n")}, {1, memory + "1\n", ""}},
      {{dir.write("m2", "1\n1 A\n1\n1 0 -2\nh\n")}, {1, memory + "2\n", ""}},
      {{dir.path("")}, {1, "Error reading file " + dir.path("") + "\n", ""}},
      {{dir.write("0.log", "0\n")}, {1, dir.path("0.log") + " needs more that one node.\n", ""}},
      {{"-t", "1", "--max-memory", "1", capped}, {1, tooSmall, ""}},
      // The command line is refused before any file is opened.
      {{log, "-c", other, "-p", other},
       {1, "Scalesum: --params: " + other + " is the log file of a chain" + help, ""}},
      // Chains that are not runs of their own, or not of one tree.
      {{log, "-c", dir.path("longer.log")},
       {1,
        "Error in " + dir.path("longer.log") + ": not the tree of " + log +
            ": node line 5 (node 5) has length 2.0000000000000004, not 2\n",
        ""}},
      {{log, "-c", missing}, {1, "", noFile}},
      {{log, "-c", other, "-c", dir.path("./b.log")},
       {1, "Error in " + dir.path("./b.log") + ": the same file as " + other + own, ""}},
      {{log, "-c", copy}, {1, "Error in " + copy + ": the same samples as " + log + own, ""}},
      {{log, "-c", other, "-c", newStart, "-b", "100"},
       {1, "Error in " + newStart + ": the same samples as " + log + own, ""}},
      {{log, "-c", other, "-c", otherNewStart, "-b", "25%"},
       {1, "Error in " + otherNewStart + ": the same samples as " + other + own, ""}},
      {{log, "-c", other, "-b", "100%"}, {1, "Error in " + log + noneLeft, ""}},
  };
  for (auto [args, expected] : runs) {
    args.insert(args.begin(), {"-s", stats, "-p", dir.path("p.tsv")});
    expectRun(runInProcess(args), expected, expected.out);
    for (const char* name : {"s.tsv", "p.tsv"}) {
      EXPECT_FALSE(std::filesystem::exists(dir.path(name))) << expected.out;
    }
  }
  // Unreadable compressed data as a further chain on standard input; standard input twice.
  expectRun(
      runCommand("/bin/sh",
                 {"-c", "printf '\\3757zXZ\\000\\n' | exec " SCALESUM_BINARY " \"$0\" -c -", log}),
      {1,
       "Error in -: xz-compressed data; Scalesum reads plain and gzip logs: ... | xzcat | "
       "Scalesum - [<options file>]\n",
       ""},
      "xz");
  expectRun(runCommand("/bin/sh", {"-c", SCALESUM_BINARY " - -c - < \"$0\"", log}),
            {1, "Error in -: standard input can be read only once\n", ""}, "stdin twice");
  // A report that cannot be written, to a full disk or to a reader that went away, is a failure.
  for (const char* out : {"/dev/full", "|"}) {
    expectRun(runCommand(SCALESUM_BINARY, {log}, {}, out),
              {1, "", "Error writing the report to standard output\n"}, out);
  }
}

// Negative taxon ids (though not -1, which the options file cannot name), two taxa named alike and
// one name of bytes above 0x7f; a clade of length -0; an id used twice (the second time by a tip);
// nested subtree, branch and lower-case "node" scalars; lines too short to be samples. Line 23 has
// three groups.
const std::string kLog =
    "5\n-2 Mus\n-3 Bos\n-4 apis\n-5 \xc3\xa9t\xc3\xa9\n-6 Bos\n9\n10 0.9 5 -2 -3 -4 -5 -6\n"
    "11 0.25 3 -4 -2 -3\n12 0.5 2 -2 -3\n13 -0 2 -6 -5\n1 1.5 1 -2\n2 0.75 1 -3\n3 2 1 -4\n"
    "4 0.125 1 -5\n12 0.3 1 -6\nIter Lh Prior K Alpha Sigma X\n1000 a b 0 x 0.5 y\n \t\n1500\n"
    "2000 a b 1 x 0.7 y 11 2.0 z Node\n3000 a b 2 x 0.9 y 13 3 z Node 2 0.5 z Branch\n"
    "4000 a b 1 x 1.25 y 12 1.5 z node\n5000 a b 3 x 0.6 y 3 4 z Branch 11 0.5 z Node 4 1e-3 z "
    "Node\n6000 a b 0 x 0.8 y\n7000 a b 1 x 1.1 y 2 0.9 z Node\n";
const std::string kOptions =
    "IT 3000\nNOCATS 5\nrates focal Mus Bos\nRATES all Bos apis Mus\nSLICE s 0.5\n"
    "NODERATIO 2.5 3\nRATIONODE r Mus x\nNORMALISE\nIT=7 is no keyword\n";

const std::vector<std::string> kLines = [] {
  std::vector<std::string> lines;
  for (size_t at = 0; at < kLog.size(); at = kLog.find('\n', at) + 1) {
    lines.push_back(kLog.substr(at, kLog.find('\n', at) + 1 - at));
  }
  return lines;
}();

std::string join(const std::vector<std::string>& lines) {
  return std::accumulate(lines.begin(), lines.end(), std::string());
}

class Hostile : public ::testing::Test {
 protected:
  void expectSound(const std::string& log, const std::string& what,
                   const std::string& options = "") {
    const std::optional<int32_t> burnIn = options.empty() ? 0 : referenceBurnIn(options);
    const auto expected = burnIn ? referenceReport(log, *burnIn) : std::nullopt;
    const auto [failure, report] =
        analyse(dir_.write("log", log), options.empty() ? "" : dir_.write("options", options));
    const std::string& message = failure.message;
    EXPECT_EQ(failure.status, expected ? -1 : 1) << what << ": " << message;
    EXPECT_EQ(report, expected.value_or("")) << what;
    EXPECT_TRUE(expected ||
                (std::count(message.begin(), message.end(), '\n') == 1 && message.back() == '\n'))
        << what << ": " << message;
  }

  TempDir dir_;
};

TEST_F(Hostile, EveryLineCutDroppedRepeatedSwappedOrSpoilt) {
  expectSound(kLog, "intact log");
  expectSound(kLog, "intact log and options", kOptions);
  const char options[] = "IT 3000\rNOCATS 5\r\nRATES x Mus Bos\0IT 4000";
  expectSound(kLog, "options with CR and NUL", std::string(options, sizeof options - 1));
  // Cut at a line boundary in the sample section, the log gives the report of the samples left;
  // cut anywhere else, it is rejected.
  for (size_t at = 0; at < kLog.size(); ++at) {
    expectSound(kLog.substr(0, at), "cut at " + std::to_string(at));
  }
  for (size_t i = 0; i < kLines.size(); ++i) {
    const std::string what = " line " + std::to_string(i);
    auto changed = kLines;
    changed.erase(changed.begin() + long(i));
    expectSound(join(changed), "dropped" + what);
    changed.insert(changed.begin() + long(i), 2, kLines[i]);
    expectSound(join(changed), "repeated" + what);
    changed = kLines;
    std::swap(changed[i], changed[(i + 1) % kLines.size()]);
    expectSound(join(changed), "swapped with the next" + what);
    // A NUL, a CR or bytes above 0x7f inside the line or just before its LF; a CR for its LF.
    for (const std::string& edit :
         {std::string(1, '\0'), std::string("\r"), std::string("\xe9\xff")}) {
      for (size_t where : {kLines[i].size() / 2, kLines[i].size() - 1}) {
        changed = kLines;
        changed[i].insert(where, edit);
        expectSound(join(changed), "spoilt" + what);
      }
    }
    changed = kLines;
    changed[i].back() = '\r';
    expectSound(join(changed), "CR for LF" + what);
  }
  // A second copy of the header, as a restarted run appends it.
  auto twice = kLines;
  twice.insert(twice.begin() + 23, kLines[16]);
  expectSound(join(twice), "header among the samples");
  expectSound(join(twice), "header among the samples, burnt in", "IT 6000\n");
}

TEST_F(Hostile, FieldsReplacedByJunkOrByCountsThatLie) {
  const char* tokens[] = {"",      "0",        "2",          "4",           "6",          "Node",
                          "+",     "-0",       "1e",         "0x1p3",       "nan",        "inf",
                          "1e308", "4.9e-324", "2147483647", "99999999999", "-2147483648"};
  // The taxon count, a taxon's id and name, the node count, the root's taxon count, a node's id,
  // length, taxon count and first taxon, and a sample's iteration, scalar count, sigma, an unread
  // field, and a group's node id, scalar and type.
  const std::pair<size_t, size_t> fields[] = {{0, 0},  {1, 0},  {1, 1},  {6, 0},  {7, 2},  {8, 0},
                                              {8, 1},  {8, 2},  {8, 3},  {23, 0}, {23, 3}, {23, 5},
                                              {23, 6}, {23, 7}, {23, 8}, {23, 10}};
  for (const auto& [line, field] : fields) {
    for (const std::string token : tokens) {
      auto changed = kLines;
      std::string& text = changed[line];
      size_t begin = text.find_first_not_of(' ');
      for (size_t f = 0; f < field; ++f) begin = text.find(' ', begin) + 1;
      text.replace(begin, text.find_first_of(" \n", begin) - begin, token);
      expectSound(join(changed), text);
    }
  }
  for (const std::string token : tokens) expectSound(kLog, "IT " + token, "IT " + token + "\n");
}

// Checks that a run of the program failed with one message line and no part of the report.
void expectRejected(const RunResult& result, const std::string& what) {
  const std::string& message = result.out.empty() ? result.err : result.out;
  EXPECT_EQ(result.status, 1) << what;
  EXPECT_TRUE(result.err.empty() || result.out.empty() || result.err == result.out) << what;
  EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << what << message;
  EXPECT_EQ(message.find("Node ID"), std::string::npos) << what;
}

TEST(Files, TheLogMayComeThroughAnyPipeAndGivesTheSameFiles) {
  TempDir dir;
  const std::string log = dir.write("log", kLog), options = dir.write("options", kOptions);
  const std::string packed = dir.writeGzip("log.gz", kLog), fifo = dir.path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // (An empty, missing or directory log has its message checked above.)
  expectRejected(runProgram({"/dev/null"}), "log /dev/null");
  expectRejected(runProgram({log, dir.path("")}), "options: a directory");
  for (const std::string& path : {dir.write("empty", ""), std::string("/dev/null")}) {
    EXPECT_EQ(runProgram({log, path}).out, *referenceReport(kLog, 0)) << path;
  }
  // The report, the statistics and the tree, with the log read as `logArgument` in a shell
  // command that begins with `source`: $0 is the log (plain or compressed), $1 the options.
  auto run = [&](const std::string& source, const std::string& logArgument,
                 const std::string& file) {
    const std::string outputs = " -q --stats \"$2.stats\" --tree \"$2.tree\" ";
    const RunResult result = runCommand(
        "/bin/bash", {"-c", source + " " SCALESUM_BINARY + outputs + logArgument + " \"$1\"", file,
                      options, dir.path("o")});
    EXPECT_EQ(result.status, 0) << source << result.out;
    return result.out + readFile(dir.path("o.stats")) + readFile(dir.path("o.tree"));
  };
  const std::string whole = run("exec", "\"$0\"", log);
  EXPECT_EQ(whole.rfind(*referenceReport(kLog, 3000), 0), 0u);
  EXPECT_EQ(run("exec", "\"$0\"", packed), whole);
  for (const std::string& file : {log, packed}) {
    EXPECT_EQ(run("cat \"$0\" | exec", "-", file), whole) << "- " << file;
    EXPECT_EQ(run("exec <\"$0\"", "-", file), whole) << "- from a file " << file;
    EXPECT_EQ(run("cat \"$0\" | exec", "/dev/stdin", file), whole) << "/dev/stdin " << file;
    EXPECT_EQ(run("exec", "<(cat \"$0\")", file), whole) << "<() " << file;
    EXPECT_EQ(run("cat \"$0\" >" + fifo + " & exec", fifo, file), whole) << "FIFO " << file;
  }
}

TEST(MemoryExhaustion, EveryLimitGivesTheReportOrTheMessage) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "an address-space limit does not work under ASan";
#endif
  // Two taxa and many samples: the length histories and the worker threads' series need memory.
  TempDir dir;
  std::string log = "2\n1 A\n2 B\n3\n1 0 2 1 2\n2 0.5 1 1\n3 0.25 1 2\nIter a b K x Sigma y\n";
  for (int i = 1; i <= 200000; ++i) {
    log += std::to_string(i) + " 0 0 1 0 " + std::to_string(1 + i % 7) + " 0 2 " +
           std::to_string(1 + i % 5) + " x Node\n";
  }
  // Taxon ids at both ends of their range, far apart, need no memory for the range between.
  const std::string farLog =
      "2\n-2147483648 A\n2147483647 B\n3\n1 0 2 2147483647 -2147483648\n2 0.5 1 -2147483648\n"
      "3 0.25 1 2147483647\nh\n1 0 0 0 0 1 0\n2 0 0 1 0 2 0 3 2 x Node\n";
  const std::string far = dir.write("far.log", farLog);
  const std::string path = dir.write("big.log", log);
  const RunResult full = runProgram({path}, {"OMP_NUM_THREADS=2"});
  ASSERT_EQ(full.status, 0);
  // From too little memory to start up to enough for two threads; in between, a second thread
  // may not start and the run makes do with one. The memory runs out at several places.
  std::set<std::string> messages;
  int inARow = 0;
  for (int megabytes = 8; megabytes <= 256 && inARow < 3; megabytes += 2) {
    const std::string limit = "ulimit -v " + std::to_string(megabytes * 1024) + " && exec ";
    const RunResult result =
        runCommand("/bin/sh", {"-c", limit + SCALESUM_BINARY " " + path}, {"OMP_NUM_THREADS=2"});
    inARow = result.status == 0 ? inARow + 1 : 0;
    if (result.status != 0) {
      expectRejected(result, limit);
      EXPECT_EQ(result.out.rfind("Memory allocation error in file ", 0), 0u) << result.out;
      messages.insert(result.out);
    } else {
      expectRun(result, full, limit);
    }
  }
  EXPECT_EQ(inARow, 3);
  EXPECT_GE(messages.size(), 2u);
  expectRun(runCommand("/bin/sh", {"-c", "ulimit -v 262144 && exec " SCALESUM_BINARY " " + far}),
            {0, *referenceReport(farLog, 0), ""}, "far");
}

}  // namespace
}  // namespace scalesum
