#pragma once

#include <cstdio>
#include <string>

namespace scalesum {

// A file that a run writes completely or not at all: its data go to a file without a name in
// the target's folder, which takes the target's name only when the whole run has succeeded.
// Where the folder cannot hold such a file, a hidden named one stands in and is renamed. A target
// that exists and is no regular file (a device, a pipe) is written directly.
struct OutputFile {
  std::string target;
  std::string temporary;  // the named stand-in, when there is one
  int unnamed = -1;       // the unnamed file, open until it is linked to the target
  const char* what = "";  // what the file holds, for messages ("report", "statistics")
  FILE* stream = nullptr;
};

// Opens a new file without a name in `folder` for `access` (O_WRONLY or O_RDWR), for its owner
// alone; the file goes with the process, however that ends, unless linked to a name. Returns -1
// with errno set when it cannot, EOPNOTSUPP where the file system has no such files.
int openUnnamedFile(const std::string& folder, int access);

// Returns `target` opened for writing as above; fails when the file cannot be created. From then
// on every interruption that can be caught removes a named stand-in, and so does
// removeUnfinishedOutputs.
OutputFile openOutputFile(const std::string& target, const char* what);

// Writes out and closes the stream; fails when any of the data could not be written.
void finishOutputFile(OutputFile& file);

// Puts the finished file in place of its target in one step; fails when that fails.
void commitOutputFile(OutputFile& file);

// Closes what a failed run left open of `file` without writing out what is still buffered:
// nothing more of a failed run reaches a target that is written directly.
void abandonOutputFile(OutputFile& file);

// Removes the named stand-in of every output file not yet committed, as a failed run must; safe
// in a signal handler.
void removeUnfinishedOutputs();

// Returns whether the paths `a` and `b` name the same regular file, existing or not.
bool isSameFile(const std::string& a, const std::string& b);

}  // namespace scalesum
