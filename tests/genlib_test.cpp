#include "genlib.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "test_util.h"

namespace scalesum {
namespace {

using testing::catchFailure;
using testing::TempDir;

constexpr int kSlots = 1000;

std::vector<std::string> tokens(std::string text, int maxTokens) {
  std::vector<char*> slots(static_cast<size_t>(std::max(maxTokens, 1)) + 1, nullptr);
  const int count = tokenize(text.data(), slots.data(), maxTokens);
  std::vector<std::string> result(slots.begin(), slots.begin() + count);
  if (count < maxTokens) {
    EXPECT_EQ(slots[static_cast<size_t>(count)], nullptr);
  }
  return result;
}

TEST(Tokenize, SplitsOnEveryWhitespaceByteAndNeverYieldsEmptyTokens) {
  using V = std::vector<std::string>;
  EXPECT_EQ(tokens("  12\t0.5  x\r\n", kSlots), (V{"12", "0.5", "x"}));
  EXPECT_EQ(tokens("a\vb\fc\rd\ne", kSlots), (V{"a", "b", "c", "d", "e"}));
  EXPECT_EQ(tokens(" \t\r\n", kSlots), V{});
  // Bytes from 0x80 up are never whitespace (0x85 and 0xa0 are in some locales).
  EXPECT_EQ(tokens("a\x85"
                   "b\xa0"
                   "c d",
                   kSlots),
            (V{"a\x85"
               "b\xa0"
               "c",
               "d"}));
}

TEST(Tokenize, LastSlotTakesTheRestOfTheText) {
  using V = std::vector<std::string>;
  EXPECT_EQ(tokens("a b c", 2), (V{"a", "b c"}));
  EXPECT_EQ(tokens("a b ", 2), (V{"a", "b "}));
  char* untouched = reinterpret_cast<char*>(0x1);
  std::string text = "a b";
  EXPECT_EQ(tokenize(text.data(), &untouched, 0), 0);
  EXPECT_EQ(untouched, reinterpret_cast<char*>(0x1));
}

TEST(TokenizeAll, KeepsEveryFieldOfLongLines) {
  std::string line;
  for (int i = 0; i < 400000; ++i) line += "1 ";
  std::vector<char*> fields;
  tokenizeAll(line.data(), fields);
  EXPECT_EQ(fields.size(), 400000u);
}

TEST(SplitLines, RecognisesEveryLineEnd) {
  using V = std::vector<std::string>;
  auto split = [](const std::string& text) { return splitLines(text.data(), text.size()); };
  EXPECT_EQ(split("a\r\nb\rc\nd"), (V{"a", "b", "c", "d"}));
  EXPECT_EQ(split("a\n"), (V{"a", ""}));
  EXPECT_EQ(split(""), (V{""}));
  EXPECT_EQ(split("\n\r"), (V{"", "", ""}));
  EXPECT_EQ(split(std::string("a\0b", 3)), (V{"a", "b"}));
}

TEST(ReadTextFile, MeasuresLinesAndBytes) {
  TempDir dir;
  TextFile file = readTextFile(dir.write("o", "IT 5\r\nNOCATS 10\r\n").c_str());
  EXPECT_EQ(file.byteCount, 17);
  EXPECT_EQ(file.lineCount, 3);
  EXPECT_EQ(file.longestLine, 9);
  file = readTextFile(dir.write("empty", "").c_str());
  EXPECT_EQ(file.byteCount, 0);
  EXPECT_EQ(file.lineCount, 1);
  EXPECT_EQ(file.longestLine, 0);
  file = readTextFile(dir.write("exact", std::string(kLineBufferSize, 'x')).c_str());
  EXPECT_EQ(file.byteCount, kLineBufferSize);
}

TEST(ReadTextFile, MissingOrUnreadableFileEndsTheRun) {
  TempDir dir;
  const std::string missing = dir.path("missing");
  auto failure = catchFailure([&] { readTextFile(missing.c_str()); });
  EXPECT_EQ(failure.status, 1);
  EXPECT_EQ(failure.message, "Could not open file " + missing + " for reading\n");
  failure = catchFailure([&] { readTextFile(dir.path("").c_str()); });  // a directory
  EXPECT_EQ(failure.status, 1);
}

TEST(ParseInt, ReadsLikeAtoiAndSaturates) {
  EXPECT_EQ(parseInt("12abc"), 12);
  EXPECT_EQ(parseInt("  -7 8"), -7);
  EXPECT_EQ(parseInt("+3"), 3);
  EXPECT_EQ(parseInt("abc"), 0);
  EXPECT_EQ(parseInt("-"), 0);
  EXPECT_EQ(parseInt("1e5"), 1);
  EXPECT_EQ(parseInt("2147483647"), 2147483647);
  EXPECT_EQ(parseInt("2147483648"), 2147483647);
  EXPECT_EQ(parseInt("99999999999999999999999"), 2147483647);
  EXPECT_EQ(parseInt("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(parseInt("-99999999999"), -2147483647 - 1);
}

TEST(Fail, AMessageCutToTheBufferStillEndsItsLine) {
  const std::string name(20000, 'x');
  const auto failure =
      catchFailure([&] { fail(1, Stream::kStdout, "Cannot find %s\n", name.c_str()); });
  EXPECT_EQ(failure.message.size(), 8191u);
  EXPECT_EQ(failure.message.find('\n'), failure.message.size() - 1);
}

TEST(BeginsWithInteger, NeedsADigitAfterAtMostOneSign) {
  for (const char* text : {"0", "12abc", "-7", "+3", "0x1p3", "1e5", "99999999999"}) {
    EXPECT_TRUE(beginsWithInteger(text)) << text;
  }
  for (const char* text : {"", "-", "+", "+-1", "Iter", ".5", " 1", "nan", "\xef\xbc\x91"}) {
    EXPECT_FALSE(beginsWithInteger(text)) << text;
  }
}

bool sameBits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(ParseReal, GivesExactlyTheValuesOfAtof) {
  const char* fixed[] = {"0.5",
                         "1e-3",
                         "-0",
                         "0",
                         ".5",
                         "5.",
                         "1.e5",
                         "1e",
                         "1e+",
                         "0x1p3",
                         "-0x1.8p1",
                         "inf",
                         "-Infinity",
                         "nan",
                         "1e308",
                         "1e309",
                         "-1e400",
                         "1e-310",
                         "4.9e-324",
                         "2e-324",
                         "1e-400",
                         "12abc",
                         "abc",
                         "+.",
                         "+-1",
                         "00x5",
                         "0.1000000000000000055511151231257827",
                         "123456789012345678901234567890",
                         "2.2250738585072011e-308",
                         "9007199254740993",
                         "1_000",
                         "1.5E+2x"};
  for (const char* text : fixed) {
    EXPECT_TRUE(sameBits(parseReal(text), std::atof(text)) ||
                (std::isnan(parseReal(text)) && std::isnan(std::atof(text))))
        << text;
  }
  std::mt19937_64 random(7);
  char text[64];
  for (int i = 0; i < 200000; ++i) {
    const double value = std::exp(std::uniform_real_distribution<double>(-700, 700)(random));
    const int digits = static_cast<int>(random() % 20);
    std::snprintf(text, sizeof text, random() % 2 ? "%.*g" : "%.*f", digits, value);
    ASSERT_TRUE(sameBits(parseReal(text), std::atof(text))) << text;
  }
}

TEST(LineReader, DeliversLinesOfAnyLengthWhole) {
  TempDir dir;
  const std::string longLine(3'000'000, 'x');
  const std::string path = dir.write("log", "a\r\n\n" + longLine + "\nlast");
  LineReader reader;
  ASSERT_TRUE(openLineReader(reader, path.c_str()));
  size_t length = 0;
  EXPECT_STREQ(readLine(reader, &length), "a\r");
  EXPECT_STREQ(readLine(reader, &length), "");
  EXPECT_EQ(std::string(readLine(reader, &length)), longLine);
  EXPECT_EQ(length, longLine.size());
  EXPECT_TRUE(reader.lineEnded);
  EXPECT_STREQ(readLine(reader, &length), "last");
  EXPECT_FALSE(reader.lineEnded);
  EXPECT_EQ(reader.lineNumber, 4);
  EXPECT_EQ(readLine(reader, &length), nullptr);
  EXPECT_FALSE(openLineReader(reader, dir.path("missing").c_str()));
}

}  // namespace
}  // namespace scalesum
