#include "test_util.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "failure.h"
#include "linereader.h"
#include "logfile.h"
#include "run.h"
#include "samples.h"
#include "series.h"
#include "tree.h"

namespace scalesum::testing {

Failure catchFailure(const std::function<void()>& body) {
  try {
    body();
  } catch (const RunFailure& failure) {
    return {failure.status, failure.message};
  }
  return {-1, ""};
}

std::string written(const std::function<void(FILE*)>& write) {
  char* text = nullptr;
  size_t size = 0;
  FILE* out = ::open_memstream(&text, &size);
  // A failure that escapes `write` must not leave the stream behind.
  const auto close = [&] {
    std::fclose(out);
    std::string result(text, size);
    std::free(text);
    return result;
  };
  try {
    write(out);
  } catch (...) {
    close();
    throw;
  }
  return close();
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "scalesum-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  dir_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& contents) const {
  std::ofstream(path(name), std::ios::binary) << contents;
  return path(name);
}

std::string TempDir::writeGzip(const std::string& name, const std::string& contents) const {
  gzFile out = gzopen(path(name).c_str(), "wb");
  gzwrite(out, contents.data(), unsigned(contents.size()));
  gzclose(out);
  return path(name);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

namespace {

// Reads `fd` until its writers have closed it. Each pipe has a reader of its own, since either
// may fill up while the other waits.
void readAll(int fd, std::string& sink) {
  char chunk[65536];
  for (ssize_t got; (got = ::read(fd, chunk, sizeof chunk)) != 0;) {
    if (got > 0) sink.append(chunk, static_cast<size_t>(got));
    if (got < 0 && errno != EINTR) break;
  }
  ::close(fd);
}

}  // namespace

RunResult runCommand(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& environment, const std::string& stdoutPath) {
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  // Both streams go through pipes, as in a pipeline, unless standard output is given a file.
  int outPipe[2] = {-1, -1};
  int errPipe[2] = {-1, -1};
  if ((stdoutPath.empty() && ::pipe(outPipe) != 0) || ::pipe(errPipe) != 0) std::abort();
  const pid_t child = ::fork();
  if (child == 0) {
    if (stdoutPath.empty()) {
      ::dup2(outPipe[1], 1);
    } else if (stdoutPath == "|") {
      int ends[2];
      if (::pipe(ends) == 0) ::close(ends[0]);  // a reader gone away
      ::dup2(ends[1], 1);
    } else {
      ::dup2(::open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    }
    ::dup2(errPipe[1], 2);
    ::dup2(::open("/dev/null", O_RDONLY), 0);
    for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) {
      if (fd > 2) ::close(fd);
    }
    for (const std::string& entry : environment) ::putenv(const_cast<char*>(entry.c_str()));
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  RunResult result;
  ::close(errPipe[1]);
  if (stdoutPath.empty()) ::close(outPipe[1]);
  std::thread errors(readAll, errPipe[0], std::ref(result.err));
  if (stdoutPath.empty()) readAll(outPipe[0], result.out);
  errors.join();
  int status = 0;
  ::waitpid(child, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

RunResult runProgram(const std::vector<std::string>& args,
                     const std::vector<std::string>& environment) {
  return runCommand(SCALESUM_BINARY, args, environment);
}

namespace {

// The words of a command line as argv holds them, ending in a null pointer.
std::vector<char*> argvOf(std::vector<std::string>& words) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  return argv;
}

// Returns what `file` holds and closes it.
std::string drain(FILE* file) {
  std::string text = readFile("/proc/self/fd/" + std::to_string(::fileno(file)));
  std::fclose(file);
  return text;
}

}  // namespace

RunResult runInProcess(const std::vector<std::string>& args) {
  std::vector<std::string> words{"Scalesum"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv = argvOf(words);
  std::fflush(stdout);
  std::fflush(stderr);
  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
  const int savedOut = ::dup(1), savedErr = ::dup(2);
  ::dup2(::fileno(out), 1);
  ::dup2(::fileno(err), 2);
  RunResult result;
  result.status = runScalesum(static_cast<int>(words.size()), argv.data());
  std::fflush(stdout);
  std::fflush(stderr);
  ::dup2(savedOut, 1);
  ::dup2(savedErr, 2);
  ::close(savedOut);
  ::close(savedErr);
  result.out = drain(out);
  result.err = drain(err);
  return result;
}

CommandLine parseArgs(std::vector<std::string> args) {
  args.insert(args.begin(), "Scalesum");
  std::vector<char*> argv = argvOf(args);
  return parseCommandLine(static_cast<int>(args.size()), argv.data());
}

std::string smallLog(const std::string& samples) {
  return "4\n1\tA\n2\tB\n3\tC\n4\tD\n7\n1\t0.5\t4\t1\t2\t3\t4\n2\t0.25\t2\t1\t2\n"
         "3\t0.125\t2\t3\t4\n4\t1.0\t1\t1\n5\t2.0\t1\t2\n6\t0.5\t1\t3\n7\t0.75\t1\t4\n"
         "Iter\tLh\tPrior\tNo\tAlpha\tSigma\tX\n" +
         samples;
}

namespace {

// Opens `text` as the log "tree.log" into `log` and reads its header.
Tree readHeaderText(LogFile& log, const std::string& text) {
  log.path = "tree.log";
  openLineReaderOnText(log.reader, "tree.log", text);
  return readLogHeader(log);
}

}  // namespace

std::unique_ptr<LoadedLog> loadTree(const std::string& log) {
  auto loaded = std::make_unique<LoadedLog>();
  loaded->text = log;
  LogFile file;
  loaded->tree = readHeaderText(file, loaded->text);
  loaded->results.nodes.resize(loaded->tree.nodes.size());
  buildCladeTree(loaded->tree);
  return loaded;
}

std::vector<SampleRecord> readSamples(LoadedLog& loaded, int32_t burnIn) {
  // The tables are loaded already; reading them again leaves the log at its samples.
  LogFile log;
  readHeaderText(log, loaded.text);
  std::vector<SampleRecord> records;
  records.push_back(readLogSamples(log, loaded.tree, burnIn, {}));
  countRetainedSamples(loaded.tree, loaded.results, records, burnIn);
  return records;
}

std::unique_ptr<LoadedLog> summarised(const std::string& log, double hpdMass) {
  auto loaded = loadTree(log);
  loaded->results.wantStatistics = true;
  loaded->results.hpdMass = hpdMass;
  std::vector<SampleRecord> records = readSamples(*loaded);
  applyRetainedSamples(loaded->tree, loaded->results, records);
  summariseAllNodes(loaded->tree, loaded->results);
  return loaded;
}

}  // namespace scalesum::testing
