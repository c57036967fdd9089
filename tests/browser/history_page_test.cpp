// The crosspoint history on the driver's page, as an engineer opens it: headless Chromium clicks
// a destination of the crosspoints and reads its last changes (newest first, gaps marked), against
// a real driver and kirn metrics recording. A screenshot goes to <build>/screenshots.
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "chromium.h"
#include "e2e_site.h"

namespace {

using testing_support::Chromium;
using testing_support::Process;

constexpr int kWaitMs = 10000;

class HistoryPageTest : public testing_support::SiteTest {
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

  Chromium browser_;
  std::unique_ptr<Process> metrics_;
};

TEST_F(HistoryPageTest, ADestinationOpensItsLastChangesWithTheGaps) {
  WriteSite("Simulation=1\nForwardBufferDelay=0\n");
  auto serve = StartServe();
  auto driver = StartDriver(*serve);
  // The history goes to the default file under $HOME (the site's directory).
  int port = 0;
  metrics_ = StartMetrics(&port);
  ASSERT_GT(port, 0);

  // Destination 1 (MON 1) takes CAM 5, goes through an RX-only period, then takes source 6.
  ASSERT_EQ(Kirn({"send", "101", "RC 101 5 1 ',---' 0"}).code, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(Kirn({"mode", "101", "rxonly"}).code, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_EQ(Kirn({"mode", "101", "txrx"}).code, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  ASSERT_EQ(Kirn({"send", "101", "RC 101 6 1 ',---' 0"}).code, 0);

  ASSERT_TRUE(browser_.Start(1280, 900)) << browser_.error() << browser_.Log();
  ASSERT_TRUE(browser_.Navigate("http://127.0.0.1:" + std::to_string(port) + "/driver/12"));
  const std::string row = "document.querySelector('#xpt-rows tr[data-dest=\"1\"]')";
  ASSERT_TRUE(browser_.WaitFor(row + " && " + row + ".children[2].textContent === '6'", kWaitMs))
      << browser_.EvalText("document.body.innerText");
  EXPECT_TRUE(browser_.Eval("document.getElementById('history').hidden").toBool());
  browser_.Eval(row + ".click()");

  // Newest first: source 6, the re-read after RX only, the gap, source 5 (CAM 5).
  const std::string rows = "document.querySelectorAll('#history-rows tr')";
  ASSERT_TRUE(browser_.WaitFor(rows + ".length >= 4", kWaitMs))
      << browser_.EvalText("document.getElementById('history').innerText");
  const std::string text = browser_.EvalText("document.getElementById('history').innerText");
  EXPECT_NE(text.find("History of destination 1 MON 1 of router 'A' 101"), std::string::npos)
      << text;
  const size_t six = text.find("\t6\tA NAME OF TWENTY-\troute");
  const size_t again = text.find("complete again (tables read)");
  const size_t gap = text.find("gap: driver 12 in RX only");
  const size_t five = text.find("\t5\tCAM 5\troute");
  EXPECT_NE(six, std::string::npos) << text;
  EXPECT_NE(five, std::string::npos) << text;
  EXPECT_LT(six, again) << text;
  EXPECT_LT(again, gap) << text;
  EXPECT_LT(gap, five) << text;
  EXPECT_TRUE(browser_.Eval(rows + "[0].className === ''").toBool());
  EXPECT_TRUE(browser_.Eval("!!document.querySelector('#history-rows tr.gap')").toBool());
  EXPECT_TRUE(browser_.Eval(row + ".classList.contains('picked')").toBool());
  EXPECT_TRUE(browser_.Screenshot(std::string(PAGE_SCREENSHOT_DIR) + "/page_history.png", true))
      << browser_.error();

  // A route while it is open shows within its next reads; Close hides it.
  ASSERT_EQ(Kirn({"send", "101", "RC 101 7 1 ',---' 0"}).code, 0);
  EXPECT_TRUE(browser_.WaitFor(rows + "[0].children[1].textContent === '7'", kWaitMs))
      << browser_.EvalText("document.getElementById('history').innerText");
  browser_.Eval("document.getElementById('history-close').click()");
  EXPECT_TRUE(browser_.WaitFor("document.getElementById('history').hidden", 2000));
}

}  // namespace
