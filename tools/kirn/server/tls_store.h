// The server certificate of kirn metrics' TLS, held so that a certificate replaced on disk is
// served from the next handshake on, and the check of client certificates. Main thread only
// (the library runs its handshakes on the server's loop).
#pragma once

#include <string>
#include <vector>

namespace kirn {

// Loads the certificate chain and key (PEM files) as the one every later handshake presents.
// False and `error` set when they cannot be read, or the key does not belong to the
// certificate; the certificate served so far stays.
bool LoadServerCertificate(const std::string& cert_file, const std::string& key_file,
                           std::string* error);

// The library's certificate callback (a gnutls_certificate_retrieve_function2).
void* ServerCertificateCallback();

// Whether the client of `session` (a gnutls_session_t) passes `client_auth_type` (the web
// configuration's names) and, when `allowed_sans` is not empty, names one of them in its
// certificate's subject alternative names.
bool ClientPasses(void* session, const std::string& client_auth_type,
                  const std::vector<std::string>& allowed_sans);

}  // namespace kirn
