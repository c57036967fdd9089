#include "config/location.h"

#include <cstdlib>

#include "platform/debug_output.h"
#include "platform/ini.h"
#include "platform/paths.h"

namespace xarvel {
namespace {

constexpr std::string_view kLocatorSection = "Config";
constexpr std::string_view kLocatorKey = "ConfigPath";
// The probe that decides the mode reads at most this many characters (terminator included).
constexpr size_t kProbeSize = 256;
// The root is read with room to spare, so that a value over the limit is recognised and refused
// instead of being cut into a different directory name.
constexpr size_t kRootReadSize = 4096;

void Trace(plat::LogLevel level, const std::string& line) {
  plat::OutputDebugString(line + "\n", level);
}

std::string Lower(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string ReadLocator(size_t size) {
  return plat::GetPrivateProfileString(kLocatorSection, kLocatorKey, "", size,
                                       plat::LocatorFilePath());
}

// The root as its source gives it, before the length check; empty when it cannot be formed.
std::string RootFromSource(int mode) {
  switch (mode) {
    case kLocationEnvironment: {
      const char* root = std::getenv("ZQ_ROOT");
      if (root == nullptr || *root == '\0') {
        Trace(plat::LogLevel::kWarning, "Location - ZQ_ROOT is not set, no configuration root");
        return {};
      }
      const char* system = std::getenv("ZQ_SYSTEM");
      return std::string(root) + "/" + (system ? system : "") + "/";
    }
    case kLocationConfigFile: {
      std::string path = ReadLocator(kRootReadSize);
      if (path.empty()) {
        Trace(plat::LogLevel::kWarning, "Location - ConfigPath is empty, no configuration root");
        return {};
      }
      return path + "/";
    }
    default:
      return plat::WindowsDirectory() + "/";
  }
}

// A bare name is resolved under the profile directory; a text with "/" is a path already.
std::string ResolveProfile(std::string_view file) {
  if (file.find('/') != std::string_view::npos) return std::string(file);
  return ProfilePath(file);
}

// True when the path may be used; traces the refusal otherwise.
bool UsableProfilePath(const std::string& path, std::string_view file) {
  if (path.empty()) {
    Trace(plat::LogLevel::kWarning,
          "Location - no path for profile " + std::string(file.substr(0, 64)) + ", not used");
    return false;
  }
  if (path.size() > kMaxProfilePath) {
    Trace(plat::LogLevel::kWarning, "Location - profile path of " + std::to_string(path.size()) +
                                        " characters is too long (limit " +
                                        std::to_string(kMaxProfilePath) + "), not used");
    return false;
  }
  return true;
}

}  // namespace

LocationState& Location() {
  static LocationState state;
  return state;
}

void ResetLocation() {
  Location() = LocationState{};
}

int DetermineLocationMode() {
  LocationState& loc = Location();
  if (loc.mode != kLocationUndetermined) return loc.mode;
  if (std::getenv("ZQ_ROOT") != nullptr) {
    if (std::getenv("ZQ_SYSTEM") == nullptr) {
      Trace(plat::LogLevel::kInfo, "Location - ZQ_SYSTEM is not set, using ZQ_ROOT alone");
    }
    loc.mode = kLocationEnvironment;
  } else if (!ReadLocator(kProbeSize).empty()) {
    loc.mode = kLocationConfigFile;
  } else {
    loc.mode = kLocationWindowsDirectory;
  }
  return loc.mode;
}

std::string ConfigRoot() {
  std::string root = RootFromSource(DetermineLocationMode());
  if (root.size() > kMaxConfigRoot) {
    Trace(plat::LogLevel::kWarning,
          "Location - configuration root of " + std::to_string(root.size()) +
              " characters is too long (limit " + std::to_string(kMaxConfigRoot) + "), not used");
    return {};
  }
  return root;
}

std::string ProfilePath(std::string_view name) {
  std::string root = ConfigRoot();
  if (root.empty()) return {};
  if (Location().mode == kLocationEnvironment) {
    std::string lower = Lower(name);
    if (lower == "kapi.ini") lower = "kirn_system.ini";
    return root + "config/system/" + lower;
  }
  return root + std::string(name);
}

std::string DataFilePath(std::string_view name) {
  std::string root = ConfigRoot();
  if (root.empty()) return {};
  if (Location().mode == kLocationEnvironment) return root + "data/" + Lower(name);
  return root + std::string(name);
}

std::string ReadProfileString(std::string_view section, std::string_view key, std::string_view def,
                              size_t size, std::string_view file) {
  std::string path = ResolveProfile(file);
  if (!UsableProfilePath(path, file)) return std::string(def.substr(0, size ? size - 1 : 0));
  return plat::GetPrivateProfileString(section, key, def, size, path);
}

void WriteProfileString(std::string_view section, std::string_view key, std::string_view value,
                        std::string_view file) {
  std::string path = ResolveProfile(file);
  if (!UsableProfilePath(path, file)) return;
  if (!plat::WritePrivateProfileString(section, key, value, path)) {
    Trace(plat::LogLevel::kErr,
          "Location - could not write " + std::string(key.substr(0, 64)) + " in " + path);
  }
}

}  // namespace xarvel
