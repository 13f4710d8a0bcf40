#include "linereader.h"

#include <gtest/gtest.h>

#include <string>

#include "test_util.h"

namespace scalesum {
namespace {

TEST(LineReader, DeliversEveryLineWholeWhateverItsBuffer) {
  testing::TempDir dir;
  const std::string text = "a\r\n\n" + std::string(5000, 'x') + "\nlast";
  for (const std::string& path : {dir.write("log", text), dir.writeGzip("gz", text)}) {
    for (size_t buffer : {size_t{1}, size_t{7}, size_t{1} << 20}) {
      LineReader reader;
      reader.buffer.resize(buffer);
      ASSERT_TRUE(openLineReader(reader, path.c_str()));
      std::string joined;
      size_t length = 0;
      while (const char* line = readLine(reader, &length)) {
        joined += std::string(line, length) + (reader.lineEnded ? "\n" : "");
      }
      EXPECT_EQ(joined, text) << path << " " << buffer;
      EXPECT_EQ(reader.lineNumber, 4);
    }
  }
}

}  // namespace
}  // namespace scalesum
