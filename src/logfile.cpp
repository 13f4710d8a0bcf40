#include "logfile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <tuple>
#include <utility>

#include "records.h"

namespace scalesum {

namespace {

// What identifies the log's contents: its size and modification time.
std::pair<int64_t, int64_t> logStamp(const LogFile& log) {
  struct stat info {};
  if (::fstat(log.reader.fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    fail(1, Stream::kStdout,
         "Error in %s: not a regular file; the log is read several times and must be a file\n",
         log.path.c_str());
  }
  return {static_cast<int64_t>(info.st_size),
          static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

void checkLogUnchanged(const LogFile& log) {
  if (logStamp(log) != std::make_pair(log.size, log.modified)) failLogChanged(log);
}

// Whether the bytes from `begin` to `end` are all whitespace.
bool onlySpace(const char* begin, const char* end) {
  return std::all_of(begin, end, [](char c) { return isSpace(static_cast<unsigned char>(c)); });
}

// Returns the log's next line (see readLine), rejecting a line that holds a NUL byte, a carriage
// return inside it, or a last line cut short.
char* readLogLine(LogFile& log) {
  size_t size = 0;
  char* line = readLine(log.reader, &size);
  if (line == nullptr) return nullptr;
  const char* end = line + size;
  auto failHere = [&](const char* reason) {
    failAtLine(log.path.c_str(), log.reader.lineNumber, "%s", reason);
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
  if (!log.reader.lineEnded && !onlySpace(line, end)) {
    failHere("the last line has no line feed; the file looks cut short");
  }
  return line;
}

[[noreturn]] void failHeaderEnds(const LogFile& log, const char* missing) {
  failAtLine(log.path.c_str(), log.reader.lineNumber + 1,
             "the file ends before the header is complete (%s expected)", missing);
}

}  // namespace

std::unique_ptr<Analysis> readLogHeader(const char* path) {
  auto owned = std::make_unique<Analysis>();
  Analysis& analysis = *owned;
  LogFile& log = analysis.log;
  log.path = path;
  if (!openLineReader(log.reader, path)) {
    fail(1, Stream::kStderr, "Could not open file %s for reading\n", path);
  }
  std::tie(log.size, log.modified) = logStamp(log);
  std::vector<char*> fields;

  char* line = readLogLine(log);
  if (line == nullptr) failHeaderEnds(log, "the taxon count");
  analysis.taxonCount = parseInt(line);
  if (analysis.taxonCount < 1) fail(1, Stream::kStdout, "%s needs more that one node.\n", path);

  // Announced counts size nothing up front: a file that lies about them ends at its last line.
  for (int32_t i = 0; i < analysis.taxonCount; ++i) {
    line = readLogLine(log);
    if (line == nullptr) failHeaderEnds(log, "a taxon line");
    tokenizeAll(line, fields);
    if (fields.size() != 2) fail(1, Stream::kStdout, "Err finding taxa:\n");
    analysis.taxa.push_back(Taxon{fields[1], parseInt(fields[0])});
  }

  line = readLogLine(log);
  if (line == nullptr) failHeaderEnds(log, "the node count");
  analysis.nodeCount = parseInt(line);
  if (analysis.nodeCount < 0) reportAllocationError("Scalesum", 1);

  for (int32_t i = 0; i < analysis.nodeCount; ++i) {
    line = readLogLine(log);
    if (line == nullptr) failHeaderEnds(log, "a node line");
    tokenizeAll(line, fields);
    // A count that is a word is no count: it is how the header line or a sample line shows up
    // when the node count is too large.
    if (fields.size() >= 3 && !beginsWithInteger(fields[2])) {
      failAtLine(path, log.reader.lineNumber,
                 "the number of taxa (field 3) of a node line is not a number: %.40s", fields[2]);
    }
    const int32_t listed = fields.size() >= 3 ? parseInt(fields[2]) : 0;
    if (listed < 0) reportAllocationError("Scalesum", 2);
    if (fields.size() < 3 || fields.size() - 3 < static_cast<size_t>(listed)) {
      failAtLine(path, log.reader.lineNumber,
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

  if (readLogLine(log) == nullptr) failHeaderEnds(log, "the header line");
  log.headerLineCount = log.reader.lineNumber;

  for (const Node* node : analysis.nodes) {
    analysis.nodeIds.push_back(node->id);
    analysis.tally.originalLengths.push_back(node->length);
  }
  analysis.results.resize(analysis.nodes.size());
  return owned;
}

bool isRetained(const char* line, int32_t burnIn) {
  const char* p = line;
  while (isSpace(static_cast<unsigned char>(*p))) ++p;
  if (*p == '\0') return false;
  const char* iteration = p;
  while (*p != '\0' && !isSpace(static_cast<unsigned char>(*p))) ++p;
  while (isSpace(static_cast<unsigned char>(*p))) ++p;
  if (*p == '\0') return false;
  // parseInt stops at the whitespace that ends field 0.
  return parseInt(iteration) >= burnIn;
}

int64_t walkSampleLines(LogFile& log, int32_t burnIn, const SampleLineVisitor& visit) {
  LineReader& in = log.reader;
  closeLineReader(in);
  if (!openLineReader(in, log.path.c_str())) {
    fail(1, Stream::kStderr, "Could not open file %s for reading\n", log.path.c_str());
  }
  checkLogUnchanged(log);
  for (int64_t i = 0; i < log.headerLineCount; ++i) {
    if (readLine(in) == nullptr) failLogChanged(log);
  }
  int64_t retained = 0;
  while (char* line = readLogLine(log)) {
    if (!isRetained(line, burnIn)) continue;
    ++retained;
    visit(line, in.lineNumber);
  }
  log.sampleLineCount = in.lineNumber - log.headerLineCount;
  checkLogUnchanged(log);
  closeLineReader(in);
  return retained;
}

void failLogChanged(const LogFile& log) {
  fail(1, Stream::kStdout, "Error in %s: the file changed while it was being read\n",
       log.path.c_str());
}

}  // namespace scalesum
