#include "failure.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "test_util.h"

namespace scalesum {
namespace {

TEST(Failure, EveryAllocationSiteHasAMessageOfItsOwn) {
  std::map<std::string, std::string> seen;  // "module line" -> the file that names it
  for (const auto& entry : std::filesystem::directory_iterator(testing::kSourceDir + "src")) {
    const std::string text = testing::readFile(entry.path().string());
    const std::string file = entry.path().filename().string();
    for (const std::string call : {"reportAllocationError(\"", "allocationFailure(\""}) {
      // A call names its site with a literal: ("module", line).
      for (size_t at = text.find(call); at != std::string::npos; at = text.find(call, at + 1)) {
        const size_t module = at + call.size();
        const size_t line = text.find("\", ", module) + 3;
        const size_t end = text.find(')', line);
        const std::string key =
            text.substr(module, line - 3 - module) + " " + text.substr(line, end - line);
        const auto [first, isNew] = seen.emplace(key, file);
        EXPECT_TRUE(isNew) << key << " in " << first->second << " and " << file;
      }
    }
  }
  EXPECT_GE(seen.size(), 25u);  // the scan found the sites
}

TEST(Failure, AMessageForAClosedStandardOutputGoesToStandardError) {
  const testing::RunResult run =
      testing::runCommand("/bin/sh", {"-c", "exec \"$0\" >&-", SCALESUM_BINARY});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("Scalesum takes an options file and a log file. \nUsage:", 0), 0u)
      << run.err;
}

}  // namespace
}  // namespace scalesum
