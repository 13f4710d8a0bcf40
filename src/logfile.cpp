#include "logfile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <tuple>
#include <utility>

namespace scalesum {

namespace {

// What identifies the log's contents: its size and modification time.
std::pair<int64_t, int64_t> logStamp(const Analysis& analysis) {
  struct stat info {};
  if (::fstat(analysis.logFile.fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    fail(1, Stream::kStdout,
         "Error in %s: not a regular file; the log is read several times and must be a file\n",
         analysis.logPath.c_str());
  }
  return {static_cast<int64_t>(info.st_size),
          static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

// Whether the bytes from `begin` to `end` are all whitespace.
bool onlySpace(const char* begin, const char* end) {
  return std::all_of(begin, end, [](char c) { return isSpace(static_cast<unsigned char>(c)); });
}

[[noreturn]] void failHeaderEnds(const Analysis& analysis, const char* missing) {
  failAtLine(analysis.logPath.c_str(), analysis.logFile.lineNumber + 1,
             "the file ends before the header is complete (%s expected)", missing);
}

}  // namespace

char* readLogLine(Analysis& analysis) {
  size_t size = 0;
  char* line = readLine(analysis.logFile, &size);
  if (line == nullptr) return nullptr;
  const char* end = line + size;
  auto failHere = [&](const char* reason) {
    failAtLine(analysis.logPath.c_str(), analysis.logFile.lineNumber, "%s", reason);
  };
  // A NUL would silently cut the line short.
  if (std::memchr(line, '\0', size) != nullptr) failHere("the line holds a NUL byte");
  // Lines end at line feeds only. A carriage return with more text behind it ended a line in
  // another convention, and two lines would otherwise silently read as one.
  if (const char* cr = static_cast<const char*>(std::memchr(line, '\r', size))) {
    if (!onlySpace(cr, end))
      failHere("a carriage return inside the line; lines must end in LF or CR LF");
  }
  // The analysis ends every line it writes; a last line without its line feed was cut short
  // (a full disk, a killed job), and its last number may have lost digits.
  if (!analysis.logFile.lineEnded && !onlySpace(line, end)) {
    failHere("the last line has no line feed; the file looks cut short");
  }
  return line;
}

std::unique_ptr<Analysis> readLogHeader(const char* path) {
  auto owned = std::make_unique<Analysis>();
  Analysis& analysis = *owned;
  analysis.logPath = path;
  if (!openLineReader(analysis.logFile, path)) {
    fail(1, Stream::kStderr, "Could not open file %s for reading\n", path);
  }
  std::tie(analysis.logSize, analysis.logModified) = logStamp(analysis);
  std::vector<char*> fields;

  char* line = readLogLine(analysis);
  if (line == nullptr) failHeaderEnds(analysis, "the taxon count");
  analysis.taxonCount = parseInt(line);
  if (analysis.taxonCount < 1) fail(1, Stream::kStdout, "%s needs more that one node.\n", path);

  // Announced counts size nothing up front: a file that lies about them ends at its last line.
  for (int32_t i = 0; i < analysis.taxonCount; ++i) {
    line = readLogLine(analysis);
    if (line == nullptr) failHeaderEnds(analysis, "a taxon line");
    tokenizeAll(line, fields);
    if (fields.size() != 2) fail(1, Stream::kStdout, "Err finding taxa:\n");
    analysis.taxa.push_back(Taxon{fields[1], parseInt(fields[0])});
  }

  line = readLogLine(analysis);
  if (line == nullptr) failHeaderEnds(analysis, "the node count");
  analysis.nodeCount = parseInt(line);
  if (analysis.nodeCount < 0) reportAllocationError("Scalesum", 1);

  for (int32_t i = 0; i < analysis.nodeCount; ++i) {
    line = readLogLine(analysis);
    if (line == nullptr) failHeaderEnds(analysis, "a node line");
    tokenizeAll(line, fields);
    // A count that is a word is no count: it is how the header line or a sample line shows up
    // when the node count is too large.
    if (fields.size() >= 3 && !beginsWithInteger(fields[2])) {
      failAtLine(path, analysis.logFile.lineNumber,
                 "the number of taxa (field 3) of a node line is not a number: %.40s", fields[2]);
    }
    const int32_t listed = fields.size() >= 3 ? parseInt(fields[2]) : 0;
    if (listed < 0) reportAllocationError("Scalesum", 2);
    if (fields.size() < 3 || fields.size() - 3 < static_cast<size_t>(listed)) {
      failAtLine(path, analysis.logFile.lineNumber,
                 "a node line needs an id, a branch length, a taxon count n and n taxon ids");
    }
    auto node = std::make_unique<Node>();
    node->id = parseInt(fields[0]);
    node->length = parseReal(fields[1]);
    node->taxonCount = listed;
    node->taxonIds.reserve(static_cast<size_t>(listed));
    for (int32_t k = 0; k < listed; ++k) node->taxonIds.push_back(parseInt(fields[3 + k]));
    node->isTip = listed == 1 ? 1 : 0;
    analysis.nodes.push_back(node.get());
    analysis.nodeStore.push_back(std::move(node));
  }

  if (readLogLine(analysis) == nullptr) failHeaderEnds(analysis, "the header line");
  analysis.headerLineCount = analysis.logFile.lineNumber;

  for (const Node* node : analysis.nodes) {
    analysis.nodeIds.push_back(node->id);
    analysis.tally.originalLengths.push_back(node->length);
  }
  analysis.tally.changedCounts.assign(analysis.nodes.size(), 0);
  return owned;
}

void reopenLogAtSamples(Analysis& analysis) {
  LineReader& in = analysis.logFile;
  closeLineReader(in);
  if (!openLineReader(in, analysis.logPath.c_str())) {
    fail(1, Stream::kStderr, "Could not open file %s for reading\n", analysis.logPath.c_str());
  }
  checkLogUnchanged(analysis);
  for (int64_t i = 0; i < analysis.headerLineCount; ++i) {
    if (readLine(in) == nullptr) failLogChanged(analysis);
  }
}

void checkLogUnchanged(const Analysis& analysis) {
  if (logStamp(analysis) != std::make_pair(analysis.logSize, analysis.logModified)) {
    failLogChanged(analysis);
  }
}

void failLogChanged(const Analysis& analysis) {
  fail(1, Stream::kStdout, "Error in %s: the file changed while it was being read\n",
       analysis.logPath.c_str());
}

}  // namespace scalesum
