#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "linereader.h"
#include "sha256.h"

namespace scalesum {

// One file a run read: its path as typed, and its size in bytes and digest as read (empty when
// they were not taken).
struct InputFile {
  std::string path;
  std::optional<int64_t> bytes;
  std::optional<Sha256Digest> sha256;
};

// One log a run read, and what became of its sample lines.
struct LogProvenance {
  InputFile file;
  int64_t sampleLines = 0;  // lines of two fields or more
  int64_t burnInLines = 0;  // of those, the ones the burn-in dropped
  int64_t retained = 0;     // the samples the run kept
};

// Where a run's results come from: the program, its command line, and every input.
struct Provenance {
  std::string version;
  std::vector<std::string> arguments;  // as typed, the program's name first
  std::vector<LogProvenance> chains;   // chain 1 first
  std::vector<LogProvenance> priors;   // logs of the analysis run from the prior alone
  std::optional<InputFile> options;    // the options file, when one was given
  std::optional<int32_t> burnInIteration;
  std::string burnInShare;  // the share of each log's sample lines, as typed, when it was one
};

// Returns the log that `reader` has read to its end, with the size and digest of its bytes
// when it was digesting them.
InputFile logInputFile(const LineReader& reader);

// Returns the file `file` as read.
InputFile textInputFile(const TextFile& file);

// Returns the log read by `reader` that had `sampleLines` sample lines and kept `retained`.
LogProvenance logProvenance(const LineReader& reader, int64_t sampleLines, int64_t retained);

// Returns the digest in lower-case hexadecimal.
std::string hexDigest(const Sha256Digest& digest);

}  // namespace scalesum
