#include "text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace scalesum {
namespace {

TEST(Numbers, ReadAsFarAsTheyGoLikeAtoiAndAtof) {
  // Integers as strtol reads them, clamped to 32 bits.
  for (const char* text : {"12abc", "  -7 8", "+3", "abc", "-", "1e5", "2147483647", "2147483648",
                           "-2147483648", "-2147483649", "99999999999999999999"}) {
    EXPECT_EQ(parseInt(text),
              std::clamp<long>(std::strtol(text, nullptr, 10), INT32_MIN, INT32_MAX))
        << text;
  }
  auto sameAsAtof = [](const char* text) {
    const double a = parseReal(text), b = std::atof(text);
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
  };
  for (const char* text :
       {"-0", ".5", "5.", "1e", "1e+", "-0x1.8p1", "-Infinity", "nan", "1e309", "-1e400",
        "4.9e-324", "2e-324", "12abc", "+.", "+-1", "00x5", " \t1.5E+2x",
        "0.1000000000000000055511151231257827", "2.2250738585072011e-308"}) {
    EXPECT_TRUE(sameAsAtof(text)) << text;
  }
  // A field is a number exactly where strtod reads one from its start.
  for (const char* text :
       {".0", "-.9", ".", "+.", ".x", "5.", "9x", "-Inf", "nan", "x1", " \t.5"}) {
    char* end = nullptr;
    std::strtod(text, &end);
    EXPECT_EQ(beginsWithReal(text), end != text) << text;
  }
  std::mt19937_64 random(7);
  char text[64];
  for (int i = 0; i < 100000; ++i) {
    const double value = std::exp(std::uniform_real_distribution<double>(-700, 700)(random));
    std::snprintf(text, sizeof text, random() % 2 ? "%.*g" : "%.*f", int(random() % 20), value);
    ASSERT_TRUE(sameAsAtof(text)) << text;
  }
}

TEST(Text, TokensAndLinesEndWhereTheyShould) {
  using V = std::vector<std::string>;
  auto tokens = [](std::string text, int maxTokens) {
    std::vector<char*> slots(10, text.data());
    const int count = tokenize(text.data(), slots.data(), maxTokens);
    V result(slots.begin(), slots.begin() + count);
    if (count < maxTokens && slots[size_t(count)] == nullptr) result.push_back("(end)");
    return result;
  };
  EXPECT_EQ(tokens("  12\t0.5\vx\f\r\n", 9), (V{"12", "0.5", "x", "(end)"}));
  EXPECT_EQ(tokens("a\x85 \xa0", 9), (V{"a\x85", "\xa0", "(end)"}));  // no locale's blanks
  EXPECT_EQ(tokens("a b c", 2), (V{"a", "b c"}));
  EXPECT_EQ(tokens("a b", 0), V{});
  EXPECT_EQ(splitLines("a\r\nb\rc\nd\0e\n", 11), (V{"a", "b", "c", "d", "e", ""}));
}

}  // namespace
}  // namespace scalesum
