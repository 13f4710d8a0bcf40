#include "options.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "test_util.h"

namespace scalesum {
namespace {

using testing::written;

// The options of `text`, read as the file "run.options" against a small tree, and the warnings.
std::pair<Options, std::string> readText(const std::string& text) {
  const auto loaded = testing::loadTree(testing::smallLog("1 0 0 0 0 1 0\n"));
  Options options;
  const std::string warnings = written([&](FILE* out) {
    options = readOptions(loaded->tree, textFileOf("run.options", text), out);
  });
  return {options, warnings};
}

TEST(OptionsFile, MistypedLinesWarnAndTheLastItLineSetsTheBurnIn) {
  const std::string at = "Scalesum: warning: run.options line ";
  const std::string notKeyword =
      " is not a keyword, the line is ignored (the keywords: IT, NOCATS, RATES, SLICE, "
      "NODERATIO, RATIONODE, NORMALISE)\n";
  const std::string whole = " is not a whole number; the burn-in is read as ";
  const std::tuple<std::string, int32_t, std::string> cases[] = {
      {"IT 61,000\nIT +61000\n", 61000, at + "1: IT 61,000" + whole + "61\n"},
      {"BURNIN 6\r\n\niT 12abc\nIT -7\n", -7,
       at + "1: BURNIN" + notKeyword + at + "3: IT 12abc" + whole + "12\n"},
      {"  # a note\nnormalise\nIT 99999999999\nIT 61000\n", 61000,
       at + "1: #" + notKeyword + at + "3: IT 99999999999" + whole + "2147483647\n"},
      {"NOCATS 0\n", 0, ""},  // no warning: 0 categories is a count
      // A file that ends within its taxa table, or has a keyword among its lines, is no log.
      {"2\n1 A\n", 0, at + "1: 2" + notKeyword + at + "2: 1" + notKeyword},
      {"2\n1 A\n2 B\nit 61000\n", 61000,
       at + "1: 2" + notKeyword + at + "2: 1" + notKeyword + at + "3: 2" + notKeyword},
  };
  for (const auto& [text, burnIn, warnings] : cases) {
    const auto [options, shown] = readText(text);
    EXPECT_EQ(shown, warnings) << text;
    EXPECT_EQ(options.burnIn, burnIn) << text;
  }
}

TEST(OptionsFile, ALogInItsPlaceIsRefusedBeforeAnyWarning) {
  const std::string tail =
      ", not an options file; give further chains with -c (Scalesum run1.log -c run2.log)\n";
  const std::pair<std::string, std::string> logs[] = {
      {testing::smallLog("1 0 0 0 0 1 0\n"), "a sample log"},
      {std::string("\x1f\x8b\x08\0\0\0\0\0", 8), "gzip-compressed data"},
  };
  for (const auto& [text, what] : logs) {
    const testing::Failure failure = testing::catchFailure([&] { readText(text); });
    EXPECT_EQ(failure.message, "Error in run.options: " + what + tail);
  }
}

}  // namespace
}  // namespace scalesum
