#include "tools/kirn/history/history_readers.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include "tools/kirn/history/history_query.h"

namespace kirn {

HistoryReaders::HistoryReaders(std::string path, bool record)
    : path_(std::move(path)), record_(record) {
  event_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (record_) worker_ = std::thread([this] { Work(); });
}

HistoryReaders::~HistoryReaders() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
  if (event_fd_ >= 0) ::close(event_fd_);
}

std::optional<HttpResponse> HistoryReaders::Ask(uint64_t id, const HttpRequest& request,
                                                int driver) {
  Job job;
  if (std::optional<HttpResponse> bad = ParseHistoryRequest(request, driver, &job.filter)) {
    return bad;
  }
  if (!record_) return HistoryListing(job.filter, nullptr);
  auto busy = [](int status, const std::string& what) {
    HttpResponse r = HistoryError(status, what);
    r.headers.emplace_back("Retry-After", "1");
    return r;
  };
  if (per_client_[request.client] >= kPerClient) {
    return busy(429, "this client has " + std::to_string(kPerClient) +
                         " history queries under way: wait for their answers");
  }
  if (in_flight_ >= kMaxQueued) return busy(503, "too many history queries under way");
  ++per_client_[request.client];
  ++in_flight_;
  job.id = id;
  job.client = request.client;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
  return std::nullopt;
}

void HistoryReaders::Work() {
  std::unique_ptr<HistoryStore> store;
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
      if (stop_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    if (!store) {
      // Opened once the file is there; kept for every later query.
      std::string error;
      store = HistoryStore::OpenForReading(path_, &error);
      if (store) store->SetBudget(kBudgetMs);
    }
    HttpResponse answer = HistoryListing(job.filter, store.get());
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_.emplace_back(std::move(job), std::move(answer));
    }
    const uint64_t one = 1;
    (void)!::write(event_fd_, &one, sizeof one);
  }
}

std::vector<std::pair<uint64_t, HttpResponse>> HistoryReaders::TakeDone() {
  uint64_t count = 0;
  (void)!::read(event_fd_, &count, sizeof count);
  std::vector<std::pair<Job, HttpResponse>> done;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done.swap(done_);
  }
  std::vector<std::pair<uint64_t, HttpResponse>> out;
  for (auto& [job, answer] : done) {
    if (auto it = per_client_.find(job.client); it != per_client_.end() && --it->second <= 0) {
      per_client_.erase(it);
    }
    --in_flight_;
    out.emplace_back(job.id, std::move(answer));
  }
  return out;
}

}  // namespace kirn
