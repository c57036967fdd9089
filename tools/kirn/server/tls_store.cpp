#include "tools/kirn/server/tls_store.h"

#include <arpa/inet.h>
#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <cstring>
#include <deque>
#include <memory>

#include "tools/kirn/server/text_file.h"

namespace kirn {
namespace {

// One loaded certificate chain with its key.
struct Credentials {
  gnutls_pcert_st certs[16]{};
  unsigned count = 0;
  gnutls_privkey_t key = nullptr;
  ~Credentials() {
    for (unsigned i = 0; i < count; ++i) gnutls_pcert_deinit(&certs[i]);
    if (key != nullptr) gnutls_privkey_deinit(key);
  }
};

// The current credentials last; a few earlier ones stay alive for handshakes that began with
// them.
std::deque<std::unique_ptr<Credentials>>& Generations() {
  static std::deque<std::unique_ptr<Credentials>> generations;
  return generations;
}

gnutls_datum_t Datum(std::string& text) {
  return gnutls_datum_t{reinterpret_cast<unsigned char*>(text.data()),
                        static_cast<unsigned>(text.size())};
}

int Retrieve(gnutls_session_t, const gnutls_datum_t*, int, const gnutls_pk_algorithm_t*, int,
             gnutls_pcert_st** pcert, unsigned int* pcert_length, gnutls_privkey_t* key) {
  if (Generations().empty()) return -1;
  Credentials& c = *Generations().back();
  *pcert = c.certs;
  *pcert_length = c.count;
  *key = c.key;
  return 0;
}

}  // namespace

bool LoadServerCertificate(const std::string& cert_file, const std::string& key_file,
                           std::string* error) {
  std::string cert_pem;
  std::string key_pem;
  if (!ReadTextFile(cert_file, &cert_pem, error) || !ReadTextFile(key_file, &key_pem, error)) {
    return false;
  }
  gnutls_datum_t cert = Datum(cert_pem);
  gnutls_datum_t key = Datum(key_pem);
  // A credentials set of its own checks that the key belongs to the certificate.
  gnutls_certificate_credentials_t check = nullptr;
  gnutls_certificate_allocate_credentials(&check);
  const int pair =
      gnutls_certificate_set_x509_key_mem2(check, &cert, &key, GNUTLS_X509_FMT_PEM, nullptr, 0);
  gnutls_certificate_free_credentials(check);
  if (pair < 0) {
    *error = cert_file + ", " + key_file + ": " + gnutls_strerror(pair);
    return false;
  }
  auto c = std::make_unique<Credentials>();
  c->count = 16;
  int r = gnutls_pcert_list_import_x509_raw(c->certs, &c->count, &cert, GNUTLS_X509_FMT_PEM, 0);
  if (r < 0) {
    c->count = 0;
    *error = cert_file + ": " + gnutls_strerror(r);
    return false;
  }
  gnutls_privkey_init(&c->key);
  r = gnutls_privkey_import_x509_raw(c->key, &key, GNUTLS_X509_FMT_PEM, nullptr, 0);
  if (r < 0) {
    *error = key_file + ": " + gnutls_strerror(r);
    return false;
  }
  Generations().push_back(std::move(c));
  while (Generations().size() > 4) Generations().pop_front();
  return true;
}

void* ServerCertificateCallback() {
  return reinterpret_cast<void*>(&Retrieve);
}

bool ClientPasses(void* session_ptr, const std::string& type,
                  const std::vector<std::string>& allowed_sans) {
  auto session = static_cast<gnutls_session_t>(session_ptr);
  unsigned count = 0;
  const gnutls_datum_t* certs = gnutls_certificate_get_peers(session, &count);
  const bool given = certs != nullptr && count > 0;
  if (type == "NoClientCert" || type == "RequestClientCert") return true;
  if (type == "RequireAnyClientCert") return given;
  if (!given) return type == "VerifyClientCertIfGiven";
  unsigned status = 0;
  if (gnutls_certificate_verify_peers2(session, &status) < 0 || status != 0) return false;
  if (allowed_sans.empty()) return true;
  gnutls_x509_crt_t crt = nullptr;
  gnutls_x509_crt_init(&crt);
  bool named = false;
  if (gnutls_x509_crt_import(crt, &certs[0], GNUTLS_X509_FMT_DER) >= 0) {
    for (unsigned i = 0; !named; ++i) {
      char san[1024];
      size_t size = sizeof san;
      const int kind = gnutls_x509_crt_get_subject_alt_name(crt, i, san, &size, nullptr);
      if (kind < 0) break;
      if (kind == GNUTLS_SAN_IPADDRESS && (size == 4 || size == 16)) {
        // An address comes as its bytes: compared as its text.
        char text[INET6_ADDRSTRLEN] = "";
        ::inet_ntop(size == 4 ? AF_INET : AF_INET6, san, text, sizeof text);
        size = std::strlen(text);
        std::memcpy(san, text, size + 1);
      }
      for (const std::string& allowed : allowed_sans) {
        named = named || (size == allowed.size() && allowed.compare(0, size, san, size) == 0);
      }
    }
  }
  gnutls_x509_crt_deinit(crt);
  return named;
}

}  // namespace kirn
