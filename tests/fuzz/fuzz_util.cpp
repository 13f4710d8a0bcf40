#include "fuzz_util.h"

#include <omp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>

#include "genlib.h"

namespace scalesum::fuzz {

namespace {

void rejectInput(int status, const char* message) {
  FUZZ_CHECK(status == 1);
  const char* lineEnd = std::strchr(message, '\n');
  FUZZ_CHECK(lineEnd != nullptr && lineEnd[1] == '\0');
  throw Rejected{};
}

}  // namespace

void prepareFuzzing() {
  setFailureHook(rejectInput);
  omp_set_num_threads(1);
}

MemoryFile::MemoryFile(const uint8_t* data, size_t size) {
  fd_ = ::memfd_create("scalesum-fuzz", MFD_CLOEXEC);
  FUZZ_CHECK(fd_ >= 0);
  for (size_t done = 0; done < size;) {
    const ssize_t wrote = ::write(fd_, data + done, size - done);
    FUZZ_CHECK(wrote > 0);
    done += static_cast<size_t>(wrote);
  }
  std::snprintf(path_, sizeof path_, "/proc/self/fd/%d", fd_);
}

MemoryFile::~MemoryFile() {
  ::close(fd_);
}

int32_t referenceInt(const char* text) {
  errno = 0;
  const long value = std::strtol(text, nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

bool sameReal(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace scalesum::fuzz
