#include "logfile.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>

#include "failure.h"
#include "sha256.h"
#include "text.h"

namespace scalesum {

namespace {

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

Tree readLogHeader(LogFile& log, const char* path) {
  log.path = path;
  if (std::strcmp(path, kStandardInput) == 0) claimStandardInput();
  if (!openLineReader(log.reader, path)) {
    fail(1, Stream::kStderr, "Could not open file %s for reading\n", path);
  }
  return readLogHeader(log);
}

Tree readLogHeader(LogFile& log) {
  const char* path = log.path.c_str();
  Tree tree;
  tree.path = path;
  // Read as text, such data would fail at some byte far from the cause.
  if (const Compression* packed = log.reader.compression; packed && !packed->inflated) {
    const std::string plain = std::strcmp(path, kStandardInput) == 0
                                  ? std::string("... | ") + packed->command
                                  : std::string(packed->command) + " " + path;
    fail(1, Stream::kStdout,
         "Error in %s: %s-compressed data; Scalesum reads plain and gzip logs: %s | Scalesum - "
         "[<options file>]\n",
         path, packed->name, plain.c_str());
  }
  std::vector<char*> fields;

  char* line = readLogLine(log);
  if (line == nullptr) failHeaderEnds(log, "the taxon count");
  tree.taxonCount = parseInt(line);
  if (tree.taxonCount < 1) fail(1, Stream::kStdout, "%s needs more that one node.\n", path);

  // Announced counts size nothing up front: a file that lies about them ends at its last line.
  for (int32_t i = 0; i < tree.taxonCount; ++i) {
    line = readLogLine(log);
    if (line == nullptr) failHeaderEnds(log, "a taxon line");
    tokenizeAll(line, fields);
    if (fields.size() != 2) fail(1, Stream::kStdout, "Err finding taxa:\n");
    tree.taxa.push_back(Taxon{fields[1], parseInt(fields[0])});
  }

  line = readLogLine(log);
  if (line == nullptr) failHeaderEnds(log, "the node count");
  tree.nodeCount = parseInt(line);
  if (tree.nodeCount < 0) reportAllocationError("Scalesum", 1);

  for (int32_t i = 0; i < tree.nodeCount; ++i) {
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
    tree.nodes.push_back(node.get());
    tree.nodeStore.push_back(std::move(node));
  }

  line = readLogLine(log);
  if (line == nullptr) failHeaderEnds(log, "the header line");
  tokenizeAll(line, fields);
  log.headerFields.assign(fields.begin(), fields.end());

  for (const Node* node : tree.nodes) {
    tree.nodeIds.push_back(node->id);
    tree.originalLengths.push_back(node->length);
  }
  return tree;
}

namespace {

constexpr size_t kFirstGroupField = 7;
constexpr size_t kGroupFields = 4;

// Returns the reason why the fields of a retained line do not hold everything its scalar
// count promises, or an empty text.
std::string incompleteFields(const std::vector<char*>& fields) {
  char reason[160];
  reason[0] = '\0';
  if (fields.size() < kFirstGroupField) {
    std::snprintf(reason, sizeof reason, "a sample line needs at least 7 fields, this one has %zu",
                  fields.size());
  } else if (!beginsWithInteger(fields[3])) {
    // A word where the scalar count belongs is no sample: it is how a second header line, or
    // the header line after a node count that is too small, shows up. (A word as the
    // iteration reads as iteration 0, as it always has.)
    std::snprintf(reason, sizeof reason, "the number of scalars (field 4) is not a number: %.40s",
                  fields[3]);
  } else if (const int32_t groups = parseInt(fields[3]); groups < 0) {
    std::snprintf(reason, sizeof reason, "the number of scalars (field 4) is negative: %d", groups);
  } else if (const uint64_t needed =
                 kFirstGroupField + kGroupFields * static_cast<uint64_t>(groups);
             fields.size() < needed) {
    std::snprintf(reason, sizeof reason, "%d scalars need %llu fields, the line has %zu", groups,
                  static_cast<unsigned long long>(needed), fields.size());
  }
  return reason;
}

// Returns the message with which a run ends, as fail() would write it.
std::string formatMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatMessage(const char* format, ...) {
  char message[8192];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  return message;
}

}  // namespace

SampleRecord readLogSamples(LogFile& log, const Tree& tree, int32_t burnIn,
                            const RecordLimit& limit, bool digestLines) {
  SampleRecord record;
  record.path = log.path;
  record.fieldNames = log.headerFields;
  record.limit = limit;
  // A group names its node by id; the first position with that id stands for it.
  std::unordered_map<int32_t, uint32_t> positionById;
  for (size_t j = 0; j < tree.nodeIds.size(); ++j) {
    positionById.emplace(tree.nodeIds[j], static_cast<uint32_t>(j));
  }
  std::vector<char*> fields;
  std::vector<unsigned char> groups;
  SampleEntry sample;
  while (char* line = readLogLine(log)) {
    tokenizeAll(line, fields);
    if (fields.size() < 2) continue;
    const int32_t iteration = parseInt(fields[0]);
    if (++record.sampleLineCount == 1) record.firstIteration = iteration;
    if (iteration < burnIn) continue;
    record.lastRetainedLine = log.reader.lineNumber;
    if (record.sampleCount == INT32_MAX) {
      record.tooManySamples = true;
      continue;
    }
    // The bytes from the first field to the end of the last: the line without its indentation
    // and line end, a NUL in place of the first byte of each gap. Equal lines give equal bytes.
    if (digestLines) {
      const char* last = fields.back();
      try {
        record.lineDigests.push_back(
            sha256(fields.front(), static_cast<size_t>(last + std::strlen(last) - fields.front())));
      } catch (const std::bad_alloc&) {
        reportAllocationError("Scalesum", 10);
      }
    }
    sample = SampleEntry{};
    sample.iteration = iteration;
    for (int f = 0; f < kGlobalFieldCount; ++f) {
      const auto at = static_cast<size_t>(kGlobalFields[f]);
      if (at >= fields.size()) continue;
      sample.globals[f] = parseReal(fields[at]);
      if (!beginsWithReal(fields[at])) sample.notANumber |= notANumberBit(kGlobalFields[f]);
    }
    if (fields.size() > 5) {
      sample.sigma = parseReal(fields[5]);
      if (!beginsWithReal(fields[5])) sample.notANumber |= notANumberBit(5);
    }
    // A line the checks reject is kept as its fault, in its place, and scales nothing.
    std::string fault = incompleteFields(fields);
    if (!fault.empty()) {
      fault = formatMessage("Error in %s line %lld: %s\n", log.path.c_str(),
                            static_cast<long long>(log.reader.lineNumber), fault.c_str());
    } else {
      const int32_t count = parseInt(fields[3]);
      groups.resize(kGroupEntryBytes * static_cast<size_t>(count));
      for (int32_t g = 0; g < count; ++g) {
        const size_t at = kFirstGroupField + kGroupFields * static_cast<size_t>(g);
        const int32_t id = parseInt(fields[at]);
        const auto found = positionById.find(id);
        if (found == positionById.end()) {
          fault = formatMessage("Could not find node ID %d in list.\n", id);
          break;
        }
        packGroup(
            {found->second, std::strcmp(fields[at + 3], "Node") == 0, parseReal(fields[at + 1])},
            groups.data() + kGroupEntryBytes * static_cast<size_t>(g));
      }
      if (fault.empty()) sample.groupCount = count;
    }
    if (!fault.empty()) record.faults.push_back({record.sampleCount, std::move(fault)});
    appendSample(record, sample, groups.data());
  }
  closeLineReader(log.reader);
  std::vector<char>().swap(log.reader.buffer);  // the text is done with
  finishRecord(record);
  return record;
}

void claimStandardInput() {
  static bool claimed = false;
  if (claimed) {
    fail(1, Stream::kStdout, "Error in %s: standard input can be read only once\n", kStandardInput);
  }
  claimed = true;
}

}  // namespace scalesum
