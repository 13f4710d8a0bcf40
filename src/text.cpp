#include "text.h"

#include <strings.h>

#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace scalesum {

int tokenize(char* text, char** tokens, int maxTokens) {
  if (maxTokens <= 0) return 0;
  char* p = text;
  for (int i = 0; i < maxTokens; ++i) {
    while (isSpace(static_cast<unsigned char>(*p))) ++p;
    if (*p == '\0') {
      tokens[i] = nullptr;
      return i;
    }
    tokens[i] = p;
    while (*p != '\0' && !isSpace(static_cast<unsigned char>(*p))) ++p;
    if (*p != '\0' && i < maxTokens - 1) *p++ = '\0';
  }
  return maxTokens;
}

void tokenizeAll(char* text, std::vector<char*>& tokens) {
  tokens.clear();
  char* p = text;
  for (;;) {
    while (isSpace(static_cast<unsigned char>(*p))) ++p;
    if (*p == '\0') return;
    tokens.push_back(p);
    while (*p != '\0' && !isSpace(static_cast<unsigned char>(*p))) ++p;
    if (*p == '\0') return;
    *p++ = '\0';
  }
}

std::vector<std::string> splitLines(const char* text, size_t length) {
  std::vector<std::string> lines;
  size_t start = 0;
  size_t i = 0;
  while (i < length) {
    const char c = text[i];
    if (c == '\r' || c == '\n' || c == '\0') {
      lines.emplace_back(text + start, i - start);
      i += (c == '\r' && i + 1 < length && text[i + 1] == '\n') ? 2 : 1;
      start = i;
    } else {
      ++i;
    }
  }
  lines.emplace_back(text + start, length - start);
  return lines;
}

int32_t parseInt(const char* text) {
  const char* p = text;
  while (isSpace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  // Accumulate as a negative number so that INT32_MIN needs no special case.
  int64_t value = 0;
  while (*p >= '0' && *p <= '9') {
    value = value * 10 - (*p++ - '0');
    if (value < INT32_MIN) {
      value = INT32_MIN - int64_t{1};  // saturated; keep consuming digits
    }
  }
  if (negative) return value < INT32_MIN ? INT32_MIN : static_cast<int32_t>(value);
  return -value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(-value);
}

double parseReal(const char* text) {
  const char* p = text;
  while (isSpace(static_cast<unsigned char>(*p))) ++p;
  // Plain decimals take the allocation-free correctly rounded path; hexadecimal reals, the
  // words for infinity and not-a-number, and results out of range go to the C library, which
  // rounds the same way.
  const char* digits = (*p == '+' || *p == '-') ? p + 1 : p;
  if ((*digits >= '0' && *digits <= '9') ||
      (*digits == '.' && digits[1] >= '0' && digits[1] <= '9')) {
    const bool hex = digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    if (!hex) {
      double value = 0.0;
      const char* last = digits + std::strlen(digits);
      const auto result = std::from_chars(digits, last, value, std::chars_format::general);
      if (result.ec == std::errc()) return *p == '-' ? -value : value;
    }
  }
  return std::atof(text);
}

bool beginsWithReal(const char* text) {
  const char* p = text;
  while (isSpace(static_cast<unsigned char>(*p))) ++p;
  if (*p == '+' || *p == '-') ++p;
  if (*p >= '0' && *p <= '9') return true;
  if (*p == '.') return p[1] >= '0' && p[1] <= '9';
  return strncasecmp(p, "inf", 3) == 0 || strncasecmp(p, "nan", 3) == 0;
}

bool beginsWithInteger(const char* text) {
  const char* p = (*text == '+' || *text == '-') ? text + 1 : text;
  return *p >= '0' && *p <= '9';
}

}  // namespace scalesum
