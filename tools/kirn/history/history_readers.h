// The answers of /api/history, made off the server's thread: a query of a large history can
// take long, and the server's one thread must go on answering scrapes meanwhile. One worker
// with a read-only connection of its own runs the queries, one at a time, each within a time
// budget; the queue is bounded in all and per client. The server's loop hands requests in with
// Ask and takes the answers from TakeDone when fd() is readable.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/kirn/common/http_message.h"
#include "tools/kirn/history/history_store.h"

namespace kirn {

class HistoryReaders {
 public:
  static constexpr size_t kMaxQueued = 16;  // queries waiting or running, in all
  static constexpr int kPerClient = 2;      // queries waiting or running, of one client
  static constexpr int kBudgetMs = 500;     // a query that takes longer is stopped (503)

  // Reads `path` (opened at the first query that finds it); `record` false: there is no
  // history to read (every query is answered 503).
  HistoryReaders(std::string path, bool record);
  ~HistoryReaders();
  HistoryReaders(const HistoryReaders&) = delete;
  HistoryReaders& operator=(const HistoryReaders&) = delete;

  // The answer to `request` for driver N when it is made at once (a bad argument: 400; no
  // history: 503; the queue full: 503, the client's share taken: 429, both with Retry-After);
  // else nothing, and the answer comes for `id` from TakeDone. `client` is the request's
  // client (its ClientKey).
  std::optional<HttpResponse> Ask(uint64_t id, const HttpRequest& request, int driver);
  // Readable when answers are in.
  int fd() const { return event_fd_; }
  std::vector<std::pair<uint64_t, HttpResponse>> TakeDone();

 private:
  struct Job {
    uint64_t id = 0;
    std::string client;
    HistoryFilter filter;
  };
  void Work();

  const std::string path_;
  const bool record_;
  int event_fd_ = -1;
  // Queries of each client waiting or running (main thread).
  std::map<std::string, int> per_client_;
  size_t in_flight_ = 0;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  std::vector<std::pair<Job, HttpResponse>> done_;
  bool stop_ = false;
  std::thread worker_;
};

}  // namespace kirn
