#pragma once

// The harness that every fuzz target shares. It defines libFuzzer's entry points, runs the
// parallel loop on one thread, hands each input to the target's fuzzInput, and checks that a
// failure which ends it is one message line with status 1.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "failure.h"

// Stops the run with a crash report, which libFuzzer keeps as a reproducer, unless `c` holds.
#define FUZZ_CHECK(c) \
  ((c) ? void()       \
       : (std::fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #c), std::abort()))

namespace scalesum::fuzz {

// Checks one input; defined by each target. A RunFailure that it lets escape is no finding if
// checkRejection passes it.
void fuzzInput(const std::string& input);

// Checks that a rejected input ended the run with status 1 and one message line.
void checkRejection(const RunFailure& failure);

// Returns a path that reads as a regular file holding `text`, until the next call with `slot`.
const char* memoryFile(int slot, const std::string& text);

// Returns whether a and b are the same double, every not-a-number counting as the same.
bool sameReal(double a, double b);

// Returns whether the text starts with the gzip magic bytes: no plain reading to compare with.
inline bool compressed(const std::string& text) {
  return text.size() >= 2 && text[0] == '\x1f' && text[1] == '\x8b';
}

}  // namespace scalesum::fuzz
