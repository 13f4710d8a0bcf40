#pragma once

// The retained samples of one log, read once from its text and replayed as often as the run
// needs, from memory or from a temporary file.
//
// Layout: one entry per retained sample, in file order, packed without padding (native byte
// order, read back only by the process that wrote it):
//
//   bytes  0-3   iteration (field 0), int32
//   bytes  4-7   K, the number of scalar groups (field 3), int32
//   bytes  8-15  sigma (field 5), double
//   bytes 16-47  fields 1, 2, 4 and 6 read as reals, four doubles
//   byte  48     which of fields 1, 2, 4, 5 and 6 begin with no number (bits 0 to 4)
//   then K groups of 12 bytes: the node position (bits 0-30) and the subtree flag (bit 31),
//   uint32, then the scalar, double
//
// so 49 bytes per sample and 12 per group: 10^5 samples of 10 groups take 16.7 MB.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "sha256.h"

namespace scalesum {

inline constexpr size_t kSampleEntryBytes = 49;
inline constexpr size_t kGroupEntryBytes = 12;
// The global fields kept besides the iteration, K and sigma, and their bits in the flags.
inline constexpr int kGlobalFields[] = {1, 2, 4, 6};
inline constexpr int kGlobalFieldCount = 4;

// Returns the bit that marks field `field` (1, 2, 4, 5 or 6) of a sample as no number.
constexpr uint8_t notANumberBit(int field) {
  return static_cast<uint8_t>(1u << (field == 1   ? 0
                                     : field == 2 ? 1
                                     : field == 4 ? 2
                                     : field == 5 ? 3
                                                  : 4));
}

// One scalar group of a sample: a node position, and whether the scalar stretches the node's
// whole subtree or its own branch only.
struct SampleGroup {
  uint32_t position = 0;
  bool subtree = false;
  double scalar = 0.0;
};

// One retained sample as replayed; `groups` holds `groupCount` packed groups (see groupAt) and
// is valid until the next sample is read.
struct SampleEntry {
  int32_t iteration = 0;
  int32_t groupCount = 0;
  double sigma = 0.0;
  double globals[kGlobalFieldCount] = {};
  uint8_t notANumber = 0;
  const unsigned char* groups = nullptr;
};

// Returns group `g` of `entry`.
SampleGroup groupAt(const SampleEntry& entry, int32_t g);

// A retained line that the checks of the samples reject, kept until they run so that faults
// of the text itself, anywhere in the log, are reported first.
struct SampleFault {
  int64_t sampleIndex = 0;  // the sample the line would have been
  std::string message;      // the whole message, for standard output and exit status 1
};

// Where a record may keep its entries: in memory while `limitBytes`, less `reservePerSample`
// for each sample so far, leaves room; beyond that in a temporary file in `tempDir`.
struct RecordLimit {
  int64_t limitBytes = INT64_MAX;
  int64_t reservePerSample = 0;
  std::string tempDir;
};

// An open temporary file without a name; closing it frees it.
struct SpillFile {
  int fd = -1;

  SpillFile() = default;
  SpillFile(SpillFile&& other) noexcept;
  SpillFile& operator=(SpillFile&& other) noexcept;
  ~SpillFile();
};

// The retained samples of one log and what the log says about all of them.
struct SampleRecord {
  std::string path;                     // the log's, for messages
  std::vector<std::string> fieldNames;  // the fields of the log's header line
  int64_t sampleLineCount = 0;          // lines of two fields or more, retained or not
  int32_t firstIteration = 0;           // the first sample line's, retained or not
  int64_t sampleCount = 0;              // retained sample lines
  int64_t skipped = 0;  // entries before the retained ones, dropped by a share as burn-in
  int64_t groupCount = 0;
  int64_t lastRetainedLine = 0;  // its 1-based line number in the log
  bool tooManySamples = false;   // more retained lines than a sample index can count
  std::vector<SampleFault> faults;
  RecordLimit limit;
  // Entries in memory, in pieces that no entry straddles: all of them, or those not yet
  // written to the temporary file.
  std::vector<std::vector<unsigned char>> chunks;
  int64_t inMemoryBytes = 0;
  SpillFile spill;  // the temporary file, when the entries are there
  int64_t spilledBytes = 0;
  // While the log is read: the digest of each retained line's text, in order. They are not
  // counted in recordBytes: they are freed before the run plans its memory, and until then
  // they take less than the room kept for each sample (limit.reservePerSample) for summaries
  // not yet begun. A deque grows without copying them.
  std::deque<Sha256Digest> lineDigests;
  // The digest of the line digests of the samples after the burn-in, in order: two records
  // with the same samples, text for text, have the same one.
  Sha256Digest fingerprint{};
};

// Appends one retained sample with `groups` packed groups (see packGroup); the record moves
// to its temporary file when its limit is reached.
void appendSample(SampleRecord& record, const SampleEntry& sample, const unsigned char* groups);

// Packs `group` into the 12 bytes at `to`.
void packGroup(const SampleGroup& group, unsigned char* to);

// Returns the bytes the record's entries take, in memory and in its temporary file together.
int64_t recordBytes(const SampleRecord& record);

// Returns whether the record keeps its entries in a temporary file.
inline bool isSpilled(const SampleRecord& record) {
  return record.spill.fd >= 0;
}

// Moves all of the record's entries to a temporary file, unless they are there already.
void spillRecord(SampleRecord& record);

// Ends the appending: whatever of a spilled record is still in memory goes to its file.
void finishRecord(SampleRecord& record);

// Sets the record's fingerprint from the digests of the lines that the burn-in left, and frees
// the digests.
void fingerprintRecord(SampleRecord& record);

// Returns the folder for temporary files: `chosen` when given, else $TMPDIR, else /tmp.
std::string temporaryFolder(const std::string& chosen);

// Where one replay of a record stands: the chunk and byte read next, or the file's bytes read
// into `window`, and the samples replayed. Each replay has its own, so that two replays of one
// record cannot disturb each other.
struct RecordCursor {
  size_t chunkAt = 0;
  size_t readAt = 0;
  std::vector<unsigned char> window;
  int64_t fileAt = 0;
  int64_t replayed = 0;
};

// Returns a cursor at the record's first retained sample. Ends the process when the temporary
// file cannot be read.
RecordCursor startReplay(const SampleRecord& record);

// Reads the sample at `cursor` into `entry` and moves the cursor on; returns false after the
// last one. Ends the process when the temporary file cannot be read.
bool nextSample(const SampleRecord& record, RecordCursor& cursor, SampleEntry& entry);

}  // namespace scalesum
