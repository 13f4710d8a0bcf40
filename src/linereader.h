#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sha256.h"

struct z_stream_s;  // zlib's inflater

namespace scalesum {

// The chunk size with which whole files are read.
inline constexpr int kLineBufferSize = 655360;

// A kind of compressed data, told by its first bytes, and the command that writes them out
// plain.
struct Compression {
  const char* name;
  const char* command;
  bool inflated;  // whether LineReader undoes it itself
};

// The most bytes that compressionOf looks at.
inline constexpr size_t kMagicBytes = 6;

// Returns the compression (gzip, xz, zstd or bzip2) whose magic bytes begin the `size` bytes at
// `bytes`, or null.
const Compression* compressionOf(const unsigned char* bytes, size_t size);

// A whole file split into lines.
struct TextFile {
  std::string path;
  int32_t lineCount = 0;
  int32_t longestLine = 0;
  int64_t byteCount = 0;
  Sha256Digest digest{};  // of its bytes as read
  std::vector<std::string> lines;
  const Compression* compression = nullptr;  // what the first bytes show, read as text all the same
};

// Returns `text` split into lines as splitLines does, as the text of a file named `name`.
TextFile textFileOf(const char* name, std::string_view text);

// Reads the file at `path` whole and splits it into lines as splitLines does; fails when
// the file cannot be opened or read.
TextFile readTextFile(const char* path);

// Reads a file, a pipe, standard input ("-") or text in memory line by line, once and in order,
// through one growing buffer: lines of any length arrive whole. A source whose first bytes are
// the gzip magic bytes is decompressed on the fly; one of another compression is read as text.
struct LineReader {
  std::string path;
  int fd = -1;                               // the file, or -1 when the source is `text`
  std::string_view text;                     // what is left of the text in memory that is read
  const Compression* compression = nullptr;  // what the first bytes show
  ::z_stream_s* inflater = nullptr;          // set while a compressed source is read
  std::vector<unsigned char> packed;         // compressed bytes read but not yet inflated
  size_t packedBegin = 0;
  size_t packedEnd = 0;
  bool sourceAtEnd = false;  // the file or pipe has no more bytes
  bool membersDone = false;  // the last gzip member has ended
  std::vector<char> buffer;
  size_t begin = 0;  // first byte not yet handed out
  size_t end = 0;    // one past the last byte read
  bool atEnd = false;
  int64_t lineNumber = 0;  // 1-based number of the line last returned
  bool lineEnded = true;   // whether the line last returned ended with a line feed
  // Set before opening, to digest the source's bytes as read (compressed ones before
  // inflating); once readLine has returned null, `digest` and `sourceBytes` cover them all.
  bool digesting = false;
  Sha256 digest;
  int64_t sourceBytes = 0;

  LineReader() = default;
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;
  ~LineReader();
};

// The path that stands for standard input.
inline constexpr const char* kStandardInput = "-";

// Opens `path` ("-": standard input) for `reader`; returns false when it cannot be opened.
// Opening a named pipe waits for its writer.
bool openLineReader(LineReader& reader, const char* path);

// Opens `text` for `reader` as the bytes of a file named `name`; the text must outlive the
// reading.
void openLineReaderOnText(LineReader& reader, const char* name, std::string_view text);

// Closes the reader's file, if open.
void closeLineReader(LineReader& reader);

// Returns the next line, NUL-terminated in place without its line feed and modifiable until
// the next call, and stores its length; returns null at the end of the file. Lines end at line
// feeds alone, as the logs are written: a carriage return or a NUL stays in the line, for the
// caller to judge. Fails when the file cannot be read.
char* readLine(LineReader& reader, size_t* length = nullptr);

}  // namespace scalesum
