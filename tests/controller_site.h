// A test site with the controller emulator: one emulator, or a controller pair on one port
// number (A on 127.0.0.1, B on 127.0.0.2), each waited for until it is ready; and the fixture
// of the end-to-end tests that run the driver against them.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "e2e_site.h"
#include "sim_process.h"

namespace testing_support {

// Starts an emulator with `args` and waits until it is ready; nullptr (with a failure) otherwise.
inline std::unique_ptr<SimProcess> StartSim(const std::vector<std::string>& args) {
  auto sim = std::make_unique<SimProcess>(args);
  if (!sim->Ready()) {
    ADD_FAILURE() << "emulator not ready: " << sim->Err();
    return nullptr;
  }
  return sim;
}

// A controller pair: two emulators, so that each can be refused or killed on its own.
struct SimPair {
  std::unique_ptr<SimProcess> a;  // on 127.0.0.1
  std::unique_ptr<SimProcess> b;  // on 127.0.0.2, the same port number
  int port = 0;
};

// Starts the pair. B's bind is retried on a new port number in the rare case that the number A
// was given is taken on B's address; `b` stays null (with a failure) when no number was free on
// both within five tries.
inline SimPair StartSimPair() {
  SimPair pair;
  for (int attempt = 0; attempt < 5 && !pair.b; ++attempt) {
    pair.a = StartSim({"--bind", "127.0.0.1", "--tcp", "0"});
    if (!pair.a) return pair;
    pair.port = pair.a->ports.at(0);
    auto b = std::make_unique<SimProcess>(
        std::vector<std::string>{"--bind", "127.0.0.2", "--tcp", std::to_string(pair.port)});
    if (b->Ready()) pair.b = std::move(b);
  }
  if (!pair.b) ADD_FAILURE() << "no port number free on both loopback addresses";
  return pair;
}

// The driver profile keys of a pair on `port`.
inline std::string PairKeys(int port) {
  return "Connection_Mode=IP\nIP_Address_A=127.0.0.1\nIP_Address_B=127.0.0.2\n"
         "Dual_Controllers=1\nIP_Port=" +
         std::to_string(port) + "\n";
}

// kirn serve, the driver and the emulators of one end-to-end test. At its end a sanitizer's
// finding in the driver's trace fails the test; a failed test shows the driver's trace and the
// emulators' logs.
class ControllerSiteTest : public SiteTest {
 protected:
  // Common profile keys: a real link, the trace with debug lines, commands dispatched at once.
  static std::string Keys(const std::string& more) {
    return "Simulation=0\nDebugMode=1\nForwardBufferDelay=0\n" + more;
  }

  // The pair into sim_a_ and sim_b_, its port number into port_.
  void StartPair() {
    SimPair pair = StartSimPair();
    sim_a_ = std::move(pair.a);
    sim_b_ = std::move(pair.b);
    port_ = pair.port;
    ASSERT_TRUE(sim_b_);
  }

  // Asks the driver to close and expects an orderly exit.
  void CloseDriver() {
    EXPECT_EQ(Kirn({"close", "101"}).code, 0);
    EXPECT_EQ(driver_->Wait(kExitWaitMs), 0);
  }

  void TearDown() override {
    if (driver_) {
      const std::string trace = driver_->Stderr();
      EXPECT_FALSE(trace.find("Sanitizer") != std::string::npos ||
                   trace.find("runtime error:") != std::string::npos)
          << trace;
    }
    if (!HasFailure()) return;
    if (driver_) std::fprintf(stderr, "driver trace:\n%s", driver_->Stderr().c_str());
    if (sim_a_) std::fprintf(stderr, "emulator A log:\n%s", sim_a_->Err().c_str());
    if (sim_b_) std::fprintf(stderr, "emulator B log:\n%s", sim_b_->Err().c_str());
  }

  static constexpr int kExitWaitMs = 10000;
  int port_ = 0;
  std::unique_ptr<SimProcess> sim_a_;  // the only emulator where there is one
  std::unique_ptr<SimProcess> sim_b_;
  std::unique_ptr<Process> serve_;
  std::unique_ptr<Process> driver_;
};

}  // namespace testing_support
