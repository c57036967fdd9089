// The Ember+ provider of the workstation, without I/O: every router of every driver on the bus as
// a matrix that consumers browse, watch and route.
//
// The tree (paths as Ember+ numbers them, one arc a level):
//   1                    the workstation (identifier "xarvel")
//   1.D                  driver D (its own device number): identifier "driver-D", the
//                        controller's name and the version in its description; offline
//                        (isOnline false) while it does not answer, never removed
//   1.D.100 .. 1.D.105   read-only parameters: number, controller, version, interface-mode
//                        (enum, the driver's mode 0..5), link (enum: unconfirmed, ok, failed),
//                        active-controller (enum: none, A, B)
//   1.D.L                router L = 1..26 for the letters A..Z: identifier the letter
//   1.D.L.2              its device id (read-only parameter "device")
//   1.D.L.1              its matrix "crosspoints": oneToN, linear; target t is destination t + 1
//                        and source s is the driver's source s (0 is the park source);
//                        connections from the tally (none where no source is known)
//   1.D.L.1.1            the matrix's labels node; its children 1 "targets" and 2 "sources"
//                        hold one string parameter per signal ("t-N", "s-N"), numbered like the
//                        signals, whose value is the signal's name
//
// A directory request on an element answers that element with its children (a leaf: itself) and
// subscribes its sender to it; a subscribe command does the same without the answer. A change of
// an element goes to the sessions subscribed to it or to its parent: connections to the matrix's
// subscribers, names to those of the label list, driver values to those of the driver node, a new
// driver to those of the workstation.
//
// A take (a matrix carrying connections) becomes a route command to the driver, sent through the
// sink as the control system would send it. What the driver would refuse, as far as the provider
// knows (read-only mode, driver down or in RX only, out of range, the destination locked by the
// control system or at the controller, a route command the driver reads both ways or neither), is
// answered at once with the current connection and disposition locked, and one trace line.
// Otherwise the take is answered pending, then modified when the revertive comes, or with the
// current connection and disposition tally after twice the driver's reply timeout.
//
// Output is pulled: Peek() and Sent(). Large answers are made a few hundred connections or
// labels a message while less than `high_water` bytes wait; keep-alive answers go ahead of
// everything not yet started. A session whose unsent bytes pass `max_unsent` is closed.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tools/kirn/ember/glow.h"
#include "tools/kirn/ember/s101.h"

namespace kirn::ember {

// The tally's value for a destination whose source is not known.
inline constexpr int kNoSource = 65535;

// Interface modes (the driver's DriverMode).
inline constexpr int kModeRxOnly = 1;

struct RouterInfo {
  char letter = 'A';
  int device = 0;
  int sources = 0;       // the highest source number: sources 0..sources
  int destinations = 0;  // destinations 1..destinations
};

// One driver as a survey saw it.
struct DriverInfo {
  int number = 0;
  bool up = false;
  std::string controller;
  std::string version;
  int interface_mode = 0;
  int comms_state = 0;
  int active_controller = 0;
  // How the driver reads a route command's numbers (its profile's SourceToDest, DestToSource).
  bool source_to_dest = true;
  bool dest_to_source = false;
  int park_source = 0;
  // The profile's ReplyTimeoutMs; 0: automatic.
  int reply_timeout_ms = 0;
  std::vector<RouterInfo> routers;
};

// One router's tables as read from its driver, destination 1 at index 0.
struct TableInfo {
  int device = 0;
  std::vector<int> tally;            // kNoSource: none known
  std::vector<int> lock;             // the control system's lock, 0 unlocked
  std::vector<int> controller_lock;  // the controller's lock state, 0 unlocked, -1 unknown
  std::string park_name;
};

struct ProviderOptions {
  // Browse and watch only: every take is refused.
  bool read_only = false;
  // The access number of the route commands.
  int access = 0;
  // A session with more unsent bytes than this is closed.
  size_t max_unsent = 16u << 20;
  // Large answers are made while fewer unsent bytes than this wait.
  size_t high_water = 256u << 10;
  // Connections or labels in one message of a large answer.
  int per_message = 256;
  size_t max_packet = S101Encoder::kDefaultPacket;
  S101Limits s101;
  GlowLimits glow;
  // The workstation node's description.
  std::string description = "xarvel routers";
};

class Provider {
 public:
  using Clock = std::chrono::steady_clock;

  // Where the provider acts. Every member may be empty.
  struct Sink {
    // The session has bytes to send (Peek()).
    std::function<void(uint64_t session)> output;
    // The session is to be closed (a malformed message, too much unsent); the provider has
    // forgotten it already.
    std::function<void(uint64_t session, const std::string& why)> close;
    // Sends a route command text for router `device` to its driver, as the control system does;
    // false when it could not be sent.
    std::function<bool(int device, const std::string& command)> route;
    std::function<void(const std::string& line)> trace;
    // Names wanted: database 0 sources, 1 destinations, entries first..last.
    std::function<void(int device, int database, int first, int last)> want_names;
  };

  Provider(Sink sink, ProviderOptions options);
  ~Provider();
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;

  // Sessions.
  void Open(uint64_t session, const std::string& peer);
  // Bytes from the consumer. A malformed frame or message closes the session (Sink::close).
  void Received(uint64_t session, const uint8_t* data, size_t size, Clock::time_point now);
  // The connection has gone: forget the session.
  void Closed(uint64_t session);
  // The next bytes to send; false when nothing waits.
  bool Peek(uint64_t session, const uint8_t** data, size_t* size);
  // `n` bytes of what Peek() gave have been written.
  void Sent(uint64_t session, size_t n);
  size_t unsent(uint64_t session) const;
  size_t sessions() const { return sessions_.size(); }

  // The model of the drivers. Drivers: every driver the survey knows (a driver missing from the
  // list stays, offline).
  void Drivers(const std::vector<DriverInfo>& drivers, Clock::time_point now);
  // A router's tables, read by a survey that started when revertive_mark() was `mark`: the
  // destinations with a revertive since keep the revertive's source.
  void Table(const TableInfo& table, uint64_t mark, Clock::time_point now);
  // A revertive: router `device` destination `destination` is fed by `source`.
  void Revertive(int device, int destination, int source, Clock::time_point now);
  // A driver's mode assertion for one of its routers.
  void Mode(int device, int mode);
  // A name as the interface gives it: database 0 sources, 1 destinations.
  void Name(int device, int database, int entry, const std::string& text);
  // Revertives may have been missed: every router followed is to be read again.
  void Stale();
  uint64_t revertive_mark() const { return revertives_; }

  // The routers whose tables should be read: driver number -> router device ids.
  std::map<int, std::set<int>> WantedTables() const;
  // Asks again (Sink::want_names) for the names of the label lists someone watches whose names
  // have not all been read yet: for when the name cache has nothing left to look up (it takes a
  // bounded number of wants at a time).
  void WantMissingNames();
  // Sends what changed since the last call (connections, names, driver values), one message per
  // element; call once a loop turn.
  void Flush();
  // Answers the takes whose deadline has passed; milliseconds until the next one (-1: none).
  int Tick(Clock::time_point now);

 private:
  struct Session;
  struct Driver;
  struct Router;
  struct Job;
  struct Pending;
  struct Where;

  Where Locate(const Path& path) const;
  Router* RouterAt(int driver, int letter);
  Router* RouterOf(int device);
  Driver* DriverOf(int number);

  void Request(Session& s, const GlowRequest& r, Clock::time_point now);
  void Directory(Session& s, const Path& path);
  void Subscribe(Session& s, const Path& path);
  void Take(Session& s, const Path& path, const TakeConnection& c, Clock::time_point now);
  void Answer(Session& s, Router& r, int target, Disposition d);
  void Refuse(Session& s, Router& r, int target, const std::string& why);

  // Element encoders: `qualified` for a top-level element with its whole path.
  void WorkstationElement(GlowMessage& m, bool qualified, bool children) const;
  void DriverElement(GlowMessage& m, const Driver& d, bool qualified, bool children) const;
  void DriverParameter(GlowMessage& m, const Driver& d, int number, bool qualified) const;
  void RouterElement(GlowMessage& m, const Driver& d, const Router& r, bool qualified,
                     bool children) const;
  // The matrix's contents; its labels only in the answers that list it.
  void MatrixContents(GlowMessage& m, const Router& r, bool labels) const;
  void LabelParameter(GlowMessage& m, const Router& r, int list, int signal, bool qualified) const;
  const std::string& LabelName(const Router& r, int list, int signal) const;

  // Queues a whole message (frames) for the session.
  void Queue(Session& s, const std::vector<uint8_t>& payload);
  void Urgent(Session& s, std::vector<uint8_t> bytes);
  // Makes the messages of the session's jobs while little waits.
  void Fill(Session& s);
  bool Overflow(Session& s);
  // Closes the sessions marked to be closed.
  void Reap();
  void Close(Session& s, const std::string& why);
  void Trace(const std::string& line) const;
  void Resolve(Router& r, int target, Clock::time_point now);

  Sink sink_;
  ProviderOptions options_;
  std::map<uint64_t, std::unique_ptr<Session>> sessions_;
  std::map<int, std::unique_ptr<Driver>> drivers_;  // by driver number
  std::map<int, Router*> by_device_;
  std::deque<std::unique_ptr<Pending>> pending_;
  uint64_t revertives_ = 0;
  // Changes not yet sent: router device -> targets (and the session told of it already), names
  // by router device -> list (1 targets, 2 sources) -> signals, drivers whose values changed,
  // drivers that appeared.
  std::map<int, std::map<int, uint64_t>> dirty_connections_;
  std::map<int, std::map<int, std::set<int>>> dirty_names_;
  std::set<int> dirty_drivers_;
  std::set<int> new_drivers_;
};

}  // namespace kirn::ember
