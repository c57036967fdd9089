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

// A bcrypt hash of a random password with the cost of `like` (10 when it has none).
std::string DummyHash(const std::string& like) {
  unsigned long cost = 10;
  if (like.size() > 6 && like[3] == '$') cost = std::strtoul(like.c_str() + 4, nullptr, 10);
  if (cost < 4 || cost > 31) cost = 10;
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn("$2b$", cost, nullptr, 0, salt, sizeof salt) == nullptr) return {};
  crypt_data data{};
  const char* hash = crypt_rn("not a password of anyone", salt, &data, sizeof data);
  return hash != nullptr && hash[0] == '$' ? hash : std::string();
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
  const std::string like = users.empty() ? std::string() : users.begin()->second;
  users_ = std::move(users);
  cache_.clear();
  dummy_hash_ = users_.empty() ? std::string() : DummyHash(like);
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
  return true;
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

HttpAuthenticator::Verdict BasicAuthenticator::Check(const std::string& client,
                                                     const std::string& authorization,
                                                     uint64_t ticket, int* retry_after_s) {
  const auto now = Clock::now();
  if (auto f = failures_.find(client); f != failures_.end() && f->second.until > now) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(f->second.until - now);
    *retry_after_s = static_cast<int>((left.count() + 999) / 1000);
    return Verdict::kBackOff;
  }
  std::string user;
  std::string password;
  if (!ParseBasic(authorization, &user, &password)) {
    // No credentials at all is no guess: it costs nothing and is not counted.
    return Verdict::kDeny;
  }
  Job job;
  job.ticket = ticket;
  job.client = client;
  auto known = users_.find(user);
  job.known = known != users_.end();
  job.hash = job.known ? known->second : dummy_hash_;
  job.key = CacheKey(user, password, job.hash);
  if (job.known && cache_.count(job.key) != 0) {
    failures_.erase(client);
    return Verdict::kAllow;
  }
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
      done_.push_back(Done{job.ticket, job.client, job.key, match && job.known});
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
    if (d.ok) {
      if (cache_.size() >= kMaxCached) cache_.clear();
      cache_.insert(d.key);
      failures_.erase(d.client);
    } else {
      Failed(d.client);
    }
    out.emplace_back(d.ticket, d.ok);
  }
  return out;
}

}  // namespace kirn
