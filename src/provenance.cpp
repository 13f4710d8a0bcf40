#include "provenance.h"

namespace scalesum {

InputFile logInputFile(const LineReader& reader) {
  InputFile file;
  file.path = reader.path;
  if (!reader.digesting) return file;
  file.bytes = reader.sourceBytes;
  Sha256 finished = reader.digest;  // the reader's own state stays as it is
  file.sha256 = sha256Final(finished);
  return file;
}

InputFile textInputFile(const TextFile& file) {
  return {file.path, file.byteCount, file.digest};
}

LogProvenance logProvenance(const LineReader& reader, int64_t sampleLines, int64_t retained) {
  return {logInputFile(reader), sampleLines, sampleLines - retained, retained};
}

std::string hexDigest(const Sha256Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char byte : digest) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

}  // namespace scalesum
