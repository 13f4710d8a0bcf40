#pragma once

namespace scalesum {

// Runs the whole program on its command line and returns the exit status of a run that did
// not fail (a failing run ends inside).
int runScalesum(int argc, char** argv);

// The text that --help prints.
const char* helpText();

}  // namespace scalesum
