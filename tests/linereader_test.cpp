#include "linereader.h"

#include <gtest/gtest.h>

#include <string>

#include "test_util.h"

namespace scalesum {
namespace {

TEST(LineReader, DeliversEveryLineWholeWhateverItsBufferAndSource) {
  testing::TempDir dir;
  const std::string text = "a\r\n\n" + std::string(5000, 'x') + "\nlast";
  const std::string plain = dir.write("log", text), packed = dir.writeGzip("gz", text);
  const std::string packedBytes = testing::readFile(packed);
  for (int source = 0; source < 4; ++source) {
    for (size_t buffer : {size_t{1}, size_t{7}, size_t{1} << 20}) {
      LineReader reader;
      reader.buffer.resize(buffer);
      if (source < 2) {
        ASSERT_TRUE(openLineReader(reader, (source == 0 ? plain : packed).c_str()));
      } else {
        openLineReaderOnText(reader, "memory", source == 2 ? text : packedBytes);
      }
      std::string joined;
      size_t length = 0;
      while (const char* line = readLine(reader, &length)) {
        joined += std::string(line, length) + (reader.lineEnded ? "\n" : "");
      }
      EXPECT_EQ(joined, text) << source << " " << buffer;
      EXPECT_EQ(reader.lineNumber, 4);
    }
  }
}

}  // namespace
}  // namespace scalesum
