// The send window's rules as tables of events and what the window says after each: the commands
// it lets go, what it gives up, its verdict and the controllers it would try. No sockets, no
// ports, no sleeps: the time is handed in.
#include "link/send_window.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using xarvel::Asker;
using xarvel::LinkCommand;
using xarvel::SendWindow;
using xarvel::WindowConfig;

// One event at a time (ms since the start) and the expected outcome: the texts written (without
// their carriage return; the probe's too), then "r:<dest>" for each route the controller
// refused, "x:<reason>:<dest>" for each command given up ("a:" when it was abandoned after its
// write), "SILENT" for a silence verdict, "HOLDOVER" for a serial hold that is over, "try:A",
// "try:B", "try:AB" or "try:-" for the controllers to try, "poll:yes"/"poll:no" for a waiting
// poll interrogate.
//
// Events: "route D S" (route of device 101, level A, destination D, source S), "ask D" (the
// poll's interrogate of D), "rp D" (an interrogate asked by the control system), "resync D"
// (the walk's interrogate of D, written only into a free slot), "lock N" (".BLN"), "name"
// (".WS1,X"), "A D S" / "U D S" (a route report entry of level A), "ack" (a bare ".A"), "ba N"
// (a lock status of N), "ra" (a name acknowledgement), "tick", "lost" / "made" (the
// connection), "silent" (the serial line found silent: what it had not answered waits again,
// one at a time), "rxonly" / "txrx", "failed", "giveup" (what is outstanding given up),
// "shutdown", "silentA" / "closeA" / "silentB" (the active controller went silent or closed),
// "reconnect" (both closed on purpose), "try" (controllers to try, both allowed), "poll?".
struct Step {
  int64_t ms;
  const char* event;
  const char* expect;
};

class Harness {
 public:
  explicit Harness(const WindowConfig& config) { w_.Configure(config); }

  std::string Do(int64_t ms, const std::string& event) {
    const int64_t now = 1'000'000 + ms * 1000;  // a steady clock is never at 0
    std::istringstream in(event);
    std::string what;
    int a = 0;
    int b = 0;
    in >> what >> a >> b;
    std::string out;
    auto add = [&out](const std::string& s) { out += (out.empty() ? "" : " ") + s; };
    auto command = [](const std::string& text, Asker asker = Asker::kControl) {
      LinkCommand c;
      c.text = text + "\r";
      c.origin.asker = asker;
      xarvel::ClassifyCommand(c);
      return c;
    };
    if (what == "route") {
      LinkCommand c = command(".SA" + std::to_string(a) + "," + std::to_string(b));
      c.origin.route = {101, a, b};
      w_.Submit(std::move(c), now);
    } else if (what == "ask" || what == "rp") {
      w_.Submit(command(".IA" + std::to_string(a), what == "ask" ? Asker::kPoll : Asker::kControl),
                now);
    } else if (what == "lock" || what == "name") {
      w_.Submit(command(what == "lock" ? ".BL" + std::to_string(a) : ".WS1,X"), now);
    } else if (what == "resync") {
      if (connected_ && w_.ResyncSlotFree()) {
        add(".IA" + std::to_string(a));
        w_.Written(command(".IA" + std::to_string(a), Asker::kResync), now);
      }
    } else if (what == "A" || what == "U") {
      w_.Entry(what[0], 0, a, b, now);
    } else if (what == "ack") {
      w_.Ack(now);
    } else if (what == "ba") {
      w_.LockStatus(a, now);
    } else if (what == "ra") {
      w_.NameAck(now);
    } else if (what == "tick") {
      const xarvel::Verdict v = w_.Tick(now);
      if (v == xarvel::Verdict::kSilent) add("SILENT");
      if (v == xarvel::Verdict::kHoldOver) add("HOLDOVER");
    } else if (what == "lost") {
      w_.ConnectionLost(now);
      connected_ = false;
    } else if (what == "made") {
      w_.ConnectionMade(now);
      connected_ = true;
    } else if (what == "silent") {
      w_.LineSilent(now);
      w_.LinkFailed();
    } else if (what == "rxonly" || what == "txrx") {
      w_.SetRxOnly(what == "rxonly");
    } else if (what == "failed") {
      w_.LinkFailed();
    } else if (what == "giveup") {
      w_.GiveUpOutstanding();
    } else if (what == "shutdown") {
      w_.Shutdown();
    } else if (what == "silentA" || what == "closeA" || what == "silentB") {
      w_.ControllerLost(what.back() == 'A' ? 1 : 2, what != "closeA", now);
    } else if (what == "reconnect") {
      w_.ReconnectRequested();
    } else if (what == "try") {
      const unsigned t = w_.ControllersToTry(3u, now);
      add(std::string("try:") + (t == 0 ? "-" : t == 1 ? "A" : t == 2 ? "B" : "AB"));
    } else if (what == "poll?") {
      add(w_.PollWaiting() ? "poll:yes" : "poll:no");
    } else {
      ADD_FAILURE() << "unknown event " << event;
    }
    // A connected link writes what the window lets go, then the probe when it is due.
    LinkCommand c;
    while (connected_ && w_.NextToWrite(&c)) {
      add(c.text.substr(0, c.text.size() - 1));
      w_.Written(std::move(c), now);
    }
    int level = 0;
    int dest = 0;
    if (connected_ && w_.ProbeDue(now, &level, &dest)) {
      add(".IA" + std::to_string(dest));
      w_.Written(command(".IA" + std::to_string(dest), Asker::kProbe), now);
    }
    for (const LinkCommand& r : w_.TakeRefused()) add("r:" + std::to_string(r.origin.route.dest));
    for (const xarvel::WindowDrop& d : w_.TakeDrops()) {
      add(std::string(d.abandoned ? "a:" : "x:") + xarvel::DropReasonName(d.reason) + ":" +
          std::to_string(d.command.origin.route.dest));
    }
    return out;
  }

  void Run(const std::vector<Step>& steps) {
    for (const Step& s : steps) {
      EXPECT_EQ(Do(s.ms, s.event), s.expect) << "at " << s.ms << " ms, event \"" << s.event << '"';
    }
  }

  SendWindow& window() { return w_; }

 private:
  SendWindow w_;
  bool connected_ = true;
};

WindowConfig Serial(int limit) {
  WindowConfig c;
  c.unack_limit = limit;
  c.reply_timeout_ms = 1000;
  return c;
}

WindowConfig Tcp(bool dual) {
  WindowConfig c = Serial(3);
  c.tcp = true;
  c.dual = dual;
  return c;
}

// Only an answer proves the command path: a route by its own report (destination and source),
// an interrogate by an answer naming it, a lock command by its lock status, a name by its
// acknowledgement. Front-panel reports, unasked lock statuses and acknowledgements to nothing
// free no slot and keep no silence away. ".U" answers an interrogate only where the controller
// has never answered one with ".A".
TEST(SendWindowTest, OnlyAnAnswerFreesASlotAndKeepsSilenceAway) {
  Harness h(Serial(3));  // two outstanding
  h.Run({
      {0, "ack", ""},  // nothing written: an acknowledgement of nothing
      {0, "route 1 2", ".SA1,2"},
      {0, "lock 5", ".BL5"},  // no slot
      {0, "route 2 2", ".SA2,2"},
      {0, "route 3 2", ""},
      {0, "name", ""},                  // waits behind the route, in order
      {100, "U 1 9", ""},               // a front-panel change of destination 1: no answer
      {150, "U 7 7", ""},               // another destination: nothing
      {160, "ba 7", ""},                // a lock set at the front panel: nothing
      {200, "U 1 2", ".SA3,2 .WS1,X"},  // the route's own report frees its slot
      {210, "ba 5", ""},                // the lock command's status: an answer, but no slot to free
      {250, "ask 4", ""},               // waits for a slot
      {260, "poll?", "poll:yes"},       // the poll stays where it is
      {400, "A 3 2", ".IA4"},           // the route of destination 3 answered by an ".A" entry
      {410, "ra", ""},
      {420, "A 4 1", ""},  // the interrogate's answer
      {430, "ask 5", ".IA5"},
      {440, "U 5 1", ""},        // an ".A" answerer's ".U" is a report, not an answer
      {545, "tick", ".IA4"},     // quiet: the probe, of the destination answered last
      {1200, "tick", "r:2"},     // route 2: due, and commands written after it were answered
      {1300, "U 9 9", ""},       // chatter
      {1500, "tick", ""},        // .IA5's time is up, but the probe has time still
      {1550, "tick", "SILENT"},  // neither answered in time
  });
  Harness u(Serial(5));
  u.Run({
      {0, "rp 1", ".IA1"}, {10, "U 1 3", ""},  // a controller answering interrogates with ".U"
  });
  EXPECT_EQ(u.window().Outstanding(), 0);
}

// A route the controller refuses is found out without trusting a report: by a bare
// acknowledgement (the answer to the oldest command not yet named by a report), or by its due
// time while a command written after it has been answered. A report naming the crosspoint with
// another source brings that time forward. A refused route is handed over once, is no drop and
// no failure, and takes no slot any more.
TEST(SendWindowTest, RefusalsByReportByAcknowledgementAndBySilence) {
  Harness h(Serial(5));  // four outstanding
  h.Run({
      {0, "route 1 5", ".SA1,5"},
      {0, "route 2 5", ".SA2,5"},  // refused with the unchanged crosspoint
      {0, "route 3 5", ".SA3,5"},  // refused with a bare acknowledgement
      {0, "route 4 5", ".SA4,5"},  // refused without a word
      {0, "route 5 5", ""},
      {0, "route 6 5", ""},
      {2, "U 1 5", ".SA5,5"},
      {4, "U 2 9", ""},              // 2's crosspoint: no answer, but looked at
      {6, "ack", ".SA6,5 r:3 r:2"},  // 3's answer; 2 was passed over
      {8, "U 5 5", ""},
      {10, "U 6 5", ""},
      {130, "tick", ".IA6"},  // 4 alone awaits its answer: the probe
      {132, "A 6 5", ""},
      {1050, "tick", "r:4"},  // 4's due time, commands after it answered
      {1060, "tick", ""},
      {1100, "route 7 5", ".SA7,5"},
      {1102, "U 7 9", ".IA6"},  // the last route, named with another source: the probe at once
      {1104, "A 6 5", "r:7"},
  });
  EXPECT_EQ(h.window().Outstanding(), 0);
  // Silence filling the whole window: the probe shows that the controller is alive, and the
  // routes are refused one by one at their due times, with no silence verdict.
  Harness w(Serial(3));  // two outstanding
  w.Run({
      {0, "ask 9", ".IA9"},
      {5, "A 9 1", ""},
      {10, "route 1 5", ".SA1,5"},
      {10, "route 2 5", ".SA2,5"},
      {10, "route 3 5", ""},
      {150, "tick", ".IA9"},
      {155, "A 9 1", ""},
      {1050, "tick", ".SA3,5 r:1 r:2"},
      {1060, "U 3 5", ""},
      {2000, "tick", ""},
  });
}

// A deaf controller whose front panel reports the very crosspoints outstanding answers nothing:
// nothing is refused, and the link fails once neither the window nor the probe is answered
// within the reply timeout. A profile wider than the controller (an interrogate beyond its range
// never answered) never fails the link: the probe shows it alive, the interrogate is given up.
TEST(SendWindowTest, DeafChatterFailsTheLinkAProfileWiderThanTheControllerDoesNot) {
  Harness h(Serial(5));
  h.Run({
      {0, "ask 9", ".IA9"},
      {5, "A 9 1", ""},
      {10, "route 1 5", ".SA1,5"},
      {10, "route 2 5", ".SA2,5"},
      {50, "U 1 7", ""},
      {100, "U 2 8", ".IA9"},  // the newest route named with another source: the probe at once
      {160, "tick", ""},
      {200, "U 1 6", ""},
      {1090, "tick", ""},        // the window's time is up, the probe's not yet
      {1110, "tick", "SILENT"},  // within the probe's own reply timeout
  });
  Harness p(Serial(5));
  p.Run({
      {0, "ask 1", ".IA1"},
      {5, "A 1 3", ""},
      {10, "ask 20", ".IA20"},  // beyond the controller's destinations
      {130, "tick", ".IA1"},
      {135, "A 1 3", ""},
      {1100, "tick", ""},  // given up on its own: the poll's, so nothing counted
      {3000, "tick", ""},
  });
  EXPECT_EQ(p.window().Outstanding(), 0);
}

// A serial line found silent keeps what it was written awaiting its answer (written again, an
// older route could land after a newer one) and holds what waits, in order; an answer within the
// hold sends it all; a line silent for the whole hold gives up what waits.
TEST(SendWindowTest, ASilentSerialLineHoldsItsRoutesForTheHold) {
  for (const bool answers : {true, false}) {
    Harness h(Serial(3));
    h.Run({
        {0, "route 1 1", ".SA1,1"},
        {0, "route 2 1", ".SA2,1"},
        {0, "route 3 1", ""},
        {1000, "tick", "SILENT"},
        {1000, "silent", ""},
        {2000, "tick", "SILENT"},  // still silent within the hold: nothing written again
        {2000, "silent", ""},
    });
    if (answers) {
      h.Run({
          {2500, "U 1 1", ".SA3,1"},  // the pause is over within the hold: nothing lost
          {2510, "U 2 1", ""},
          {2520, "U 3 1", ""},
          {5000, "tick", ""},
      });
    } else {
      h.Run({
          {3000, "tick", "SILENT"},
          {3000, "silent", ""},
          {4000, "tick", "HOLDOVER x:held_too_long:3"},
          {4000, "rxonly", "a:rx_only:1 a:rx_only:2"},
      });
    }
  }
}

// Over TCP what a lost connection had not confirmed goes first to the next one; written to three
// connections without an answer it is given up. Held commands wait 3 s from the loss.
TEST(SendWindowTest, LostConnectionsResendInOrderThreeTimesAndHoldForThreeSeconds) {
  Harness h(Tcp(true));
  h.Run({
      {0, "route 1 2", ".SA1,2"},
      {0, "route 2 2", ".SA2,2"},
      {1000, "tick", "SILENT"},
      {1000, "lost", ""},
      {1000, "failed", ""},
      {1100, "made", ".SA1,2"},  // one at a time after a failure, in order
      {2100, "tick", "SILENT"},
      {2100, "lost", ""},
      {2200, "made", ".SA1,2"},
      {3200, "tick", "SILENT"},
      {3200, "lost", "x:unanswered:1"},  // written to three connections
      {3300, "made", ".SA2,2"},
      {3400, "U 2 2", ""},  // answered: the whole window again
      {3400, "route 3 2", ".SA3,2"},
      {3400, "lost", ""},
      {6300, "tick", ""},
      {6400, "tick", "x:held_too_long:3"},
  });
}

// After a failure the other controller of a pair goes first, then they take turns; an answer
// brings back the attempts at both. A single controller that stays silent waits 1 s, 2 s, 4 s,
// then 5 s before each new attempt.
TEST(SendWindowTest, ControllersAreTriedInTurnAndASilentSingleOneAfterAPause) {
  Harness pair(Tcp(true));
  pair.Run({
      {0, "try", "try:AB"},
      {100, "silentA", ""},
      {100, "try", "try:B"},
      {150, "try", "try:A"},
      {200, "try", "try:B"},
      {300, "U 1 1", ""},  // answers nothing: still in turn
      {300, "try", "try:A"},
      {400, "closeA", ""},  // A closed its connection: B first again
      {400, "try", "try:B"},
      {500, "closeA", ""},
      {500, "reconnect", ""},  // closed on purpose (a reconnection asked for): both again
      {500, "try", "try:AB"},
  });
  Harness one(Tcp(false));
  one.Run({
      {0, "try", "try:A"},
      {0, "silentA", ""},
      {900, "try", "try:-"},
      {1000, "try", "try:A"},
      {1000, "try", "try:A"},  // refused at once: tried again at the next call
      {1000, "silentA", ""},
      {2900, "try", "try:-"},
      {3000, "try", "try:A"},
      {3000, "silentA", ""},  // 4 s
      {3000, "silentA", ""},  // then 5 s from here
      {7900, "try", "try:-"},
      {8000, "try", "try:A"},
      {8000, "route 1 1", ".SA1,1"},
      {8100, "U 1 1", ""},  // an answer: the pauses start again from 1 s
      {8100, "silentA", ""},
      {9000, "try", "try:-"},
      {9100, "try", "try:A"},
  });
}

// RX only writes no route: waiting ones are dropped, outstanding ones abandoned, new ones
// dropped at once, and none waits for the next connection. The poll goes on, and its
// interrogates are never counted as dropped.
TEST(SendWindowTest, RxOnlyWritesNoRouteAndThePollIsNeverADrop) {
  Harness h(Tcp(true));
  h.Run({
      {0, "route 1 2", ".SA1,2"},
      {0, "route 2 2", ".SA2,2"},
      {0, "route 3 2", ""},
      {0, "ask 9", ""},
      {100, "rxonly", ".IA9 x:rx_only:3 a:rx_only:1 a:rx_only:2"},
      {150, "route 4 2", "x:rx_only:4"},
      {200, "lost", ""},
      {300, "made", ".IA9"},  // the poll's interrogate again, no route
      {1300, "tick", "SILENT"},
      {1300, "giveup", ""},  // the poll's own interrogate: nothing counted
      {1400, "txrx", ""},
      {1400, "route 5 2", ".SA5,2"},
      {1500, "lost", ""},
      {1600, "rp 6", ""},
      {1700, "shutdown", "x:shutdown:5 x:shutdown:0"},
  });
}

// The resync walk fills an idle line with at most four interrogates whatever the limit, keeps to
// one beside a route awaiting its answer, and never goes before a waiting command.
TEST(SendWindowTest, ResyncStaysBehindRoutesAtAnyLimit) {
  Harness h(Serial(20));
  h.Run({
      {0, "resync 1", ".IA1"},
      {0, "resync 2", ".IA2"},
      {0, "resync 3", ".IA3"},
      {0, "resync 4", ".IA4"},
      {0, "resync 5", ""},
      {10, "route 7 1", ".SA7,1"},
      {20, "A 1 0", ""},
      {20, "A 2 0", ""},
      {20, "A 3 0", ""},
      {20, "resync 5", ""},  // one still out beside the route
      {30, "A 4 0", ""},
      {30, "resync 5", ".IA5"},
      {30, "resync 6", ""},
      {40, "U 7 1", ""},
      {40, "resync 6", ".IA6"},
  });
  Harness small(Serial(3));  // a window of two: the walk keeps one slot free
  small.Run({
      {0, "resync 1", ".IA1"},
      {0, "resync 2", ""},
  });
}

}  // namespace
