#include "output.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "failure.h"

namespace scalesum {

namespace {

// The temporary files not yet renamed, in storage that failure and signal handlers can read
// without locks or allocation while the main thread is elsewhere.
constexpr int kMaxTemporaries = 8;
char gTemporaries[kMaxTemporaries][PATH_MAX];
std::atomic<int> gTemporaryCount{0};

// An interrupted run must not leave its temporary files behind either.
void removeTemporariesAndDie(int signal) {
  removeUnfinishedOutputs();
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

std::string folderOf(const std::string& path) {
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  return folder.empty() ? std::string(".") : folder.string();
}

// The name by which the process reaches the file open as `fd`, to give it another.
std::string descriptorPath(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

// Creates the file that stands in for `file`'s target until the commit, and returns a descriptor
// for writing it: a file without a name, which nothing can leave behind, where the folder and
// /proc allow; a named one, removed on failure and on the signals that can be caught, elsewhere.
int createStandIn(OutputFile& file) {
  const std::string folder = folderOf(file.target);
  int fd = openUnnamedFile(folder, O_WRONLY);
  if (fd >= 0 && ::access(descriptorPath(fd).c_str(), F_OK) != 0) {
    ::close(fd);
    fd = -1;
    errno = EOPNOTSUPP;
  }
  if (fd >= 0) {
    // The stream closes its descriptor when finished; the commit still needs one.
    file.unnamed = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (file.unnamed < 0) failWriting(file, errno);
    return fd;
  }
  if (errno != EOPNOTSUPP) failWriting(file, errno);
  file.temporary = folder + "/.scalesum-XXXXXX";
  fd = ::mkostemp(file.temporary.data(), O_CLOEXEC);
  if (fd < 0) failWriting(file, errno);
  registerTemporary(file.temporary);
  return fd;
}

// Gives the unnamed file the target's name. A link never replaces a file, so an existing target
// is replaced by renaming a second link over it, which readers see happen in one step.
void linkIntoPlace(const OutputFile& file) {
  const std::string source = descriptorPath(file.unnamed);
  if (::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, file.target.c_str(), AT_SYMLINK_FOLLOW) == 0) {
    return;
  }
  if (errno != EEXIST) failWriting(file, errno);
  static int made = 0;
  for (;;) {
    const std::string name = folderOf(file.target) + "/.scalesum-" + std::to_string(::getpid()) +
                             "-" + std::to_string(++made);
    if (::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      if (std::rename(name.c_str(), file.target.c_str()) == 0) return;
      const int error = errno;
      ::unlink(name.c_str());
      failWriting(file, error);
    }
    // A name left by an earlier process of the same id is passed over.
    if (errno != EEXIST) failWriting(file, errno);
  }
}

}  // namespace

void removeUnfinishedOutputs() {
  const int count = gTemporaryCount.load();
  for (int i = 0; i < count; ++i) {
    if (gTemporaries[i][0] != '\0') ::unlink(gTemporaries[i]);
  }
}

int openUnnamedFile(const std::string& folder, int access) {
  // No file system at hand lacks unnamed files: the tests stand one in with this variable.
  const char* refused = std::getenv("SCALESUM_TEST_NO_TMPFILE");
  if (refused != nullptr && *refused != '\0') {
    errno = EOPNOTSUPP;
    return -1;
  }
  const int fd = ::open(folder.c_str(), O_TMPFILE | access | O_CLOEXEC, 0600);
  // A kernel older than the flag opens the folder itself, which cannot be written (EISDIR).
  if (fd < 0 && (errno == EISDIR || errno == EINVAL)) errno = EOPNOTSUPP;
  return fd;
}

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
  const int fd = createStandIn(file);
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
  // A file that the disk has not taken yet could still end up empty after the link or rename.
  const bool replaces = !file.temporary.empty() || file.unnamed >= 0;
  if (written && replaces && ::fsync(::fileno(stream)) != 0) error = errno;
  const bool closed = std::fclose(stream) == 0;
  if (!closed && error == 0) error = errno;
  if (!written || !closed || error != 0) failWriting(file, error != 0 ? error : EIO);
}

void commitOutputFile(OutputFile& file) {
  if (file.unnamed >= 0) {
    linkIntoPlace(file);
    ::close(file.unnamed);
    file.unnamed = -1;
  }
  if (file.temporary.empty()) return;
  if (std::rename(file.temporary.c_str(), file.target.c_str()) != 0) failWriting(file, errno);
  forgetTemporary(file.temporary);
}

void abandonOutputFile(OutputFile& file) {
  if (file.stream != nullptr) {
    ::__fpurge(file.stream);
    std::fclose(file.stream);
    file.stream = nullptr;
  }
  if (file.unnamed >= 0) ::close(file.unnamed);
  file.unnamed = -1;
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
