#include "samplerecord.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "failure.h"
#include "output.h"

namespace scalesum {

namespace {

// Entries are written to and read from the temporary file in pieces of this size.
constexpr size_t kSpillChunk = size_t{1} << 20;

constexpr uint32_t kSubtreeBit = 0x80000000u;

[[noreturn]] void failTemporary(const SampleRecord& record, const char* doing, int error) {
  fail(1, Stream::kStderr, "Error %s a temporary file in %s: %s\n", doing,
       record.limit.tempDir.c_str(), std::strerror(error));
}

void writeAll(SampleRecord& record, const unsigned char* data, size_t size) {
  while (size > 0) {
    const ssize_t put = ::write(record.spill.fd, data, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) failTemporary(record, "writing", put < 0 ? errno : ENOSPC);
    data += put;
    size -= static_cast<size_t>(put);
    record.spilledBytes += put;
  }
}

void flushToFile(SampleRecord& record) {
  for (const std::vector<unsigned char>& chunk : record.chunks) {
    writeAll(record, chunk.data(), chunk.size());
  }
  record.chunks.clear();
}

// Makes `wanted` bytes of entries wait in the cursor's window at cursor.readAt, reading on in
// the temporary file; returns false when the file ends first.
bool haveFileBytes(const SampleRecord& record, RecordCursor& cursor, size_t wanted) {
  std::vector<unsigned char>& window = cursor.window;
  if (window.size() - cursor.readAt >= wanted) return true;
  window.erase(window.begin(), window.begin() + static_cast<std::ptrdiff_t>(cursor.readAt));
  cursor.readAt = 0;
  while (window.size() < wanted && cursor.fileAt < record.spilledBytes) {
    const size_t kept = window.size();
    const size_t piece = std::max(kSpillChunk, wanted - kept);
    try {
      window.resize(kept + piece);
    } catch (const std::bad_alloc&) {
      reportAllocationError("Scalesum", 8);
    }
    ssize_t got;
    do {
      got = ::pread(record.spill.fd, window.data() + kept, piece, cursor.fileAt);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) failTemporary(record, "reading", got < 0 ? errno : EIO);
    window.resize(kept + static_cast<size_t>(got));
    cursor.fileAt += got;
  }
  return window.size() >= wanted;
}

// Returns the next `size` bytes of a replay, or null at its end.
const unsigned char* takeBytes(const SampleRecord& record, RecordCursor& cursor, size_t size) {
  static const unsigned char kNothing = 0;
  if (size == 0) return &kNothing;
  if (isSpilled(record)) {
    if (!haveFileBytes(record, cursor, size)) return nullptr;
    const unsigned char* at = cursor.window.data() + cursor.readAt;
    cursor.readAt += size;
    return at;
  }
  while (cursor.chunkAt < record.chunks.size() &&
         cursor.readAt == record.chunks[cursor.chunkAt].size()) {
    ++cursor.chunkAt;
    cursor.readAt = 0;
  }
  if (cursor.chunkAt == record.chunks.size()) return nullptr;
  const std::vector<unsigned char>& chunk = record.chunks[cursor.chunkAt];
  if (chunk.size() - cursor.readAt < size) return nullptr;
  const unsigned char* at = chunk.data() + cursor.readAt;
  cursor.readAt += size;
  return at;
}

}  // namespace

SpillFile::SpillFile(SpillFile&& other) noexcept : fd(std::exchange(other.fd, -1)) {}

SpillFile& SpillFile::operator=(SpillFile&& other) noexcept {
  if (this != &other) {
    if (fd >= 0) ::close(fd);
    fd = std::exchange(other.fd, -1);
  }
  return *this;
}

SpillFile::~SpillFile() {
  if (fd >= 0) ::close(fd);
}

SampleGroup groupAt(const SampleEntry& entry, int32_t g) {
  const unsigned char* at = entry.groups + kGroupEntryBytes * static_cast<size_t>(g);
  uint32_t word;
  SampleGroup group;
  std::memcpy(&word, at, sizeof word);
  std::memcpy(&group.scalar, at + 4, sizeof group.scalar);
  group.position = word & ~kSubtreeBit;
  group.subtree = (word & kSubtreeBit) != 0;
  return group;
}

void packGroup(const SampleGroup& group, unsigned char* to) {
  const uint32_t word = group.position | (group.subtree ? kSubtreeBit : 0u);
  std::memcpy(to, &word, sizeof word);
  std::memcpy(to + 4, &group.scalar, sizeof group.scalar);
}

void appendSample(SampleRecord& record, const SampleEntry& sample, const unsigned char* groups) {
  const size_t groupBytes = kGroupEntryBytes * static_cast<size_t>(sample.groupCount);
  const size_t size = kSampleEntryBytes + groupBytes;
  try {
    if (record.chunks.empty() ||
        record.chunks.back().capacity() - record.chunks.back().size() < size) {
      if (isSpilled(record)) flushToFile(record);
      record.chunks.emplace_back().reserve(std::max(kSpillChunk, size));
    }
  } catch (const std::bad_alloc&) {
    reportAllocationError("Scalesum", 9);
  }
  std::vector<unsigned char>& chunk = record.chunks.back();
  const size_t at = chunk.size();
  chunk.resize(at + size);  // within the capacity: no copy, no failure
  unsigned char* to = chunk.data() + at;
  std::memcpy(to, &sample.iteration, 4);
  std::memcpy(to + 4, &sample.groupCount, 4);
  std::memcpy(to + 8, &sample.sigma, 8);
  std::memcpy(to + 16, sample.globals, 8 * kGlobalFieldCount);
  to[48] = sample.notANumber;
  if (groupBytes > 0) std::memcpy(to + kSampleEntryBytes, groups, groupBytes);
  ++record.sampleCount;
  record.groupCount += sample.groupCount;
  record.inMemoryBytes += static_cast<int64_t>(size);
  if (isSpilled(record)) return;
  // The histories and the summaries' scratch grow with the samples too: the record keeps out
  // of the room that they will need.
  const int64_t reserved = record.limit.reservePerSample * record.sampleCount;
  if (record.inMemoryBytes > record.limit.limitBytes - reserved) spillRecord(record);
}

int64_t recordBytes(const SampleRecord& record) {
  return record.spilledBytes + record.inMemoryBytes;
}

void fingerprintRecord(SampleRecord& record) {
  Sha256 hash;
  sha256Init(hash);
  const auto skipped =
      static_cast<size_t>(std::min<int64_t>(record.skipped, std::ssize(record.lineDigests)));
  for (auto at = record.lineDigests.begin() + static_cast<std::ptrdiff_t>(skipped);
       at != record.lineDigests.end(); ++at) {
    sha256Update(hash, at->data(), at->size());
  }
  record.fingerprint = sha256Final(hash);
  std::deque<Sha256Digest>().swap(record.lineDigests);
}

std::string temporaryFolder(const std::string& chosen) {
  if (!chosen.empty()) return chosen;
  const char* fromEnvironment = std::getenv("TMPDIR");
  return fromEnvironment != nullptr && *fromEnvironment != '\0' ? fromEnvironment : "/tmp";
}

void spillRecord(SampleRecord& record) {
  if (isSpilled(record)) return;
  // Without a name the file goes with the process, however the process ends: success, a
  // failure, a signal, or a kill that no handler sees. Where the file system cannot make one,
  // the name goes right after it is made.
  record.spill.fd = openUnnamedFile(record.limit.tempDir, O_RDWR);
  if (record.spill.fd < 0 && errno == EOPNOTSUPP) {
    std::string name = record.limit.tempDir + "/.scalesum-record-XXXXXX";
    record.spill.fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (record.spill.fd >= 0) ::unlink(name.c_str());
  }
  if (record.spill.fd < 0) failTemporary(record, "creating", errno);
  flushToFile(record);
  record.inMemoryBytes = 0;
}

void finishRecord(SampleRecord& record) {
  if (!isSpilled(record)) return;
  flushToFile(record);
  record.inMemoryBytes = 0;
}

RecordCursor startReplay(const SampleRecord& record) {
  RecordCursor cursor;
  // The entries a share of the lines dropped are still stored: the replay reads past them.
  SampleEntry dropped;
  cursor.replayed = -record.skipped;
  while (cursor.replayed < 0 && nextSample(record, cursor, dropped)) {
  }
  return cursor;
}

bool nextSample(const SampleRecord& record, RecordCursor& cursor, SampleEntry& entry) {
  if (cursor.replayed == record.sampleCount) return false;
  const unsigned char* at = takeBytes(record, cursor, kSampleEntryBytes);
  if (at == nullptr) return false;
  std::memcpy(&entry.iteration, at, 4);
  std::memcpy(&entry.groupCount, at + 4, 4);
  std::memcpy(&entry.sigma, at + 8, 8);
  std::memcpy(entry.globals, at + 16, 8 * kGlobalFieldCount);
  entry.notANumber = at[48];
  entry.groups =
      takeBytes(record, cursor, kGroupEntryBytes * static_cast<size_t>(entry.groupCount));
  if (entry.groups == nullptr) return false;
  ++cursor.replayed;
  return true;
}

}  // namespace scalesum
