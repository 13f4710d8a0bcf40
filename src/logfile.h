#pragma once

#include <memory>

#include "records.h"

namespace scalesum {

// Reads the taxa and node tables of the log at `path` and returns the new Analysis, its log
// left open at the header line; ends the process when the header cannot be read.
std::unique_ptr<Analysis> readLogHeader(const char* path);

// Reopens the log so that its next line is the first line of the sample section.
void reopenLogAtSamples(Analysis& analysis);

// Returns the log's next line (see readLine), rejecting a line that holds a NUL byte.
char* readLogLine(Analysis& analysis);

// Ends the process unless the open log still has the size and modification time it had when
// its header was read.
void checkLogUnchanged(const Analysis& analysis);

// Ends the process with the message for a log that changed between two passes.
[[noreturn]] void failLogChanged(const Analysis& analysis);

}  // namespace scalesum
