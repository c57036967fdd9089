// What changes between two surveys reaches the survey of `kirn metrics` as it happens, with no
// survey asked for: a driver's link (its news), its registrations coming and going, and the
// names of a router, read again once they changed and never else.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QCoreApplication>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "kirn/kirn_fixture.h"
#include "sim_process.h"
#include "tools/kirn/survey/driver_survey.h"

namespace {

using kirn_testing::KirnTest;
using testing_support::Process;
using testing_support::SimProcess;

// Runs `tell` when the test has failed by the time it goes out of scope.
class OnFailure {
 public:
  explicit OnFailure(std::function<void()> tell) : tell_(std::move(tell)) {}
  ~OnFailure() {
    if (::testing::Test::HasFailure()) tell_();
  }
  OnFailure(const OnFailure&) = delete;
  OnFailure& operator=(const OnFailure&) = delete;

 private:
  std::function<void()> tell_;
};

class AnnounceTest : public KirnTest {
 protected:
  // The survey of this process, following the interface's relays and the drivers' news.
  void Follow() {
    testing_support::EnsureQtApp();
    ::setenv("KIRN_BUS", Bus().c_str(), 1);
    survey_ = std::make_unique<kirn::DriverSurvey>(5000);
    kirn::DriverSurvey::Follower f;
    f.line = [](std::string_view) {};
    f.link = [this](const kirn::DriverReading& d) { news_.push_back(d); };
    survey_->Follow(std::move(f));
  }

  void TearDown() override {
    survey_.reset();
    plat::ResetWindows();
    ::unsetenv("KIRN_BUS");
    KirnTest::TearDown();
  }

  // Serves the survey once: true when a survey it runs has ended (its result waits in Take()).
  bool Serve() {
    // Messages posted to the survey's window wait in the event queue of this process's Qt
    // application (kirn metrics has none, and gets them from the survey's Poll()).
    QCoreApplication::processEvents();
    return survey_->Poll();
  }

  // Serves the survey until `done()` (up to `timeout_ms`); returns done(). Not while a survey
  // runs: its end would be served here and its result left untaken.
  bool PollUntil(const std::function<bool()>& done, int timeout_ms = 15000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
      if (Clock::now() >= deadline) return false;
      Serve();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  // Runs `kirn ARGS...` while serving the survey (a watcher that does not answer its relays in
  // time is dropped); its exit code, -1 when it did not end.
  int KirnServed(std::vector<std::string> args) {
    args.insert(args.begin(), KIRN_BIN);
    Process p(args, Env());
    int code = -1;
    PollUntil([&] { return (code = p.Wait(0)) >= 0; });
    return code;
  }

  // One whole survey; the drivers it found up.
  std::vector<int> Survey() {
    survey_->Start();
    std::optional<kirn::Survey> s;
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    while (!s && Clock::now() < deadline) {
      if (Serve()) {
        s = survey_->Take();
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    std::vector<int> up;
    if (s) {
      for (const kirn::DriverReading& d : s->drivers) {
        if (d.up) up.push_back(d.driver);
      }
    }
    return up;
  }

  // The last news' value of `name` for controller A (or without labels), -1 without news.
  int64_t LastNews(const std::string& name, bool controller_a = false) const {
    if (news_.empty()) return -1;
    const xarvel::PanelCounters& c = news_.back().counters;
    return controller_a ? c.Get(name, {"A"}, -1) : c.Get(name, {}, -1);
  }

  std::string NameRead(int router, int database, int entry) {
    survey_->WantName(router, database, entry);
    std::string text;
    PollUntil([&] {
      const kirn::RouterNames* names = survey_->Names(router);
      if (names == nullptr || survey_->names_pending() != 0) return false;
      const auto& map = database == 0 ? names->sources : names->destinations;
      auto it = map.find(entry);
      if (it == map.end() || it->second.stale) return false;
      text = it->second.text;
      return true;
    });
    return text;
  }

  std::unique_ptr<kirn::DriverSurvey> survey_;
  std::vector<kirn::DriverReading> news_;
};

TEST_F(AnnounceTest, LinkRegistrationsAndNamesFollowTheirChangesWithoutAnotherSurvey) {
  SimProcess sim({"--tcp", "0"});
  ASSERT_TRUE(sim.Ready()) << sim.Err();
  WriteSite("Simulation=0\nConnection_Mode=IP\nIP_Address_A=127.0.0.1\nIP_Port=" +
            std::to_string(sim.ports.at(0)) + "\n");
  auto serve = StartServe();
  auto driver = StartDriver(*serve);
  // A failure anywhere below shows what the stand-in and the driver said.
  const OnFailure tell([&] {
    std::printf("kirn serve:\n%s%s\ndriver:\n%s\n", serve->Stdout().c_str(),
                serve->Stderr().c_str(), driver->Stderr().c_str());
  });
  Follow();
  // Once the link is up, one survey finds the driver and subscribes to its news.
  ASSERT_TRUE(
      PollUntil([&] { return Survey() == std::vector<int>{12} && survey_->announced(); }, 30000))
      << driver->Stderr();
  ASSERT_TRUE(PollUntil([&] { return LastNews("link_up", true) == 1; })) << driver->Stderr();
  EXPECT_EQ(news_.back().driver, 12);
  EXPECT_EQ(LastNews("active_controller"), 1);
  // Nothing changes: nothing is sent.
  const size_t told = news_.size();
  PollUntil([] { return false; }, 1000);
  EXPECT_EQ(news_.size(), told);

  // The controller goes: the news says so at once.
  sim.Kill();
  ASSERT_TRUE(PollUntil([&] { return LastNews("link_up", true) == 0; })) << driver->Stderr();
  EXPECT_EQ(LastNews("active_controller"), 0);
  EXPECT_EQ(news_.back().routers, (std::vector<int>{101, 102}));

  // A watcher that did not ask for them gets none of the new kinds of relay.
  Process watch({KIRN_BIN, "watch"}, Env());

  // A name is read once and kept; read again once the interface says it changed: a database
  // change the control system tells, or the router's profile rewritten.
  EXPECT_EQ(NameRead(101, 0, 5), "CAM 5");
  EXPECT_EQ(NameRead(101, 1, 1), "MON 1");
  uint64_t reads = survey_->names_read();
  EXPECT_EQ(NameRead(101, 0, 5), "CAM 5");
  EXPECT_EQ(survey_->names_read(), reads) << "unchanged: not read again";

  // The destinations' database (high half of lParam set): the destination is read again, the
  // source is not.
  EXPECT_EQ(KirnServed({"dbchange", "101", "65537"}), 0);
  EXPECT_TRUE(PollUntil([&] { return survey_->Names(101)->destinations.at(1).stale; }));
  EXPECT_FALSE(survey_->Names(101)->sources.at(5).stale);
  EXPECT_EQ(NameRead(101, 1, 1), "MON 1");
  EXPECT_EQ(survey_->names_read(), reads + 1);

  const auto profile = dir_.path() / "DEV_101.INI";
  std::string text = testing_support::ReadFile(profile);
  text.replace(text.find("CAM 5"), 5, "CAM 9");
  testing_support::WriteFile(profile, text);
  EXPECT_TRUE(PollUntil([&] { return survey_->Names(101)->sources.at(5).stale; }));
  EXPECT_EQ(NameRead(101, 0, 5), "CAM 9");

  // A survey too slow to take a relay loses its watch. It watches again, and every name it holds
  // is read again when next wanted: a change told meanwhile never reached it.
  EXPECT_EQ(NameRead(101, 1, 1), "MON 1");
  ASSERT_FALSE(survey_->Names(101)->destinations.at(1).stale);
  reads = survey_->names_read();
  Process unheard({KIRN_BIN, "dbchange", "101", "5"}, Env());
  EXPECT_EQ(unheard.Wait(10000), 0) << unheard.Stderr();
  EXPECT_TRUE(serve->WaitForOutput("drop watcher", 10000)) << serve->Stdout();
  EXPECT_TRUE(PollUntil([&] { return survey_->Names(101)->destinations.at(1).stale; }));
  EXPECT_EQ(NameRead(101, 1, 1), "MON 1");
  EXPECT_GT(survey_->names_read(), reads);

  // The watcher is there: it gets the mode the driver asserts when the interface sets one.
  EXPECT_EQ(KirnServed({"mode", "101", "0"}), 0);
  EXPECT_TRUE(PollUntil([&] { return watch.Stdout().find("MODE 101 ") != std::string::npos; }))
      << watch.Stdout();

  // The driver ends: its registrations go, and a survey is due for it.
  survey_->TakeRegistrationsChanged();
  driver->Stop();
  EXPECT_TRUE(PollUntil([&] { return survey_->TakeRegistrationsChanged(); })) << serve->Stdout();
  EXPECT_TRUE(Survey().empty());
  PollUntil([] { return false; }, 500);
  watch.Stop();
  for (const char* kind : {"DB ", "REG ", "UNREG "}) {
    EXPECT_EQ(watch.Stdout().find(kind), std::string::npos) << kind << watch.Stdout();
  }
  EXPECT_EQ(serve->Stop(), 0);
}

}  // namespace
