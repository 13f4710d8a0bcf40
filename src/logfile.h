#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "genlib.h"

namespace scalesum {

struct Analysis;

// The log on disk: its path, the stamp of its contents when the header was read, where its
// sample section starts, and the reader of the pass under way. Every pass over the samples goes
// through walkSampleLines, which reopens the file and proves it unchanged.
struct LogFile {
  std::string path;
  LineReader reader;
  int64_t headerLineCount = 0;  // lines before the first sample line
  int64_t sampleLineCount = 0;  // lines from the first sample line on, counted by each pass
  int64_t size = 0;             // size and modification time when the header was read
  int64_t modified = 0;
};

// Reads the taxa and node tables of the log at `path` and returns the new Analysis, its log
// left open at the header line; ends the process when the header cannot be read.
std::unique_ptr<Analysis> readLogHeader(const char* path);

// Returns whether a sample line is retained: it has at least two fields and its iteration
// (field 0) is not below `burnIn`.
bool isRetained(const char* line, int32_t burnIn);

// Receives one retained sample line (modifiable until the call returns) and its 1-based line
// number in the file.
using SampleLineVisitor = std::function<void(char* line, int64_t lineNumber)>;

// Makes one pass over the sample section: reopens the log, proves it unchanged, hands every
// retained line to `visit` in file order, proves the file unchanged again and closes it.
// Returns the number of retained lines; ends the process when the file cannot be read, holds a
// malformed line, or changed since its header was read.
int64_t walkSampleLines(LogFile& log, int32_t burnIn, const SampleLineVisitor& visit);

// Ends the process with the message for a log that changed between two passes.
[[noreturn]] void failLogChanged(const LogFile& log);

}  // namespace scalesum
