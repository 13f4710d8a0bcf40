#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct z_stream_s;  // zlib's inflater

namespace scalesum {

// The chunk size with which whole files are read.
inline constexpr int kLineBufferSize = 655360;

// Where a failure message goes.
enum class Stream { kStdout, kStderr, kStdoutThenStderr, kStderrThenStdout };

// Writes the formatted message to `stream` and ends the process with `status`; the single way
// the program fails. A message for standard output alone is also written to standard error when
// the two are not the same open file. Safe to call from any thread: the first caller wins, the
// others wait.
[[noreturn]] void fail(int status, Stream stream, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Rejects input: writes "Error in <path> line <line>: <formatted reason>" and a line feed to
// standard output and ends the process with status 1.
[[noreturn]] void failAtLine(const char* path, int64_t line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Reports that allocation site `line` of `module` could not get its memory, and ends the
// process with status 1.
[[noreturn]] void reportAllocationError(const char* module, int line);

// A routine that fail() hands each failure to instead of printing it and ending the process.
// It must not return (it may throw); fuzzing uses it to keep the process alive.
using FailureHook = void (*)(int status, const char* message);

// Installs `hook` (or removes it, given nullptr).
void setFailureHook(FailureHook hook);

// A routine that fail() runs before it reports a failure, to undo what the run has left on disk.
// It must be safe to run on any thread while others still work, and must not allocate.
using FailureCleanup = void (*)();

// Adds `cleanup` to those fail() runs, in the order added; adding one twice keeps one. There is
// room for four.
void addFailureCleanup(FailureCleanup cleanup);

// Opens a new file without a name in `folder` for `access` (O_WRONLY or O_RDWR), for its owner
// alone; the file goes with the process, however that ends, unless linked to a name. Returns -1
// with errno set when it cannot, EOPNOTSUPP where the file system has no such files.
int openUnnamedFile(const std::string& folder, int access);

// Splits `text` in place into at most `maxTokens` whitespace-separated tokens and returns how
// many it stored; the slot after the last token is set to null when the text ran out first.
// The last slot's token runs to the end of the text.
int tokenize(char* text, char** tokens, int maxTokens);

// Splits `text` in place into all its whitespace-separated tokens, reusing `tokens`.
void tokenizeAll(char* text, std::vector<char*>& tokens);

// Returns whether `c` is whitespace in the default locale (bytes >= 0x80 never are).
inline bool isSpace(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Returns the lines of `length` bytes of text: line ends are CR LF, a lone CR, a LF, or a NUL.
std::vector<std::string> splitLines(const char* text, size_t length);

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
  std::vector<std::string> lines;
  const Compression* compression = nullptr;  // what the first bytes show, read as text all the same
};

// Reads the file at `path` whole and splits it into lines; ends the process when the file
// cannot be opened or read.
TextFile readTextFile(const char* path);

// Returns the integer at the start of `text` as atoi reads it, clamped to the 32-bit range.
int32_t parseInt(const char* text);

// Returns the real at the start of `text` exactly as atof reads it.
double parseReal(const char* text);

// Returns whether `text` starts with a real that parseReal reads, rather than reading as 0 for
// want of one.
bool beginsWithReal(const char* text);

// Returns whether `text` starts with an integer: an optional sign, then a decimal digit.
bool beginsWithInteger(const char* text);

// Reads a file, a pipe or standard input ("-") line by line, once and in order, through one
// growing buffer: lines of any length arrive whole. A source whose first bytes are the gzip
// magic bytes is decompressed on the fly; one of another compression is read as text.
struct LineReader {
  std::string path;
  int fd = -1;
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

// Closes the reader's file, if open.
void closeLineReader(LineReader& reader);

// Returns the next line, NUL-terminated in place without its line feed and modifiable until
// the next call, and stores its length; returns null at the end of the file. Ends the process
// when the file cannot be read.
char* readLine(LineReader& reader, size_t* length = nullptr);

}  // namespace scalesum
