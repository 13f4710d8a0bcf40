#include "fuzz_util.h"

#include <omp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>

namespace scalesum::fuzz {

const char* memoryFile(int slot, const std::string& text) {
  static int fds[2] = {-1, -1};
  static char paths[2][40];
  int& fd = fds[slot];
  if (fd < 0) fd = ::memfd_create("scalesum-fuzz", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0 && ::ftruncate(fd, 0) == 0);
  FUZZ_CHECK(::pwrite(fd, text.data(), text.size(), 0) == ssize_t(text.size()));
  std::snprintf(paths[slot], sizeof paths[slot], "/proc/self/fd/%d", fd);
  return paths[slot];
}

bool sameReal(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

void checkRejection(const RunFailure& failure) {
  const char* lineEnd = std::strchr(failure.message, '\n');
  FUZZ_CHECK(failure.status == 1 && lineEnd != nullptr && lineEnd[1] == '\0');
}

}  // namespace scalesum::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  omp_set_num_threads(1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    scalesum::fuzz::fuzzInput(std::string(reinterpret_cast<const char*>(data), size));
  } catch (const scalesum::RunFailure& failure) {
    scalesum::fuzz::checkRejection(failure);
  }
  return 0;
}
