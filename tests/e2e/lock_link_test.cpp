// Controller locks asked for through the lock infodriver, with real processes: `kirn serve`,
// `kirn infodriver 900`, the controller emulator over TCP and the driver. A request in a slot
// goes to the controller's wire; the controller's lock status comes back into the slot.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "e2e_site.h"
#include "sim_process.h"

namespace {

using testing_support::Process;
using testing_support::SimProcess;

constexpr int kWaitMs = 10000;

class LockLinkTest : public testing_support::SiteTest {
 protected:
  void SetUp() override {
    sim_ = std::make_unique<SimProcess>(std::vector<std::string>{"--tcp", "0"});
    ASSERT_TRUE(sim_->Ready()) << sim_->Err();
    // Router B's destinations are controller destinations 129..136: lock and slot 130 is its
    // destination 2. No lock poll, so only the requested slot is ever written.
    WriteSite("Simulation=0\nDebugMode=1\nConnection_Mode=IP\nIP_Address_A=127.0.0.1\nIP_Port=" +
                  std::to_string(sim_->ports.at(0)) +
                  "\nTallyDelay=1000\nLockStatusInfodriverID=900\nPollForMC1000LockStatus=0\n",
              "102,1,8,0,128");
    serve_ = StartServe();
    info_ = Start({KIRN_BIN, "infodriver", "900"});
    ASSERT_TRUE(info_->WaitForOutput("ready infodriver 900", kWaitMs)) << info_->Stderr();
    driver_ = Start({XARVEL_BIN, "12"});
    ASSERT_TRUE(driver_->WaitForOutput("connected to OK to infodriver 900", kWaitMs, true))
        << driver_->Stderr();
    ASSERT_TRUE(driver_->WaitForOutput("Net A FD Connected ok", kWaitMs, true));
  }
  void TearDown() override {
    if (HasFailure() && driver_) std::fprintf(stderr, "driver:\n%s", driver_->Stderr().c_str());
  }

  // Polls `kirn slots 900` until it prints `want` (bounded).
  bool SlotsBecome(const std::string& want, std::string* last) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    do {
      *last = Kirn({"slots", "900"}).out;
      if (*last == want) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (Clock::now() < deadline);
    return false;
  }

  std::unique_ptr<SimProcess> sim_;
  std::unique_ptr<Process> serve_;
  std::unique_ptr<Process> info_;
  std::unique_ptr<Process> driver_;
};

TEST_F(LockLinkTest, SlotRequestLocksAtTheControllerAndTheStatusComesBackIntoTheSlot) {
  EXPECT_EQ(Kirn({"slot", "900", "130", "MC1000 255"}).out, "1\n");
  ASSERT_TRUE(sim_->WaitErr(" .BL130\\r", kWaitMs)) << sim_->Err();
  ASSERT_TRUE(driver_->WaitForOutput(
      "MC1000 Lock Dest 130 -- yields rtr level 1 and orvana dest 2  status  255", kWaitMs, true));
  std::string slots;
  EXPECT_TRUE(SlotsBecome("130 255\n", &slots)) << slots;

  EXPECT_EQ(Kirn({"slot", "900", "130", "MC1000 0"}).out, "1\n");
  ASSERT_TRUE(sim_->WaitErr(" .BU130\\r", kWaitMs)) << sim_->Err();
  EXPECT_TRUE(SlotsBecome("130 0\n", &slots)) << slots;

  // Refused requests leave the wire alone: the word LOCK, no state, a state past 255, a slot
  // that no router covers.
  for (const auto& [slot, text] : std::vector<std::pair<std::string, std::string>>{
           {"130", "LOCK 255"}, {"130", "MC1000"}, {"130", "MC1000 256"}, {"3000", "MC1000 255"}}) {
    EXPECT_EQ(Kirn({"slot", "900", slot, text}).out, "1\n") << text;
  }
  ASSERT_TRUE(driver_->WaitForOutput("3000", kWaitMs, true));
  const std::string wire = sim_->Err();
  EXPECT_EQ(wire.find(" .BL130\\r"), wire.rfind(" .BL130\\r")) << "one lock command only";
  EXPECT_EQ(wire.find(".BL3000"), std::string::npos);
  EXPECT_TRUE(SlotsBecome("130 0\n", &slots)) << slots;

  // At the close the infodriver is left RX only.
  EXPECT_EQ(Kirn({"close", "101"}).code, 0);
  EXPECT_EQ(driver_->Wait(kWaitMs), 0);
  ASSERT_TRUE(info_->WaitForOutput("detach 900", kWaitMs)) << info_->Stdout();
  const std::string events = info_->Stdout();
  const size_t last_mode = events.rfind("mode ");
  ASSERT_NE(last_mode, std::string::npos) << events;
  EXPECT_EQ(events.substr(last_mode, 7), "mode 1\n") << events;
  EXPECT_NE(events.find("mode 2\n"), std::string::npos) << "it followed the driver's TX/RX";
}

}  // namespace
