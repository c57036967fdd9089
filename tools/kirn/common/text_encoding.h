// Texts from peers and files as valid UTF-8: what every page, JSON answer and exposition of kirn
// writes, whatever bytes a driver, the interface or a profile gave it.
#pragma once

#include <string>
#include <string_view>

namespace kirn {

// True when `bytes` is well-formed UTF-8 (no overlong forms, surrogates or code points past
// U+10FFFF).
bool IsUtf8(std::string_view bytes);

// `bytes` as valid UTF-8: every byte that is not part of a well-formed sequence becomes U+FFFD;
// with `replace_controls`, so does every control character (U+0000..U+001F except line feed,
// U+007F..U+009F).
std::string ValidUtf8(std::string_view bytes, bool replace_controls);

// A name of a source or destination as UTF-8: taken as UTF-8 when it is well-formed UTF-8, else
// read as Windows-1252 (profiles written on Windows); control characters and the five bytes
// that Windows-1252 leaves undefined become U+FFFD.
std::string NameToUtf8(std::string_view bytes);

// `bytes` for a terminal, as one line: well-formed UTF-8 stays as it is; a control character
// (U+0000..U+001F, U+007F, and the C1 controls U+0080..U+009F that terminals also obey) becomes
// \xNN (\u0085 for C1), every byte that is not part of a well-formed sequence \xNN, and a
// backslash \\, so that what is shown can be told apart from what was escaped.
std::string TerminalText(std::string_view bytes);

}  // namespace kirn
