#include "tools/kirn/ember/ember_service.h"

#include <cstdlib>

#include "platform/debug_output.h"

namespace kirn::ember {

int ParseEmberOption(const std::vector<std::string>& args, size_t* i, EmberOptions* options,
                     std::string* error) {
  const std::string& a = args[*i];
  auto value = [&](std::string* out) {
    if (*i + 1 >= args.size() || args[*i + 1].empty()) return false;
    *out = args[++*i];
    return true;
  };
  auto number = [&](long min, long max, int* out) {
    std::string v;
    if (!value(&v)) return false;
    char* end = nullptr;
    const long n = std::strtol(v.c_str(), &end, 10);
    if (*end != '\0' || n < min || n > max) return false;
    *out = static_cast<int>(n);
    return true;
  };
  std::string v;
  if (a == "--ember") {
    if (!value(&v)) {
      *error = "--ember needs ADDR:PORT";
      return -1;
    }
    sockaddr_storage address{};
    socklen_t length = 0;
    if (!ParseHostPort(v, &address, &length, error)) {
      *error = "--ember " + *error;
      return -1;
    }
    options->listen.push_back(v);
    return 1;
  }
  if (a == "--ember-allow") {
    AddressPrefix p;
    if (!value(&v) || !AddressPrefix::Parse(v, &p, error)) {
      *error = "--ember-allow takes ADDRESS or ADDRESS/PREFIX" + (v.empty() ? "" : ": " + *error);
      return -1;
    }
    options->allow.push_back(p);
    return 1;
  }
  if (a == "--ember-max-per-address") {
    if (!number(1, options->limits.max_connections, &options->limits.per_address)) {
      *error = "--ember-max-per-address takes a number 1.." +
               std::to_string(options->limits.max_connections);
      return -1;
    }
    return 1;
  }
  if (a == "--ember-read-only") {
    options->read_only = true;
    return 1;
  }
  if (a == "--ember-max-unsent") {
    // Not in the help: a small bound for the tests of a consumer that stops reading.
    int bytes = 0;
    if (!number(4096, 1 << 30, &bytes)) {
      *error = "--ember-max-unsent takes a number of bytes";
      return -1;
    }
    options->max_unsent = static_cast<size_t>(bytes);
    return 1;
  }
  if (a == "--ember-access") {
    if (!number(0, 1000, &options->access)) {
      *error = "--ember-access takes an access number 0..1000";
      return -1;
    }
    return 1;
  }
  return 0;
}

std::unique_ptr<EmberService> EmberService::Start(const EmberOptions& options, DriverSurvey& survey,
                                                  std::string* error) {
  std::unique_ptr<EmberService> s(new EmberService());
  EmberService* self = s.get();
  auto trace = [](const std::string& line) {
    plat::OutputDebugString("kirn metrics: " + line + "\n", plat::LogLevel::kNotice);
  };
  Provider::Sink sink;
  sink.route = [&survey](int device, const std::string& command) {
    return survey.Command(device, command);
  };
  sink.trace = trace;
  sink.want_names = [self](int device, int database, int first, int last) {
    if (self->feed_) self->feed_->WantNames(device, database, first, last);
  };
  ProviderOptions provider;
  provider.read_only = options.read_only;
  provider.access = options.access;
  if (options.max_unsent > 0) provider.max_unsent = options.max_unsent;
  s->server_ = EmberServer::Listen(options.listen, options.allow, options.limits, sink, provider,
                                   trace, error);
  if (!s->server_) return nullptr;
  s->feed_ = std::make_unique<EmberFeed>(survey, s->server_->provider());
  s->feed_->Attach();
  return s;
}

int EmberService::Run(const std::vector<pollfd>& fds, Clock::time_point now) {
  server_->Run(fds, now);
  const int next = feed_->Tick(now);
  // What the feed made (answers at their deadline, changes) leaves now.
  server_->Run({}, now);
  return next;
}

}  // namespace kirn::ember
