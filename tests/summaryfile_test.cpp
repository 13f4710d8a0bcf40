#include "summaryfile.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace scalesum {
namespace {

TEST(SummaryFile, StringsAreEscapedIntoValidJson) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"say \"hi\"\\", R"("say \"hi\"\\")"},
      {std::string("a\nb\tc\rd\x01\x1f\x7f", 10), R"("a\nb\tc\rd\u0001\u001f)"
                                                  "\x7f\""},
      {std::string("nul\0end", 7), R"("nul\u0000end")"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8c\xb3",
       "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8c\xb3\""},
      // A cut sequence, an overlong form, a surrogate and a code point past U+10FFFF are no UTF-8.
      {"\xe2\x82", R"("\ufffd\ufffd")"},
      {"\xc0\xaf", R"("\ufffd\ufffd")"},
      {"\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")"},
      {"\xf4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},
  };
  for (const auto& [text, json] : cases) {
    std::string out;
    appendJsonString(out, text);
    EXPECT_EQ(out, json) << text;
  }
}

TEST(SummaryFile, NumbersReadBackExactlyAndWhatJsonCannotHoldIsNull) {
  const std::vector<std::pair<double, std::string>> cases = {
      {1.01, "1.01"},
      {100, "100"},
      {0.1 + 0.2, "0.30000000000000004"},
      {1e300, "1e+300"},
      {std::numeric_limits<double>::infinity(), "null"},
      {std::numeric_limits<double>::quiet_NaN(), "null"},
  };
  for (const auto& [value, json] : cases) {
    std::string out;
    appendJsonNumber(out, value);
    EXPECT_EQ(out, json);
  }
}

}  // namespace
}  // namespace scalesum
