#pragma once

#include <cstdio>

#include "cli.h"

namespace scalesum {

// Summarises the log at `logPath` with the options file at `optionsPath` (none when null),
// reporting no progress, and writes the whole report to `out`, which the program gives its
// standard output; fails before any part of the report is written.
void runAnalysis(const char* logPath, const char* optionsPath, FILE* out);

// The exit status of a run that wrote everything but whose verdict --require-convergence
// refuses.
inline constexpr int kNotConvergedStatus = 3;

// Runs the analysis that `command` asks for and writes the report to `out`, or to the file of
// --output, and every other file it names; the files appear only when all of them are
// complete. Returns 0, or kNotConvergedStatus.
int runAnalysis(const CommandLine& command, FILE* out);

// Runs the whole program on its command line, reports a failure as the process must, and
// returns the exit status.
int runScalesum(int argc, char** argv);

}  // namespace scalesum
