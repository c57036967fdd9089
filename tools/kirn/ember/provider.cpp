#include "tools/kirn/ember/provider.h"

#include <algorithm>
#include <charconv>
#include <utility>

namespace kirn::ember {
namespace {

constexpr uint32_t kWorkstation = 1;
// The driver node's parameters.
constexpr int kParamNumber = 100;
constexpr int kParamController = 101;
constexpr int kParamVersion = 102;
constexpr int kParamMode = 103;
constexpr int kParamLink = 104;
constexpr int kParamActive = 105;
constexpr int kFirstParam = kParamNumber;
constexpr int kLastParam = kParamActive;
// In a router node: its matrix and its device id; in the matrix: the labels node; in that, the
// target and source lists.
constexpr uint32_t kMatrix = 1;
constexpr uint32_t kDeviceParam = 2;
constexpr uint32_t kLabels = 1;
constexpr int kTargets = 1;
constexpr int kSources = 2;

// Directory requests of unknown paths kept per session, and how long.
constexpr size_t kMaxUnknownPaths = 64;
constexpr int kUnknownPathMs = 3000;
// Takes waiting for their revertive, per session and in all.
constexpr size_t kMaxPendingPerSession = 4096;
constexpr size_t kMaxPending = 65536;
// Names of a label list someone watches are asked for again this often, so that a change shows.
constexpr auto kNamesAgain = std::chrono::seconds(30);
// A take without its revertive this long has the router's tables read again: a lock the provider
// did not know of (the driver refuses silently) then answers it long before its deadline.
constexpr auto kRereadAfter = std::chrono::milliseconds(250);
// The reply timeout taken for a driver whose timeout is automatic (1 s plus the wire time of
// what is outstanding).
constexpr int kAutomaticReplyTimeoutMs = 1100;

const char kModeNames[] = "none\nRX only\nTX/RX\nforce TX/RX\nTX/RX inquiry\nRX only (broken)";
const char kLinkNames[] = "unconfirmed\nok\nfailed";
const char kActiveNames[] = "none\nA\nB";

bool HasPrefix(const Path& path, const Path& prefix) {
  return path.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), path.begin());
}

std::string DeviceText(int device) {
  return std::to_string(device);
}

}  // namespace

struct Provider::Job {
  enum class Kind { kConnections, kLabels };
  Kind kind = Kind::kConnections;
  int device = 0;
  int list = 0;  // kLabels: kTargets or kSources
  int next = 0;
};

struct Provider::Session {
  uint64_t id = 0;
  std::string peer;
  S101Decoder decoder;
  std::set<Path> subscribed;
  std::deque<std::vector<uint8_t>> out;
  size_t offset = 0;  // of out.front() already written
  size_t bytes = 0;   // unsent, over all of out
  std::deque<Job> jobs;
  size_t pending = 0;
  std::string close_why;  // set: to be closed
  // Directory requests of paths not known (yet), until when they are asked again.
  std::vector<std::pair<Path, Clock::time_point>> unknown;
};

struct Provider::Router {
  int driver = 0;
  int letter = 0;  // 1..26
  int device = 0;
  int sources = 0;
  int destinations = 0;
  bool listed = true;     // in the driver's last answer
  bool followed = false;  // someone watches or routes it: its tables are kept
  bool read = false;      // the tally below has been read
  bool stale = true;      // to be read (again)
  std::vector<int> tally;
  std::vector<uint8_t> lock;
  std::vector<uint8_t> controller_lock;
  std::vector<uint64_t> revertive;      // the revertive mark of each destination's last revertive
  std::map<int, std::string> names[3];  // by list (kTargets, kSources), by signal
  std::string park_name;
  Clock::time_point names_asked[3];
  bool names_watched[3] = {false, false, false};

  Path MatrixPath() const {
    return {kWorkstation, static_cast<uint32_t>(driver), static_cast<uint32_t>(letter), kMatrix};
  }
  Path ListPath(int list) const {
    Path p = MatrixPath();
    p.push_back(kLabels);
    p.push_back(static_cast<uint32_t>(list));
    return p;
  }
  int Signals(int list) const { return list == kTargets ? destinations : sources + 1; }
  void Resize(int destinations_count) {
    destinations = destinations_count;
    const auto n = static_cast<size_t>(std::max(destinations, 0));
    tally.assign(n, kNoSource);
    lock.assign(n, 0);
    controller_lock.assign(n, 0);
    revertive.assign(n, 0);
    read = false;
    stale = true;
  }
};

struct Provider::Driver {
  DriverInfo info;
  bool online = false;
  std::map<int, std::unique_ptr<Router>> routers;  // by letter 1..26
  Path NodePath() const { return {kWorkstation, static_cast<uint32_t>(info.number)}; }
  int ReplyTimeoutMs() const {
    return info.reply_timeout_ms > 0 ? std::clamp(info.reply_timeout_ms, 100, 600000)
                                     : kAutomaticReplyTimeoutMs;
  }
};

struct Provider::Pending {
  uint64_t session = 0;
  int device = 0;
  int target = 0;
  int expect = 0;
  Clock::time_point sent;
  Clock::time_point deadline;
  bool reread = false;  // the router's tables were asked for again on its behalf
};

struct Provider::Where {
  enum class Kind {
    kNone,
    kRoot,
    kWorkstation,
    kDriver,
    kDriverParam,
    kRouter,
    kRouterParam,
    kMatrix,
    kLabels,
    kLabelList,
    kLabel
  };
  Kind kind = Kind::kNone;
  Driver* driver = nullptr;
  Router* router = nullptr;
  int param = 0;
  int list = 0;
  int signal = 0;
};

Provider::Provider(Sink sink, ProviderOptions options)
    : sink_(std::move(sink)), options_(std::move(options)) {}

Provider::~Provider() = default;

void Provider::Trace(const std::string& line) const {
  if (sink_.trace) sink_.trace(line);
}

// ---------------------------------------------------------------------------------- sessions

void Provider::Open(uint64_t session, const std::string& peer) {
  auto s = std::make_unique<Session>();
  s->id = session;
  s->peer = peer;
  s->decoder = S101Decoder(options_.s101);
  sessions_[session] = std::move(s);
}

void Provider::Closed(uint64_t session) {
  auto it = sessions_.find(session);
  if (it == sessions_.end()) return;
  pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                [session](const std::unique_ptr<Pending>& p) {
                                  return p->session == session;
                                }),
                 pending_.end());
  sessions_.erase(it);
}

void Provider::Close(Session& s, const std::string& why) {
  const uint64_t id = s.id;
  Trace("ember: " + s.peer + " closed: " + why);
  Closed(id);
  if (sink_.close) sink_.close(id, why);
}

void Provider::Received(uint64_t session, const uint8_t* data, size_t size, Clock::time_point now) {
  auto it = sessions_.find(session);
  if (it == sessions_.end()) return;
  Session& s = *it->second;
  std::vector<S101Event> events;
  const bool ok = s.decoder.Feed(data, size, &events);
  for (S101Event& e : events) {
    switch (e.kind) {
      case S101Event::Kind::kKeepAliveRequest: {
        std::vector<uint8_t> answer;
        S101Encoder::KeepAliveResponse(&answer);
        Urgent(s, std::move(answer));
        break;
      }
      case S101Event::Kind::kKeepAliveResponse:
        break;
      case S101Event::Kind::kMessage: {
        std::vector<GlowRequest> requests;
        std::string error;
        if (!DecodeRequests(e.payload.data(), e.payload.size(), options_.glow, &requests, &error)) {
          Close(s, "a malformed message (" + error + ")");
          return;
        }
        for (const GlowRequest& r : requests) Request(s, r, now);
        break;
      }
    }
    if (!s.close_why.empty()) break;
  }
  if (!ok) {
    Close(s, "a malformed frame (" + s.decoder.error() + ")");
    return;
  }
  if (!s.close_why.empty()) {
    Close(s, s.close_why);
    return;
  }
  Fill(s);
  if (s.bytes > 0 && sink_.output) sink_.output(s.id);
}

bool Provider::Peek(uint64_t session, const uint8_t** data, size_t* size) {
  auto it = sessions_.find(session);
  if (it == sessions_.end()) return false;
  Session& s = *it->second;
  if (s.out.empty()) Fill(s);
  if (s.out.empty()) return false;
  *data = s.out.front().data() + s.offset;
  *size = s.out.front().size() - s.offset;
  return true;
}

void Provider::Sent(uint64_t session, size_t n) {
  auto it = sessions_.find(session);
  if (it == sessions_.end()) return;
  Session& s = *it->second;
  while (n > 0 && !s.out.empty()) {
    const size_t left = s.out.front().size() - s.offset;
    const size_t take = std::min(n, left);
    s.offset += take;
    s.bytes -= take;
    n -= take;
    if (s.offset == s.out.front().size()) {
      s.out.pop_front();
      s.offset = 0;
    }
  }
  Fill(s);
}

size_t Provider::unsent(uint64_t session) const {
  auto it = sessions_.find(session);
  return it == sessions_.end() ? 0 : it->second->bytes;
}

void Provider::Queue(Session& s, const std::vector<uint8_t>& payload) {
  if (!s.close_why.empty()) return;
  std::vector<uint8_t> frames;
  frames.reserve(payload.size() + payload.size() / 16 + 32);
  S101Encoder::Message(payload, &frames, options_.max_packet);
  s.bytes += frames.size();
  s.out.push_back(std::move(frames));
  Overflow(s);
}

void Provider::Urgent(Session& s, std::vector<uint8_t> bytes) {
  // After the chunk being written, ahead of everything not started.
  const size_t at = (s.offset > 0 && !s.out.empty()) ? 1 : 0;
  s.bytes += bytes.size();
  s.out.insert(s.out.begin() + static_cast<std::ptrdiff_t>(at), std::move(bytes));
}

void Provider::Reap() {
  std::vector<uint64_t> closing;
  for (auto& [id, s] : sessions_) {
    if (!s->close_why.empty()) closing.push_back(id);
  }
  for (const uint64_t id : closing) {
    auto it = sessions_.find(id);
    if (it != sessions_.end()) Close(*it->second, it->second->close_why);
  }
}

bool Provider::Overflow(Session& s) {
  if (s.bytes <= options_.max_unsent || !s.close_why.empty()) return !s.close_why.empty();
  s.close_why = std::to_string(s.bytes) + " bytes unsent: the consumer does not read";
  s.out.clear();
  s.jobs.clear();
  s.bytes = 0;
  s.offset = 0;
  return true;
}

// ---------------------------------------------------------------------------------- the tree

Provider::Driver* Provider::DriverOf(int number) {
  auto it = drivers_.find(number);
  return it == drivers_.end() ? nullptr : it->second.get();
}

Provider::Router* Provider::RouterAt(int driver, int letter) {
  Driver* d = DriverOf(driver);
  if (!d) return nullptr;
  auto it = d->routers.find(letter);
  return it == d->routers.end() ? nullptr : it->second.get();
}

Provider::Router* Provider::RouterOf(int device) {
  auto it = by_device_.find(device);
  return it == by_device_.end() ? nullptr : it->second;
}

Provider::Where Provider::Locate(const Path& path) const {
  Where w;
  if (path.empty()) {
    w.kind = Where::Kind::kRoot;
    return w;
  }
  if (path[0] != kWorkstation) return w;
  if (path.size() == 1) {
    w.kind = Where::Kind::kWorkstation;
    return w;
  }
  auto d = drivers_.find(static_cast<int>(path[1]));
  if (path[1] > 0xFFFF || d == drivers_.end()) return w;
  w.driver = d->second.get();
  if (path.size() == 2) {
    w.kind = Where::Kind::kDriver;
    return w;
  }
  const uint32_t third = path[2];
  if (third >= static_cast<uint32_t>(kFirstParam) && third <= static_cast<uint32_t>(kLastParam)) {
    if (path.size() != 3) return w;
    w.kind = Where::Kind::kDriverParam;
    w.param = static_cast<int>(third);
    return w;
  }
  auto r = w.driver->routers.find(static_cast<int>(std::min<uint32_t>(third, 1000)));
  if (r == w.driver->routers.end()) return w;
  w.router = r->second.get();
  if (path.size() == 3) {
    w.kind = Where::Kind::kRouter;
    return w;
  }
  if (path[3] == kDeviceParam && path.size() == 4) {
    w.kind = Where::Kind::kRouterParam;
    return w;
  }
  if (path[3] != kMatrix) return w;
  if (path.size() == 4) {
    w.kind = Where::Kind::kMatrix;
    return w;
  }
  if (path[4] != kLabels) return w;
  if (path.size() == 5) {
    w.kind = Where::Kind::kLabels;
    return w;
  }
  if (path[5] != static_cast<uint32_t>(kTargets) && path[5] != static_cast<uint32_t>(kSources)) {
    return w;
  }
  w.list = static_cast<int>(path[5]);
  if (path.size() == 6) {
    w.kind = Where::Kind::kLabelList;
    return w;
  }
  if (path.size() != 7 || path[6] >= static_cast<uint32_t>(w.router->Signals(w.list))) return w;
  w.signal = static_cast<int>(path[6]);
  w.kind = Where::Kind::kLabel;
  return w;
}

void Provider::WorkstationElement(GlowMessage& m, bool qualified, bool children) const {
  m.BeginElement(GlowMessage::Type::kNode, {kWorkstation}, qualified);
  m.Node(NodeFields{"xarvel", options_.description, false, true});
  if (children) {
    m.BeginChildren();
    for (const auto& [number, d] : drivers_) DriverElement(m, *d, false, false);
    m.EndChildren();
  }
  m.EndElement();
}

void Provider::DriverElement(GlowMessage& m, const Driver& d, bool qualified, bool children) const {
  m.BeginElement(GlowMessage::Type::kNode, d.NodePath(), qualified);
  NodeFields f;
  f.identifier = "driver-" + std::to_string(d.info.number);
  f.description = d.info.controller.empty() && d.info.version.empty()
                      ? "driver " + std::to_string(d.info.number)
                      : d.info.controller + " (ver " + d.info.version + ")";
  f.is_online = d.online;
  m.Node(f);
  if (children) {
    m.BeginChildren();
    for (const auto& [letter, r] : d.routers) RouterElement(m, d, *r, false, false);
    for (int p = kFirstParam; p <= kLastParam; ++p) DriverParameter(m, d, p, false);
    m.EndChildren();
  }
  m.EndElement();
}

void Provider::DriverParameter(GlowMessage& m, const Driver& d, int number, bool qualified) const {
  Path path = d.NodePath();
  path.push_back(static_cast<uint32_t>(number));
  m.BeginElement(GlowMessage::Type::kParameter, path, qualified);
  ParameterFields f;
  f.is_online = d.online;
  switch (number) {
    case kParamNumber:
      f.identifier = "number";
      f.description = "the driver's device number";
      f.type = ParameterFields::Type::kInteger;
      f.integer = d.info.number;
      break;
    case kParamController:
      f.identifier = "controller";
      f.description = "the controller's name";
      f.text = d.info.controller;
      break;
    case kParamVersion:
      f.identifier = "version";
      f.description = "the driver's version";
      f.text = d.info.version;
      break;
    case kParamMode:
      f.identifier = "interface-mode";
      f.description = "the driver's interface mode";
      f.type = ParameterFields::Type::kEnum;
      f.integer = d.info.interface_mode;
      f.enumeration = kModeNames;
      break;
    case kParamLink:
      f.identifier = "link";
      f.description = "the controller link";
      f.type = ParameterFields::Type::kEnum;
      f.integer = d.info.comms_state;
      f.enumeration = kLinkNames;
      break;
    default:
      f.identifier = "active-controller";
      f.description = "the controller in use";
      f.type = ParameterFields::Type::kEnum;
      f.integer = d.info.active_controller;
      f.enumeration = kActiveNames;
      break;
  }
  m.Parameter(f);
  m.EndElement();
}

void Provider::RouterElement(GlowMessage& m, const Driver& d, const Router& r, bool qualified,
                             bool children) const {
  Path path = d.NodePath();
  path.push_back(static_cast<uint32_t>(r.letter));
  m.BeginElement(GlowMessage::Type::kNode, path, qualified);
  const std::string letter(1, static_cast<char>('A' + r.letter - 1));
  m.Node(NodeFields{letter, "router " + letter + ", device " + DeviceText(r.device), false,
                    d.online && r.listed});
  if (children) {
    m.BeginChildren();
    m.BeginElement(GlowMessage::Type::kMatrix, r.MatrixPath(), false);
    MatrixContents(m, r, true);
    m.EndElement();
    path.push_back(kDeviceParam);
    m.BeginElement(GlowMessage::Type::kParameter, path, false);
    ParameterFields f;
    f.identifier = "device";
    f.description = "the router's device id";
    f.type = ParameterFields::Type::kInteger;
    f.integer = r.device;
    m.Parameter(f);
    m.EndElement();
    m.EndChildren();
  }
  m.EndElement();
}

void Provider::MatrixContents(GlowMessage& m, const Router& r, bool labels) const {
  MatrixFields f;
  f.identifier = "crosspoints";
  f.description = std::string("router ") + static_cast<char>('A' + r.letter - 1) + ", device " +
                  DeviceText(r.device);
  f.targets = r.destinations;
  f.sources = r.sources + 1;
  if (labels) {
    f.labels = r.MatrixPath();
    f.labels.push_back(kLabels);
    f.labels_description = "names";
  }
  m.Matrix(f);
}

const std::string& Provider::LabelName(const Router& r, int list, int signal) const {
  static const std::string kNone;
  if (list == kSources && signal == 0) {
    // Source 0 stands for the park source; its name is the dialog's park row.
    auto it = r.names[kSources].find(0);
    return it != r.names[kSources].end() ? it->second : r.park_name;
  }
  auto it = r.names[list].find(signal);
  return it == r.names[list].end() ? kNone : it->second;
}

void Provider::LabelParameter(GlowMessage& m, const Router& r, int list, int signal,
                              bool qualified) const {
  char identifier[16] = {list == kTargets ? 't' : 's', '-'};
  const char* end = std::to_chars(identifier + 2, identifier + sizeof identifier, signal).ptr;
  const std::string_view id(identifier, static_cast<size_t>(end - identifier));
  if (!qualified) {
    m.StringParameter(static_cast<uint32_t>(signal), id, LabelName(r, list, signal));
    return;
  }
  Path path = r.ListPath(list);
  path.push_back(static_cast<uint32_t>(signal));
  m.BeginElement(GlowMessage::Type::kParameter, path, true);
  ParameterFields f;
  f.identifier = id;
  f.text = LabelName(r, list, signal);
  m.Parameter(f);
  m.EndElement();
}

// ---------------------------------------------------------------------------------- requests

void Provider::Request(Session& s, const GlowRequest& r, Clock::time_point now) {
  switch (r.kind) {
    case GlowRequest::Kind::kGetDirectory:
      Directory(s, r.path);
      break;
    case GlowRequest::Kind::kSubscribe:
      Subscribe(s, r.path);
      break;
    case GlowRequest::Kind::kUnsubscribe:
      s.subscribed.erase(r.path);
      break;
    case GlowRequest::Kind::kTake:
      for (const TakeConnection& c : r.connections) {
        Take(s, r.path, c, now);
        if (!s.close_why.empty()) return;
      }
      break;
    case GlowRequest::Kind::kSetValue:
      // Every parameter is read-only: the answer is the element as it stands.
      Directory(s, r.path);
      break;
    case GlowRequest::Kind::kOther:
      break;
  }
}

void Provider::Subscribe(Session& s, const Path& path) {
  const Where w = Locate(path);
  if (w.kind == Where::Kind::kNone) return;
  s.subscribed.insert(path);
  if (w.router && (w.kind == Where::Kind::kMatrix || w.kind == Where::Kind::kLabelList)) {
    if (!w.router->followed) {
      w.router->followed = true;
      w.router->stale = true;
    }
  }
  if (w.kind == Where::Kind::kLabelList || w.kind == Where::Kind::kLabel) {
    Router& r = *w.router;
    r.names_watched[w.list] = true;
    // Names are only looked up: they need the tables for source 0's (the park row's).
    if (!r.followed) {
      r.followed = true;
      r.stale = true;
    }
    if (sink_.want_names) {
      if (w.list == kTargets) {
        sink_.want_names(r.device, 1, 1, r.destinations);
      } else {
        sink_.want_names(r.device, 0, 1, r.sources);
      }
    }
    r.names_asked[w.list] = Clock::now();
  }
}

void Provider::Directory(Session& s, const Path& path) {
  const Where w = Locate(path);
  if (w.kind == Where::Kind::kNone) {
    // Perhaps a driver not surveyed yet (the first survey runs as kirn metrics starts): asked
    // again as the drivers come, for a while.
    if (s.unknown.size() < kMaxUnknownPaths) {
      s.unknown.emplace_back(path, Clock::now() + std::chrono::milliseconds(kUnknownPathMs));
    }
    return;
  }
  Subscribe(s, path);
  GlowMessage m;
  switch (w.kind) {
    case Where::Kind::kNone:
      return;
    case Where::Kind::kRoot:
      WorkstationElement(m, false, false);
      break;
    case Where::Kind::kWorkstation:
      WorkstationElement(m, true, true);
      break;
    case Where::Kind::kDriver:
      DriverElement(m, *w.driver, true, true);
      break;
    case Where::Kind::kDriverParam:
      DriverParameter(m, *w.driver, w.param, true);
      break;
    case Where::Kind::kRouter:
      RouterElement(m, *w.driver, *w.router, true, true);
      break;
    case Where::Kind::kRouterParam: {
      m.BeginElement(GlowMessage::Type::kParameter, path, true);
      ParameterFields f;
      f.identifier = "device";
      f.description = "the router's device id";
      f.type = ParameterFields::Type::kInteger;
      f.integer = w.router->device;
      m.Parameter(f);
      m.EndElement();
      break;
    }
    case Where::Kind::kMatrix: {
      Router& r = *w.router;
      // The first message: the matrix with its child; the connections follow in messages of
      // their own once the tally is known.
      m.BeginElement(GlowMessage::Type::kMatrix, path, true);
      MatrixContents(m, r, true);
      m.BeginChildren();
      Path labels = path;
      labels.push_back(kLabels);
      m.BeginElement(GlowMessage::Type::kNode, labels, false);
      m.Node(NodeFields{"labels", "the names of the targets and sources", false, true});
      m.EndElement();
      m.EndChildren();
      m.EndElement();
      Queue(s, m.Finish());
      if (r.read) s.jobs.push_back(Job{Job::Kind::kConnections, r.device, 0, 0});
      Fill(s);
      return;
    }
    case Where::Kind::kLabels: {
      m.BeginElement(GlowMessage::Type::kNode, path, true);
      m.Node(NodeFields{"labels", "the names of the targets and sources", false, true});
      m.BeginChildren();
      for (int list : {kTargets, kSources}) {
        m.BeginElement(GlowMessage::Type::kNode, w.router->ListPath(list), false);
        m.Node(NodeFields{list == kTargets ? "targets" : "sources", "", false, true});
        m.EndElement();
      }
      m.EndChildren();
      m.EndElement();
      break;
    }
    case Where::Kind::kLabelList: {
      // The node with its first labels; the rest follow a few hundred a message.
      Router& r = *w.router;
      m.BeginElement(GlowMessage::Type::kNode, path, true);
      m.Node(NodeFields{w.list == kTargets ? "targets" : "sources", "", false, true});
      const int count = r.Signals(w.list);
      const int first = std::min(count, options_.per_message);
      if (first > 0) {
        m.BeginChildren();
        for (int i = 0; i < first; ++i) LabelParameter(m, r, w.list, i, false);
        m.EndChildren();
      }
      m.EndElement();
      Queue(s, m.Finish());
      if (first < count) s.jobs.push_back(Job{Job::Kind::kLabels, r.device, w.list, first});
      Fill(s);
      return;
    }
    case Where::Kind::kLabel:
      LabelParameter(m, *w.router, w.list, w.signal, true);
      break;
  }
  Queue(s, m.Finish());
}

void Provider::Fill(Session& s) {
  while (!s.jobs.empty() && s.bytes < options_.high_water && s.close_why.empty()) {
    Job& j = s.jobs.front();
    Router* r = RouterOf(j.device);
    if (!r) {
      s.jobs.pop_front();
      continue;
    }
    GlowMessage m;
    if (j.kind == Job::Kind::kConnections) {
      const int end = std::min(r->destinations, j.next + options_.per_message);
      // This session's own takes still waiting for their revertive stay pending: a tally here
      // (the tables read again while the route is on its way) would read as the take's end.
      std::set<int> own_pending;
      for (const auto& p : pending_) {
        if (p->session == s.id && p->device == r->device && p->target >= j.next &&
            p->target < end) {
          own_pending.insert(p->target);
        }
      }
      m.BeginElement(GlowMessage::Type::kMatrix, r->MatrixPath(), true);
      MatrixContents(m, *r, false);
      m.BeginConnections();
      for (int t = j.next; t < end; ++t) {
        const int source = r->tally[static_cast<size_t>(t)];
        const bool known = source >= 0 && source <= r->sources;
        m.Connection(ConnectionFields{
            t, known, static_cast<uint32_t>(known ? source : 0),
            own_pending.count(t) != 0 ? Disposition::kPending : Disposition::kTally});
      }
      m.EndConnections();
      m.EndElement();
      j.next = end;
    } else {
      const int count = r->Signals(j.list);
      const int end = std::min(count, j.next + options_.per_message);
      m.BeginElement(GlowMessage::Type::kNode, r->ListPath(j.list), true);
      m.BeginChildren();
      for (int i = j.next; i < end; ++i) LabelParameter(m, *r, j.list, i, false);
      m.EndChildren();
      m.EndElement();
      j.next = end;
    }
    const bool done = j.kind == Job::Kind::kConnections ? j.next >= r->destinations
                                                        : j.next >= r->Signals(j.list);
    if (done) s.jobs.pop_front();
    Queue(s, m.Finish());
  }
}

// ---------------------------------------------------------------------------------- takes

void Provider::Answer(Session& s, Router& r, int target, Disposition d) {
  GlowMessage m;
  m.BeginElement(GlowMessage::Type::kMatrix, r.MatrixPath(), true);
  MatrixContents(m, r, false);
  m.BeginConnections();
  const int source = r.tally[static_cast<size_t>(target)];
  const bool known = source >= 0 && source <= r.sources;
  m.Connection(ConnectionFields{target, known, static_cast<uint32_t>(known ? source : 0), d});
  m.EndConnections();
  m.EndElement();
  Queue(s, m.Finish());
  if (sink_.output) sink_.output(s.id);
}

void Provider::Refuse(Session& s, Router& r, int target, const std::string& why) {
  Trace("ember: " + s.peer + ": take of router " + DeviceText(r.device) + " destination " +
        std::to_string(target + 1) + " answered locked: " + why);
  Answer(s, r, target, Disposition::kLocked);
}

void Provider::Take(Session& s, const Path& path, const TakeConnection& c, Clock::time_point now) {
  const Where w = Locate(path);
  if (w.kind != Where::Kind::kMatrix) {
    Trace("ember: " + s.peer + ": a take of no matrix of this provider: ignored");
    return;
  }
  Router& r = *w.router;
  Driver& d = *w.driver;
  if (c.target < 0 || c.target >= r.destinations) {
    Trace("ember: " + s.peer + ": take of router " + DeviceText(r.device) + " target " +
          std::to_string(c.target) + ": out of range, ignored");
    return;
  }
  const int target = static_cast<int>(c.target);
  // What is asked, in the driver's numbers: a source, or the park source for a disconnect.
  bool disconnect = c.operation == Operation::kDisconnect || c.sources.empty();
  int source = 0;
  if (!disconnect) {
    if (c.sources.size() > 1) {
      Refuse(s, r, target, "one source a target on this matrix");
      return;
    }
    if (c.sources[0] > static_cast<uint32_t>(r.sources)) {
      Refuse(s, r, target, "source " + std::to_string(c.sources[0]) + " out of range");
      return;
    }
    source = static_cast<int>(c.sources[0]);
  } else if (d.info.park_source <= 0) {
    // Nothing to disconnect to: the connection stands.
    Answer(s, r, target, Disposition::kTally);
    return;
  }
  if (options_.read_only) return Refuse(s, r, target, "the provider is read-only");
  if (!d.online)
    return Refuse(s, r, target, "driver " + std::to_string(d.info.number) + " does not answer");
  if (d.info.interface_mode == kModeRxOnly) {
    return Refuse(s, r, target, "driver " + std::to_string(d.info.number) + " is in RX only");
  }
  if (d.info.source_to_dest == d.info.dest_to_source) {
    return Refuse(s, r, target,
                  d.info.source_to_dest
                      ? "the driver reads route commands both ways (SourceToDest and DestToSource)"
                      : "the driver reads route commands neither way");
  }
  // What the provider knows of the locks is as old as its last read of the tables: the refusal
  // has them read again, so that an unlock shows at the next take.
  if (r.read && r.lock[static_cast<size_t>(target)] != 0) {
    r.stale = true;
    return Refuse(s, r, target, "locked by the control system");
  }
  if (r.read && r.controller_lock[static_cast<size_t>(target)] != 0) {
    r.stale = true;
    return Refuse(s, r, target, "locked at the controller");
  }
  if (s.pending >= kMaxPendingPerSession || pending_.size() >= kMaxPending) {
    return Refuse(s, r, target, "too many takes waiting for their revertive");
  }
  const int destination = target + 1;
  const int first = d.info.source_to_dest ? source : destination;
  const int second = d.info.source_to_dest ? destination : source;
  const std::string command = "RC " + std::to_string(r.device) + " " + std::to_string(first) + " " +
                              std::to_string(second) + " ',---' " + std::to_string(options_.access);
  if (!sink_.route || !sink_.route(r.device, command)) {
    Trace("ember: " + s.peer + ": take of router " + DeviceText(r.device) + " destination " +
          std::to_string(destination) + " not sent: no bus");
    Answer(s, r, target, Disposition::kTally);
    return;
  }
  auto p = std::make_unique<Pending>();
  p->session = s.id;
  p->device = r.device;
  p->target = target;
  p->expect = source == 0 ? d.info.park_source : source;
  p->deadline = now + std::chrono::milliseconds(2 * d.ReplyTimeoutMs());
  p->sent = now;
  pending_.push_back(std::move(p));
  ++s.pending;
  if (!r.followed) r.followed = true;
  Answer(s, r, target, Disposition::kPending);
}

void Provider::Resolve(Router& r, int target, Clock::time_point) {
  const int source = r.tally[static_cast<size_t>(target)];
  for (auto it = pending_.begin(); it != pending_.end();) {
    Pending& p = **it;
    if (p.device != r.device || p.target != target || p.expect != source) {
      ++it;
      continue;
    }
    auto s = sessions_.find(p.session);
    if (s != sessions_.end()) {
      --s->second->pending;
      Answer(*s->second, r, target, Disposition::kModified);
      dirty_connections_[r.device][target] = p.session;
    }
    it = pending_.erase(it);
  }
}

int Provider::Tick(Clock::time_point now) {
  int next = -1;
  for (auto it = pending_.begin(); it != pending_.end();) {
    Pending& p = **it;
    if (!p.reread && now - p.sent >= kRereadAfter) {
      p.reread = true;
      if (Router* r = RouterOf(p.device)) r->stale = true;
    }
    if (p.deadline > now) {
      if (!p.reread) {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(p.sent + kRereadAfter - now)
                .count();
        next = next < 0 ? static_cast<int>(ms + 1) : std::min(next, static_cast<int>(ms + 1));
      }
      const auto ms =
          std::chrono::duration_cast<std::chrono::milliseconds>(p.deadline - now).count();
      const int left = static_cast<int>(std::min<long long>(ms + 1, 1 << 30));
      next = next < 0 ? left : std::min(next, left);
      ++it;
      continue;
    }
    auto s = sessions_.find(p.session);
    Router* r = RouterOf(p.device);
    if (s != sessions_.end()) {
      --s->second->pending;
      if (r && p.target < r->destinations) Answer(*s->second, *r, p.target, Disposition::kTally);
    }
    it = pending_.erase(it);
  }
  // The names of the label lists someone watches are looked up again now and then.
  for (auto& [device, r] : by_device_) {
    for (int list : {kTargets, kSources}) {
      if (!r->names_watched[list] || now - r->names_asked[list] < kNamesAgain) continue;
      r->names_asked[list] = now;
      bool watched = false;
      for (auto& [id, s] : sessions_) {
        auto at = s->subscribed.lower_bound(r->ListPath(list));
        if (at != s->subscribed.end() && HasPrefix(*at, r->ListPath(list))) watched = true;
      }
      r->names_watched[list] = watched;
      if (watched && sink_.want_names) {
        if (list == kTargets) {
          sink_.want_names(device, 1, 1, r->destinations);
        } else {
          sink_.want_names(device, 0, 1, r->sources);
        }
      }
    }
  }
  Reap();
  return next;
}

// ---------------------------------------------------------------------------------- the model

void Provider::Drivers(const std::vector<DriverInfo>& drivers, Clock::time_point) {
  std::set<int> seen;
  for (const DriverInfo& info : drivers) {
    if (info.number <= 0 || info.number > 0xFFFF) continue;
    seen.insert(info.number);
    auto& slot = drivers_[info.number];
    const bool fresh = !slot;
    if (fresh) {
      slot = std::make_unique<Driver>();
      new_drivers_.insert(info.number);
    }
    Driver& d = *slot;
    // A driver that answers no status keeps what an earlier answer said of it.
    DriverInfo next = info;
    if (info.up && info.routers.empty() && !d.info.routers.empty()) next.routers = d.info.routers;
    if (next.controller.empty()) next.controller = d.info.controller;
    if (next.version.empty()) next.version = d.info.version;
    const bool back = next.up && (!d.online || d.info.interface_mode == kModeRxOnly) &&
                      next.interface_mode != kModeRxOnly;
    const bool changed = fresh || d.online != next.up || d.info.controller != next.controller ||
                         d.info.version != next.version ||
                         d.info.interface_mode != next.interface_mode ||
                         d.info.comms_state != next.comms_state ||
                         d.info.active_controller != next.active_controller;
    d.info = next;
    d.online = next.up;
    if (changed && !fresh) dirty_drivers_.insert(info.number);
    for (const RouterInfo& ri : next.routers) {
      if (ri.letter < 'A' || ri.letter > 'Z' || ri.device <= 0) continue;
      const int letter = ri.letter - 'A' + 1;
      auto& rs = d.routers[letter];
      if (!rs) {
        rs = std::make_unique<Router>();
        rs->driver = info.number;
        rs->letter = letter;
        if (!fresh) dirty_drivers_.insert(info.number);
      }
      Router& r = *rs;
      if (r.device != ri.device) {
        if (r.device != 0 && by_device_[r.device] == &r) by_device_.erase(r.device);
        r.device = ri.device;
      }
      by_device_[r.device] = &r;
      r.listed = true;
      if (r.sources != ri.sources || r.destinations != ri.destinations) {
        r.sources = std::max(ri.sources, 0);
        r.Resize(std::clamp(ri.destinations, 0, 65535));
        dirty_connections_[r.device][-1] = 0;
      }
      // Revertives were not sent while the driver was down or in RX only: read again.
      if (back) r.stale = true;
    }
  }
  for (auto& [number, d] : drivers_) {
    if (seen.count(number) == 0 && d->online) {
      d->online = false;
      dirty_drivers_.insert(number);
    }
  }
  // Requests of paths unknown before: answered if known now, else kept until their time is up.
  const Clock::time_point now = Clock::now();
  for (auto& [id, s] : sessions_) {
    std::vector<std::pair<Path, Clock::time_point>> unknown;
    unknown.swap(s->unknown);
    for (auto& [path, until] : unknown) {
      if (until < now) continue;
      if (Locate(path).kind == Where::Kind::kNone) {
        s->unknown.emplace_back(path, until);
      } else {
        Directory(*s, path);
      }
    }
  }
  Reap();
}

void Provider::Table(const TableInfo& t, uint64_t mark, Clock::time_point now) {
  Router* rp = RouterOf(t.device);
  if (!rp) return;
  Router& r = *rp;
  if (static_cast<int>(t.tally.size()) != r.destinations) {
    r.Resize(static_cast<int>(std::min<size_t>(t.tally.size(), 65535)));
    dirty_connections_[r.device][-1] = 0;
  }
  const bool first = !r.read;
  if (r.park_name != t.park_name) {
    r.park_name = t.park_name;
    if (r.names[kSources].count(0) == 0) dirty_names_[r.device][kSources].insert(0);
  }
  for (int i = 0; i < r.destinations; ++i) {
    const auto at = static_cast<size_t>(i);
    if (at < t.lock.size()) r.lock[at] = t.lock[at] != 0 ? 1 : 0;
    if (at < t.controller_lock.size()) r.controller_lock[at] = t.controller_lock[at] > 0 ? 1 : 0;
    if (r.revertive[at] > mark) continue;  // a revertive came after the read was asked
    const int source = t.tally[at] < 0 ? kNoSource : t.tally[at];
    if (r.tally[at] != source) {
      r.tally[at] = source;
      if (!first) dirty_connections_[r.device].emplace(i, 0);
    }
  }
  r.read = true;
  r.stale = false;
  if (first) {
    // Those who asked for the matrix before its tally was known get every connection now.
    for (auto& [id, s] : sessions_) {
      if (s->subscribed.count(r.MatrixPath()) != 0) {
        s->jobs.push_back(Job{Job::Kind::kConnections, r.device, 0, 0});
        Fill(*s);
        if (sink_.output) sink_.output(id);
      }
    }
  }
  // Takes waiting on a destination now known to be locked: the driver refused them.
  for (auto it = pending_.begin(); it != pending_.end();) {
    Pending& p = **it;
    if (p.device != r.device || p.target >= r.destinations ||
        (r.lock[static_cast<size_t>(p.target)] == 0 &&
         r.controller_lock[static_cast<size_t>(p.target)] == 0)) {
      ++it;
      continue;
    }
    auto s = sessions_.find(p.session);
    if (s != sessions_.end()) {
      --s->second->pending;
      Refuse(*s->second, r, p.target,
             r.lock[static_cast<size_t>(p.target)] != 0 ? "locked by the control system"
                                                        : "locked at the controller");
    }
    it = pending_.erase(it);
  }
  // Takes whose revertive the read came before.
  std::set<int> targets;
  for (const auto& p : pending_) {
    if (p->device == r.device && p->target < r.destinations) targets.insert(p->target);
  }
  for (const int t : targets) Resolve(r, t, now);
  Reap();
}

void Provider::Revertive(int device, int destination, int source, Clock::time_point now) {
  ++revertives_;
  Router* rp = RouterOf(device);
  if (!rp || !rp->followed || destination < 1 || destination > rp->destinations) return;
  Router& r = *rp;
  const int target = destination - 1;
  const auto at = static_cast<size_t>(target);
  r.revertive[at] = revertives_;
  const int value = source < 0 ? kNoSource : source;
  if (r.tally[at] != value) {
    r.tally[at] = value;
    if (r.read) dirty_connections_[device].emplace(target, 0);
  }
  if (!pending_.empty()) {
    Resolve(r, target, now);
    Reap();
  }
}

void Provider::Mode(int device, int mode) {
  Router* r = RouterOf(device);
  if (!r) return;
  Driver* d = DriverOf(r->driver);
  if (!d || d->info.interface_mode == mode) return;
  if (d->info.interface_mode == kModeRxOnly && mode != kModeRxOnly) {
    for (auto& [letter, router] : d->routers) router->stale = true;
  }
  d->info.interface_mode = mode;
  dirty_drivers_.insert(d->info.number);
}

void Provider::Name(int device, int database, int entry, const std::string& text) {
  Router* r = RouterOf(device);
  if (!r || (database != 0 && database != 1)) return;
  const int list = database == 0 ? kSources : kTargets;
  const int signal = database == 0 ? entry : entry - 1;
  if (signal < 0 || signal >= r->Signals(list)) return;
  const std::string before = LabelName(*r, list, signal);
  r->names[list][signal] = text;
  if (before != text) dirty_names_[device][list].insert(signal);
}

void Provider::WantMissingNames() {
  if (!sink_.want_names) return;
  for (auto& [device, r] : by_device_) {
    for (int list : {kTargets, kSources}) {
      // Source 0 is no look-up (the park row stands for it).
      const auto want = static_cast<size_t>(list == kTargets ? r->destinations : r->sources);
      if (!r->names_watched[list] || r->names[list].size() >= want) continue;
      if (list == kTargets) {
        sink_.want_names(device, 1, 1, r->destinations);
      } else {
        sink_.want_names(device, 0, 1, r->sources);
      }
    }
  }
}

void Provider::Stale() {
  for (auto& [device, r] : by_device_) {
    if (r->followed) r->stale = true;
  }
}

std::map<int, std::set<int>> Provider::WantedTables() const {
  std::map<int, std::set<int>> out;
  for (const auto& [device, r] : by_device_) {
    if (!r->followed || !r->stale) continue;
    auto d = drivers_.find(r->driver);
    if (d == drivers_.end() || !d->second->online) continue;
    out[r->driver].insert(device);
  }
  return out;
}

void Provider::Flush() {
  // Drivers that appeared, to those who listed the workstation; drivers whose values changed, to
  // those who listed them or their parameters. A consumer takes the first message naming the
  // element of its pending directory request as the answer, so every element pushed here comes
  // with its children, as a directory answer would: else a push that crosses a request leaves
  // that consumer's tree without them, and its walk down the path fails.
  if (!new_drivers_.empty()) {
    for (auto& [id, s] : sessions_) {
      if (s->subscribed.count({}) == 0 && s->subscribed.count({kWorkstation}) == 0) continue;
      GlowMessage m;
      WorkstationElement(m, true, true);
      for (const int number : new_drivers_) {
        if (Driver* d = DriverOf(number)) DriverElement(m, *d, true, true);
      }
      Queue(*s, m.Finish());
    }
  }
  for (const int number : dirty_drivers_) {
    Driver* d = DriverOf(number);
    if (!d || new_drivers_.count(number) != 0) continue;
    const Path node = d->NodePath();
    for (auto& [id, s] : sessions_) {
      auto at = s->subscribed.lower_bound(node);
      const bool below = at != s->subscribed.end() && HasPrefix(*at, node);
      if (!below && s->subscribed.count({kWorkstation}) == 0) continue;
      GlowMessage m;
      DriverElement(m, *d, true, true);
      if (below) {
        for (const auto& [letter, r] : d->routers) RouterElement(m, *d, *r, true, true);
      }
      Queue(*s, m.Finish());
    }
  }
  new_drivers_.clear();
  dirty_drivers_.clear();

  // Connections, to the matrix's subscribers (but not to the one whose take was just answered
  // with it), a few hundred a message.
  for (auto& [device, targets] : dirty_connections_) {
    Router* r = RouterOf(device);
    if (!r) continue;
    const Path path = r->MatrixPath();
    for (auto& [id, s] : sessions_) {
      if (s->subscribed.count(path) == 0) continue;
      auto it = targets.begin();
      bool contents = targets.count(-1) != 0;
      while (it != targets.end() || contents) {
        GlowMessage m;
        m.BeginElement(GlowMessage::Type::kMatrix, path, true);
        MatrixContents(m, *r, false);
        int n = 0;
        bool open = false;
        for (; it != targets.end() && n < options_.per_message; ++it) {
          if (it->first < 0 || it->first >= r->destinations || it->second == id) continue;
          if (!open) {
            m.BeginConnections();
            open = true;
          }
          const int source = r->tally[static_cast<size_t>(it->first)];
          const bool known = source >= 0 && source <= r->sources;
          m.Connection(ConnectionFields{it->first, known, static_cast<uint32_t>(known ? source : 0),
                                        Disposition::kTally});
          ++n;
        }
        if (open) m.EndConnections();
        m.EndElement();
        if (open || contents) Queue(*s, m.Finish());
        contents = false;
      }
    }
  }
  dirty_connections_.clear();

  // Names, to those who listed the label list or one of its labels.
  for (auto& [device, lists] : dirty_names_) {
    Router* r = RouterOf(device);
    if (!r) continue;
    for (auto& [list, signals] : lists) {
      const Path node = r->ListPath(list);
      for (auto& [id, s] : sessions_) {
        auto at = s->subscribed.lower_bound(node);
        if (at == s->subscribed.end() || !HasPrefix(*at, node)) continue;
        auto it = signals.begin();
        while (it != signals.end()) {
          GlowMessage m;
          for (int n = 0; it != signals.end() && n < options_.per_message; ++it, ++n) {
            if (*it < r->Signals(list)) LabelParameter(m, *r, list, *it, true);
          }
          Queue(*s, m.Finish());
        }
      }
    }
  }
  dirty_names_.clear();

  for (auto& [id, s] : sessions_) {
    if (s->close_why.empty() && s->bytes > 0 && sink_.output) sink_.output(id);
  }
  Reap();
}

}  // namespace kirn::ember
