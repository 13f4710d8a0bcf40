#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "linereader.h"
#include "samplerecord.h"

namespace scalesum {

struct Analysis;

// A log being read, once and in order: its path ("-": standard input), its reader, and the
// fields of its header line once the header is read.
struct LogFile {
  std::string path;
  LineReader reader;
  std::vector<std::string> headerFields;
};

// Reads the taxa and node tables and the header line of the log at `path` and returns the new
// Analysis, its log left open at the first sample line; fails when the header cannot be
// read.
std::unique_ptr<Analysis> readLogHeader(const char* path);

// Fails unless this is the first use of standard input as a log.
void claimStandardInput();

// Reads the rest of `log`, its sample lines, into a new record of its retained lines (those
// not below `burnIn`), each group's node id turned into the position of the first of
// `analysis`'s nodes with that id, and closes it. Lines that the sample checks reject are kept
// as faults; fails when the text itself is damaged. With `digestLines` the record
// keeps the digest of each retained line, for its fingerprint.
SampleRecord readLogSamples(LogFile& log, const Analysis& analysis, int32_t burnIn,
                            const RecordLimit& limit, bool digestLines = false);

}  // namespace scalesum
