#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Stops the run with a crash report, which libFuzzer keeps as a reproducer, unless `condition`
// holds.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

namespace scalesum::fuzz {

// Thrown in place of ending the process when the input is rejected.
struct Rejected {};

// Makes every failure throw Rejected after checking that it is a single message line with
// status 1, and runs the parallel loop on one thread. Call once, before the first input.
void prepareFuzzing();

// Bytes in memory, reachable by a path like a regular file, for as long as the object lives.
class MemoryFile {
 public:
  MemoryFile(const uint8_t* data, size_t size);
  explicit MemoryFile(const std::string& text)
      : MemoryFile(reinterpret_cast<const uint8_t*>(text.data()), text.size()) {}
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  ~MemoryFile();
  const char* path() const { return path_; }

 private:
  int fd_ = -1;
  char path_[40] = {};
};

// Returns the integer at the start of `text` as strtol reads it, clamped to 32 bits: an
// implementation of its own to hold parseInt against.
int32_t referenceInt(const char* text);

// Returns whether a and b are the same double, every not-a-number counting as the same.
bool sameReal(double a, double b);

}  // namespace scalesum::fuzz
