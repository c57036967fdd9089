#include "tools/kirn/common/text_encoding.h"

#include <cstdint>

namespace kirn {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The length of the well-formed sequence at `at` and its code point; 0 when there is none.
size_t Sequence(std::string_view s, size_t at, uint32_t* cp) {
  const auto b = [&s](size_t i) { return static_cast<uint8_t>(s[i]); };
  const uint8_t lead = b(at);
  if (lead < 0x80) {
    *cp = lead;
    return 1;
  }
  size_t length = 0;
  uint32_t min = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    min = 0x80;
    *cp = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    min = 0x800;
    *cp = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    min = 0x10000;
    *cp = lead & 0x07u;
  } else {
    return 0;
  }
  if (at + length > s.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((b(at + i) & 0xC0) != 0x80) return 0;
    *cp = (*cp << 6) | (b(at + i) & 0x3Fu);
  }
  if (*cp < min || *cp > 0x10FFFF || (*cp >= 0xD800 && *cp <= 0xDFFF)) return 0;
  return length;
}

bool IsControl(uint32_t cp) {
  return (cp < 0x20 && cp != '\n') || (cp >= 0x7F && cp <= 0x9F);
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Windows-1252's bytes 0x80..0x9F (0: undefined).
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

}  // namespace

bool IsUtf8(std::string_view bytes) {
  uint32_t cp = 0;
  for (size_t at = 0; at < bytes.size();) {
    const size_t n = Sequence(bytes, at, &cp);
    if (n == 0) return false;
    at += n;
  }
  return true;
}

std::string ValidUtf8(std::string_view bytes, bool replace_controls) {
  std::string out;
  out.reserve(bytes.size());
  uint32_t cp = 0;
  for (size_t at = 0; at < bytes.size();) {
    const size_t n = Sequence(bytes, at, &cp);
    if (n == 0 || (replace_controls && IsControl(cp))) {
      out += kReplacement;
      at += n == 0 ? 1 : n;
      continue;
    }
    out.append(bytes.substr(at, n));
    at += n;
  }
  return out;
}

std::string NameToUtf8(std::string_view bytes) {
  if (IsUtf8(bytes)) return ValidUtf8(bytes, true);
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto b = static_cast<uint8_t>(c);
    uint32_t cp = b;
    if (b >= 0x80 && b <= 0x9F) cp = kCp1252High[b - 0x80];
    if (cp == 0 || IsControl(cp) || cp == '\n') {
      out += kReplacement;
    } else {
      AppendUtf8(out, cp);
    }
  }
  return out;
}

std::string TerminalText(std::string_view bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size());
  for (size_t at = 0; at < bytes.size();) {
    uint32_t cp = 0;
    const size_t length = Sequence(bytes, at, &cp);
    if (length == 0 || cp < 0x20 || cp == 0x7F) {
      const auto b = static_cast<uint8_t>(bytes[at]);
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0xF];
      ++at;
      continue;
    }
    if (cp >= 0x80 && cp <= 0x9F) {
      out += "\\u00";
      out += kHex[cp >> 4];
      out += kHex[cp & 0xF];
    } else if (cp == '\\') {
      out += "\\\\";
    } else {
      out.append(bytes.substr(at, length));
    }
    at += length;
  }
  return out;
}

}  // namespace kirn
