// Line reading, line splitting and number reading, each held against a straightforward version
// of its contract. (Tokens are held against the independent reading by the whole-run targets.)

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "fuzz_util.h"
#include "linereader.h"
#include "text.h"

namespace scalesum::fuzz {

void fuzzInput(const std::string& text) {
  // Lines through a reader whose buffer of a few bytes every line must cross; compressed input
  // must only be read safely, and is all that may fail.
  LineReader reader;
  reader.buffer.resize(1 + text.size() % 13);
  FUZZ_CHECK(openLineReader(reader, memoryFile(0, text)));
  size_t at = 0, length = 0;
  try {
    for (int64_t number = 1; const char* line = readLine(reader, &length); ++number) {
      const size_t end = std::min(text.find('\n', at), text.size());
      FUZZ_CHECK(compressed(text) ||
                 (length == end - at && line[length] == '\0' &&
                  std::memcmp(line, text.data() + at, length) == 0 &&
                  reader.lineEnded == (end < text.size()) && reader.lineNumber == number));
      at = end + 1;
    }
  } catch (const RunFailure& failure) {
    checkRejection(failure);
    FUZZ_CHECK(compressed(text));
  }
  FUZZ_CHECK(compressed(text) || at >= text.size());

  std::vector<std::string> lines(1);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (c == '\r' || c == '\n' || c == '\0') {
      lines.emplace_back();
    } else {
      lines.back() += c;
    }
  }
  FUZZ_CHECK(splitLines(text.data(), text.size()) == lines);
  for (const std::string& line : lines) {
    std::string copy = line;
    std::vector<char*> words;
    tokenizeAll(copy.data(), words);  // each word alone, then the whole line
    words.push_back(const_cast<char*>(line.c_str()));
    for (const char* word : words) {
      const char* digits = word + (word[0] == '+' || word[0] == '-');
      FUZZ_CHECK(parseInt(word) ==
                 std::clamp<long>(std::strtol(word, nullptr, 10), INT_MIN, INT_MAX));
      FUZZ_CHECK(sameReal(parseReal(word), std::atof(word)));
      FUZZ_CHECK(beginsWithInteger(word) == (*digits >= '0' && *digits <= '9'));
    }
  }
}

}  // namespace scalesum::fuzz
