// The least a run can cost: read a log once and parse every tab-separated field as a real with
// std::from_chars, and nothing else. bench/report_cost.sh prints the report's time as a multiple
// of this program's.
//
//   parse_floor LOG
//
// Prints the number of lines, of fields read as reals and of other fields, and a checksum of the
// reals, so that the compiler cannot drop the parsing.

#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr size_t kChunk = size_t{1} << 22;

struct Tally {
  unsigned long long lines = 0;
  unsigned long long reals = 0;
  unsigned long long others = 0;
  double checksum = 0.0;
};

// Parses the fields of every complete line in [begin, end); returns where the unfinished last
// line starts.
const char* parseLines(const char* begin, const char* end, Tally& tally) {
  const char* field = begin;
  const char* lineStart = begin;
  for (const char* p = begin; p < end; ++p) {
    if (*p != '\t' && *p != '\n') continue;
    if (p > field) {
      double value = 0.0;
      const auto parsed = std::from_chars(field, p, value);
      if (parsed.ec == std::errc() && parsed.ptr == p) {
        ++tally.reals;
        tally.checksum += value;
      } else {
        ++tally.others;
      }
    }
    field = p + 1;
    if (*p == '\n') {
      ++tally.lines;
      lineStart = p + 1;
    }
  }
  return lineStart;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: parse_floor LOG\n");
    return 2;
  }
  std::FILE* in = std::fopen(argv[1], "rb");
  if (in == nullptr) {
    std::fprintf(stderr, "parse_floor: cannot open %s\n", argv[1]);
    return 1;
  }
  // A line may span two reads, so the buffer holds two chunks.
  const std::unique_ptr<char[]> buffer(new char[2 * kChunk + 1]);
  size_t held = 0;
  Tally tally;
  for (;;) {
    const size_t got = std::fread(buffer.get() + held, 1, kChunk, in);
    held += got;
    if (got == 0) break;
    const char* rest = parseLines(buffer.get(), buffer.get() + held, tally);
    const size_t kept = static_cast<size_t>(buffer.get() + held - rest);
    if (kept > kChunk) {
      std::fprintf(stderr, "parse_floor: a line is longer than %zu bytes\n", kChunk);
      return 1;
    }
    std::memmove(buffer.get(), rest, kept);
    held = kept;
  }
  const bool failed = std::ferror(in) != 0;
  std::fclose(in);
  if (failed) {
    std::fprintf(stderr, "parse_floor: cannot read %s\n", argv[1]);
    return 1;
  }
  if (held > 0) {
    buffer[held] = '\n';
    parseLines(buffer.get(), buffer.get() + held + 1, tally);
  }
  std::printf("lines %llu reals %llu others %llu checksum %.17g\n", tally.lines, tally.reals,
              tally.others, tally.checksum);
  return 0;
}
