// kirn metrics' Ember+ provider as one piece: its command-line options, its TCP side and its
// feed from the survey the page and the history share, moved by kirn metrics' poll loop.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "tools/kirn/ember/ember_feed.h"
#include "tools/kirn/ember/ember_server.h"

namespace kirn::ember {

struct EmberOptions {
  std::vector<std::string> listen;
  std::vector<AddressPrefix> allow;
  EmberServerLimits limits;
  bool read_only = false;
  int access = 0;
  // Unsent bytes at which a consumer is closed (0: the provider's default).
  size_t max_unsent = 0;
};

// Reads the Ember+ option at args[*i] (moving *i past its value): 1 when it was one, 0 when
// args[*i] is no Ember+ option, -1 when it is one used wrongly (`error` says how).
int ParseEmberOption(const std::vector<std::string>& args, size_t* i, EmberOptions* options,
                     std::string* error);

class EmberService {
 public:
  using Clock = std::chrono::steady_clock;

  // Listens and follows `survey` (call before the survey's first Start()). nullptr with `error`
  // set when an address cannot be served.
  static std::unique_ptr<EmberService> Start(const EmberOptions& options, DriverSurvey& survey,
                                             std::string* error);
  EmberService(const EmberService&) = delete;
  EmberService& operator=(const EmberService&) = delete;

  const std::vector<std::string>& addresses() const { return server_->addresses(); }

  // For the survey rounds: whether one is due, what it should ask, and that it starts now.
  bool wants_round(Clock::time_point now) const { return feed_->wants_round(now); }
  void Want(SurveyWants* wants) const { feed_->Want(wants); }
  void RoundStarted() { mark_ = server_->provider().revertive_mark(); }
  // The round ended.
  void Surveyed(const Survey& survey, Clock::time_point now) {
    feed_->Surveyed(survey, mark_, now);
  }

  void PollFds(std::vector<pollfd>* fds) const { server_->PollFds(fds); }
  // Moves the consumers' bytes, answers the takes whose time is up and sends what changed; the
  // milliseconds until the next take's deadline (-1: none).
  int Run(const std::vector<pollfd>& fds, Clock::time_point now);

 private:
  EmberService() = default;

  std::unique_ptr<EmberServer> server_;
  std::unique_ptr<EmberFeed> feed_;
  uint64_t mark_ = 0;
};

}  // namespace kirn::ember
