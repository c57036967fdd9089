// A survey of every driver on the workstation bus: what the metrics exporter reads at each
// scrape. Main thread only, run from the caller's loop: it never waits itself.
//
// The drivers are learnt from the interface's registrations (the stand-in's kKirnRegistrations:
// device, mode and the window that registered it; one window is one driver) and remembered by
// their own device number once they have answered. A survey asks every driver window for its
// counters (kPanelCounters, core/remote_panel.h) at once, with sends that do not wait
// (BusClient::StartSend), and takes what has come when all have answered or its deadline has
// passed, whichever is first. Nothing waits on one driver: a driver that is stopped or gone is
// reported down at the deadline at the latest, and the others as they answered. A driver whose
// earlier ask is still unanswered at the bus host (which answers for a silent peer only after its
// own time-out, 5 s) is not asked again until that answer is in, so a stopped driver holds one
// waiting send at most, however often it is surveyed.
//
// The interface is found, the registrations read and the drivers asked within the same deadline;
// the drivers of the previous survey's registrations are asked at once, those that registered
// since as soon as the new list is in.
//
// For the status page a survey may ask more of a driver once its counters have said which driver
// it is: its status panel (kPanelStatus) and the tables of some of its routers (kPanelTable), one
// router at a time, page after page, under the same deadline. Beside the surveys, the names of
// routers' sources and destinations are read from the interface's name look-ups (ZUT_GETDBNAME,
// as the driver's dialog fills its lists), a few at a time, and kept: the drivers are never asked
// for names, and a page costs a driver only its table reads. A name is read once, and again only
// once it has changed: the interface relays the changes of its database ("DB" lines), and a
// driver that restarted or a new bus host may bring other names; never on a timer.
//
// Between the surveys the changes come to it: each driver that has answered is subscribed to
// its link news (kLinkSubscribe, core/remote_panel.h), which it hands to the followers as they
// come, and the interface relays the registrations as they change ("REG" and "UNREG" lines), so
// that a driver that comes or goes is surveyed at once. A survey now and then remains the safety
// net for what is not announced: a driver that stops answering while its window stays, or one
// that dropped the subscription.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/panel_counters.h"
#include "platform/bus_client.h"
#include "platform/window.h"
#include "tools/kirn/survey/panel_answers.h"

namespace kirn {

// What a survey asks beyond every driver's counters.
struct SurveyWants {
  // Every driver's status panel.
  bool status = false;
  // Every driver that answers is asked for its link news again (the driver sends its state
  // again): a subscription a driver dropped is made again.
  bool subscribe_again = false;
  // Router tables: driver number -> router device ids (0: the driver's first router).
  std::map<int, std::set<int>> tables;
};

// What one survey learnt of one driver.
struct DriverReading {
  // The driver's own device number (its command line); 0 for one that has never answered.
  int driver = 0;
  // Its routers' device ids: from its last answer, else from its registrations.
  std::vector<int> routers;
  // It answered this survey, completely.
  bool up = false;
  // The answer, when up.
  xarvel::PanelCounters counters;
  // The status panel, when asked and answered.
  PanelStatus status;
  // The tables asked for and answered whole, by the device id asked (0: the first router).
  std::map<int, RouterTable> tables;
  // More than one window answered as this driver (a driver started twice, or a peer posing as
  // it): none of them is taken, and `windows` names them all.
  bool conflict = false;
  std::vector<plat::Hwnd> windows;
  // Answers of this driver that held lines the exporter dropped (malformed, undocumented labels,
  // duplicate series), since the exporter started.
  uint64_t bad_answers = 0;
};

struct Survey {
  // On the bus, with the interface found.
  bool bus = false;
  // The drivers by number, then those never heard from by their first router.
  std::vector<DriverReading> drivers;
  // From the start of the survey to its end.
  std::chrono::microseconds took{0};
};

class DriverSurvey {
 public:
  // The one deadline of a survey.
  static constexpr int kDeadlineMs = 1000;
  // Asks in flight at once; further drivers are asked as answers come in.
  static constexpr size_t kMaxInFlight = 32;
  // A lost bus is connected to again at most this often.
  static constexpr int kReconnectMs = 1000;
  // Name look-ups in flight at once (beside kMaxInFlight asks of drivers: together well below
  // the host's bound of waiting sends per connection).
  static constexpr size_t kMaxNamesInFlight = 8;
  // Names waiting to be looked up; more wanted meanwhile are left for a later want.
  static constexpr size_t kMaxNamesQueued = 65536;
  // Pages of one table a survey reads at most (a 4096-destination router needs one or two).
  static constexpr int kMaxTablePages = 8;

  explicit DriverSurvey(int deadline_ms = kDeadlineMs);
  ~DriverSurvey();
  DriverSurvey(const DriverSurvey&) = delete;
  DriverSurvey& operator=(const DriverSurvey&) = delete;

  // Starts a survey (connecting to the bus first when not connected). REQUIRES: !running().
  void Start(const SurveyWants& wants = {});
  bool running() const { return running_; }
  // Reads what the bus has for this process (between surveys too: the host's notices) and
  // ends the running survey once everything is in or its deadline has passed. True when a
  // survey has just ended: take it with Take().
  bool Poll();
  Survey Take();

  // The bus socket to wait on for reading; -1 while not connected.
  int fd() const;
  // Milliseconds until the running survey's deadline; -1 when none runs.
  int MsUntilDeadline() const;

  // Following the interface's relays, for the history and the event streams: once the interface is
  // found, the survey's window asks it to relay every device's revertives, query replies and mode
  // assertions (kKirnWatch of device 0) and hands each relayed line, and each loss, to the
  // follower. A lost watch is set up again at the next Start(). Set before the first Start().
  struct Follower {
    std::function<void(std::string_view line)> line;
    // The watch is in place (again): what came before it was not seen.
    std::function<void()> watching;
    // Relays lost: how many, or kRelaysWatcherDropped when the interface dropped the watch.
    std::function<void(int64_t lost)> lost;
    // The connection to the bus was lost, and the watch with it.
    std::function<void()> bus_lost;
    // A driver's link news: `up`, the driver, its routers and window, and in `counters` the
    // lines of the news (its mode, link state, active controller and connections, as its
    // counters have them).
    std::function<void(const DriverReading& driver)> link;
  };
  // Adds a follower (the history, the event streams): each gets every line and every loss.
  void Follow(Follower follower) { followers_.push_back(std::move(follower)); }
  bool watching() const { return watching_; }
  // Every change the followers want is announced: the interface relays the registrations and
  // every driver that answered the last survey took the subscription to its link news. False
  // with an older interface or driver: the caller then surveys as often as it needs to see
  // changes.
  bool announced() const;
  // A registration came or went since the last call (the interface relayed it): a survey is due.
  bool TakeRegistrationsChanged();

  // Asks for the names of entries first..last of `database` (0 sources, 1 destinations) of router
  // `device`, those not read yet or changed since they were read. They are looked up in the
  // background while the bus and the interface are there.
  void WantNames(int device, int database, int first, int last);
  void WantName(int device, int database, int entry) { WantNames(device, database, entry, entry); }
  // The names read so far of router `device`; nullptr when none was ever asked for.
  const RouterNames* Names(int device) const;
  // Look-ups waiting or in flight.
  size_t names_pending() const { return name_queue_.size() + names_in_flight_.size(); }
  // Look-ups answered since the start.
  uint64_t names_read() const { return names_read_; }
  // Names of entry `entry` (0: every entry) of `database` (-1: both) of router `device` (0: every
  // router) have changed: they are read again when next wanted.
  void NamesChanged(int device, int database, int entry);

  // Commands in flight at once (beside the asks and the look-ups, still below the host's bound);
  // more wait in order, up to kMaxCommandsQueued.
  static constexpr size_t kMaxCommandsInFlight = 16;
  static constexpr size_t kMaxCommandsQueued = 65536;
  // Hands command `text` (a control-system command such as "RC 101 5 12 ',---' 0") to the driver
  // of router `device` through the interface, as `kirn send` does (kKirnSend), without waiting:
  // commands go out in the order given. False when the interface has not been found or too many
  // wait already.
  bool Command(int device, std::string text);
  size_t commands_pending() const { return commands_.size() + commands_in_flight_.size(); }

 private:
  using Clock = std::chrono::steady_clock;
  // One ask of a driver window: its counters, then (once they name the driver) what the survey
  // wants of that driver.
  struct TableAsk {
    uint32_t serial = 0;
    bool done = false;
    bool whole = false;
    int next = 1;  // the destination the next page starts at
    int pages = 0;
    RouterTable table;
  };
  struct Asked {
    uint32_t serial = 0;
    bool done = false;
    bool up = false;
    xarvel::PanelCounters counters;
    uint32_t status_serial = 0;
    bool status_done = true;
    PanelStatus status;
    std::map<int, TableAsk> tables;  // by the device id wanted (0: the first router)
  };
  // A send waiting for a slot: the counters ask of a window, or a status or table ask.
  enum class AskKind { kCounters, kStatus, kTable };
  struct Pending {
    plat::Hwnd window = plat::kNoWindow;
    AskKind kind = AskKind::kCounters;
    int table = 0;  // the key of Asked::tables
  };
  using NameKey = std::pair<int, std::pair<int, int>>;  // device, database, entry
  struct Known {
    plat::Hwnd window = plat::kNoWindow;
    std::vector<int> routers;
    int64_t start_ms = 0;  // when the driver says it started
  };

  plat::LResult Proc(plat::Hwnd hwnd, uint32_t msg, plat::WParam w, plat::LParam l);
  bool Connect();
  void Disconnect();
  // Asks `window` for its counters now, or later when kMaxInFlight asks are out.
  void Ask(plat::Hwnd window);
  // Sends a pending ask, or queues it while kMaxInFlight asks are out.
  void Send(const Pending& p);
  // A counters answer named its driver: asks what the survey wants of it.
  void AskMore(plat::Hwnd window, Asked& a);
  // The router a table ask means: `key`, or for 0 the first router the counters name.
  static int TableRouter(const Asked& a, int key);
  void CollectMore(Asked& a, plat::Hwnd window);
  void StartNames();
  void CollectNames();
  void StartCommands();
  void StartAsks();
  void Collect();
  bool AllIn() const;
  void Finish();
  size_t InFlight() const;

  int deadline_ms_;
  std::unique_ptr<plat::BusClient> bus_;
  bool lost_ = false;
  Clock::time_point last_connect_{};
  plat::Hwnd window_ = plat::kNoWindow;
  plat::Hwnd kapi_ = plat::kNoWindow;
  uint32_t find_serial_ = 0;           // the find broadcast, while it runs
  uint32_t registrations_serial_ = 0;  // the registrations request, while unanswered
  std::string registration_lines_;     // its lines, as they come
  // The latest registrations: device id -> window.
  std::map<int, plat::Hwnd> registrations_;
  // Drivers heard from, by their own device number.
  std::map<int, Known> known_;
  // Answers with dropped lines, by driver number.
  std::map<int, uint64_t> bad_answers_;
  // Asks of earlier surveys that the host has not answered yet, by window.
  std::map<plat::Hwnd, uint32_t> late_;

  bool running_ = false;
  bool listed_ = false;  // the registrations were read in this survey
  Clock::time_point started_{};
  Clock::time_point deadline_{};
  std::map<plat::Hwnd, Asked> asks_;
  std::deque<Pending> queued_;
  SurveyWants wants_;
  Survey result_;

  std::vector<Follower> followers_;
  bool watching_ = false;
  // A watch was in place before: one set up again follows a time without relays.
  bool watched_before_ = false;
  bool lost_told_ = false;
  uint32_t watch_serial_ = 0;
  // Relayed lines of one kKirnLines block, passed on once the block is taken.
  void Relayed(std::string_view text);
  // A relayed "DB", "REG" or "UNREG" line: true when it was one.
  bool Registry(std::string_view line);
  // Link news from `sender` (a kLinkNews block).
  plat::LResult LinkNews(plat::Hwnd sender, std::string_view text);
  // Subscribes to the link news of `window` unless it is subscribed (or `again`).
  void Subscribe(plat::Hwnd window, bool again);
  void CollectSubscriptions();
  uint32_t kinds_serial_ = 0;  // kKirnWatchKinds, while unanswered
  int relay_kinds_ = 0;        // the kinds of relay the interface said it relays
  bool registrations_changed_ = false;
  // The driver (number) that answered from each window.
  std::map<plat::Hwnd, int> window_driver_;
  // Subscriptions to link news: answered (true: taken), and those on their way.
  std::map<plat::Hwnd, bool> subscribed_;
  std::map<plat::Hwnd, uint32_t> subscribing_;

  std::map<int, RouterNames> names_;
  std::deque<NameKey> name_queue_;
  std::set<NameKey> name_queued_;
  std::map<uint32_t, NameKey> names_in_flight_;
  uint64_t names_read_ = 0;
  // Look-ups on their way whose names have changed meanwhile: their answers stay stale.
  std::set<NameKey> changed_in_flight_;
  // The last link news of each driver.
  std::map<int, xarvel::PanelCounters> news_;
  // Sets the lines of `counters` that `news` tells to the news' values.
  static void OverlayNews(xarvel::PanelCounters* counters, const xarvel::PanelCounters& news);
  // The windows of the drivers that answered the last survey.
  std::set<plat::Hwnd> last_up_;

  std::deque<std::pair<int, std::string>> commands_;  // device, text
  std::set<uint32_t> commands_in_flight_;
};

}  // namespace kirn
