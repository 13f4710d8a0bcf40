#include "progress.h"

#include <sys/ioctl.h>

#include <functional>
#include <new>
#include <system_error>

#include "failure.h"
#include "results.h"

namespace scalesum {

namespace {

using Clock = std::chrono::steady_clock;

// A terminal line appears only once a run has taken this long: short runs stay silent.
constexpr auto kTerminalDelay = std::chrono::seconds(2);
constexpr auto kTerminalInterval = std::chrono::milliseconds(500);
// Plain lines go to files and pipes, where every line stays: a few suffice.
constexpr auto kPlainInterval = std::chrono::seconds(5);

// Returns m:ss, or h:mm:ss from an hour on.
std::string formatDuration(double seconds) {
  const auto whole = static_cast<long long>(seconds + 0.5);
  char text[48];
  if (whole < 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                  whole % 60);
  }
  return text;
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string currentLine(const Progress& progress) {
  return describeProgress(progress.pass.load(std::memory_order_relaxed),
                          progress.passCount.load(std::memory_order_relaxed),
                          progress.summariesDone.load(std::memory_order_relaxed),
                          progress.nodeCount.load(std::memory_order_relaxed),
                          secondsSince(progress.started));
}

// Overwrites the terminal line with `text`, blanking whatever of the old line sticks out.
void redraw(Progress& progress, std::string text) {
  // A line that wraps can no longer be overwritten.
  winsize size{};
  if (::ioctl(::fileno(progress.stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 1 &&
      text.size() >= size.ws_col) {
    text.resize(size.ws_col - 1u);
  }
  std::string line = "\r" + text;
  if (text.size() < progress.shownWidth) line.append(progress.shownWidth - text.size(), ' ');
  std::fputs(line.c_str(), progress.stream);
  std::fflush(progress.stream);
  progress.shownWidth = text.size();
}

void runReporter(Progress& progress, bool forced) {
  const auto interval = progress.terminal ? kTerminalInterval : kPlainInterval;
  auto next = progress.started + (progress.terminal && !forced ? kTerminalDelay : interval);
  std::unique_lock<std::mutex> lock(progress.mutex);
  while (!progress.wake.wait_until(lock, next, [&] { return progress.stopping; })) {
    // Nothing may escape the thread. A line that memory does not suffice for is skipped; the
    // run that ran out reports it.
    try {
      if (progress.terminal) {
        redraw(progress, currentLine(progress));
      } else {
        std::fprintf(progress.stream, "%s\n", currentLine(progress).c_str());
        std::fflush(progress.stream);
      }
    } catch (const std::bad_alloc&) {
    }
    next = Clock::now() + interval;
  }
}

void stopReporter(Progress& progress) {
  {
    const std::lock_guard<std::mutex> lock(progress.mutex);
    progress.stopping = true;
  }
  progress.wake.notify_one();
  progress.reporter.join();
}

}  // namespace

std::string describeProgress(int pass, int passCount, int64_t summariesDone, int64_t nodeCount,
                             double elapsed) {
  char passes[32] = "";
  if (passCount > 0) std::snprintf(passes, sizeof passes, "/%d", passCount);
  char left[48] = "";
  const double total = static_cast<double>(nodeCount) * kSeriesCount;
  if (summariesDone > 0 && total > 0) {
    const double done = static_cast<double>(summariesDone) / total;
    std::snprintf(left, sizeof left, ", about %s left",
                  formatDuration(elapsed * (1.0 - done) / done).c_str());
  }
  char text[192];
  std::snprintf(text, sizeof text, "Scalesum: pass %d%s, %lld/%lld nodes summarised, %s elapsed%s",
                pass, passes, static_cast<long long>(summariesDone / kSeriesCount),
                static_cast<long long>(nodeCount), formatDuration(elapsed).c_str(), left);
  return text;
}

void startProgress(Progress& progress, FILE* stream, bool terminal, bool forced, bool quiet) {
  if (quiet || !(forced || terminal)) return;
  progress.stream = stream;
  progress.terminal = terminal;
  progress.started = Clock::now();
  try {
    progress.reporter = std::thread(runReporter, std::ref(progress), forced);
  } catch (const std::system_error&) {
    // Progress is a courtesy: a run that cannot start one more thread goes on without it.
    progress.stream = nullptr;
  }
}

Progress::~Progress() {
  if (!reporter.joinable()) return;
  {
    // The failure's message that follows must start on a line of its own.
    const std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
    if (terminal && shownWidth > 0) {
      std::fputc('\r', stream);
      for (size_t i = 0; i < shownWidth; ++i) std::fputc(' ', stream);
      std::fputc('\r', stream);
      std::fflush(stream);
    }
  }
  stopReporter(*this);
}

void finishProgress(Progress& progress) {
  if (progress.stream == nullptr) return;
  stopReporter(progress);
  if (progress.terminal) {
    if (progress.shownWidth > 0) {
      redraw(progress, "");
      std::fputs("\r", progress.stream);
    }
  } else {
    std::fprintf(progress.stream, "Scalesum: %lld/%lld nodes summarised in %d passes, %s\n",
                 static_cast<long long>(progress.summariesDone.load() / kSeriesCount),
                 static_cast<long long>(progress.nodeCount.load()), progress.pass.load(),
                 formatDuration(secondsSince(progress.started)).c_str());
  }
  std::fflush(progress.stream);
  progress.stream = nullptr;
}

}  // namespace scalesum
