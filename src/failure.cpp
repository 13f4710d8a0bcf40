#include "failure.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace scalesum {

namespace {

// Sets the failure's message, cut to fit with its line end kept (a name of many kilobytes).
__attribute__((format(printf, 2, 0))) void setMessage(RunFailure& failure, const char* format,
                                                      va_list args) {
  const int length = std::vsnprintf(failure.message, sizeof failure.message, format, args);
  if (length >= static_cast<int>(sizeof failure.message)) {
    failure.message[sizeof failure.message - 2] = '\n';
  }
}

void writeTo(FILE* stream, const char* message) {
  std::fputs(message, stream);
  std::fflush(stream);
}

// A message for standard output alone must reach a person at a terminal who sent that to a file,
// and a log kept of standard error; where both streams are one open file (a terminal, or
// `>f 2>&1`) it would show twice. A closed standard error is no place to echo to; a closed
// standard output leaves it the only place.
bool echoesToStandardError() {
  struct stat out, err;
  if (::fstat(STDERR_FILENO, &err) != 0) return false;
  if (::fstat(STDOUT_FILENO, &out) != 0) return true;
  return out.st_dev != err.st_dev || out.st_ino != err.st_ino;
}

__attribute__((format(printf, 1, 0))) std::string vwarningText(const char* format, va_list args) {
  std::string line = "Scalesum: warning: ";
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, again);
  va_end(again);
  const size_t prefix = line.size();
  line.resize(prefix + static_cast<size_t>(std::max(length, 0)) + 1);
  std::vsnprintf(line.data() + prefix, line.size() - prefix, format, args);
  line.back() = '\n';
  return line;
}

}  // namespace

void fail(int status, Stream stream, const char* format, ...) {
  RunFailure failure;
  failure.status = status;
  failure.stream = stream;
  va_list args;
  va_start(args, format);
  setMessage(failure, format, args);
  va_end(args);
  throw failure;
}

void failAtLine(const char* path, int64_t line, const char* format, ...) {
  char reason[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(reason, sizeof reason, format, args);
  va_end(args);
  fail(1, Stream::kStdout, "Error in %s line %lld: %s\n", path, static_cast<long long>(line),
       reason);
}

RunFailure allocationFailure(const char* module, int site) {
  RunFailure failure;
  failure.stream = Stream::kStderrThenStdout;
  std::snprintf(failure.message, sizeof failure.message,
                "Memory allocation error in file %s line %d\n", module, site);
  return failure;
}

void reportAllocationError(const char* module, int site) {
  throw allocationFailure(module, site);
}

int reportFailure(const RunFailure& failure) {
  const char* message = failure.message;
  switch (failure.stream) {
    case Stream::kStdout:
      writeTo(stdout, message);
      if (echoesToStandardError()) writeTo(stderr, message);
      break;
    case Stream::kStderr:
      writeTo(stderr, message);
      break;
    case Stream::kStdoutThenStderr:
      writeTo(stdout, message);
      writeTo(stderr, message);
      break;
    case Stream::kStderrThenStdout:
      writeTo(stderr, message);
      writeTo(stdout, message);
      break;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  return failure.status;
}

std::string warningText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = vwarningText(format, args);
  va_end(args);
  return line;
}

void warn(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string line = vwarningText(format, args);
  va_end(args);
  std::fputs(line.c_str(), stderr);
}

}  // namespace scalesum
