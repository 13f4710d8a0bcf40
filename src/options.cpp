#include "options.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "failure.h"
#include "linereader.h"
#include "text.h"
#include "tree.h"

namespace scalesum {

namespace {

// Upper-cases the letters a to z only; every other byte stays.
void upperCase(char* word) {
  for (char* p = word; *p != '\0'; ++p) {
    if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
  }
}

[[noreturn]] void failMissingValue(const Options& options, int64_t line, const char* keyword,
                                   const char* needs) {
  failAtLine(options.path.c_str(), line, "%s needs %s", keyword, needs);
}

// The most bytes of a word that a warning shows.
constexpr size_t kShownBytes = 200;

// Returns whether all of `word` is a decimal integer, with an optional sign, that fits the
// burn-in; anything else is read as far as it goes, which is seldom what was meant.
bool isWholeIteration(const char* word) {
  const char* digits = (*word == '+' || *word == '-') ? word + 1 : word;
  if (*digits < '0' || *digits > '9') return false;
  int32_t value = 0;
  const char* end = word + std::strlen(word);
  // from_chars takes a minus sign but no plus sign.
  const auto [stop, error] = std::from_chars(*word == '+' ? digits : word, end, value);
  return error == std::errc() && stop == end;
}

// The first words that make a line of the options file; in upper case.
constexpr const char* kKeywords[] = {"IT",        "NOCATS",    "RATES",    "SLICE",
                                     "NODERATIO", "RATIONODE", "NORMALISE"};

// Returns whether all of `word` is a decimal integer with an optional sign.
bool isWholeNumber(std::string_view word) {
  if (!word.empty() && (word[0] == '+' || word[0] == '-')) word.remove_prefix(1);
  return !word.empty() && word.find_first_not_of("0123456789") == std::string_view::npos;
}

// Returns the first `most` whitespace-separated words of `line`, or all when it has fewer.
std::vector<std::string_view> wordsOf(std::string_view line, size_t most) {
  std::vector<std::string_view> words;
  for (size_t at = 0;;) {
    while (at < line.size() && isSpace(static_cast<unsigned char>(line[at]))) ++at;
    if (at == line.size() || words.size() == most) return words;
    size_t end = at;
    while (end < line.size() && !isSpace(static_cast<unsigned char>(line[end]))) ++end;
    words.push_back(line.substr(at, end - at));
    at = end;
  }
}

// Returns whether the file begins as a sample log does, with its taxa table: a lone count
// T >= 1, then T lines of an id and a name; and no line of it begins with a keyword. Two
// chains given as the log and the options file would otherwise run on the first alone.
bool readsAsLog(const TextFile& file) {
  const std::vector<std::string_view> count =
      file.lines.empty() ? std::vector<std::string_view>() : wordsOf(file.lines[0], 2);
  if (count.size() != 1 || !isWholeNumber(count[0])) return false;
  const int32_t taxa = parseInt(file.lines[0].c_str());
  if (taxa < 1 || taxa >= file.lineCount) return false;
  for (int32_t i = 1; i <= taxa; ++i) {
    const std::vector<std::string_view> taxon = wordsOf(file.lines[static_cast<size_t>(i)], 3);
    if (taxon.size() != 2 || !isWholeNumber(taxon[0])) return false;
  }
  for (const std::string& line : file.lines) {
    const std::vector<std::string_view> words = wordsOf(line, 1);
    if (words.empty()) continue;
    std::string first(words[0]);
    upperCase(first.data());
    for (const char* keyword : kKeywords) {
      if (first == keyword) return false;
    }
  }
  return true;
}

void resolveRates(const Tree& tree, Options& options, char** words, int wordCount) {
  const char* name = words[1];
  std::vector<int32_t> ids;
  for (int k = 2; k < wordCount; ++k) {
    int32_t id = -1;
    for (const Taxon& taxon : tree.taxa) {
      if (taxon.name == words[k]) {
        id = taxon.id;
        break;
      }
    }
    if (id == -1)
      fail(1, Stream::kStdout, "Cannot find matching taxa for %s node %s\n", words[k], name);
    ids.push_back(id);
  }
  Node* node = findNodeByTaxonSet(tree, static_cast<int32_t>(ids.size()), ids.data());
  if (node == nullptr) fail(1, Stream::kStdout, "Count not find valid node for %s\n", name);
  options.rateClades.push_back(createRateClade(name, node));
}

}  // namespace

Options createDefaultOptions() {
  return Options{};
}

RateClade createRateClade(const char* name, Node* node) {
  return RateClade{name, node};
}

Node* findNodeByTaxonSet(const Tree& tree, int32_t count, const int32_t* ids) {
  for (Node* node : tree.nodes) {
    if (node->taxonCount != count) continue;
    bool all = true;
    for (int32_t k = 0; k < count && all; ++k) {
      all = std::find(node->taxonIds.begin(), node->taxonIds.end(), ids[k]) != node->taxonIds.end();
    }
    if (all) return node;
  }
  return nullptr;
}

Options readOptionsFile(const Tree& tree, const char* path, FILE* warnings) {
  return readOptions(tree, readTextFile(path), warnings);
}

Options readOptions(const Tree& tree, const TextFile& file, FILE* warnings) {
  const char* path = file.path.c_str();
  Options options = createDefaultOptions();
  options.path = path;
  options.rateClades.push_back(createRateClade("Root", tree.root));

  // Before any of its lines is warned of: a log, plain or packed, is no options file.
  if (file.compression != nullptr || readsAsLog(file)) {
    fail(1, Stream::kStdout,
         "Error in %s: %s%s, not an options file; give further chains with -c (Scalesum "
         "run1.log -c run2.log)\n",
         path, file.compression != nullptr ? file.compression->name : "a sample log",
         file.compression != nullptr ? "-compressed data" : "");
  }
  std::vector<char> buffer(static_cast<size_t>(file.longestLine) + 1);
  std::vector<char*> words(static_cast<size_t>(file.longestLine) + 1);
  for (int32_t i = 0; i < file.lineCount; ++i) {
    const std::string& text = file.lines[static_cast<size_t>(i)];
    std::memcpy(buffer.data(), text.c_str(), text.size() + 1);
    const int count = tokenize(buffer.data(), words.data(), file.longestLine);
    if (count == 0) continue;
    char* keyword = words[0];
    // The word as written, for a warning: the buffer is a copy of the line, byte for byte. A
    // warning shows at most kShownBytes of a word.
    const char* written = text.c_str() + (keyword - buffer.data());
    const int writtenLength = static_cast<int>(std::min(std::strlen(keyword), kShownBytes));
    upperCase(keyword);
    const int64_t line = i + 1;
    if (std::strcmp(keyword, "IT") == 0) {
      if (count < 2) failMissingValue(options, line, "IT", "an iteration");
      options.burnIn = parseInt(words[1]);
      if (warnings != nullptr && !isWholeIteration(words[1])) {
        const std::string warning = warningText(
            "%s line %lld: IT %.*s is not a whole number; the burn-in is read as %d", path,
            static_cast<long long>(line), static_cast<int>(kShownBytes), words[1], options.burnIn);
        std::fputs(warning.c_str(), warnings);
      }
    } else if (std::strcmp(keyword, "NOCATS") == 0) {
      if (count < 2) failMissingValue(options, line, "NOCATS", "a count");
      options.categoryCount = parseInt(words[1]);
      if (options.categoryCount < 0) failAtLine(path, line, "NOCATS needs a count of 0 or more");
    } else if (std::strcmp(keyword, "RATES") == 0) {
      if (count < 2) failMissingValue(options, line, "RATES", "a clade name");
      resolveRates(tree, options, words.data(), count);
    } else if (std::strcmp(keyword, "SLICE") == 0) {
      if (count < 3) failMissingValue(options, line, "SLICE", "a name and a value");
      options.slices.push_back(SliceEntry{words[1], parseReal(words[2])});
    } else if (std::strcmp(keyword, "NODERATIO") == 0) {
      if (count < 3) failMissingValue(options, line, "NODERATIO", "a real and an integer");
      options.nodeRatio = parseReal(words[1]);
      options.nodeRatioInteger = parseInt(words[2]);
      options.nodeRatioSet = 1;
    } else if (std::strcmp(keyword, "RATIONODE") == 0) {
      if (count < 2) failMissingValue(options, line, "RATIONODE", "a name");
      options.ratioNodes.push_back(RatioNode{words[1], {words.begin() + 2, words.begin() + count}});
    } else if (std::strcmp(keyword, "NORMALISE") == 0) {
      options.normalise = 1;
    } else if (warnings != nullptr) {
      const std::string warning = warningText(
          "%s line %lld: %.*s is not a keyword, the line is ignored (the keywords: IT, NOCATS, "
          "RATES, SLICE, NODERATIO, RATIONODE, NORMALISE)",
          path, static_cast<long long>(line), writtenLength, written);
      std::fputs(warning.c_str(), warnings);
    }
  }
  return options;
}

}  // namespace scalesum
