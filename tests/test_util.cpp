#include "test_util.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "logfile.h"
#include "tree.h"

namespace scalesum::testing {

namespace {

void throwFailure(int status, const char* message) {
  throw Failure{status, message};
}

}  // namespace

Failure catchFailure(const std::function<void()>& body) {
  setFailureHook(throwFailure);
  try {
    body();
  } catch (const Failure& failure) {
    setFailureHook(nullptr);
    return failure;
  }
  setFailureHook(nullptr);
  return Failure{-1, ""};
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
  const std::string file = path(name);
  std::ofstream(file, std::ios::binary) << contents;
  return file;
}

void TempDir::append(const std::string& file, const std::string& contents) {
  std::ofstream(file, std::ios::binary | std::ios::app) << contents;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

RunResult runCommand(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& environment, const std::string& stdoutPath) {
  TempDir dir;
  const std::string outPath = stdoutPath.empty() ? dir.path("stdout") : stdoutPath;
  const std::string errPath = dir.path("stderr");
  std::vector<std::string> argvText{program};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argvText) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const pid_t child = ::fork();
  if (child == 0) {
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int in = ::open("/dev/null", O_RDONLY);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::dup2(in, 0);
    for (const std::string& entry : environment) ::putenv(const_cast<char*>(entry.c_str()));
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  RunResult result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (stdoutPath.empty()) result.out = readFile(outPath);
  result.err = readFile(errPath);
  return result;
}

RunResult runProgram(const std::vector<std::string>& args,
                     const std::vector<std::string>& environment) {
  return runCommand(SCALESUM_BINARY, args, environment);
}

std::string smallLog(const std::string& samples) {
  return "4\n1\tA\n2\tB\n3\tC\n4\tD\n"
         "7\n"
         "1\t0.5\t4\t1\t2\t3\t4\n"
         "2\t0.25\t2\t1\t2\n"
         "3\t0.125\t2\t3\t4\n"
         "4\t1.0\t1\t1\n"
         "5\t2.0\t1\t2\n"
         "6\t0.5\t1\t3\n"
         "7\t0.75\t1\t4\n"
         "Iter\tLh\tPrior\tNo\tAlpha\tSigma\tX\n" +
         samples;
}

std::unique_ptr<Analysis> loadTree(const TempDir& dir, const std::string& log) {
  const std::string path = dir.write("tree.log", log);
  std::unique_ptr<Analysis> analysis = readLogHeader(path.c_str());
  buildCladeTree(*analysis);
  return analysis;
}

}  // namespace scalesum::testing
