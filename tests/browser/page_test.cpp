// The status page as an engineer sees it: headless Chromium opens the pages of `kirn metrics`
// over loopback HTTP, against a real driver, the bus host and the controller emulator. The tests
// read what the page shows (its text, its marks) and save screenshots of it in
// <build>/screenshots.
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "chromium.h"
#include "e2e_site.h"
#include "http_client.h"
#include "sim_process.h"

namespace {

using testing_support::Chromium;
using testing_support::Process;
using testing_support::SimProcess;
using testing_support::WriteFile;

constexpr int kWaitMs = 10000;

long long MsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t)
      .count();
}

class PageTest : public testing_support::SiteTest {
 protected:
  void SetUp() override {
    if (!Chromium::Installed()) GTEST_SKIP() << "no " << Chromium::kBinary;
  }

  void TearDown() override {
    browser_.Stop();
    if (metrics_) {
      EXPECT_EQ(metrics_->Stop(), 0) << metrics_->Stderr();
    }
  }

  // The sample site on the emulator's port, router B as given.
  void WriteControllerSite(int port, const std::string& router_b = "102,1,8") {
    WriteSite(
        "Simulation=0\nForwardBufferDelay=0\nConnection_Mode=IP\nIP_Address_A=127.0.0.1\n"
        "IP_Address_B=0.0.0.0\nDual_Controllers=0\nIP_Port=" +
            std::to_string(port) + "\nTallyDelay=40\nParkName=PARK\n",
        router_b);
  }

  void OpenBrowser(int width, int height) {
    ASSERT_TRUE(browser_.Start(width, height)) << browser_.error() << browser_.Log();
  }

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  void Shot(const std::string& name, bool full_page = false) {
    EXPECT_TRUE(browser_.Screenshot(std::string(PAGE_SCREENSHOT_DIR) + "/" + name, full_page))
        << browser_.error();
  }

  // The text of the overview card of driver 12 that `selector` picks.
  static std::string Card(const std::string& selector) {
    return "(document.querySelector('article[data-driver=\"12\"] " + selector +
           "') || {}).textContent";
  }
  // The row of destination `dest` in the crosspoints.
  static std::string Row(int dest) {
    return "document.querySelector('#xpt-rows tr[data-dest=\"" + std::to_string(dest) + "\"]')";
  }

  Chromium browser_;
  std::unique_ptr<Process> metrics_;
  int port_ = 0;
};

TEST_F(PageTest, APanelChangeAKilledControllerAStoppedDriverAndALostBusShow) {
  SimProcess sim({"--tcp", "0"});
  ASSERT_TRUE(sim.Ready()) << sim.Err();
  WriteControllerSite(sim.ports.at(0));
  auto serve = StartServe();
  auto driver = StartDriver(*serve);
  metrics_ = StartMetrics(&port_);
  OpenBrowser(1280, 760);

  // A change made at the router's own panel, which the driver did not ask for (as in RX only,
  // when it routes nothing), shows on the driver's page: the page compares what it reads.
  ASSERT_TRUE(browser_.Navigate(Url("/driver/12")));
  ASSERT_TRUE(browser_.WaitFor(
      "document.getElementById('state').textContent === 'Comms Ok' && " + Row(2), kWaitMs))
      << browser_.EvalText("document.body.innerText");
  const auto routed = std::chrono::steady_clock::now();
  ASSERT_TRUE(sim.Console("route A 2 9", "ok route"));
  EXPECT_TRUE(browser_.WaitFor(
      Row(2) + ".children[2].textContent === '9' && " + Row(2) + ".classList.contains('changed')",
      1000))
      << browser_.EvalText(Row(2) + ".textContent");
  std::printf("front-panel route -> highlighted: %lld ms\n", MsSince(routed));

  ASSERT_TRUE(browser_.Navigate(Url("/")));
  ASSERT_TRUE(browser_.WaitFor(Card("[data-role=state]") + " === 'Comms Ok'", kWaitMs))
      << browser_.EvalText("document.body.innerText");
  Shot("page_overview.png");

  // The controller vanishes: the card says the link failed, and marks controller A.
  sim.Kill();
  const auto killed = std::chrono::steady_clock::now();
  ASSERT_TRUE(browser_.WaitFor(Card("[data-role=state]") + " === 'Comms Fail' && " +
                                   "document.querySelector('article[data-driver=\"12\"] "
                                   "dd.bad-text')",
                               2000))
      << browser_.EvalText("document.body.innerText");
  std::printf("controller killed -> 'Comms Fail' on the overview: %lld ms\n", MsSince(killed));
  EXPECT_TRUE(browser_.EvalText(Card("dd.bad-text") + ".toLowerCase()").find("disconnected") !=
              std::string::npos)
      << browser_.EvalText(Card("dd.bad-text"));

  // The driver's own page says so too, with its dialog's texts.
  ASSERT_TRUE(browser_.Navigate(Url("/driver/12")));
  ASSERT_TRUE(browser_.WaitFor(
      "document.getElementById('state').textContent === 'Comms Fail' && "
      "document.querySelector('[data-field=status_a]').classList.contains('bad-text')",
      2000))
      << browser_.EvalText("document.body.innerText");
  Shot("page_link_failed.png");

  // A driver that stops answering is marked as such, its last answer kept on show.
  ASSERT_TRUE(browser_.Navigate(Url("/")));
  ASSERT_TRUE(browser_.WaitFor(Card("[data-role=state]") + " === 'Comms Fail'", 2000));
  const std::string shown = browser_.EvalText(Card("dd"));
  ::kill(driver->pid(), SIGSTOP);
  const auto stopped = std::chrono::steady_clock::now();
  const bool marked = browser_.WaitFor(Card("[data-role=state]") + " === 'not answering' && " +
                                           Card(".bad-text") + ".startsWith('Not answering since')",
                                       3000);
  if (marked) Shot("page_overview_down.png");
  ::kill(driver->pid(), SIGCONT);
  ASSERT_TRUE(marked) << browser_.EvalText("document.body.innerText");
  std::printf("driver stopped -> 'not answering': %lld ms\n", MsSince(stopped));
  EXPECT_EQ(browser_.EvalText(Card("dd")), shown) << "the last answer stays on show";
  ASSERT_TRUE(browser_.WaitFor(Card("[data-role=state]") + " === 'Comms Fail'", kWaitMs));

  // The bus host goes: the page says the drivers cannot be asked.
  serve->Stop();
  ASSERT_TRUE(browser_.WaitFor(
      "document.getElementById('banner').textContent.startsWith('The workstation bus is not "
      "there')",
      4000))
      << browser_.EvalText("document.body.innerText");
}

TEST_F(PageTest, ARouteShowsWithinASecondNamesAreTextAndALargeRouterIsPagedAndSearched) {
  SimProcess sim({"--tcp", "0"});
  ASSERT_TRUE(sim.Ready()) << sim.Err();
  WriteControllerSite(sim.ports.at(0), "102,1,4096");
  // A destination name with markup in it (17 characters at most), and a router of 4096
  // destinations with a few names.
  const std::string markup = "<b>MON</b><i>3";
  WriteFile(dir_.path() / "DEV_101.INI",
            "[Database]\nDatabaseSize_0=32\nDatabaseSize_1=16\n"
            "[Database_0]\n5=CAM 5\n7=<img src=x>\n[Database_1]\n1=MON 1\n3=" +
                markup + "\n12=MON 12\n");
  WriteFile(dir_.path() / "DEV_102.INI",
            "[Database]\nDatabaseSize_0=64\nDatabaseSize_1=4096\n"
            "[Database_1]\n1=STUDIO 1\n4000=QC MON 4000\n4096=LAST\n");
  auto serve = StartServe();
  auto driver = StartDriver(*serve);
  metrics_ = StartMetrics(&port_);
  OpenBrowser(1280, 900);

  ASSERT_TRUE(browser_.Navigate(Url("/driver/12")));
  ASSERT_TRUE(browser_.WaitFor(Row(12) + " && " + Row(3) +
                                   ".children[1].textContent !== '' && "
                                   "document.getElementById('state').textContent === 'Comms Ok'",
                               kWaitMs))
      << browser_.EvalText("document.body.innerText");
  // The names show as text: nothing of them became an element.
  EXPECT_EQ(browser_.EvalText(Row(3) + ".children[1].textContent"), markup);
  EXPECT_EQ(browser_.Eval("document.querySelectorAll('#xpt-rows b, #xpt-rows i, main img').length")
                .toInt(-1),
            0);
  EXPECT_EQ(browser_.EvalText("document.querySelector('.router-table tr.shown td').textContent"),
            "101");

  // A route made through the control system: on the page, highlighted, within a second.
  EXPECT_EQ(browser_.EvalText(Row(12) + ".children[2].textContent"), "0");
  const auto asked = std::chrono::steady_clock::now();
  Process send({KIRN_BIN, "send", "101", "RC 101 5 12 ',---' 0", "--wait", "100"}, Env());
  ASSERT_TRUE(browser_.WaitFor(
      Row(12) + ".children[2].textContent === '5' && " + Row(12) + ".classList.contains('changed')",
      1000))
      << browser_.EvalText(Row(12) + ".textContent") << "\n"
      << MsSince(asked) << " ms";
  std::printf("kirn send -> highlighted on the page: %lld ms\n", MsSince(asked));
  EXPECT_TRUE(browser_.WaitFor(Row(12) + ".children[3].textContent === 'CAM 5'", 1000))
      << browser_.EvalText(Row(12) + ".textContent");
  EXPECT_EQ(send.Wait(kWaitMs), 0) << send.Stdout() << send.Stderr();
  Shot("page_driver.png", true);

  // A source name with markup routed too: text again.
  Process send7({KIRN_BIN, "send", "101", "RC 101 7 1 ',---' 0", "--wait", "100"}, Env());
  ASSERT_TRUE(browser_.WaitFor(Row(1) + ".children[3].textContent === '<img src=x>'", 3000))
      << browser_.EvalText(Row(1) + ".textContent");
  EXPECT_EQ(browser_.Eval("document.querySelectorAll('main img').length").toInt(-1), 0);
  EXPECT_EQ(send7.Wait(kWaitMs), 0);

  // A route the controller refuses (destination 9 locked at its panel) is counted on its own.
  ASSERT_TRUE(sim.Console("lock 9 255", "ok lock"));
  Process send9({KIRN_BIN, "send", "101", "RC 101 5 9 ',---' 0", "--wait", "300"}, Env());
  ASSERT_TRUE(browser_.WaitFor(
      "document.getElementById('refused_by_controller').textContent === '1'", kWaitMs))
      << browser_.EvalText("document.querySelector('.figures').innerText");
  EXPECT_EQ(send9.Wait(kWaitMs), 0);
  Shot("page_driver_refused.png");

  // The router of 4096 destinations: a page at a time, and a search finds a name.
  ASSERT_TRUE(browser_.Navigate(Url("/driver/12?router=102")));
  ASSERT_TRUE(
      browser_.WaitFor("document.getElementById('range').textContent === '1-100 of 4096'", kWaitMs))
      << browser_.EvalText("document.body.innerText");
  ASSERT_TRUE(browser_.WaitFor(Row(1) + " && " + Row(1) + ".children[1].textContent === 'STUDIO 1'",
                               kWaitMs));
  EXPECT_EQ(browser_.Eval("document.querySelectorAll('#xpt-rows tr').length").toInt(), 100);
  browser_.Eval("document.getElementById('next').click()");
  EXPECT_EQ(browser_.EvalText("document.getElementById('range').textContent"), "101-200 of 4096");
  browser_.Eval(
      "(() => { const s = document.getElementById('search'); s.value = 'qc mon';"
      " s.dispatchEvent(new Event('input')); })()");
  ASSERT_TRUE(browser_.WaitFor(
      "document.querySelectorAll('#xpt-rows tr').length === 1 && " + Row(4000), kWaitMs))
      << browser_.EvalText("document.getElementById('range').textContent");
  EXPECT_EQ(browser_.EvalText(Row(4000) + ".children[1].textContent"), "QC MON 4000");
  EXPECT_EQ(browser_.EvalText("document.getElementById('range').textContent"), "1-1 of 1 (4096)");

  // On a phone: one column, and the crosspoints still readable.
  ASSERT_TRUE(browser_.SetViewport(390, 844, true));
  ASSERT_TRUE(browser_.Navigate(Url("/driver/12")));
  ASSERT_TRUE(browser_.WaitFor(Row(12) + " && " + Row(12) + ".children[3].textContent === 'CAM 5'",
                               kWaitMs));
  EXPECT_LE(browser_.Eval("document.documentElement.scrollWidth").toInt(), 390)
      << "the page is wider than the phone";
  Shot("page_phone.png", true);
}

}  // namespace

// With the event stream the page needs no read to show a change: ten tabs of one browser share
// one stream (its shared worker), and with their own reads stopped every one highlights a route
// made at the router's panel.
TEST_F(PageTest, TenTabsShareOneStreamAndHighlightAFrontPanelChangeWithTheirReadsStopped) {
  SimProcess sim({"--tcp", "0"});
  ASSERT_TRUE(sim.Ready()) << sim.Err();
  WriteControllerSite(sim.ports.at(0));
  auto serve = StartServe();
  auto driver = StartDriver(*serve);
  metrics_ = StartMetrics(&port_);
  OpenBrowser(1024, 700);
  const std::string live = "document.body.dataset.live === '1' && !!" + Row(3);
  ASSERT_TRUE(browser_.Navigate(Url("/driver/12")));
  ASSERT_TRUE(browser_.WaitFor(live, kWaitMs)) << browser_.EvalText("document.body.innerText");
  for (int tab = 1; tab < 10; ++tab) {
    ASSERT_TRUE(browser_.OpenPage(Url("/driver/12")));
    ASSERT_TRUE(browser_.WaitFor(live, kWaitMs)) << "tab " << tab;
  }
  // No tab reads any more: what changes now can only come from the stream.
  for (size_t tab = 0; tab < browser_.pages(); ++tab) {
    browser_.UsePage(tab);
    EXPECT_EQ(browser_.EvalText("window.fetch = () => new Promise(() => {}); 'stopped'"),
              "stopped");
  }
  const testing_support::HttpReply metrics = testing_support::HttpGet(port_, "/metrics");
  EXPECT_NE(metrics.body.find("\nxarvel_exporter_event_streams 1\n"), std::string::npos)
      << metrics.body.substr(metrics.body.find("xarvel_exporter_event_streams"), 60);

  const auto routed = std::chrono::steady_clock::now();
  ASSERT_TRUE(sim.Console("route A 3 7", "ok route"));
  for (size_t tab = 0; tab < browser_.pages(); ++tab) {
    browser_.UsePage(tab);
    EXPECT_TRUE(browser_.WaitFor(
        Row(3) + ".children[2].textContent === '7' && " + Row(3) + ".classList.contains('changed')",
        2000))
        << "tab " << tab << ": " << browser_.EvalText(Row(3) + ".textContent");
    if (tab == 0)
      std::printf("front-panel route -> highlighted (stream): %lld ms\n", MsSince(routed));
  }
  browser_.UsePage(0);
  Shot("page_event_highlight.png");
}
