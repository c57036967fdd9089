// Reading numbers out of text the way the C library's "%d" family does it, without its
// undefined behaviour on overflow. The profile, the locked destinations file and the controller's
// replies all read their numbers with these.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string_view>

namespace xarvel {

// "%lld": leading white space, an optional sign, then digits up to the first other character.
// Returns the number of characters used (0 when there are no digits, `value` unchanged); a
// number beyond the range of long long is clamped to it.
size_t ScanLongLong(std::string_view text, long long& value);

// "%ld" as ScanLongLong (long is 64 bits on the targets).
bool ScanLong(std::string_view text, long& value);

// "%u": a sign is accepted and a negative number wraps, as the C library does it; anything
// beyond the range of unsigned becomes UINT_MAX.
bool ScanUnsigned(std::string_view text, unsigned& value);

// Decimal conversion as "%d" does it: leading white space, an optional sign, then digits up to
// the first other character. Returns false and leaves `value` unchanged when there are no
// digits. A number beyond the range of int is clamped to INT_MIN / INT_MAX.
bool ScanDecimal(std::string_view text, int& value);

// Reads numbers separated by `separator` as "%d<sep>%d<sep>..." does: each number may have
// leading white space, the separator must follow a number at once. Stores into targets[0],
// targets[1], ... until a number or a separator is missing, and returns how many were stored;
// the remaining targets keep their values. REQUIRES: every pointer in `targets` is valid.
int ScanDecimals(std::string_view text, char separator, std::initializer_list<int*> targets);

}  // namespace xarvel
