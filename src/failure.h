#pragma once

#include <cstdint>
#include <string>

namespace scalesum {

// Where a failure message goes.
enum class Stream { kStdout, kStderr, kStdoutThenStderr, kStderrThenStdout };

// The end of a failed run on its way to the driver, which alone reports it. It is no
// std::exception, so that no handler of ordinary errors on the way can take it for one, and it
// holds its message, so that it can be made when memory has run out.
struct RunFailure {
  int status = 1;
  Stream stream = Stream::kStdout;
  char message[8192] = "";  // one cut to fit keeps its line end
};

// Ends the run with `status` and the formatted message for `stream` by throwing it as a
// RunFailure; the single way the program fails.
[[noreturn]] void fail(int status, Stream stream, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Rejects input: fails with status 1 and "Error in <path> line <line>: <formatted reason>" and a
// line feed for standard output.
[[noreturn]] void failAtLine(const char* path, int64_t line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Returns the failure that tells that allocation site `site` of `module` could not get its
// memory.
RunFailure allocationFailure(const char* module, int site);

// Fails with allocationFailure(module, site).
[[noreturn]] void reportAllocationError(const char* module, int site);

// Writes the failure's message to its streams and flushes both, and returns its status. A
// message for standard output alone is also written to standard error when the two are not the
// same open file.
int reportFailure(const RunFailure& failure);

// Returns the warning line for the formatted message: "Scalesum: warning: ", the message and
// a line feed.
std::string warningText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes the warning line for the formatted message to standard error.
void warn(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace scalesum
