#include "output.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "genlib.h"

namespace scalesum {

namespace {

// The temporary files not yet renamed, in storage that failure and signal handlers can read
// without locks or allocation while the main thread is elsewhere.
constexpr int kMaxTemporaries = 8;
char gTemporaries[kMaxTemporaries][PATH_MAX];
std::atomic<int> gTemporaryCount{0};

void removeTemporaries() {
  const int count = gTemporaryCount.load();
  for (int i = 0; i < count; ++i) {
    if (gTemporaries[i][0] != '\0') ::unlink(gTemporaries[i]);
  }
}

// An interrupted run must not leave its temporary files behind either.
void removeTemporariesAndDie(int signal) {
  removeTemporaries();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void registerTemporary(const std::string& path) {
  const int slot = gTemporaryCount.load();
  if (slot == kMaxTemporaries || path.size() >= PATH_MAX) {
    fail(1, Stream::kStderr, "Error writing the output: too many files\n");
  }
  std::memcpy(gTemporaries[slot], path.c_str(), path.size() + 1);
  gTemporaryCount.store(slot + 1);
  if (slot == 0) {
    addFailureCleanup(removeTemporaries);
    // A signal that the caller ignores (nohup) stays ignored.
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
      struct sigaction current;
      if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
        std::signal(signal, removeTemporariesAndDie);
      }
    }
  }
}

void forgetTemporary(const std::string& path) {
  const int count = gTemporaryCount.load();
  for (int i = 0; i < count; ++i) {
    if (path == gTemporaries[i]) gTemporaries[i][0] = '\0';
  }
}

[[noreturn]] void failWriting(const OutputFile& file, int error) {
  fail(1, Stream::kStderr, "Error writing the %s to %s: %s\n", file.what, file.target.c_str(),
       std::strerror(error));
}

}  // namespace

OutputFile openOutputFile(const std::string& target, const char* what) {
  OutputFile file;
  file.target = target;
  file.what = what;
  struct stat existing;
  const bool exists = ::stat(target.c_str(), &existing) == 0;
  if (exists && !S_ISREG(existing.st_mode)) {
    file.stream = std::fopen(target.c_str(), "w");
    if (file.stream == nullptr) failWriting(file, errno);
    return file;
  }
  // A symbolic link stays one: the file it leads to is replaced.
  if (exists) {
    if (char* resolved = ::realpath(target.c_str(), nullptr)) {
      file.target = resolved;
      std::free(resolved);
    }
  }
  const std::filesystem::path folder = std::filesystem::path(file.target).parent_path();
  file.temporary = (folder.empty() ? std::string(".") : folder.string()) + "/.scalesum-XXXXXX";
  const int fd = ::mkostemp(file.temporary.data(), O_CLOEXEC);
  if (fd < 0) failWriting(file, errno);
  registerTemporary(file.temporary);
  // The file gets the permissions that writing the target in place would have given it.
  mode_t mode = 0;
  if (exists) {
    mode = existing.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  if (::fchmod(fd, mode) != 0) failWriting(file, errno);
  file.stream = ::fdopen(fd, "w");
  if (file.stream == nullptr) failWriting(file, errno);
  // Like standard output, the files take large blocks.
  std::setvbuf(file.stream, nullptr, _IOFBF, 1 << 20);
  return file;
}

void finishOutputFile(OutputFile& file) {
  FILE* stream = file.stream;
  file.stream = nullptr;
  errno = 0;
  const bool written = std::fflush(stream) == 0 && !std::ferror(stream);
  int error = errno;
  // A file that the disk has not taken yet could still end up empty after the rename.
  if (written && !file.temporary.empty() && ::fsync(::fileno(stream)) != 0) error = errno;
  const bool closed = std::fclose(stream) == 0;
  if (!closed && error == 0) error = errno;
  if (!written || !closed || error != 0) failWriting(file, error != 0 ? error : EIO);
}

void commitOutputFile(OutputFile& file) {
  if (file.temporary.empty()) return;
  if (std::rename(file.temporary.c_str(), file.target.c_str()) != 0) failWriting(file, errno);
  forgetTemporary(file.temporary);
}

bool isSameFile(const std::string& a, const std::string& b) {
  struct stat first, second;
  if (::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0) {
    // A device or a pipe can take what several writers give it.
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino && S_ISREG(first.st_mode);
  }
  // Files not yet there: the same path after symbolic links and "." and ".." are resolved.
  std::error_code errorA, errorB;
  const auto canonicalA =
      std::filesystem::weakly_canonical(std::filesystem::absolute(a, errorA), errorA);
  const auto canonicalB =
      std::filesystem::weakly_canonical(std::filesystem::absolute(b, errorB), errorB);
  if (errorA || errorB) return a == b;
  return canonicalA == canonicalB;
}

}  // namespace scalesum
