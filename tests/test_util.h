#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "results.h"
#include "samplerecord.h"
#include "tree.h"

namespace scalesum::testing {

struct Failure {
  int status;
  std::string message;
};

// Runs `body` and returns the failure that ended it, or status -1 if none.
Failure catchFailure(const std::function<void()>& body);

// A directory of its own for each test, removed at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  // Writes `contents` to the file `name` here, gzip-compressed by writeGzip; returns its path.
  std::string write(const std::string& name, const std::string& contents) const;
  std::string writeGzip(const std::string& name, const std::string& contents) const;
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the built Scalesum with `args`, extra environment entries ("NAME=value") added.
RunResult runProgram(const std::vector<std::string>& args,
                     const std::vector<std::string>& environment = {});

// Runs the program in this process on `args`, its two streams caught apart as runProgram's are.
RunResult runInProcess(const std::vector<std::string>& args);

// Parses `args` as the words after the program's name on its command line.
CommandLine parseArgs(std::vector<std::string> args);

// Runs `program` with `args` the same way, both streams read through pipes; standard output goes
// to `stdoutPath` instead when given, or to a pipe whose reader has gone away when that is "|".
RunResult runCommand(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& environment = {},
                     const std::string& stdoutPath = "");

std::string readFile(const std::string& path);

// Returns what `write` writes to a stream.
std::string written(const std::function<void(FILE*)>& write);

// The source tree, ending in a slash.
inline const std::string kSourceDir = SCALESUM_SOURCE_DIR "/";

// A small log: four taxa ((A,B),(C,D)) with nodes 1 (root), 2 = {A,B}, 3 = {C,D} and tips 4..7,
// followed by the given sample lines (the first of them is line 15).
std::string smallLog(const std::string& samples);

// A log's text, its clade tree and what summarising its samples gave.
struct LoadedLog {
  std::string text;
  Tree tree;
  Results results;
};

// Reads a log header from text and builds its tree.
std::unique_ptr<LoadedLog> loadTree(const std::string& log);

// Reads and counts the samples of a loaded tree's log from the iteration `burnIn` on into a record.
std::vector<SampleRecord> readSamples(LoadedLog& loaded, int32_t burnIn = 0);

// loadTree, then every node summarised with statistics and intervals of `hpdMass`.
std::unique_ptr<LoadedLog> summarised(const std::string& log, double hpdMass = 0.95);

}  // namespace scalesum::testing
