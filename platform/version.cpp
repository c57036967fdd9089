#include "platform/version.h"

#include <cstdio>

#include "version_resource.h"

namespace plat {

size_t GetFileVersionInfoSize() {
  return sizeof(kVersionResource);
}

std::optional<Translation> FirstTranslation() {
  return Translation{kVersionLanguage, kVersionCodePage};
}

std::optional<std::string> VerQueryValue(std::string_view sub_block) {
  char key[64];
  std::snprintf(key, sizeof key, "\\StringFileInfo\\%04X%04X\\", kVersionLanguage,
                kVersionCodePage);
  const std::string_view prefix(key);
  if (sub_block.substr(0, prefix.size()) != prefix) return std::nullopt;
  const std::string_view name = sub_block.substr(prefix.size());
  if (name == "PRODUCTVERSION" || name == "FileVersion" || name == "ProductVersion") {
    return std::string(kVersionResource);
  }
  if (name == "ProductName") return std::string("Xarvel MC1000 Controller Driver");
  return std::nullopt;
}

}  // namespace plat
