// The web configuration applied to kirn metrics' server: TLS, basic authentication, extra
// headers and the Host check, and the file read again when it (or a certificate or key it
// names) changes, looked at no more than once a second. A broken new file keeps the last good
// configuration and says so on standard error, in note() (for /healthz) and in Figures(); so
// does a change that only a restart can make (TLS on or off, the client CA and its use), and a
// file that drops every user, or TLS, without saying so on purpose (web_config.h). Main thread
// only.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tools/kirn/server/basic_auth.h"
#include "tools/kirn/server/http_server.h"
#include "tools/kirn/server/web_config.h"

namespace kirn {

class WebAccess {
 public:
  // Reads `path` (empty: no web configuration, plain HTTP without passwords). Nullptr and
  // `error` set when it cannot be used.
  static std::unique_ptr<WebAccess> Load(const std::string& path, std::string* error);
  WebAccess(const WebAccess&) = delete;
  WebAccess& operator=(const WebAccess&) = delete;

  bool tls() const { return config_.tls; }
  // What HttpServer::Listen needs for TLS. REQUIRES: tls().
  HttpTls TlsOptions() const;
  // Puts the configuration in front of `server`: headers, the authenticator when there are
  // users, else the Host check with `host_names`.
  void Attach(HttpServer* server, std::set<std::string> host_names);
  // Reads the files again when they changed (at most once a second).
  void Poll();
  // Why the file on disk is not the configuration in force; empty while it is.
  const std::string& note() const { return note_; }
  // The figures of the exposition: xarvel_exporter_web_config_ok (none without a file).
  std::string Figures() const;

 private:
  using Clock = std::chrono::steady_clock;
  explicit WebAccess(std::string path) : path_(std::move(path)) {}
  // The files' identities and times, to see a change.
  std::string Signature() const;
  bool Apply(const WebConfig& config, std::string* error);
  void Reattach();

  std::string path_;
  WebConfig config_;
  std::unique_ptr<BasicAuthenticator> auth_;
  HttpServer* server_ = nullptr;
  std::set<std::string> host_names_;
  std::string signature_;
  Clock::time_point last_look_{};
  std::string note_;
};

}  // namespace kirn
