#include "tools/kirn/server/web_config.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "tools/kirn/common/text_encoding.h"
#include "tools/kirn/server/text_file.h"

namespace kirn {
namespace {

struct Bad {
  std::string what;
};

void Fail(const std::string& what) {
  throw Bad{what};
}

void OnlyKeys(const YAML::Node& node, const std::string& where, const std::set<std::string>& keys) {
  if (!node.IsMap()) Fail(where + " must be a mapping");
  for (const auto& item : node) {
    const std::string key = item.first.as<std::string>();
    if (keys.count(key) == 0) Fail("unknown key '" + key + "' in " + where);
  }
}

std::string Text(const YAML::Node& node, const std::string& what) {
  if (!node.IsScalar()) Fail(what + " must be a text");
  return node.as<std::string>();
}

std::vector<std::string> Texts(const YAML::Node& node, const std::string& what) {
  std::vector<std::string> out;
  if (!node || node.IsNull()) return out;
  if (!node.IsSequence()) Fail(what + " must be a list");
  for (const auto& item : node) out.push_back(Text(item, what));
  return out;
}

bool Flag(const YAML::Node& node, const std::string& what) {
  bool value = false;
  if (!node.IsScalar() || !YAML::convert<bool>::decode(node, value)) {
    Fail(what + " must be true or false");
  }
  return value;
}

std::string Path(const std::string& directory, const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  return directory + "/" + path;
}

int Version(const std::string& text, const std::string& what) {
  static const std::map<std::string, int> versions = {
      {"TLS10", 10}, {"TLS11", 11}, {"TLS12", 12}, {"TLS13", 13}};
  auto it = versions.find(text);
  if (it == versions.end())
    Fail(what + " must be TLS10, TLS11, TLS12 or TLS13, not '" + text + "'");
  return it->second;
}

// One suite by Go's name, as GnuTLS's names of its parts (key exchange empty for TLS 1.3's).
struct Suite {
  const char* go;
  const char* kx;
  const char* cipher;
  const char* mac;
};
constexpr Suite kSuites[] = {
    {"TLS_AES_128_GCM_SHA256", "", "AES-128-GCM", "AEAD"},
    {"TLS_AES_256_GCM_SHA384", "", "AES-256-GCM", "AEAD"},
    {"TLS_CHACHA20_POLY1305_SHA256", "", "CHACHA20-POLY1305", "AEAD"},
    {"TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256", "ECDHE-ECDSA", "AES-128-GCM", "AEAD"},
    {"TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384", "ECDHE-ECDSA", "AES-256-GCM", "AEAD"},
    {"TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256", "ECDHE-ECDSA", "CHACHA20-POLY1305", "AEAD"},
    {"TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305", "ECDHE-ECDSA", "CHACHA20-POLY1305", "AEAD"},
    {"TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256", "ECDHE-RSA", "AES-128-GCM", "AEAD"},
    {"TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384", "ECDHE-RSA", "AES-256-GCM", "AEAD"},
    {"TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256", "ECDHE-RSA", "CHACHA20-POLY1305", "AEAD"},
    {"TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305", "ECDHE-RSA", "CHACHA20-POLY1305", "AEAD"},
    {"TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA", "ECDHE-ECDSA", "AES-128-CBC", "SHA1"},
    {"TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA", "ECDHE-ECDSA", "AES-256-CBC", "SHA1"},
    {"TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA256", "ECDHE-ECDSA", "AES-128-CBC", "SHA256"},
    {"TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA", "ECDHE-RSA", "AES-128-CBC", "SHA1"},
    {"TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA", "ECDHE-RSA", "AES-256-CBC", "SHA1"},
    {"TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256", "ECDHE-RSA", "AES-128-CBC", "SHA256"},
    {"TLS_ECDHE_RSA_WITH_3DES_EDE_CBC_SHA", "ECDHE-RSA", "3DES-CBC", "SHA1"},
    {"TLS_RSA_WITH_AES_128_GCM_SHA256", "RSA", "AES-128-GCM", "AEAD"},
    {"TLS_RSA_WITH_AES_256_GCM_SHA384", "RSA", "AES-256-GCM", "AEAD"},
    {"TLS_RSA_WITH_AES_128_CBC_SHA", "RSA", "AES-128-CBC", "SHA1"},
    {"TLS_RSA_WITH_AES_256_CBC_SHA", "RSA", "AES-256-CBC", "SHA1"},
    {"TLS_RSA_WITH_AES_128_CBC_SHA256", "RSA", "AES-128-CBC", "SHA256"},
    {"TLS_RSA_WITH_3DES_EDE_CBC_SHA", "RSA", "3DES-CBC", "SHA1"},
};

void AddOnce(std::vector<std::string>* list, const std::string& name) {
  if (!name.empty() && std::find(list->begin(), list->end(), name) == list->end()) {
    list->push_back(name);
  }
}

// cipher_suites: each suite's parts are allowed. GnuTLS takes lists of key exchanges, ciphers
// and MACs rather than whole suites, so two suites listed also allow their parts' other
// combinations (ECDHE-RSA with AES-128-GCM and ECDHE-ECDSA with AES-256-GCM allow
// ECDHE-RSA with AES-256-GCM); TLS 1.3's suites are those of the listed AEAD ciphers.
void ReadSuites(const std::vector<std::string>& names, WebConfig* c) {
  for (const std::string& name : names) {
    const Suite* found = nullptr;
    for (const Suite& suite : kSuites) {
      if (name == suite.go) found = &suite;
    }
    if (found == nullptr) {
      Fail("unknown or unavailable cipher suite '" + name +
           "' in cipher_suites (RC4 is not offered)");
    }
    AddOnce(&c->kx, found->kx);
    AddOnce(&c->ciphers, found->cipher);
    AddOnce(&c->macs, found->mac);
  }
  if (!c->ciphers.empty() && c->max_version >= 13 &&
      std::find(c->macs.begin(), c->macs.end(), "AEAD") == c->macs.end()) {
    Fail(
        "cipher_suites names no AEAD suite, which TLS 1.3 needs: name one, or say max_version: "
        "TLS12");
  }
  if (!c->ciphers.empty() && c->kx.empty() && c->min_version < 13) {
    // Only TLS 1.3's suites: no key exchange is named for TLS 1.2.
    AddOnce(&c->kx, "ECDHE-ECDSA");
    AddOnce(&c->kx, "ECDHE-RSA");
  }
}

void ReadTls(const YAML::Node& tls, const std::string& directory, WebConfig* c) {
  OnlyKeys(tls, "tls_server_config",
           {"cert_file", "key_file", "client_auth_type", "client_ca_file", "client_allowed_sans",
            "min_version", "max_version", "cipher_suites", "curve_preferences",
            "prefer_server_cipher_suites"});
  if (tls["cert_file"]) c->cert_file = Path(directory, Text(tls["cert_file"], "cert_file"));
  if (tls["key_file"]) c->key_file = Path(directory, Text(tls["key_file"], "key_file"));
  if (c->cert_file.empty() != c->key_file.empty()) {
    Fail("tls_server_config needs both cert_file and key_file");
  }
  c->tls = !c->cert_file.empty();
  if (!c->tls) Fail("tls_server_config needs cert_file and key_file");
  if (tls["client_auth_type"]) {
    c->client_auth_type = Text(tls["client_auth_type"], "client_auth_type");
    static const std::set<std::string> types = {"NoClientCert", "RequestClientCert",
                                                "RequireAnyClientCert", "VerifyClientCertIfGiven",
                                                "RequireAndVerifyClientCert"};
    if (types.count(c->client_auth_type) == 0) {
      Fail("unknown client_auth_type '" + c->client_auth_type + "'");
    }
  }
  if (tls["client_ca_file"]) {
    c->client_ca_file = Path(directory, Text(tls["client_ca_file"], "client_ca_file"));
  }
  const bool verifies = c->client_auth_type == "VerifyClientCertIfGiven" ||
                        c->client_auth_type == "RequireAndVerifyClientCert";
  // Clients are asked for a certificate only with a CA to name in the request.
  if ((verifies || c->client_auth_type == "RequireAnyClientCert") && c->client_ca_file.empty()) {
    Fail("client_auth_type " + c->client_auth_type + " needs client_ca_file");
  }
  if (!c->client_ca_file.empty() && c->client_auth_type == "NoClientCert") {
    // As the exporters do: a CA alone asks for verified client certificates.
    c->client_auth_type = "RequireAndVerifyClientCert";
  }
  c->client_allowed_sans = Texts(tls["client_allowed_sans"], "client_allowed_sans");
  if (!c->client_allowed_sans.empty() && !verifies &&
      c->client_auth_type != "RequireAndVerifyClientCert") {
    Fail("client_allowed_sans needs verified client certificates");
  }
  if (tls["min_version"])
    c->min_version = Version(Text(tls["min_version"], "min_version"), "min_version");
  if (tls["max_version"])
    c->max_version = Version(Text(tls["max_version"], "max_version"), "max_version");
  if (c->min_version > c->max_version) Fail("min_version is above max_version");
  ReadSuites(Texts(tls["cipher_suites"], "cipher_suites"), c);
  static const std::map<std::string, std::string> curves = {{"CurveP256", "SECP256R1"},
                                                            {"CurveP384", "SECP384R1"},
                                                            {"CurveP521", "SECP521R1"},
                                                            {"X25519", "X25519"}};
  for (const std::string& curve : Texts(tls["curve_preferences"], "curve_preferences")) {
    auto it = curves.find(curve);
    if (it == curves.end()) Fail("unknown curve '" + curve + "' in curve_preferences");
    c->curves.push_back(it->second);
  }
  if (tls["prefer_server_cipher_suites"]) {
    c->prefer_server_cipher_suites =
        Flag(tls["prefer_server_cipher_suites"], "prefer_server_cipher_suites");
  }
}

void ReadHttp(const YAML::Node& http, WebConfig* c) {
  OnlyKeys(http, "http_server_config", {"http2", "headers"});
  if (http["http2"]) {
    Flag(http["http2"], "http2");
    c->not_applied.push_back("http2");
  }
  const YAML::Node headers = http["headers"];
  if (!headers || headers.IsNull()) return;
  if (!headers.IsMap()) Fail("headers must be a mapping");
  static const std::set<std::string> allowed = {
      "Strict-Transport-Security", "X-Content-Type-Options", "X-Frame-Options", "X-XSS-Protection"};
  for (const auto& item : headers) {
    const std::string name = item.first.as<std::string>();
    if (allowed.count(name) == 0) Fail("the header '" + name + "' cannot be set");
    const std::string value = Text(item.second, name);
    if (value.find_first_of("\r\n") != std::string::npos) Fail("a line break in header " + name);
    c->headers.emplace_back(name, value);
  }
}

// The statement `KEY: none`.
bool IsNone(const YAML::Node& node) {
  return node.IsScalar() && node.Scalar() == "none";
}

void ReadUsers(const YAML::Node& users, WebConfig* c) {
  if (users.IsNull()) return;
  if (IsNone(users)) {
    c->passwords_off = true;
    return;
  }
  if (!users.IsMap()) Fail("basic_auth_users must be a mapping (or 'none')");
  for (const auto& item : users) {
    const std::string user = item.first.as<std::string>();
    const std::string hash = Text(item.second, "the hash of a user");
    const bool control = std::any_of(user.begin(), user.end(), [](char ch) {
      return static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F;
    });
    if (user.empty() || user.find(':') != std::string::npos || control) {
      Fail("a user name must be a text without ':' or control characters");
    }
    const bool bcrypt = hash.size() == 60 && hash[0] == '$' && hash[1] == '2' &&
                        (hash[2] == 'a' || hash[2] == 'b' || hash[2] == 'y') && hash[3] == '$';
    if (!bcrypt) Fail("the hash of user '" + user + "' is not a bcrypt hash ($2a$, $2b$, $2y$)");
    c->users[user] = hash;
  }
}

}  // namespace

std::string WebConfig::Priorities() const {
  std::string p = "NORMAL:-VERS-ALL";
  for (int v = max_version; v >= min_version; --v) {
    p += ":+VERS-TLS1." + std::to_string(v - 10);
  }
  const bool chosen = !ciphers.empty();
  auto list = [&p](const char* all, const std::vector<std::string>& names) {
    p += std::string(":-") + all;
    for (const std::string& n : names) p += ":+" + n;
  };
  list("CIPHER-ALL",
       chosen ? ciphers
              : std::vector<std::string>{"AES-128-GCM", "AES-256-GCM", "CHACHA20-POLY1305"});
  list("MAC-ALL", chosen ? macs : std::vector<std::string>{"AEAD"});
  list("KX-ALL", chosen ? kx : std::vector<std::string>{"ECDHE-ECDSA", "ECDHE-RSA"});
  if (!curves.empty()) {
    p += ":-GROUP-ALL";
    for (const std::string& c : curves) p += ":+GROUP-" + c;
  }
  if (prefer_server_cipher_suites) p += ":%SERVER_PRECEDENCE";
  return p;
}

bool ParseWebConfig(const std::string& text, const std::string& directory, WebConfig* config,
                    std::string* error) {
  WebConfig c;
  try {
    const YAML::Node root = YAML::Load(text);
    if (root.IsNull()) {
      *config = c;
      return true;
    }
    OnlyKeys(root, "the web configuration",
             {"tls_server_config", "http_server_config", "basic_auth_users"});
    if (root["tls_server_config"] && IsNone(root["tls_server_config"])) {
      c.tls_off = true;
    } else if (root["tls_server_config"] && !root["tls_server_config"].IsNull()) {
      ReadTls(root["tls_server_config"], directory, &c);
    }
    if (root["http_server_config"] && !root["http_server_config"].IsNull()) {
      ReadHttp(root["http_server_config"], &c);
    }
    if (root["basic_auth_users"]) ReadUsers(root["basic_auth_users"], &c);
  } catch (const Bad& bad) {
    // Names and YAML's messages quote the file, whatever bytes it has: one line of text.
    *error = TerminalText(bad.what);
    return false;
  } catch (const YAML::Exception& e) {
    *error = TerminalText("not valid YAML: " + std::string(e.what()));
    return false;
  }
  *config = std::move(c);
  return true;
}

bool ReadWebConfig(const std::string& path, WebConfig* config, std::string* error) {
  std::string text;
  if (!ReadTextFile(path, &text, error)) return false;
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash);
  return ParseWebConfig(text, directory, config, error);
}

}  // namespace kirn
