// Basic authentication of kirn metrics' requests against the bcrypt hashes of the web
// configuration, as the Prometheus exporters do it:
//
// - bcrypt ($2a$, $2b$, $2y$) is checked by the system's libcrypt on a worker thread, never on the
//   server's loop; the request waits (suspended) meanwhile;
// - a good password is cached (a keyed hash of user, password and stored hash), so a scrape
//   does not pay a bcrypt each time; a new configuration empties the cache;
// - an unknown user is checked against a dummy hash of the same cost, so that its answer takes
//   as long as a wrong password of a known user;
// - after 5 failures a client (ClientKey) waits before its next check: 1 s, doubling, up to
//   30 s (429 with Retry-After meanwhile); a good password forgives it.
//
// Main thread only, except the worker.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/kirn/server/http_server.h"

namespace kirn {

// True when `password` matches the crypt(3) `hash`.
using PasswordCheck = std::function<bool(const std::string& password, const std::string& hash)>;

// The check of libcrypt (constant-time comparison of the result).
bool CryptMatches(const std::string& password, const std::string& hash);

class BasicAuthenticator : public HttpAuthenticator {
 public:
  static constexpr int kFreeFailures = 5;
  static constexpr int kMaxBackOffS = 30;
  static constexpr size_t kMaxCached = 1024;

  // `check` is CryptMatches but for tests and fuzzing.
  explicit BasicAuthenticator(PasswordCheck check = CryptMatches);
  ~BasicAuthenticator() override;
  BasicAuthenticator(const BasicAuthenticator&) = delete;
  BasicAuthenticator& operator=(const BasicAuthenticator&) = delete;

  // The users and their hashes; empties the cache.
  void SetUsers(std::map<std::string, std::string> users);

  Verdict Check(const std::string& client, const std::string& authorization, uint64_t ticket,
                int* retry_after_s) override;
  int fd() const override { return event_fd_; }
  std::vector<std::pair<uint64_t, bool>> TakeDone() override;

  // The user and password of an Authorization header ("Basic " + base64 of "user:password").
  static bool ParseBasic(const std::string& authorization, std::string* user,
                         std::string* password);

 private:
  using Clock = std::chrono::steady_clock;
  struct Job {
    uint64_t ticket = 0;
    std::string client;
    std::string key;  // the cache key of a good answer
    std::string password;
    std::string hash;
    bool known = false;  // the user exists (else the dummy hash is checked)
  };
  struct Done {
    uint64_t ticket = 0;
    std::string client;
    std::string key;
    bool ok = false;
  };
  struct Failures {
    int count = 0;
    Clock::time_point until{};
  };

  void Work();
  void Failed(const std::string& client);
  std::string CacheKey(const std::string& user, const std::string& password,
                       const std::string& hash) const;

  PasswordCheck check_;
  std::map<std::string, std::string> users_;
  std::string dummy_hash_;
  std::string secret_;
  std::set<std::string> cache_;
  std::map<std::string, Failures> failures_;
  int event_fd_ = -1;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  std::vector<Done> done_;
  bool stop_ = false;
  std::thread worker_;
};

}  // namespace kirn
