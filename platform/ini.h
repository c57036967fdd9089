// INI profile files: the reader and writer behind every profile access of the driver.
//
// A profile is a text file of section header lines ("[name]") and key lines ("key=value").
// Other lines (blank lines, comment lines starting with ";" or "#", anything without "=") are
// kept as they are and otherwise ignored. Section and key names match without regard to ASCII case;
// blanks (spaces and tabs) around names and values are not part of them. Before the first section
// header no key belongs to any section. When a section or a key occurs twice, the first occurrence
// is the one that is read and written; later ones are left alone.
//
// Line ends: a file may use LF or CR LF. Reads accept both (a CR before the LF is not part of the
// value). A write keeps every untouched line byte for byte; lines that it adds or replaces take
// the line end of the file's first line (LF for a new or one-line-without-end file). A last line
// without a line end gets one when a line has to be added after it.
//
// A UTF-8 byte-order mark at the start of the file is skipped on reading and kept on writing.
//
// Every call opens the file anew; nothing is cached. No call throws.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace plat {

// Largest profile file that is read or rewritten (bytes). A larger file reads as missing and is
// never rewritten, so that a runaway file cannot exhaust memory.
inline constexpr size_t kMaxProfileFileSize = 16 * 1024 * 1024;

// Returns the value of `key` in `section` of the profile at `path`, or `default_text` when the
// file, the section or the key is missing (or the path is not a readable regular file). The
// result is cut to `size` - 1 characters, so `size` plays the part of a buffer size with its
// terminator; `size` 0 gives an empty text. An empty `section` or `key` gives the default.
std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view default_text, size_t size,
                                    const std::string& path);

// The keys of `section` in the profile at `path` with their values, in file order, each key once
// with the value GetPrivateProfileString reads for it (its first occurrence, in the first section
// of that name); empty when the file or the section is missing. For a reader of many keys of
// one section, which would otherwise read the whole file once per key.
std::vector<std::pair<std::string, std::string>> GetPrivateProfileSection(std::string_view section,
                                                                          const std::string& path);

// Sets `key` in `section` of the profile at `path` to `value`, creating the file, the section
// (at the end of the file) and the key (after the last non-blank line of its section) as needed;
// an existing key keeps its place and its spelling. The value is stored without blanks around
// it (a read would drop them anyway). An empty `value` leaves the key present with an empty
// value.
//
// The file is replaced atomically: the new text goes to a temporary file in the same directory,
// is flushed to disk and renamed over the old one, so a crash leaves either the old or the new
// profile, never half of one. A symbolic link is followed and its target replaced. A write that
// would not change the file's text does not touch it.
//
// Returns true when the file holds the value afterwards. Returns false, and leaves any existing
// file untouched, when the names or the value cannot be stored (empty names; a line break or NUL
// in any of them; "=" in the key or a key starting with "[", ";" or "#"; "]" in the section),
// when the path is not a regular file, when the existing file cannot be read or is too large, or
// when the directory cannot take the temporary file.
bool WritePrivateProfileString(std::string_view section, std::string_view key,
                               std::string_view value, const std::string& path);

}  // namespace plat
