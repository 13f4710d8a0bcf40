#pragma once

#include <cstdio>

#include "cli.h"

namespace scalesum {

// Summarises the log at `logPath` with the options file at `optionsPath` (none when null),
// reporting no progress, and writes the whole report to `out`, which the program gives its
// standard output; every failure ends inside, before any part of the report is written.
void runAnalysis(const char* logPath, const char* optionsPath, FILE* out);

// Runs the analysis as runAnalysis above with the files, memory cap and progress reporting of
// `command`.
void runAnalysis(const CommandLine& command, FILE* out);

// Runs the whole program on its command line and returns the exit status of a run that did
// not fail (a failing run ends inside).
int runScalesum(int argc, char** argv);

// The text that --help prints.
const char* helpText();

}  // namespace scalesum
