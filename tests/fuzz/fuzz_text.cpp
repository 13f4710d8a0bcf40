// Line reading, line splitting, tokenising and number reading, each held against a
// straightforward version of its contract.

#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "genlib.h"

using namespace scalesum;
using namespace scalesum::fuzz;

namespace {

bool isBlank(char c) {
  return isSpace(static_cast<unsigned char>(c));
}

// The whitespace-separated words of a C string.
std::vector<std::string> words(const char* text) {
  std::vector<std::string> result;
  for (const char* p = text; *p != '\0';) {
    while (*p != '\0' && isBlank(*p)) ++p;
    const char* start = p;
    while (*p != '\0' && !isBlank(*p)) ++p;
    if (p > start) result.emplace_back(start, p);
  }
  return result;
}

void checkTokenize(const std::string& text, int maxTokens) {
  const std::vector<std::string> expected = words(text.c_str());
  std::string copy = text;
  std::vector<char*> slots(static_cast<size_t>(maxTokens) + 1, nullptr);
  const int count = tokenize(copy.data(), slots.data(), maxTokens);
  FUZZ_CHECK(count == std::min<int>(maxTokens, static_cast<int>(expected.size())));
  for (size_t i = 0; i < static_cast<size_t>(count); ++i) {
    if (i + 1 == static_cast<size_t>(maxTokens)) {
      // The last slot runs to the end of the text, whatever follows its word.
      FUZZ_CHECK(std::strncmp(slots[i], expected[i].c_str(), expected[i].size()) == 0);
      FUZZ_CHECK(slots[i] + std::strlen(slots[i]) == copy.c_str() + std::strlen(text.c_str()));
    } else {
      FUZZ_CHECK(expected[i] == slots[i]);
    }
  }
  if (count < maxTokens) FUZZ_CHECK(slots[static_cast<size_t>(count)] == nullptr);

  copy = text;
  std::vector<char*> all;
  tokenizeAll(copy.data(), all);
  FUZZ_CHECK(all.size() == expected.size());
  for (size_t i = 0; i < all.size(); ++i) FUZZ_CHECK(expected[i] == all[i]);
}

void checkSplitLines(const std::string& text) {
  std::vector<std::string> expected(1);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (c == '\r' || c == '\n' || c == '\0') {
      expected.emplace_back();
    } else {
      expected.back() += c;
    }
  }
  FUZZ_CHECK(splitLines(text.data(), text.size()) == expected);
}

void checkNumbers(const std::string& text) {
  const char* start = text.c_str();
  FUZZ_CHECK(parseInt(start) == referenceInt(start));
  FUZZ_CHECK(sameReal(parseReal(start), std::atof(start)));
  const char* digits = (*start == '+' || *start == '-') ? start + 1 : start;
  FUZZ_CHECK(beginsWithInteger(start) == (*digits >= '0' && *digits <= '9'));
}

void checkLineReader(const uint8_t* data, size_t size) {
  MemoryFile file(data, size);
  LineReader reader;
  // A buffer of a few bytes, which the reader keeps and grows, makes every line cross its end.
  reader.buffer.resize(1 + size % 13);
  FUZZ_CHECK(openLineReader(reader, file.path()));
  // Compressed input has no plain expectation; it must only be read safely.
  const bool compressed = size >= 2 && data[0] == 0x1f && data[1] == 0x8b;
  const char* text = reinterpret_cast<const char*>(data);
  size_t at = 0;
  int64_t lines = 0;
  for (;;) {
    size_t length = 0;
    const char* line = readLine(reader, &length);
    if (compressed) {
      if (line == nullptr) break;
      continue;
    }
    if (at == size) {
      FUZZ_CHECK(line == nullptr);
      break;
    }
    FUZZ_CHECK(line != nullptr);
    const void* newline = std::memchr(text + at, '\n', size - at);
    const size_t expected =
        newline ? static_cast<size_t>(static_cast<const char*>(newline) - (text + at)) : size - at;
    FUZZ_CHECK(length == expected && std::memcmp(line, text + at, length) == 0);
    FUZZ_CHECK(line[length] == '\0');
    FUZZ_CHECK(reader.lineEnded == (newline != nullptr));
    FUZZ_CHECK(reader.lineNumber == ++lines);
    at += expected + (newline ? 1 : 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  prepareFuzzing();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    checkLineReader(data, size);
  } catch (const Rejected&) {
    FUZZ_CHECK(size >= 2 && data[0] == 0x1f && data[1] == 0x8b);  // only compressed data fail
  }
  checkSplitLines(text);
  checkTokenize(text, size == 0 ? 0 : data[0] % 8);
  for (const std::string& line : splitLines(text.data(), text.size())) {
    checkNumbers(line);
    for (const std::string& word : words(line.c_str())) checkNumbers(word);
  }
  return 0;
}
