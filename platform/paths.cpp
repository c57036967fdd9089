#include "platform/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace plat {
namespace {

// An environment variable's value, or empty when it is unset.
std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

std::string HomeDirectory() {
  std::string home = Env("HOME");
  if (!home.empty()) return home;
  long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 16384);
  struct passwd pw {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return {};
}

}  // namespace

std::string WindowsDirectory() {
  std::string dir = Env("KIRN_WINDIR");
  if (!dir.empty()) return dir;
  return HomeDirectory() + "/.kirn";
}

std::string LocatorFilePath() {
  std::string path = Env("KIRN_CONFIG_LOCATOR");
  if (!path.empty()) return path;
  return "/etc/kirn_config.ini";
}

}  // namespace plat
