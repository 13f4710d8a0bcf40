#include "provenance.h"

#include <gtest/gtest.h>

#include <string>

#include "test_util.h"

namespace scalesum {
namespace {

using testing::readFile;
using testing::TempDir;

TEST(Provenance, ALogsDigestCoversEveryByteOfItsFileAsRead) {
  TempDir dir;
  const std::string text = "first\nsecond\nno line feed";
  const std::string gzip = dir.writeGzip("log.gz", text);
  // Bytes after the last gzip member give no line but are part of the file.
  const std::string trailing = dir.write("trailing.gz", readFile(gzip) + "junk");
  for (const std::string& path : {dir.write("plain.log", text), gzip, trailing}) {
    const std::string bytes = readFile(path);
    LineReader reader;
    reader.digesting = true;
    ASSERT_TRUE(openLineReader(reader, path.c_str()));
    int lines = 0;
    while (readLine(reader) != nullptr) ++lines;
    EXPECT_EQ(lines, 3) << path;
    const InputFile file = logInputFile(reader);
    EXPECT_EQ(file.path, path);
    EXPECT_EQ(file.bytes, static_cast<int64_t>(bytes.size())) << path;
    ASSERT_TRUE(file.sha256);
    EXPECT_EQ(hexDigest(*file.sha256), hexDigest(sha256(bytes.data(), bytes.size()))) << path;
  }
  // A reader not asked to digest gives the path alone.
  LineReader plain;
  openLineReaderOnText(plain, "memory", text);
  while (readLine(plain) != nullptr) {
  }
  EXPECT_FALSE(logInputFile(plain).bytes || logInputFile(plain).sha256);
}

}  // namespace
}  // namespace scalesum
