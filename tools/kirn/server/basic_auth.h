// Basic authentication of kirn metrics' requests against the bcrypt hashes of the web
// configuration, as the Prometheus exporters do it:
//
// - bcrypt ($2a$, $2b$, $2y$) is checked by the system's libcrypt on a worker thread, never on the
//   server's loop; the request waits (suspended) meanwhile;
// - a good password is cached (a keyed hash of user, password and stored hash), so a scrape
//   does not pay a bcrypt each time; the cache is looked at first, before any back-off, so a
//   good password is never held back; it keeps the kMaxCached most recently used entries
//   (the least recently used goes first, one at a time), and a new configuration keeps the
//   entries of users whose hash did not change;
// - an unknown user is checked against a dummy hash of the highest cost among the users, so
//   that its answer takes as long as a wrong password of the slowest known user;
// - a user name or password with a control character (NUL included) is refused without a
//   check, as a failure;
// - after 5 failures a client (AddressKey: an IPv6 address whole) waits before its next check:
//   1 s, doubling, up to 30 s (429 with Retry-After meanwhile); a good password forgives it.
//   The back-off is never per user name, which would lock out the user being guessed;
// - uncached checks are bounded for everyone together: at most kChecksPerSecond a second, at
//   most kMaxQueued waiting for the worker and kMaxQueuedPerClient of one client; beyond, 503
//   (or 429 for the one client) with Retry-After, never an unbounded wait. Rotating addresses
//   thus gains a guesser nothing.
//
// Main thread only, except the worker.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
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
  static constexpr int kChecksPerSecond = 10;
  static constexpr size_t kMaxQueued = 8;
  static constexpr int kMaxQueuedPerClient = 2;

  // `check` is CryptMatches but for tests and fuzzing.
  explicit BasicAuthenticator(PasswordCheck check = CryptMatches);
  ~BasicAuthenticator() override;
  BasicAuthenticator(const BasicAuthenticator&) = delete;
  BasicAuthenticator& operator=(const BasicAuthenticator&) = delete;

  // The users and their hashes; the cache keeps the entries of users whose hash is the same.
  void SetUsers(std::map<std::string, std::string> users);
  // Forgets every failure and the ceiling's count: the fuzz target and tests start each input
  // afresh. With `passwords`, the remembered good passwords too.
  void ForgetFailures(bool passwords = false);
  size_t cached() const { return lru_.size(); }

  Verdict Check(const std::string& client, const std::string& authorization, uint64_t ticket,
                int* retry_after_s) override;
  int fd() const override { return event_fd_; }
  std::vector<std::pair<uint64_t, bool>> TakeDone() override;

  // The user and password of an Authorization header ("Basic " + base64 of "user:password").
  // False when it is none, or either has a control character.
  static bool ParseBasic(const std::string& authorization, std::string* user,
                         std::string* password);

 private:
  using Clock = std::chrono::steady_clock;
  struct Job {
    uint64_t ticket = 0;
    std::string client;
    std::string key;  // the cache key of a good answer
    std::string user;
    std::string password;
    std::string hash;
    bool known = false;  // the user exists (else the dummy hash is checked)
  };
  struct Done {
    uint64_t ticket = 0;
    std::string client;
    std::string key;
    std::string user;
    std::string hash;
    bool ok = false;
  };
  // A cached good password: its key, and whose it was with which hash.
  struct Cached {
    std::string key;
    std::string user;
    std::string hash;
  };
  struct Failures {
    int count = 0;
    Clock::time_point until{};
  };

  void Work();
  void Failed(const std::string& client);
  void Remember(const std::string& key, const std::string& user, const std::string& hash);
  // Takes one uncached check from the ceiling; false when none is left this second.
  bool TakeCheck();
  std::string CacheKey(const std::string& user, const std::string& password,
                       const std::string& hash) const;

  PasswordCheck check_;
  std::map<std::string, std::string> users_;
  std::string dummy_hash_;
  std::string secret_;
  // Most recently used first.
  std::list<Cached> lru_;
  std::unordered_map<std::string, std::list<Cached>::iterator> cache_;
  std::map<std::string, Failures> failures_;
  // Checks of each client queued or running.
  std::map<std::string, int> queued_per_client_;
  // The ceiling of uncached checks: what is left of this second's, refilled as time goes.
  double checks_left_ = kChecksPerSecond;
  Clock::time_point checks_at_{};
  int event_fd_ = -1;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  std::vector<Done> done_;
  bool stop_ = false;
  std::thread worker_;
};

}  // namespace kirn
