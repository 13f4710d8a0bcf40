#pragma once

#include <cstdint>

namespace scalesum {

// Where a failure message goes.
enum class Stream { kStdout, kStderr, kStdoutThenStderr, kStderrThenStdout };

// Writes the formatted message to `stream` and ends the process with `status`; the single way
// the program fails. A message for standard output alone is also written to standard error when
// the two are not the same open file. Safe to call from any thread: the first caller wins, the
// others wait.
[[noreturn]] void fail(int status, Stream stream, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Rejects input: writes "Error in <path> line <line>: <formatted reason>" and a line feed to
// standard output and ends the process with status 1.
[[noreturn]] void failAtLine(const char* path, int64_t line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Reports that allocation site `line` of `module` could not get its memory, and ends the
// process with status 1.
[[noreturn]] void reportAllocationError(const char* module, int line);

// A routine that fail() hands each failure to instead of printing it and ending the process.
// It must not return (it may throw); fuzzing uses it to keep the process alive.
using FailureHook = void (*)(int status, const char* message);

// Installs `hook` (or removes it, given nullptr).
void setFailureHook(FailureHook hook);

// A routine that fail() runs before it reports a failure, to undo what the run has left on disk.
// It must be safe to run on any thread while others still work, and must not allocate.
using FailureCleanup = void (*)();

// Adds `cleanup` to those fail() runs, in the order added; adding one twice keeps one. There is
// room for four.
void addFailureCleanup(FailureCleanup cleanup);

}  // namespace scalesum
