#pragma once

#include <cstdio>
#include <string>

namespace scalesum {

// A file that a run writes completely or not at all: its data go to a temporary file in the
// target's folder, which replaces the target only when the whole run has succeeded. A target
// that exists and is no regular file (a device, a pipe) is written directly.
struct OutputFile {
  std::string target;
  std::string temporary;  // empty when the target is written directly
  const char* what = "";  // what the file holds, for messages ("report", "statistics")
  FILE* stream = nullptr;
};

// Returns `target` opened for writing as above; ends the process when the file cannot be
// created. From then on every failure of the run removes the temporary file.
OutputFile openOutputFile(const std::string& target, const char* what);

// Writes out and closes the stream; ends the process when any of the data could not be written.
void finishOutputFile(OutputFile& file);

// Moves the finished file over its target; ends the process when that fails.
void commitOutputFile(OutputFile& file);

// Returns whether the paths `a` and `b` name the same regular file, existing or not.
bool isSameFile(const std::string& a, const std::string& b);

}  // namespace scalesum
