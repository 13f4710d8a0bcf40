#include <csignal>
#include <cstdio>

#include "run.h"

int main(int argc, char** argv) {
  // A reader that goes away must make the write fail with a message, not end the process
  // without one.
  std::signal(SIGPIPE, SIG_IGN);
  // Likewise a file grown past the size limit (ulimit -f).
  std::signal(SIGXFSZ, SIG_IGN);
  // The report can run to many megabytes: write it in large blocks.
  static char outputBuffer[1 << 20];
  std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
  return scalesum::runScalesum(argc, argv);
}
