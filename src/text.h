#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace scalesum {

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

// Returns the lines of `length` bytes of text, for files that may come from any system: a line
// ends at CR LF, a lone CR, a LF or a NUL. (Logs are read by readLine, whose lines end at LF.)
std::vector<std::string> splitLines(const char* text, size_t length);

// Returns the integer at the start of `text` as atoi reads it, clamped to the 32-bit range.
int32_t parseInt(const char* text);

// Returns the real at the start of `text` exactly as atof reads it.
double parseReal(const char* text);

// Returns whether `text` starts with a real that parseReal reads, rather than reading as 0 for
// want of one.
bool beginsWithReal(const char* text);

// Returns whether `text` starts with an integer: an optional sign, then a decimal digit.
bool beginsWithInteger(const char* text);

}  // namespace scalesum
