#include "platform/ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <set>
#include <vector>

#include "platform/file_io.h"

namespace plat {
namespace {

// ---------------------------------------------------------------------------------------------
// Text helpers

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

bool HasLineBreakOrNul(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// ---------------------------------------------------------------------------------------------
// Parsing: the file is split into lines that index into the original text, so that untouched
// lines can be written back byte for byte.

enum class LineKind { kOther, kSection, kKey };

struct Line {
  size_t begin = 0;  // first byte of the line
  size_t end = 0;    // end of the content (before CR LF or LF)
  size_t next = 0;   // first byte of the following line (after the line end, if any)
  LineKind kind = LineKind::kOther;
  std::string_view name;   // section name or key name, trimmed
  std::string_view value;  // key value, trimmed
  bool blank = true;       // content is only blanks
};

// A UTF-8 byte-order mark at the start of a file (as many Windows editors write one): not part
// of the first line, and kept in front of it by every write.
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

size_t BomLength(std::string_view text) {
  return text.substr(0, kUtf8Bom.size()) == kUtf8Bom ? kUtf8Bom.size() : 0;
}

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  size_t pos = BomLength(text);
  while (pos < text.size()) {
    Line line;
    line.begin = pos;
    size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) {
      line.end = text.size();
      line.next = text.size();
    } else {
      line.end = (nl > pos && text[nl - 1] == '\r') ? nl - 1 : nl;
      line.next = nl + 1;
    }
    std::string_view content = Trim(text.substr(line.begin, line.end - line.begin));
    line.blank = content.empty();
    if (!content.empty() && content.front() == '[') {
      std::string_view inner = content.substr(1);
      size_t close = inner.find(']');
      if (close != std::string_view::npos) inner = inner.substr(0, close);
      line.kind = LineKind::kSection;
      line.name = Trim(inner);
    } else if (!content.empty() && content.front() != ';' && content.front() != '#') {
      size_t eq = content.find('=');
      if (eq != std::string_view::npos) {
        std::string_view key = Trim(content.substr(0, eq));
        if (!key.empty()) {
          line.kind = LineKind::kKey;
          line.name = key;
          line.value = Trim(content.substr(eq + 1));
        }
      }
    }
    lines.push_back(line);
    pos = line.next;
  }
  return lines;
}

// Where a section lies in the line list: its header line and the first line after it that is
// not part of it (the next header, or the end).
struct SectionSpan {
  size_t header = 0;
  size_t end = 0;
};

std::optional<SectionSpan> FindSection(const std::vector<Line>& lines, std::string_view section) {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].kind != LineKind::kSection || !EqualsNoCase(lines[i].name, section)) continue;
    SectionSpan span{i, i + 1};
    while (span.end < lines.size() && lines[span.end].kind != LineKind::kSection) ++span.end;
    return span;
  }
  return std::nullopt;
}

std::optional<size_t> FindKey(const std::vector<Line>& lines, const SectionSpan& span,
                              std::string_view key) {
  for (size_t i = span.header + 1; i < span.end; ++i) {
    if (lines[i].kind == LineKind::kKey && EqualsNoCase(lines[i].name, key)) return i;
  }
  return std::nullopt;
}

// The line end of the file's first line; LF when the file has none.
std::string_view LineEndOf(std::string_view text) {
  size_t nl = text.find('\n');
  if (nl != std::string_view::npos && nl > 0 && text[nl - 1] == '\r') return "\r\n";
  return "\n";
}

// ---------------------------------------------------------------------------------------------
// File access

enum class ReadStatus { kOk, kMissing, kError };

struct FileInfo {
  mode_t mode = 0644;
  uid_t uid = 0;
  gid_t gid = 0;
  bool exists = false;
};

// Reads a whole regular file. A FIFO or device is never opened for blocking reads: the open is
// non-blocking and anything but a regular file is an error.
ReadStatus ReadWholeFile(const std::string& path, std::string& out, FileInfo* info) {
  out.clear();
  if (path.empty()) return ReadStatus::kMissing;
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return (errno == ENOENT) ? ReadStatus::kMissing : ReadStatus::kError;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<unsigned long long>(st.st_size) > kMaxProfileFileSize) {
    ::close(fd);
    return ReadStatus::kError;
  }
  if (info) {
    info->mode = st.st_mode & 07777;
    info->uid = st.st_uid;
    info->gid = st.st_gid;
    info->exists = true;
  }
  out.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return ReadStatus::kError;
    }
    if (n == 0) break;
    // The file may grow while it is read; never hold more than the limit.
    if (out.size() + static_cast<size_t>(n) > kMaxProfileFileSize) {
      ::close(fd);
      return ReadStatus::kError;
    }
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return ReadStatus::kOk;
}

// Writes `text` to a temporary file beside `target`, flushes it and renames it over `target`.
bool ReplaceFile(const std::string& target, std::string_view text, const FileInfo& info) {
  std::string dir = DirectoryOf(target);
  const size_t slash = target.rfind('/');
  std::string base = (slash == std::string::npos) ? target : target.substr(slash + 1);
  std::string temp = dir + "/." + base + ".XXXXXX";
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, text);
  if (ok) {
    ok = ::fchmod(fd, info.exists ? info.mode : 0644) == 0;
    // Keep the owner of an existing profile when the process may do so (running as root);
    // otherwise the new file simply belongs to the writer.
    if (ok && info.exists) (void)!::fchown(fd, info.uid, info.gid);
  }
  if (ok) ok = ::fsync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  if (ok) ok = ::rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // Make the rename itself durable; a failure here does not undo a completed write.
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    (void)::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

// The text of the file after setting the key; the file's own text when nothing changes.
std::string WithValue(std::string_view old_text, std::string_view section, std::string_view key,
                      std::string_view value) {
  const std::vector<Line> lines = SplitLines(old_text);
  const std::string_view eol = LineEndOf(old_text);
  std::string out;
  out.reserve(old_text.size() + section.size() + key.size() + value.size() + 8);

  std::optional<SectionSpan> span = FindSection(lines, section);
  if (!span) {
    out.assign(old_text);
    if (out.size() > BomLength(old_text) && out.back() != '\n') out += eol;
    // A blank line keeps the new section apart from the text before it.
    if (!lines.empty() && !lines.back().blank) out += eol;
    out.append("[").append(section).append("]").append(eol);
    out.append(key).append("=").append(value).append(eol);
    return out;
  }

  if (std::optional<size_t> k = FindKey(lines, *span, key)) {
    const Line& line = lines[*k];
    if (line.value == value) return std::string(old_text);
    out.append(old_text.substr(0, line.begin));
    out.append(line.name).append("=").append(value);
    out.append(old_text.substr(line.end));
    return out;
  }

  // A new key follows the last non-blank line of its section, so that blank lines that part
  // the section from the next one stay where they are.
  size_t after = span->header;
  for (size_t i = span->header + 1; i < span->end; ++i) {
    if (!lines[i].blank) after = i;
  }
  const Line& line = lines[after];
  out.append(old_text.substr(0, line.next));
  if (line.next == line.end) out += eol;  // the last line had no line end
  out.append(key).append("=").append(value).append(eol);
  out.append(old_text.substr(line.next));
  return out;
}

}  // namespace

std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view default_text, size_t size,
                                    const std::string& path) {
  auto cut = [size](std::string_view s) { return std::string(s.substr(0, size ? size - 1 : 0)); };
  section = Trim(section);
  key = Trim(key);
  if (section.empty() || key.empty()) return cut(default_text);
  std::string text;
  if (ReadWholeFile(path, text, nullptr) != ReadStatus::kOk) return cut(default_text);
  const std::vector<Line> lines = SplitLines(text);
  std::optional<SectionSpan> span = FindSection(lines, section);
  if (!span) return cut(default_text);
  std::optional<size_t> k = FindKey(lines, *span, key);
  if (!k) return cut(default_text);
  return cut(lines[*k].value);
}

std::vector<std::pair<std::string, std::string>> GetPrivateProfileSection(std::string_view section,
                                                                          const std::string& path) {
  std::vector<std::pair<std::string, std::string>> out;
  section = Trim(section);
  if (section.empty()) return out;
  std::string text;
  if (ReadWholeFile(path, text, nullptr) != ReadStatus::kOk) return out;
  const std::vector<Line> lines = SplitLines(text);
  std::optional<SectionSpan> span = FindSection(lines, section);
  if (!span) return out;
  std::set<std::string> seen;  // keys in lower case
  for (size_t i = span->header + 1; i < span->end; ++i) {
    if (lines[i].kind != LineKind::kKey) continue;
    std::string lower(lines[i].name);
    for (char& c : lower) c = LowerAscii(c);
    // A key seen before in the section is not read again (its first occurrence counts).
    if (!seen.insert(std::move(lower)).second) continue;
    out.emplace_back(std::string(lines[i].name), std::string(lines[i].value));
  }
  return out;
}

bool WritePrivateProfileString(std::string_view section, std::string_view key,
                               std::string_view value, const std::string& path) {
  section = Trim(section);
  key = Trim(key);
  if (section.empty() || key.empty() || path.empty()) return false;
  if (HasLineBreakOrNul(section) || HasLineBreakOrNul(key) || HasLineBreakOrNul(value) ||
      HasLineBreakOrNul(path)) {
    return false;
  }
  if (section.find(']') != std::string_view::npos) return false;
  if (key.find('=') != std::string_view::npos || key.front() == '[' || key.front() == ';' ||
      key.front() == '#') {
    return false;
  }
  // The value as a later read would see it; blanks around it would be dropped anyway.
  value = Trim(value);

  const std::string target = ResolveTarget(path);
  if (target.empty()) return false;
  std::string old_text;
  FileInfo info;
  ReadStatus status = ReadWholeFile(target, old_text, &info);
  if (status == ReadStatus::kError) return false;

  std::string new_text = WithValue(old_text, section, key, value);
  if (status == ReadStatus::kOk && new_text == old_text) return true;
  return ReplaceFile(target, new_text, info);
}

}  // namespace plat
