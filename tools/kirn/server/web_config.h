// The web configuration file of the Prometheus exporters (--web-config FILE): TLS, basic
// authentication and extra response headers for kirn metrics' server.
//
//   tls_server_config:
//     cert_file, key_file            the server's certificate (chain) and key, PEM
//     client_auth_type               NoClientCert (default), RequestClientCert,
//                                    RequireAnyClientCert, VerifyClientCertIfGiven,
//                                    RequireAndVerifyClientCert
//     client_ca_file                 CAs that client certificates are verified against
//     client_allowed_sans            a client certificate must name one of these
//     min_version, max_version       TLS10..TLS13 (defaults TLS12, TLS13)
//     cipher_suites                  Go's names (TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256, ...),
//                                    mapped to GnuTLS's key exchanges, ciphers and MACs
//     curve_preferences              CurveP256, CurveP384, CurveP521, X25519
//     prefer_server_cipher_suites    true (default) or false
//   http_server_config:
//     http2                          accepted, not applied (warned): HTTP/1.1 only
//     headers                        Strict-Transport-Security, X-Content-Type-Options,
//                                    X-Frame-Options, X-XSS-Protection
//   basic_auth_users:                user: bcrypt hash ($2a$, $2b$, $2y$)
//
// Relative paths are taken from the file's directory. Unknown keys are errors. Two statements
// of kirn's own switch a protection off on purpose: `basic_auth_users: none` (no passwords) and
// `tls_server_config: none` (no TLS). A file read again that has no user, or no TLS, where the
// configuration in force has them, is taken as a file caught half written (an editor, a
// template that writes the users last, `cat >`), not as a wish: without the statement it is
// refused and the last good configuration stays (web_access.h).
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kirn {

struct WebConfig {
  // TLS: on when cert_file (and key_file) are given.
  bool tls = false;
  std::string cert_file;
  std::string key_file;
  std::string client_auth_type = "NoClientCert";
  std::string client_ca_file;
  std::vector<std::string> client_allowed_sans;
  int min_version = 12;  // TLS 1.x
  int max_version = 13;
  std::vector<std::string> curves;  // GnuTLS group names
  // From cipher_suites: GnuTLS's names of the suites' key exchanges, ciphers and MACs, in the
  // order first named; empty: the default (kDefaultSuites).
  std::vector<std::string> kx, ciphers, macs;
  bool prefer_server_cipher_suites = true;
  std::vector<std::pair<std::string, std::string>> headers;
  // User name -> bcrypt hash.
  std::map<std::string, std::string> users;
  // `basic_auth_users: none`, `tls_server_config: none`: off on purpose.
  bool passwords_off = false;
  bool tls_off = false;
  // Keys read but not applied, for one warning.
  std::vector<std::string> not_applied;

  // The GnuTLS priority string of the TLS settings. Without cipher_suites only forward-secret
  // AEAD suites (ECDHE with AES-GCM or ChaCha20-Poly1305; TLS 1.3's own suites of those
  // ciphers) are offered.
  std::string Priorities() const;
  // The settings that only a restart can change (TLS on or off, the client CA and its use, the
  // versions, suites and curves).
  bool SameListener(const WebConfig& other) const {
    return tls == other.tls && client_ca_file == other.client_ca_file &&
           client_auth_type == other.client_auth_type && Priorities() == other.Priorities();
  }
};

// Reads the configuration from `text` (a YAML document); `directory` resolves relative paths.
// False and `error` set (one line) when it is not a valid configuration.
bool ParseWebConfig(const std::string& text, const std::string& directory, WebConfig* config,
                    std::string* error);

// Reads the file at `path` with ParseWebConfig.
bool ReadWebConfig(const std::string& path, WebConfig* config, std::string* error);

}  // namespace kirn
