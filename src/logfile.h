#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "linereader.h"
#include "samplerecord.h"
#include "tree.h"

namespace scalesum {

// A log being read, once and in order: its path ("-": standard input), its reader, and the
// fields of its header line once the header is read.
struct LogFile {
  std::string path;
  LineReader reader;
  std::vector<std::string> headerFields;
};

// Reads the taxa and node tables and the header line of `log`, whose reader is open at its
// first line, and returns the tables as a tree not yet built, `log` left at the first sample
// line; fails when the header cannot be read.
Tree readLogHeader(LogFile& log);

// Opens the log at `path` into `log` and reads its header as readLogHeader(log) does; fails
// when it cannot be opened.
Tree readLogHeader(LogFile& log, const char* path);

// Fails unless this is the first use of standard input as a log.
void claimStandardInput();

// Reads the rest of `log`, its sample lines, into a new record of its retained lines (those
// not below `burnIn`), each group's node id turned into the position of the first of
// `tree`'s nodes with that id, and closes it. Lines that the sample checks reject are kept
// as faults; fails when the text itself is damaged. With `digestLines` the record
// keeps the digest of each retained line, for its fingerprint.
SampleRecord readLogSamples(LogFile& log, const Tree& tree, int32_t burnIn,
                            const RecordLimit& limit, bool digestLines = false);

}  // namespace scalesum
