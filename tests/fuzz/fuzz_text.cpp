// Line reading, line splitting, tokenising and number reading, each held against a
// straightforward version of its contract.

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "fuzz_util.h"
#include "genlib.h"

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
  } catch (const Rejected&) {
    FUZZ_CHECK(compressed(text));
  }
  FUZZ_CHECK(compressed(text) || at >= text.size());

  std::vector<std::string> lines(1), words;
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
    words.clear();
    for (size_t i = 0; i < line.size(); ++i) {
      const auto blank = [&](size_t k) {
        return line[k] == ' ' || (line[k] >= 9 && line[k] <= 13);
      };
      if (!blank(i) && (i == 0 || blank(i - 1))) words.emplace_back();
      if (!blank(i)) words.back() += line[i];
    }
    std::string copy = line;
    std::vector<char*> all, slots(9, nullptr);
    tokenizeAll(copy.data(), all);
    FUZZ_CHECK(std::equal(all.begin(), all.end(), words.begin(), words.end()));
    // At most `max` tokens, the last running to the end of the line; a null after fewer.
    const int max = line.empty() ? 0 : line[0] & 7;
    copy = line;
    const int count = tokenize(copy.data(), slots.data(), max);
    FUZZ_CHECK(count == std::min(max, int(words.size())) &&
               (count == max || !slots[size_t(count)]));
    for (int k = 0; k < count; ++k) {
      FUZZ_CHECK(k + 1 == max ? slots[k] + std::strlen(slots[k]) == copy.data() + copy.size() &&
                                    std::strncmp(slots[k], words[size_t(k)].c_str(),
                                                 words[size_t(k)].size()) == 0
                              : words[size_t(k)] == slots[k]);
    }
    words.push_back(line);
    for (const std::string& word : words) {
      const char* digits = word.c_str() + (word[0] == '+' || word[0] == '-');
      FUZZ_CHECK(parseInt(word.c_str()) ==
                 std::clamp<long>(std::strtol(word.c_str(), nullptr, 10), INT_MIN, INT_MAX));
      FUZZ_CHECK(sameReal(parseReal(word.c_str()), std::atof(word.c_str())));
      FUZZ_CHECK(beginsWithInteger(word.c_str()) == (*digits >= '0' && *digits <= '9'));
    }
  }
}

}  // namespace scalesum::fuzz
