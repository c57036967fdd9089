#include "config/number_scan.h"

#include <climits>

namespace xarvel {
namespace {

// The white space of isspace() in the C locale: the blank and '\t' '\n' '\v' '\f' '\r' (9..13).
bool IsSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// The digit's value, or 10 and more for any other character.
unsigned DigitValue(char c) {
  return static_cast<unsigned char>(c) - static_cast<unsigned>('0');
}

int ClampToInt(long long v) {
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

}  // namespace

size_t ScanLongLong(std::string_view text, long long& value) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const size_t digits_start = i;
  unsigned long long magnitude = 0;
  const unsigned long long limit = negative ? static_cast<unsigned long long>(LLONG_MAX) + 1
                                            : static_cast<unsigned long long>(LLONG_MAX);
  while (i < text.size()) {
    const unsigned digit = DigitValue(text[i]);
    if (digit > 9) break;
    magnitude = (magnitude > (limit - digit) / 10) ? limit : magnitude * 10 + digit;
    ++i;
  }
  if (i == digits_start) return 0;
  if (negative) {
    value = magnitude == limit ? LLONG_MIN : -static_cast<long long>(magnitude);
  } else {
    value = static_cast<long long>(magnitude);
  }
  return i;
}

bool ScanLong(std::string_view text, long& value) {
  long long v = 0;
  if (ScanLongLong(text, v) == 0) return false;
  value = static_cast<long>(v);  // long is 64 bits on the targets; no narrowing happens there
  return true;
}

bool ScanUnsigned(std::string_view text, unsigned& value) {
  long long v = 0;
  if (ScanLongLong(text, v) == 0) return false;
  if (v > static_cast<long long>(UINT_MAX) || v < -static_cast<long long>(UINT_MAX)) {
    value = UINT_MAX;
  } else {
    value = static_cast<unsigned>(v);
  }
  return true;
}

bool ScanDecimal(std::string_view text, int& value) {
  long long v = 0;
  if (ScanLongLong(text, v) == 0) return false;
  value = ClampToInt(v);
  return true;
}

int ScanDecimals(std::string_view text, char separator, std::initializer_list<int*> targets) {
  int stored = 0;
  for (int* target : targets) {
    if (stored > 0) {
      if (text.empty() || text.front() != separator) break;
      text.remove_prefix(1);
    }
    long long v = 0;
    const size_t used = ScanLongLong(text, v);
    if (used == 0) break;
    *target = ClampToInt(v);
    text.remove_prefix(used);
    ++stored;
  }
  return stored;
}

}  // namespace xarvel
