// Small helpers over file descriptors and whole files.
#pragma once

#include <string>
#include <string_view>

namespace plat {

// Writes all of `data` to `fd`, retrying partial writes and EINTR. Returns false on any other
// error (what was written before it stays written).
bool WriteAll(int fd, std::string_view data);

// The file that a write to `path` really replaces: the target of a symbolic link, else `path`
// itself. Empty when `path` is a link whose target cannot be resolved.
std::string ResolveTarget(const std::string& path);

// The directory part of `path`: "." when it has none, "/" for a file at the root.
std::string DirectoryOf(const std::string& path);

// Replaces a file as a whole, so that a crash, a kill or a full disk at any moment leaves either
// the complete old file or the complete new one in place, never a short one.
//
//   AtomicFileWriter w;
//   if (w.Open(path) != 0) ...     // nothing touched
//   w.Write(part1); w.Write(part2);
//   if (w.Commit() != 0) ...       // old file still in place
//
// The data goes to "<file>.tmp" in the same directory (a fixed name, so an interrupted save
// leaves at most one stray temporary file, which the next save replaces). Commit flushes it to
// disk, renames it over the file and flushes the directory, so that the rename itself survives a
// power cut. A symbolic link at `path` is followed and its target replaced. An existing file
// keeps its permission bits (and its owner where the process may set it); a new file gets mode
// 0644 less the umask. An existing file that the process may not write is left alone, as
// opening it for writing would fail.
//
// Every call returns 0 or the errno value of the step that failed. After a failure the writer
// is spent: later calls return that error again, and the temporary file is removed at once.
// A writer destroyed without a successful Commit removes its temporary file. Not copyable.
class AtomicFileWriter {
 public:
  AtomicFileWriter() = default;
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  // Creates the temporary file for `path`. EINVAL for an empty path, EISDIR or EINVAL when the
  // path names something other than a regular file. REQUIRES: called once.
  int Open(const std::string& path);
  // Appends `data` to the temporary file.
  int Write(std::string_view data);
  // Makes the written data the file's content.
  int Commit();

 private:
  int Fail(int error);

  std::string target_;
  std::string temp_;
  int fd_ = -1;
  int error_ = 0;
  bool exists_ = false;
  unsigned mode_ = 0;
  unsigned uid_ = 0;
  unsigned gid_ = 0;
};

}  // namespace plat
