#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace plat {
std::string ResolveTarget(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char* real = ::realpath(path.c_str(), nullptr);
  if (real == nullptr) return {};
  std::string target(real);
  std::free(real);
  return target;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

AtomicFileWriter::~AtomicFileWriter() {
  if (fd_ >= 0) {
    ::close(fd_);
    ::unlink(temp_.c_str());
  }
}

int AtomicFileWriter::Fail(int error) {
  if (error == 0) error = EIO;
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
    ::unlink(temp_.c_str());
  }
  error_ = error;
  return error;
}

int AtomicFileWriter::Open(const std::string& path) {
  if (error_ != 0) return error_;
  if (fd_ >= 0 || path.empty()) return Fail(EINVAL);
  target_ = ResolveTarget(path);
  if (target_.empty()) return Fail(ENOENT);

  struct stat old {};
  exists_ = ::stat(target_.c_str(), &old) == 0;
  if (exists_) {
    if (!S_ISREG(old.st_mode)) return Fail(S_ISDIR(old.st_mode) ? EISDIR : EINVAL);
    if (::access(target_.c_str(), W_OK) != 0) return Fail(errno);
    mode_ = old.st_mode & 07777;
    uid_ = old.st_uid;
    gid_ = old.st_gid;
  }
  temp_ = target_ + ".tmp";
  // A stray temporary file of an interrupted save is removed and the new one created afresh:
  // whatever lay under that name (a link, a second name of another file) is never written through.
  (void)::unlink(temp_.c_str());
  fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd_ < 0) return Fail(errno);
  return 0;
}

int AtomicFileWriter::Write(std::string_view data) {
  if (error_ != 0) return error_;
  if (fd_ < 0) return Fail(EBADF);
  if (!WriteAll(fd_, data)) return Fail(errno);
  return 0;
}

int AtomicFileWriter::Commit() {
  if (error_ != 0) return error_;
  if (fd_ < 0) return Fail(EBADF);
  if (exists_) {
    if (::fchmod(fd_, static_cast<mode_t>(mode_)) != 0) return Fail(errno);
    // Keep the owner when the process may (running as root); otherwise the writer owns it.
    (void)!::fchown(fd_, static_cast<uid_t>(uid_), static_cast<gid_t>(gid_));
  }
  if (::fsync(fd_) != 0) return Fail(errno);
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(temp_.c_str());
    return Fail(error);
  }
  if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp_.c_str());
    return Fail(error);
  }
  // Make the rename durable; a failure here does not undo the completed replacement.
  const int dfd = ::open(DirectoryOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    (void)::fsync(dfd);
    ::close(dfd);
  }
  return 0;
}

}  // namespace plat
