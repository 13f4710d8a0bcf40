// The least a run can cost: read a log once and parse every tab-separated field as a real with
// std::from_chars, and nothing else. bench/report_cost.sh prints the report's time as a multiple
// of this program's.
//
//   parse_floor ROUNDS LOG...
//
// Reads the logs ROUNDS times (a log of a few MB takes less than the 10 ms that /usr/bin/time
// resolves) and prints the number of lines, of fields read as reals and of other fields, and a
// checksum of the reals, so that the compiler cannot drop the parsing.

#include <charconv>
#include <cstdio>
#include <cstdlib>
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

// Reads and parses the log at `path` into `tally`; false when it cannot.
bool parseLog(const char* path, char* buffer, Tally& tally) {
  std::FILE* in = std::fopen(path, "rb");
  if (in == nullptr) {
    std::fprintf(stderr, "parse_floor: cannot open %s\n", path);
    return false;
  }
  size_t held = 0;
  for (;;) {
    const size_t got = std::fread(buffer + held, 1, kChunk, in);
    held += got;
    if (got == 0) break;
    const char* rest = parseLines(buffer, buffer + held, tally);
    const size_t kept = static_cast<size_t>(buffer + held - rest);
    if (kept > kChunk) {
      std::fprintf(stderr, "parse_floor: a line is longer than %zu bytes\n", kChunk);
      std::fclose(in);
      return false;
    }
    std::memmove(buffer, rest, kept);
    held = kept;
  }
  const bool failed = std::ferror(in) != 0;
  std::fclose(in);
  if (failed) {
    std::fprintf(stderr, "parse_floor: cannot read %s\n", path);
    return false;
  }
  if (held > 0) {
    buffer[held] = '\n';
    parseLines(buffer, buffer + held + 1, tally);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc >= 3 ? std::atoi(argv[1]) : 0;
  if (rounds < 1) {
    std::fprintf(stderr, "usage: parse_floor ROUNDS LOG...\n");
    return 2;
  }
  // A line may span two reads, so the buffer holds two chunks.
  const std::unique_ptr<char[]> buffer(new char[2 * kChunk + 1]);
  Tally tally;
  for (int round = 0; round < rounds; ++round) {
    for (int i = 2; i < argc; ++i) {
      if (!parseLog(argv[i], buffer.get(), tally)) return 1;
    }
  }
  std::printf("lines %llu reals %llu others %llu checksum %.17g\n", tally.lines, tally.reals,
              tally.others, tally.checksum);
  return 0;
}
