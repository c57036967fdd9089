#include "state/index_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/location.h"
#include "config/profile.h"
#include "platform/debug_output.h"
#include "platform/file_io.h"
#include "state/router_tables.h"
#include "state/save_counters.h"
#include "tracing/debug.h"

namespace xarvel {
namespace {

// One line straight to the debug output, untagged and whatever the debug mode.
void Trace(LogLevel level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void Trace(LogLevel level, const char* fmt, ...) {
  if (!plat::DebugOutputWanted(level)) return;
  char buf[1024];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  plat::OutputDebugString(buf, level);
}

// Counts one save of `file` with its result (1 written, 0 not) and returns the result.
int CountSave(SaveFile file, int result) {
  SaveCounters& c = SaveCount();
  const auto i = static_cast<size_t>(file);
  if (result == 1) {
    ++c.Done[i];
    c.LastGoodUnixMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
  } else {
    ++c.Failed[i];
  }
  c.LastFailed[i] = result != 1;
  return result;
}

bool HasTallyTable(const RouterConfig& r) {
  return r.TallyMemory.size() >= kIndexBlockBytes;
}

bool HasLockTable(const RouterConfig& r) {
  return r.LockMemory.size() >= kLockBlockBytes;
}

// Opens `path` for reading when it names a readable regular file (a symbolic link to one is
// followed); -1 otherwise. The open never blocks: a FIFO, a device or a directory in place of
// the file is opened non-blocking, seen for what it is, closed again and named in a forced line,
// and the caller goes on as for a missing file.
int OpenForReading(const std::string& path) {
  if (path.empty()) return -1;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    DebugPrintfAt(LogLevel::kWarning, 1,
                  "Idxfu_ReadIndex - WARNING %s is not a regular file - not read ", path.c_str());
    return -1;
  }
  // Reads of a regular file never wait; the flag is cleared all the same.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

// Why a save could not open its file: a path that names something other than a regular file
// is never replaced, and says so.
void TraceRefusedTarget(const char* who, const std::string& path, int error) {
  if (error == EISDIR || error == EINVAL) {
    DebugPrintfAt(LogLevel::kWarning, 1, "%s - %s is not a regular file - not replaced ", who,
                  path.c_str());
  }
}

// Reads the next `size` bytes of a file into `out`. Bytes past the end of the file (or past a
// read error) are 255, as a byte-by-byte read that hits the end would leave them. Returns how
// many bytes came from the file.
size_t ReadBlock(int fd, uint8_t* out, size_t size) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, out + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  std::memset(out + got, 255, size - got);
  return got;
}

// Reports a file that ended before its last block: its missing entries were read as 255.
void TraceShortFile(const std::string& path, size_t got, size_t expected) {
  if (got < expected) {
    Trace(LogLevel::kWarning,
          "XARVEL--Idxfu_ReadIndex - WARNING %s holds only %zu of %zu bytes - the rest reads as "
          "255 \n",
          path.c_str(), got, expected);
  }
}

void ReadIndexBlocks(int fd, const std::string& path) {
  std::vector<uint8_t> scratch(kIndexBlockBytes);
  size_t total = 0;
  for (int i = 0; i < kRouterCount; ++i) {
    RouterConfig& r = Profile().routers[static_cast<size_t>(i)];
    if (HasTallyTable(r)) {
      DebugPrintfAt(LogLevel::kDebug, 1,
                    "Idxfu_ReadIndex - index %d router %d - read dat file data in ", i, r.DeviceId);
      total += ReadBlock(fd, r.TallyMemory.data(), kIndexBlockBytes);
    } else {
      total += ReadBlock(fd, scratch.data(), kIndexBlockBytes);
    }
  }
  TraceShortFile(path, total, kIndexFileBytes);
}

void ReadLockBlocks(int fd, const std::string& path) {
  std::vector<uint8_t> scratch(kLockBlockBytes);
  size_t total = 0;
  int64_t affected = 0;
  for (int i = 0; i < kRouterCount; ++i) {
    RouterConfig& r = Profile().routers[static_cast<size_t>(i)];
    if (HasLockTable(r)) {
      Trace(LogLevel::kDebug, "Xarvel - NTP[%d].lockmemory file %s \n", i, path.c_str());
      const size_t got = ReadBlock(fd, r.LockMemory.data(), kLockBlockBytes);
      total += got;
      // The router's own destinations whose entries lay past the end of the file.
      const size_t dests = std::min(kLockBlockBytes, static_cast<size_t>(std::max(r.DestCount, 0)));
      if (got < dests) affected += static_cast<int64_t>(dests - got);
      int locked = 0;
      for (size_t d = 0; d < kLockBlockBytes; ++d) locked += r.LockMemory[d] != 0 ? 1 : 0;
      DebugPrintfAt(LogLevel::kInfo, 1,
                    "LCK - read lock ntp[%d] router %d total of %d Locked dests ", i, r.DeviceId,
                    locked);
    } else {
      total += ReadBlock(fd, scratch.data(), kLockBlockBytes);
    }
  }
  TraceShortFile(path, total, kLockFileBytes);
  if (total < kLockFileBytes) {
    // Missing entries read as locked, as they always have; the operator is told once how many
    // destinations that holds, so a truncated file does not pass for a wall of real locks.
    SaveCount().LockEntriesMissing = affected;
    char text[256];
    std::snprintf(text, sizeof text,
                  "Lock file short: %lld destinations read as locked - check and save the locks",
                  static_cast<long long>(affected));
    DebugPrintfAt(LogLevel::kWarning, 1,
                  "LCK - WARNING %s is short - %lld destinations read as locked ", path.c_str(),
                  static_cast<long long>(affected));
    DriverProfile& p = Profile();
    p.StatusMessage = p.StatusMessageFlag != 0 ? p.StatusMessage + " - " + text : text;
    p.StatusMessageFlag = 1;
  }
}

// Writes one block per router (the router's table, or zeros without one) through `writer`;
// `each` runs after a router's own table went out. Returns 0 or the first error.
template <typename HasTable, typename TableOf, typename Each>
int WriteBlocks(plat::AtomicFileWriter& writer, size_t block, HasTable has_table, TableOf table_of,
                Each each) {
  const std::string zeros(block, '\0');
  for (int i = 0; i < kRouterCount; ++i) {
    const RouterConfig& r = Profile().routers[static_cast<size_t>(i)];
    int error = 0;
    if (has_table(r)) {
      const std::vector<uint8_t>& t = table_of(r);
      error = writer.Write(std::string_view(reinterpret_cast<const char*>(t.data()), block));
      if (error == 0) each(i, r);
    } else {
      error = writer.Write(zeros);
    }
    if (error != 0) return error;
  }
  return writer.Commit();
}

}  // namespace

IndexFileState& IndexFiles() {
  static IndexFileState state;
  return state;
}

void ResetIndexFiles() {
  IndexFiles() = IndexFileState{};
}

std::string IndexFileName(std::string_view extension) {
  const int device = Profile().DeviceNumber;
  const std::string ext(extension);
  char name[32];
  if (device >= 1 && device <= 999) {
    std::snprintf(name, sizeof name, "DEV_%03d.%s", device, ext.c_str());
  } else {
    std::snprintf(name, sizeof name, "XARVEL.%s", ext.c_str());
  }
  return name;
}

void Idxfu_ReadIndex() {
  IndexFileState& state = IndexFiles();
  state.SaveFormat = kSaveAsIdx;
  SaveCount().LockEntriesMissing = 0;

  const std::string dat_path = DataFilePath(IndexFileName("DAT"));
  const std::string idx_path = DataFilePath(IndexFileName("IDX"));
  std::string path = dat_path;
  int fd = OpenForReading(dat_path);
  if (fd >= 0) {
    state.SaveFormat = kSaveAsDat;
    Trace(LogLevel::kInfo, "XARVEL--Idxfu_ReadIndex - existing DAT file opened - %s \n",
          dat_path.c_str());
  } else {
    path = idx_path;
    fd = OpenForReading(idx_path);
    if (fd >= 0) {
      Trace(LogLevel::kInfo, "XARVEL--Idxfu_ReadIndex - existing IDX file opened - %s \n",
            idx_path.c_str());
    }
  }
  if (fd >= 0) {
    ReadIndexBlocks(fd, path);
    ::close(fd);
  } else {
    Trace(LogLevel::kWarning, "XARVEL--Idxfu_ReadIndex - ERROR no file could be opened - %s \n",
          idx_path.c_str());
    state.SaveFormat = kSaveAsIdx;
    DebugPrintAt(
        LogLevel::kWarning,
        "Idxfu_ReadIndex - WARNING no pre-existing file found - clearing all indexes -- creating "
        "new IDX file!! ",
        1);
    Idxfu_ClearIndex();
    Idxfu_WriteIndex();
  }

  const std::string lock_path = DataFilePath(IndexFileName("LCK"));
  Trace(LogLevel::kInfo, "Xarvel - lock file is  %s \n", lock_path.c_str());
  fd = OpenForReading(lock_path);
  if (fd >= 0) {
    ReadLockBlocks(fd, lock_path);
    ::close(fd);
  } else {
    DebugPrintAt(LogLevel::kWarning, "Recreating and initiallising  lock file ", 1);
    Idxfu_ClearLocks();
    Idxfu_WriteLocks();
  }
  state.IndexRead = true;
}

int Idxfu_WriteIndex() {
  const std::string path =
      DataFilePath(IndexFileName(IndexFiles().SaveFormat == kSaveAsDat ? "DAT" : "IDX"));
  plat::AtomicFileWriter writer;
  if (const int error = writer.Open(path); error != 0) {
    Trace(LogLevel::kErr, "XARVEL -- ERROR -- Idxfu_WriteIndex file not opened - %s\n",
          path.c_str());
    TraceRefusedTarget("Idxfu_WriteIndex", path, error);
    return CountSave(kSaveIndex, 0);
  }
  Trace(LogLevel::kDebug, "Xarvel - writeindex tallymemory file %s \n", path.c_str());
  const int error = WriteBlocks(
      writer, kIndexBlockBytes, HasTallyTable,
      [](const RouterConfig& r) -> const std::vector<uint8_t>& { return r.TallyMemory; },
      [](int, const RouterConfig& r) {
        DebugPrintfAt(LogLevel::kDebug, 1, "Idxfu_WriteIndex - router %d - stored data saved ",
                      r.DeviceId);
      });
  if (error != 0) {
    Trace(LogLevel::kErr,
          "XARVEL -- ERROR -- Idxfu_WriteIndex file not written - %s - %s - previous file kept\n",
          path.c_str(), std::strerror(error));
    return CountSave(kSaveIndex, 0);
  }
  return CountSave(kSaveIndex, 1);
}

void Idxfu_ClearIndex() {
  for (RouterConfig& r : Profile().routers) {
    if (HasTallyTable(r)) {
      std::fill(r.TallyMemory.begin(), r.TallyMemory.end(), uint8_t{255});
    } else {
      // Routers that are not defined have no table: only a defined one without is a fault.
      DebugPrintAt(r.DeviceId > 0 ? LogLevel::kErr : LogLevel::kDebug,
                   "Idxfu_ClearIndex - hTallyMemory fail", 0);
    }
  }
}

int Idxfu_WriteLocks() {
  const std::string path = DataFilePath(IndexFileName("LCK"));
  plat::AtomicFileWriter writer;
  if (const int error = writer.Open(path); error != 0) {
    Trace(LogLevel::kErr, "Xarvel - ERROR write lockmemory file %s NOT FOUND \n", path.c_str());
    TraceRefusedTarget("Idxfu_WriteLocks", path, error);
    return CountSave(kSaveLocks, 0);
  }
  Trace(LogLevel::kDebug, "Xarvel - write lockmemory file %s \n", path.c_str());
  const int error = WriteBlocks(
      writer, kLockBlockBytes, HasLockTable,
      [](const RouterConfig& r) -> const std::vector<uint8_t>& { return r.LockMemory; },
      [](int index, const RouterConfig& r) {
        int locked = 0;
        for (size_t d = 0; d < kLockBlockBytes; ++d) locked += r.LockMemory[d] != 0 ? 1 : 0;
        if (locked > 0) {
          Trace(LogLevel::kDebug, "Xarvel - %d Locked dests written out for Router_%c \n", locked,
                'A' + index);
        }
      });
  if (error != 0) {
    Trace(LogLevel::kErr,
          "Xarvel - ERROR write lockmemory file %s not written - %s - previous file kept \n",
          path.c_str(), std::strerror(error));
    return CountSave(kSaveLocks, 0);
  }
  return CountSave(kSaveLocks, 1);
}

void Idxfu_ClearLocks() {
  for (RouterConfig& r : Profile().routers) {
    if (HasLockTable(r)) std::fill(r.LockMemory.begin(), r.LockMemory.end(), uint8_t{0});
  }
}

}  // namespace xarvel
