#include "options.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <unordered_map>

#include "records.h"

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

void resolveRates(Analysis& analysis, char** words, int wordCount) {
  const char* name = words[1];
  std::vector<int32_t> ids;
  for (int k = 2; k < wordCount; ++k) {
    int32_t id = -1;
    for (const Taxon& taxon : analysis.taxa) {
      if (taxon.name == words[k]) {
        id = taxon.id;
        break;
      }
    }
    if (id == -1)
      fail(1, Stream::kStdout, "Cannot find matching taxa for %s node %s\n", words[k], name);
    ids.push_back(id);
  }
  Node* node = findNodeByTaxonSet(analysis, static_cast<int32_t>(ids.size()), ids.data());
  if (node == nullptr) fail(1, Stream::kStdout, "Count not find valid node for %s\n", name);
  analysis.options.rateClades.push_back(createRateClade(name, node));
}

}  // namespace

Options createDefaultOptions() {
  return Options{};
}

RateClade createRateClade(const char* name, Node* node) {
  return RateClade{name, node};
}

Node* findNodeByTaxonSet(const Analysis& analysis, int32_t count, const int32_t* ids) {
  for (Node* node : analysis.nodes) {
    if (node->taxonCount != count) continue;
    bool all = true;
    for (int32_t k = 0; k < count && all; ++k) {
      all = std::find(node->taxonIds.begin(), node->taxonIds.end(), ids[k]) != node->taxonIds.end();
    }
    if (all) return node;
  }
  return nullptr;
}

void readOptionsFile(Analysis& analysis, const char* path, FILE* warnings) {
  Options& options = analysis.options;
  options.path = path;
  options.rateClades.push_back(createRateClade("Root", analysis.root));

  const TextFile file = readTextFile(path);
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
        std::fprintf(warnings,
                     "Scalesum: warning: %s line %lld: IT %.*s is not a whole number; "
                     "the burn-in is read as %d\n",
                     path, static_cast<long long>(line), static_cast<int>(kShownBytes), words[1],
                     options.burnIn);
      }
    } else if (std::strcmp(keyword, "NOCATS") == 0) {
      if (count < 2) failMissingValue(options, line, "NOCATS", "a count");
      options.categoryCount = parseInt(words[1]);
      if (options.categoryCount < 0) failAtLine(path, line, "NOCATS needs a count of 0 or more");
    } else if (std::strcmp(keyword, "RATES") == 0) {
      if (count < 2) failMissingValue(options, line, "RATES", "a clade name");
      resolveRates(analysis, words.data(), count);
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
      std::fprintf(warnings,
                   "Scalesum: warning: %s line %lld: %.*s is not a keyword, the line is ignored "
                   "(the keywords: IT, NOCATS, RATES, SLICE, NODERATIO, RATIONODE, NORMALISE)\n",
                   path, static_cast<long long>(line), writtenLength, written);
    }
  }
}

}  // namespace scalesum
