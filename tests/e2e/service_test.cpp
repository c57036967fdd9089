// The driver under a service manager: the notifications it sends to NOTIFY_SOCKET (a datagram
// socket of the test) while it starts, runs, loses and regains its controller, and stops.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "e2e_site.h"
#include "sim_process.h"

namespace {

using testing_support::Process;
using testing_support::SimProcess;

constexpr int kWaitMs = 10000;

// The listening end of the notification protocol: every datagram is one notification.
class NotifySocket {
 public:
  explicit NotifySocket(std::string path) : path_(std::move(path)) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~NotifySocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  bool ok() const { return fd_ >= 0; }

  // Receives until a notification contains `needle` (each line of it is kept in `lines`), or
  // until `timeout_ms` pass.
  bool WaitFor(const std::string& needle, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) return false;
      pollfd p = {fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buffer[4096];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) continue;
      const std::string message(buffer, static_cast<size_t>(n));
      size_t at = 0;
      while (at < message.size()) {
        size_t end = message.find('\n', at);
        if (end == std::string::npos) end = message.size();
        lines.push_back(message.substr(at, end - at));
        at = end + 1;
      }
      if (message.find(needle) != std::string::npos) return true;
    }
  }

  int Count(const std::string& line) const {
    int n = 0;
    for (const std::string& l : lines) n += l == line ? 1 : 0;
    return n;
  }

  std::vector<std::string> lines;

 private:
  std::string path_;
  int fd_ = -1;
};

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  return text;
}

class ServiceTest : public testing_support::SiteTest {
 protected:
  std::unique_ptr<Process> StartNotifiedDriver(const std::string& socket) {
    std::vector<std::string> env = Env();
    env.push_back("NOTIFY_SOCKET=" + socket);
    // Pings every 150 ms.
    env.push_back("WATCHDOG_USEC=300000");
    return std::make_unique<Process>(std::vector<std::string>{XARVEL_BIN, "12"}, env);
  }
};

TEST_F(ServiceTest, NotifiesReadyStatusChangesWatchdogAndStopping) {
  SimProcess sim({"--tcp", "0"});
  ASSERT_TRUE(sim.Ready()) << sim.Err();
  const std::string port = std::to_string(sim.ports.at(0));
  WriteSite(
      "Simulation=0\nForwardBufferDelay=0\nConnection_Mode=IP\nIP_Address_A=127.0.0.1\n"
      "IP_Port=" +
      port + "\nTallyDelay=40\n");
  NotifySocket notify((dir_.path() / "notify.sock").string());
  ASSERT_TRUE(notify.ok());
  auto serve = StartServe();
  auto driver = StartNotifiedDriver((dir_.path() / "notify.sock").string());

  ASSERT_TRUE(notify.WaitFor("READY=1", kWaitMs)) << Joined(notify.lines) << driver->Stderr();
  ASSERT_TRUE(notify.WaitFor("STATUS=Tx/Rx, Comms Ok, controller A", kWaitMs))
      << Joined(notify.lines);

  // The watchdog pings keep coming while the loop runs.
  const int pings_before = notify.Count("WATCHDOG=1");
  notify.WaitFor("never sent", 1000);
  EXPECT_GE(notify.Count("WATCHDOG=1") - pings_before, 3) << Joined(notify.lines);

  // The controller goes away and refuses to come back: the status says so.
  ASSERT_TRUE(sim.Console("refuse " + port + " on", "ok refuse"));
  ASSERT_TRUE(sim.Console("close all", "ok close"));
  EXPECT_TRUE(notify.WaitFor("STATUS=Tx/Rx, Comms Fail, no controller", kWaitMs))
      << Joined(notify.lines) << driver->Stderr();
  // It answers again: the link recovers on controller A.
  notify.lines.clear();
  ASSERT_TRUE(sim.Console("refuse " + port + " off", "ok refuse"));
  EXPECT_TRUE(notify.WaitFor("STATUS=Tx/Rx, Comms Ok, controller A", kWaitMs))
      << Joined(notify.lines) << driver->Stderr();

  EXPECT_EQ(Kirn({"close", "101"}).code, 0);
  EXPECT_TRUE(notify.WaitFor("STOPPING=1", kWaitMs)) << Joined(notify.lines);
  EXPECT_EQ(driver->Wait(kWaitMs), 0);
}

TEST_F(ServiceTest, AFailedStartUpIsReportedAsReadyWithItsReasonThenStopping) {
  WriteSimulationSite();
  NotifySocket notify((dir_.path() / "notify.sock").string());
  ASSERT_TRUE(notify.ok());
  // No bus host: the driver cannot find the control system's interface.
  auto driver = StartNotifiedDriver((dir_.path() / "notify.sock").string());
  ASSERT_TRUE(notify.WaitFor("STOPPING=1", kWaitMs)) << Joined(notify.lines) << driver->Stderr();
  const std::string all = Joined(notify.lines);
  EXPECT_LT(all.find("READY=1"), all.find("STOPPING=1")) << all;
  EXPECT_NE(all.find("STATUS=Start-up failed: Cannot find KIRN Interface"), std::string::npos)
      << all;
  EXPECT_EQ(driver->Wait(kWaitMs), 0);
}

}  // namespace
