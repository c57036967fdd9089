#include "tools/kirn/server/basic_auth.h"

#include <crypt.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <QByteArray>
#include <algorithm>
#include <cstring>

namespace kirn {
namespace {

// Compares without stopping at the first difference.
bool SameBytes(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

// The cost of a bcrypt hash ("$2y$10$..."), 0 when it has none.
unsigned long CostOf(const std::string& hash) {
  if (hash.size() < 7 || hash[3] != '$') return 0;
  const unsigned long cost = std::strtoul(hash.c_str() + 4, nullptr, 10);
  return cost >= 4 && cost <= 31 ? cost : 0;
}

// A bcrypt hash of `cost` that no password matches: a fresh salt and a random digest. Checking
// a password against it costs what a real hash of that cost does; making it costs nothing.
std::string DummyHash(unsigned long cost) {
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn("$2b$", cost, nullptr, 0, salt, sizeof salt) == nullptr) return {};
  static const char kAlphabet[] =
      "./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char random[31];
  gnutls_rnd(GNUTLS_RND_NONCE, random, sizeof random);
  std::string hash = salt;
  for (const unsigned char r : random) hash += kAlphabet[r % 64];
  return hash;
}

bool HasControl(const std::string& text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

}  // namespace

bool CryptMatches(const std::string& password, const std::string& hash) {
  crypt_data data{};
  const char* result = crypt_rn(password.c_str(), hash.c_str(), &data, sizeof data);
  return result != nullptr && result[0] == '$' && SameBytes(result, hash);
}

BasicAuthenticator::BasicAuthenticator(PasswordCheck check) : check_(std::move(check)) {
  event_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  secret_.resize(32);
  gnutls_rnd(GNUTLS_RND_KEY, secret_.data(), secret_.size());
  worker_ = std::thread([this] { Work(); });
}

BasicAuthenticator::~BasicAuthenticator() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  worker_.join();
  if (event_fd_ >= 0) ::close(event_fd_);
}

void BasicAuthenticator::SetUsers(std::map<std::string, std::string> users) {
  unsigned long cost = 0;
  for (const auto& [user, hash] : users) cost = std::max(cost, CostOf(hash));
  if (cost != CostOf(dummy_hash_)) dummy_hash_ = users.empty() ? std::string() : DummyHash(cost);
  users_ = std::move(users);
  // A user whose hash is the same keeps the passwords remembered for it.
  for (auto it = lru_.begin(); it != lru_.end();) {
    auto user = users_.find(it->user);
    if (user != users_.end() && user->second == it->hash) {
      ++it;
    } else {
      cache_.erase(it->key);
      it = lru_.erase(it);
    }
  }
}

void BasicAuthenticator::ForgetFailures(bool passwords) {
  failures_.clear();
  checks_left_ = kChecksPerSecond;
  if (passwords) {
    lru_.clear();
    cache_.clear();
  }
}

bool BasicAuthenticator::ParseBasic(const std::string& authorization, std::string* user,
                                    std::string* password) {
  if (authorization.size() < 7 || strncasecmp(authorization.c_str(), "Basic ", 6) != 0) {
    return false;
  }
  const std::string encoded = authorization.substr(6);
  const auto decoded = QByteArray::fromBase64Encoding(QByteArray::fromStdString(encoded),
                                                      QByteArray::AbortOnBase64DecodingErrors);
  if (!decoded) return false;
  const std::string text = decoded.decoded.toStdString();
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  *user = text.substr(0, colon);
  *password = text.substr(colon + 1);
  // A NUL would cut the password short at the hash function; no control character is a
  // character of a name or password typed anywhere.
  return !HasControl(*user) && !HasControl(*password);
}

std::string BasicAuthenticator::CacheKey(const std::string& user, const std::string& password,
                                         const std::string& hash) const {
  std::string message = user;
  message += '\0';
  message += password;
  message += '\0';
  message += hash;
  unsigned char digest[32];
  gnutls_hmac_fast(GNUTLS_MAC_SHA256, secret_.data(), secret_.size(), message.data(),
                   message.size(), digest);
  return std::string(reinterpret_cast<char*>(digest), sizeof digest);
}

bool BasicAuthenticator::TakeCheck() {
  const auto now = Clock::now();
  const double seconds = std::chrono::duration<double>(now - checks_at_).count();
  checks_at_ = now;
  checks_left_ = std::min<double>(kChecksPerSecond, checks_left_ + seconds * kChecksPerSecond);
  if (checks_left_ < 1) return false;
  checks_left_ -= 1;
  return true;
}

HttpAuthenticator::Verdict BasicAuthenticator::Check(const std::string& client,
                                                     const std::string& authorization,
                                                     uint64_t ticket, int* retry_after_s) {
  std::string user;
  std::string password;
  const bool parsed = ParseBasic(authorization, &user, &password);
  Job job;
  auto known = users_.find(user);
  job.known = parsed && known != users_.end();
  if (job.known) {
    // A good password remembered passes first, whatever the address's failures. It forgives
    // the address nothing: a guesser behind the same address as a scraper would otherwise have
    // its count wiped at every scrape and never wait.
    job.key = CacheKey(user, password, known->second);
    if (auto hit = cache_.find(job.key); hit != cache_.end()) {
      lru_.splice(lru_.begin(), lru_, hit->second);
      return Verdict::kAllow;
    }
  }
  const auto now = Clock::now();
  if (auto f = failures_.find(client); f != failures_.end() && f->second.until > now) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(f->second.until - now);
    *retry_after_s = static_cast<int>((left.count() + 999) / 1000);
    return Verdict::kBackOff;
  }
  if (!parsed) {
    // No credentials at all is no guess: it costs nothing and is not counted. Credentials with
    // a control character are a guess that needs no check.
    if (authorization.size() > 6 && strncasecmp(authorization.c_str(), "Basic ", 6) == 0) {
      Failed(client);
    }
    return Verdict::kDeny;
  }
  *retry_after_s = 1;
  if (queued_per_client_[client] >= kMaxQueuedPerClient) return Verdict::kBackOff;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (jobs_.size() >= kMaxQueued) return Verdict::kBusy;
  }
  if (!TakeCheck()) return Verdict::kBusy;
  ++queued_per_client_[client];
  job.ticket = ticket;
  job.client = client;
  job.user = user;
  job.hash = job.known ? known->second : dummy_hash_;
  job.password = std::move(password);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
  return Verdict::kPending;
}

void BasicAuthenticator::Work() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
      if (stop_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    // The dummy hash costs as much as a real one; its result never counts.
    const bool match = !job.hash.empty() && check_(job.password, job.hash);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_.push_back(
          Done{job.ticket, job.client, job.key, job.user, job.hash, match && job.known});
    }
    const uint64_t one = 1;
    (void)!::write(event_fd_, &one, sizeof one);
  }
}

void BasicAuthenticator::Failed(const std::string& client) {
  Failures& f = failures_[client];
  ++f.count;
  if (f.count >= kFreeFailures) {
    const int shift = std::min(f.count - kFreeFailures, 5);
    const int wait = std::min(kMaxBackOffS, 1 << shift);
    f.until = Clock::now() + std::chrono::seconds(wait);
  }
  // Bounded: the clients that wait no more are forgotten first.
  if (failures_.size() > 65536) {
    const auto now = Clock::now();
    for (auto it = failures_.begin(); it != failures_.end();) {
      it = it->second.until <= now ? failures_.erase(it) : std::next(it);
    }
  }
}

void BasicAuthenticator::Remember(const std::string& key, const std::string& user,
                                  const std::string& hash) {
  if (auto hit = cache_.find(key); hit != cache_.end()) {
    lru_.splice(lru_.begin(), lru_, hit->second);
    return;
  }
  if (lru_.size() >= kMaxCached) {
    cache_.erase(lru_.back().key);
    lru_.pop_back();
  }
  lru_.push_front(Cached{key, user, hash});
  cache_[key] = lru_.begin();
}

std::vector<std::pair<uint64_t, bool>> BasicAuthenticator::TakeDone() {
  uint64_t count = 0;
  (void)!::read(event_fd_, &count, sizeof count);
  std::vector<Done> done;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done.swap(done_);
  }
  std::vector<std::pair<uint64_t, bool>> out;
  for (Done& d : done) {
    if (auto q = queued_per_client_.find(d.client);
        q != queued_per_client_.end() && --q->second <= 0) {
      queued_per_client_.erase(q);
    }
    // A check of a hash the configuration no longer holds passes nothing.
    auto user = users_.find(d.user);
    if (d.ok && user != users_.end() && user->second == d.hash) {
      Remember(d.key, d.user, d.hash);
      failures_.erase(d.client);
    } else {
      d.ok = false;
      Failed(d.client);
    }
    out.emplace_back(d.ticket, d.ok);
  }
  return out;
}

}  // namespace kirn
