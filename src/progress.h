#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace scalesum {

// How far a run has come, written by the run's phases and read by a reporter thread that shows
// it on standard error. The phases only store into the counters; nothing they do waits for
// the reporter.
struct Progress {
  std::atomic<int> pass{0};       // the pass over the log under way, from 1
  std::atomic<int> passCount{0};  // how many passes the run makes; 0 until known
  std::atomic<int64_t> nodeCount{0};
  std::atomic<int64_t> summariesDone{0};  // series summarised, four per node

  // The reporter's own state.
  FILE* stream = nullptr;  // null: nothing is reported
  bool terminal = false;   // one self-updating line instead of plain lines
  std::chrono::steady_clock::time_point started;
  std::thread reporter;
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  size_t shownWidth = 0;  // characters of the line on the terminal now

  Progress() = default;
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  // Stops the reporter of a run that a failure unwound: blanks the terminal line, writes no
  // closing line.
  ~Progress();
};

// Returns the progress line for pass `pass` of `passCount` (unknown when 0), `summariesDone`
// series of `nodeCount` nodes and `elapsed` seconds, with an estimate of the time left once
// some series is summarised.
std::string describeProgress(int pass, int passCount, int64_t summariesDone, int64_t nodeCount,
                             double elapsed);

// Starts reporting to `stream` when it is wanted: forced by `forced`, or when `terminal` (the
// stream is one) and the run lasts beyond a couple of seconds; never when `quiet`.
void startProgress(Progress& progress, FILE* stream, bool terminal, bool forced, bool quiet);

// Stops reporting: clears the terminal line, or ends the plain lines with one that says the
// run's work is done.
void finishProgress(Progress& progress);

}  // namespace scalesum
