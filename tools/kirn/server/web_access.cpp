#include "tools/kirn/server/web_access.h"

#include <cstdio>

#include "platform/debug_output.h"
#include "tools/kirn/server/text_file.h"
#include "tools/kirn/server/tls_store.h"

namespace kirn {
namespace {

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& s : items) out += (out.empty() ? "" : ", ") + s;
  return out;
}

}  // namespace

std::unique_ptr<WebAccess> WebAccess::Load(const std::string& path, std::string* error) {
  std::unique_ptr<WebAccess> access(new WebAccess(path));
  if (path.empty()) return access;
  WebConfig config;
  if (!ReadWebConfig(path, &config, error) || !access->Apply(config, error)) {
    *error = "--web-config " + *error;
    return nullptr;
  }
  access->signature_ = access->Signature();
  access->last_look_ = Clock::now();
  return access;
}

bool WebAccess::Apply(const WebConfig& config, std::string* error) {
  if (config.tls && !LoadServerCertificate(config.cert_file, config.key_file, error)) return false;
  std::string ca;
  // Read now so that a missing CA is an error of this file, not of the listener.
  if (!config.client_ca_file.empty() && !ReadTextFile(config.client_ca_file, &ca, error)) {
    return false;
  }
  if (!config.not_applied.empty()) {
    plat::OutputDebugString("kirn metrics: --web-config " + path_ + ": " +
                                Join(config.not_applied) +
                                " read but not applied here (HTTP/1.1 only)\n",
                            plat::LogLevel::kWarning);
  }
  config_ = config;
  if (!config_.users.empty()) {
    if (!auth_) auth_ = std::make_unique<BasicAuthenticator>();
    auth_->SetUsers(config_.users);
  }
  return true;
}

HttpTls WebAccess::TlsOptions() const {
  HttpTls t;
  t.certificate_callback = ServerCertificateCallback();
  t.priorities = config_.Priorities();
  if (!config_.client_ca_file.empty()) {
    std::string error;
    ReadTextFile(config_.client_ca_file, &t.client_ca, &error);
  }
  const std::string type = config_.client_auth_type;
  const std::vector<std::string> sans = config_.client_allowed_sans;
  if (type != "NoClientCert") {
    t.check_client = [type, sans](void* session) { return ClientPasses(session, type, sans); };
  }
  return t;
}

void WebAccess::Attach(HttpServer* server, std::set<std::string> host_names) {
  server_ = server;
  host_names_ = std::move(host_names);
  Reattach();
}

void WebAccess::Reattach() {
  if (server_ == nullptr) return;
  server_->AddHeaders(config_.headers);
  if (!config_.users.empty()) {
    // With credentials any Host is served: a rebound page has no password.
    server_->Authenticate(auth_.get());
    server_->CheckHost({});
  } else {
    server_->Authenticate(nullptr);
    server_->CheckHost(host_names_);
  }
}

std::string WebAccess::Signature() const {
  std::string s;
  for (const std::string& file : {path_, config_.cert_file, config_.key_file}) {
    struct stat st {};
    if (file.empty() || ::stat(file.c_str(), &st) != 0) {
      s += "-;";
      continue;
    }
    s += std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
         std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + ";";
  }
  return s;
}

void WebAccess::Poll() {
  if (path_.empty()) return;
  const auto now = Clock::now();
  if (now - last_look_ < std::chrono::seconds(1)) return;
  last_look_ = now;
  const std::string signature = Signature();
  if (signature == signature_) return;
  signature_ = signature;
  WebConfig config;
  std::string error;
  if (ReadWebConfig(path_, &config, &error)) {
    if (!config_.users.empty() && config.users.empty() && !config.passwords_off) {
      // An editor or a template caught half way: passwords never go off by accident.
      error =
          "basic_auth_users has no user (to serve without passwords, say "
          "'basic_auth_users: none')";
    } else if (config_.tls && !config.tls && !config.tls_off) {
      error =
          "tls_server_config is gone (to serve without TLS, say 'tls_server_config: none' "
          "and restart)";
    } else if (!config.SameListener(config_)) {
      error =
          "TLS on or off, client_ca_file, client_auth_type, the TLS versions, cipher suites "
          "and curves change only with a restart";
    } else if (Apply(config, &error)) {
      Reattach();
      note_.clear();
      plat::OutputDebugString("kirn metrics: --web-config " + path_ + " read again\n",
                              plat::LogLevel::kNotice);
      return;
    }
  }
  note_ = "--web-config " + path_ + ": " + error + "; the last good configuration stays";
  plat::OutputDebugString("kirn metrics: " + note_ + "\n", plat::LogLevel::kErr);
}

std::string WebAccess::Figures() const {
  if (path_.empty()) return {};
  return "# HELP xarvel_exporter_web_config_ok Whether the web configuration file on disk is the "
         "one in force (0: it was refused and the last good one stays, see /healthz).\n"
         "# TYPE xarvel_exporter_web_config_ok gauge\n"
         "xarvel_exporter_web_config_ok " +
         std::string(note_.empty() ? "1" : "0") + "\n";
}

}  // namespace kirn
