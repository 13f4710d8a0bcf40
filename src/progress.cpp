#include "progress.h"

#include <sys/ioctl.h>

#include <atomic>
#include <functional>
#include <system_error>

#include "failure.h"
#include "records.h"

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

// The progress whose line may be on the terminal, for the failure cleanup below.
std::atomic<Progress*> gOnTerminal{nullptr};

// Blanks the terminal line before a failure's message and keeps the reporter from drawing it
// again, so that the message starts on a line of its own.
void clearLineBeforeFailure() {
  Progress* progress = gOnTerminal.exchange(nullptr);
  if (progress == nullptr) return;
  const std::lock_guard<std::mutex> lock(progress->mutex);
  progress->stopping = true;
  if (progress->shownWidth == 0) return;
  std::fputc('\r', progress->stream);
  for (size_t i = 0; i < progress->shownWidth; ++i) std::fputc(' ', progress->stream);
  std::fputc('\r', progress->stream);
  std::fflush(progress->stream);
  progress->shownWidth = 0;
}

void forgetTerminal(Progress& progress) {
  Progress* self = &progress;
  gOnTerminal.compare_exchange_strong(self, nullptr);
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
    if (progress.terminal) {
      redraw(progress, currentLine(progress));
    } else {
      std::fprintf(progress.stream, "%s\n", currentLine(progress).c_str());
      std::fflush(progress.stream);
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
  if (terminal) {
    gOnTerminal.store(&progress);
    addFailureCleanup(clearLineBeforeFailure);
  }
  try {
    progress.reporter = std::thread(runReporter, std::ref(progress), forced);
  } catch (const std::system_error&) {
    // Progress is a courtesy: a run that cannot start one more thread goes on without it.
    forgetTerminal(progress);
    progress.stream = nullptr;
  }
}

Progress::~Progress() {
  forgetTerminal(*this);
  if (reporter.joinable()) stopReporter(*this);
}

void finishProgress(Progress& progress) {
  if (progress.stream == nullptr) return;
  forgetTerminal(progress);
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
