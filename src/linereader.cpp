#include "linereader.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "failure.h"
#include "text.h"

namespace scalesum {

// Allocation failures here name the module "genlib", as their messages always have.

namespace {

constexpr Compression kGzip{"gzip", "zcat", true};
constexpr Compression kXz{"xz", "xzcat", false};
constexpr Compression kZstd{"zstd", "zstdcat", false};
constexpr Compression kBzip2{"bzip2", "bzcat", false};

}  // namespace

const Compression* compressionOf(const unsigned char* bytes, size_t size) {
  auto startsWith = [&](const char* magic, size_t length) {
    return size >= length && std::memcmp(bytes, magic, length) == 0;
  };
  if (startsWith("\x1f\x8b", 2)) return &kGzip;
  if (startsWith("\xfd\x37\x7a\x58\x5a\x00", 6)) return &kXz;
  if (startsWith("\x28\xb5\x2f\xfd", 4)) return &kZstd;
  // A block size digit follows; "BZh" alone could begin a word.
  if (startsWith("BZh", 3) && size >= 4 && bytes[3] >= '1' && bytes[3] <= '9') return &kBzip2;
  return nullptr;
}

TextFile readTextFile(const char* path) {
  FILE* stream = std::fopen(path, "rb");
  if (stream == nullptr) {
    fail(1, Stream::kStdoutThenStderr, "Could not open file %s for reading\n", path);
  }
  std::string text;
  std::vector<char> chunk(kLineBufferSize);
  for (;;) {
    const size_t got = std::fread(chunk.data(), 1, chunk.size(), stream);
    text.append(chunk.data(), got);
    if (got < chunk.size()) break;
  }
  const bool readError = std::ferror(stream) != 0;
  std::fclose(stream);
  if (readError) fail(1, Stream::kStdoutThenStderr, "Could not read file %s\n", path);
  return textFileOf(path, text);
}

TextFile textFileOf(const char* name, std::string_view text) {
  TextFile file;
  file.path = name;
  file.byteCount = static_cast<int64_t>(text.size());
  file.digest = sha256(text.data(), text.size());
  file.compression = compressionOf(reinterpret_cast<const unsigned char*>(text.data()),
                                   std::min(text.size(), kMagicBytes));
  file.lines = splitLines(text.data(), text.size());
  file.lineCount = static_cast<int32_t>(file.lines.size());
  for (const std::string& line : file.lines) {
    if (line.size() > static_cast<size_t>(file.longestLine)) {
      file.longestLine = static_cast<int32_t>(line.size());
    }
  }
  return file;
}

namespace {

constexpr size_t kPackedChunk = size_t{1} << 18;

// Counts, and digests when asked, the `size` bytes at `data` just read from the source.
void noteSourceBytes(LineReader& reader, const void* data, size_t size) {
  reader.sourceBytes += static_cast<int64_t>(size);
  if (reader.digesting && size > 0) sha256Update(reader.digest, data, size);
}

// Reads up to `room` bytes of the reader's file into `to`; returns 0 at its end. Ends the
// process when the file cannot be read.
size_t readSource(LineReader& reader, void* to, size_t room) {
  if (reader.fd < 0) {
    const size_t got = std::min(room, reader.text.size());
    if (got > 0) std::memcpy(to, reader.text.data(), got);
    reader.text.remove_prefix(got);
    noteSourceBytes(reader, to, got);
    return got;
  }
  ssize_t got;
  do {
    got = ::read(reader.fd, to, std::min<size_t>(room, INT_MAX));
  } while (got < 0 && errno == EINTR);
  if (got < 0) fail(1, Stream::kStdout, "Error reading file %s\n", reader.path.c_str());
  noteSourceBytes(reader, to, static_cast<size_t>(got));
  return static_cast<size_t>(got);
}

// Reads what is left of the source into the digest alone: bytes after the last compressed
// member are part of the file that was given, though no line comes from them.
void digestRest(LineReader& reader) {
  if (!reader.digesting) return;
  unsigned char rest[65536];
  while (!reader.sourceAtEnd) {
    if (readSource(reader, rest, sizeof rest) == 0) reader.sourceAtEnd = true;
  }
}

// Makes at least `wanted` compressed bytes wait in the reader's input unless its file ends
// first; returns whether they do.
bool havePacked(LineReader& reader, size_t wanted) {
  while (reader.packedEnd - reader.packedBegin < wanted && !reader.sourceAtEnd) {
    if (reader.packedBegin > 0) {
      std::memmove(reader.packed.data(), reader.packed.data() + reader.packedBegin,
                   reader.packedEnd - reader.packedBegin);
      reader.packedEnd -= reader.packedBegin;
      reader.packedBegin = 0;
    }
    const size_t got = readSource(reader, reader.packed.data() + reader.packedEnd,
                                  reader.packed.size() - reader.packedEnd);
    if (got == 0) reader.sourceAtEnd = true;
    reader.packedEnd += got;
  }
  return reader.packedEnd - reader.packedBegin >= wanted;
}

bool startsMember(const LineReader& reader) {
  return reader.packed[reader.packedBegin] == 0x1f && reader.packed[reader.packedBegin + 1] == 0x8b;
}

[[noreturn]] void failCompressed(const LineReader& reader, const char* reason) {
  fail(1, Stream::kStdout, "Error in %s: the compressed data are corrupt or cut short (%s)\n",
       reader.path.c_str(), reason);
}

// Inflates up to `room` bytes into `to`; returns 0 at the end of the data. Members follow one
// another as gzip reads them; bytes after a member that start no new one are ignored, as
// zlib's own reader does.
size_t inflateSome(LineReader& reader, char* to, size_t room) {
  z_stream& stream = *reader.inflater;
  while (!reader.membersDone) {
    if (!havePacked(reader, 1)) failCompressed(reader, "unexpected end of file");
    stream.next_in = reader.packed.data() + reader.packedBegin;
    stream.avail_in = static_cast<uInt>(reader.packedEnd - reader.packedBegin);
    stream.next_out = reinterpret_cast<Bytef*>(to);
    stream.avail_out = static_cast<uInt>(std::min<size_t>(room, UINT_MAX));
    const int status = ::inflate(&stream, Z_NO_FLUSH);
    reader.packedBegin = reader.packedEnd - stream.avail_in;
    const size_t produced = std::min<size_t>(room, UINT_MAX) - stream.avail_out;
    if (status == Z_STREAM_END) {
      if (havePacked(reader, 2) && startsMember(reader)) {
        ::inflateReset(&stream);
      } else {
        reader.membersDone = true;
      }
    } else if (status == Z_NEED_DICT) {
      failCompressed(reader, "compressed data error -- preset dictionary");
    } else if (status == Z_DATA_ERROR || status == Z_MEM_ERROR || status == Z_STREAM_ERROR) {
      failCompressed(reader, stream.msg != nullptr ? stream.msg : "compressed data error");
    }
    if (produced > 0) return produced;
  }
  return 0;
}

// Starts reading the source just opened for `reader` from its first byte.
void startReading(LineReader& reader) {
  if (reader.buffer.empty()) reader.buffer.resize(size_t{1} << 20);
  reader.begin = reader.end = 0;
  reader.atEnd = false;
  reader.lineNumber = 0;
  reader.lineEnded = true;
  reader.packedBegin = reader.packedEnd = 0;
  reader.sourceAtEnd = reader.membersDone = false;
  reader.sourceBytes = 0;
  if (reader.digesting) sha256Init(reader.digest);
  // Compression is told by the content, never by the name. A pipe cannot be read twice, so
  // the first bytes are kept and handed on: to the inflater, or as the text's first.
  unsigned char magic[kMagicBytes];
  size_t peeked = 0;
  while (peeked < kMagicBytes && !reader.sourceAtEnd) {
    const size_t got = readSource(reader, magic + peeked, kMagicBytes - peeked);
    if (got == 0) reader.sourceAtEnd = true;
    peeked += got;
  }
  reader.compression = compressionOf(magic, peeked);
  if (reader.compression != nullptr && reader.compression->inflated) {
    reader.packed.resize(kPackedChunk);
    std::memcpy(reader.packed.data(), magic, peeked);
    reader.packedEnd = peeked;
    reader.inflater = new (std::nothrow) z_stream{};
    if (reader.inflater == nullptr || ::inflateInit2(reader.inflater, 15 + 16) != Z_OK) {
      reportAllocationError("genlib", 3);
    }
  } else {
    // Room for the bytes and the terminator the last line may need.
    if (reader.buffer.size() < kMagicBytes + 1) reader.buffer.resize(kMagicBytes + 1);
    std::memcpy(reader.buffer.data(), magic, peeked);
    reader.end = peeked;
    std::vector<unsigned char>().swap(reader.packed);
  }
}

}  // namespace

bool openLineReader(LineReader& reader, const char* path) {
  closeLineReader(reader);
  reader.path = path;
  // Standard input is read through a descriptor of the reader's own, which it may close.
  reader.fd = std::strcmp(path, kStandardInput) == 0 ? ::fcntl(0, F_DUPFD_CLOEXEC, 0)
                                                     : ::open(path, O_RDONLY | O_CLOEXEC);
  if (reader.fd < 0) return false;
  startReading(reader);
  return true;
}

void openLineReaderOnText(LineReader& reader, const char* name, std::string_view text) {
  closeLineReader(reader);
  reader.path = name;
  reader.text = text;
  startReading(reader);
}

LineReader::~LineReader() {
  closeLineReader(*this);
}

void closeLineReader(LineReader& reader) {
  if (reader.inflater != nullptr) {
    ::inflateEnd(reader.inflater);
    delete reader.inflater;
  }
  reader.inflater = nullptr;
  if (reader.fd >= 0) ::close(reader.fd);
  reader.fd = -1;
  reader.text = {};
}

char* readLine(LineReader& reader, size_t* length) {
  size_t scanned = reader.begin;
  for (;;) {
    char* data = reader.buffer.data();
    if (void* found = std::memchr(data + scanned, '\n', reader.end - scanned)) {
      char* newline = static_cast<char*>(found);
      *newline = '\0';
      char* line = data + reader.begin;
      if (length != nullptr) *length = static_cast<size_t>(newline - line);
      reader.begin = static_cast<size_t>(newline - data) + 1;
      ++reader.lineNumber;
      reader.lineEnded = true;
      return line;
    }
    scanned = reader.end;
    if (reader.atEnd) {
      if (reader.begin == reader.end) {
        digestRest(reader);
        return nullptr;
      }
      // The last line has no line feed; the byte kept free after the data terminates it.
      char* line = data + reader.begin;
      data[reader.end] = '\0';
      if (length != nullptr) *length = reader.end - reader.begin;
      reader.begin = reader.end;
      ++reader.lineNumber;
      reader.lineEnded = false;
      return line;
    }
    // Keep the unfinished line, moved to the front, and read more behind it.
    if (reader.begin > 0) {
      std::memmove(data, data + reader.begin, reader.end - reader.begin);
      reader.end -= reader.begin;
      scanned -= reader.begin;
      reader.begin = 0;
    }
    if (reader.buffer.size() - reader.end < 2) {
      try {
        reader.buffer.resize(reader.buffer.size() * 2);
      } catch (const std::bad_alloc&) {
        reportAllocationError("genlib", 1);
      }
      data = reader.buffer.data();
    }
    const size_t room = reader.buffer.size() - 1 - reader.end;
    const size_t got = reader.inflater != nullptr
                           ? inflateSome(reader, data + reader.end, room)
                           : (reader.sourceAtEnd ? 0 : readSource(reader, data + reader.end, room));
    if (got == 0) reader.atEnd = true;
    reader.end += got;
  }
}

}  // namespace scalesum
