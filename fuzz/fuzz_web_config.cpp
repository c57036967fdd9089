// Fuzz target: the web configuration file of kirn metrics (--web-config), read as the server
// reads it at start and at every change. Whatever the text: it is refused with a one-line reason,
// or taken; a configuration taken names only users with a bcrypt hash and no control character or
// colon in their name, has no users when it says passwords are off, has both a certificate and
// a key or neither, and gives a TLS priority string that GnuTLS itself takes.
#include <gnutls/gnutls.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/kirn/server/web_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  kirn::WebConfig config;
  std::string error;
  if (!kirn::ParseWebConfig(text, "/etc/kirn", &config, &error)) {
    // One line of text, whatever bytes the file had.
    for (const char c : error) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) std::abort();
    }
    if (error.empty()) std::abort();
    return 0;
  }
  if (config.passwords_off && !config.users.empty()) std::abort();
  if (config.tls_off && config.tls) std::abort();
  if (config.tls != !config.cert_file.empty() ||
      config.cert_file.empty() != config.key_file.empty())
    std::abort();
  for (const auto& [user, hash] : config.users) {
    if (user.empty() || hash.size() != 60 || hash.compare(0, 2, "$2") != 0) std::abort();
    for (const char c : user) {
      if (c == ':' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) std::abort();
    }
  }
  gnutls_priority_t priority = nullptr;
  const char* where = nullptr;
  if (gnutls_priority_init(&priority, config.Priorities().c_str(), &where) != GNUTLS_E_SUCCESS) {
    std::abort();
  }
  gnutls_priority_deinit(priority);
  return 0;
}
