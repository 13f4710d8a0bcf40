#include "failure.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace scalesum {

namespace {

std::atomic<FailureHook> gFailureHook{nullptr};
std::atomic<FailureCleanup> gFailureCleanups[4];

void runFailureCleanups() {
  for (const std::atomic<FailureCleanup>& slot : gFailureCleanups) {
    if (FailureCleanup cleanup = slot.load()) cleanup();
  }
}

void writeTo(FILE* stream, const char* message) {
  std::fputs(message, stream);
  std::fflush(stream);
}

// A message for standard output alone must reach a person at a terminal who sent that to a file,
// and a log kept of standard error; where both streams are one open file (a terminal, or
// `>f 2>&1`) it would show twice. A closed stream is no place to echo to.
bool echoesToStandardError() {
  struct stat out, err;
  if (::fstat(STDOUT_FILENO, &out) != 0 || ::fstat(STDERR_FILENO, &err) != 0) return false;
  return out.st_dev != err.st_dev || out.st_ino != err.st_ino;
}

}  // namespace

void setFailureHook(FailureHook hook) {
  gFailureHook.store(hook);
}

void addFailureCleanup(FailureCleanup cleanup) {
  for (std::atomic<FailureCleanup>& slot : gFailureCleanups) {
    FailureCleanup found = nullptr;
    if (slot.compare_exchange_strong(found, cleanup) || found == cleanup) return;
  }
  std::abort();  // more cleanups than the program has
}

void fail(int status, Stream stream, const char* format, ...) {
  char message[8192];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  // A message cut to the buffer (a name of many kilobytes) still ends its line.
  if (length >= static_cast<int>(sizeof message)) message[sizeof message - 2] = '\n';

  if (FailureHook hook = gFailureHook.load()) {
    runFailureCleanups();
    hook(status, message);
    std::abort();  // a hook that returns has broken its promise
  }

  // Worker threads may fail at the same moment; the first one reports, the rest wait for the
  // process to end.
  static std::mutex failing;
  failing.lock();
  runFailureCleanups();
  switch (stream) {
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
  // Other threads may still be running: end without running destructors under their feet.
  std::_Exit(status);
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

void reportAllocationError(const char* module, int line) {
  fail(1, Stream::kStderrThenStdout, "Memory allocation error in file %s line %d\n", module, line);
}

}  // namespace scalesum
