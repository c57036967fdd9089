// The serial port channel against a pseudo-terminal: the test holds the terminal's master side
// and the channel opens the slave through a COM<n> link in a temporary KIRN_COMDIR.
#include "link/serial.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/window.h"
#include "test_support.h"

namespace {

using namespace xarvel;
using testing_support::SpinUntil;

constexpr int kPort = 7;
constexpr int kIndex = kPort - 1;

struct Note {
  plat::WParam w;
  plat::LParam l;
};

class SerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::EnsureQtApp();
    plat::ResetWindows();
    ResetSerial();
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(::grantpt(master_), 0);
    ASSERT_EQ(::unlockpt(master_), 0);
    slave_ = ::ptsname(master_);
    std::filesystem::create_symlink(slave_, dir_.path() / ("COM" + std::to_string(kPort)));
    window_ = plat::CreateWindow(
        [this](plat::Hwnd, uint32_t msg, plat::WParam w, plat::LParam l) -> plat::LResult {
          if (msg == plat::WM_COMMNOTIFY) notes_.push_back({w, l});
          return 0;
        },
        true);
  }
  void TearDown() override {
    ResetSerial();
    if (master_ >= 0) ::close(master_);
    plat::ResetWindows();
  }

  // Writes everything to the terminal's master side (bounded).
  void Send(const std::string& bytes) {
    size_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (done < bytes.size() && std::chrono::steady_clock::now() < deadline) {
      ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) done += static_cast<size_t>(n);
      if (n <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(done, bytes.size());
  }
  // Reads `n` bytes that the channel wrote, from the master side (bounded).
  std::string Receive(size_t n) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
      char buf[256];
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      ssize_t got = ::read(master_, buf, sizeof buf);
      if (got > 0) out.append(buf, static_cast<size_t>(got));
    }
    return out;
  }
  int Unread() {
    SerialStatus st;
    Serial_ClearError(kIndex, &st);
    return st.InQue;
  }
  bool WaitUnread(int n) {
    return SpinUntil([&] { return Unread() == n; }, 5000);
  }
  // Reads everything the channel has received until `n` bytes are collected (bounded).
  std::string ReadAll(size_t n) {
    std::string out;
    SpinUntil(
        [&] {
          char buf[1000];
          int got = Serial_Read(kIndex, buf, sizeof buf);
          out.append(buf, static_cast<size_t>(got));
          return out.size() >= n;
        },
        5000);
    return out;
  }
  int Open(int speed = 9600) { return Serial_OpenPort(kPort, speed, 8, ONESTOPBIT, NOPARITY); }

  testing_support::TempDir dir_;
  testing_support::EnvGuard env_{"KIRN_COMDIR", dir_.str()};
  int master_ = -1;
  std::string slave_;
  plat::Hwnd window_ = 0;
  std::vector<Note> notes_;
  // The fake tick count; outlives the reader threads, which TearDown stops.
  std::atomic<uint32_t> tick_{1000};
};

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i % 251);
  return s;
}

TEST_F(SerialTest, RefusesBadPortsDevicesAndSettingsWithoutKeepingTheTable) {
  EXPECT_EQ(Serial_OpenPort(0, 9600, 8, 0, 0), -1);
  EXPECT_EQ(Serial_OpenPort(257, 9600, 8, 0, 0), -1);
  EXPECT_EQ(Serial_OpenPort(9, 9600, 8, 0, 0), -1);  // no such device
  testing_support::WriteFile(dir_.path() / "COM8", "not a terminal");
  EXPECT_EQ(Serial_OpenPort(8, 9600, 8, 0, 0), -1);
  EXPECT_EQ(Serial_OpenPort(kPort, 12345, 8, 0, 0), -1);  // speed the device cannot run
  EXPECT_EQ(Serial_OpenPort(kPort, 0, 8, 0, 0), -1);
  EXPECT_EQ(Serial_OpenPort(kPort, 9600, 9, 0, 0), -1);
  EXPECT_EQ(Serial_OpenPort(kPort, 9600, 8, 1, 0), -1);  // 1.5 stop bits need 5 data bits
  EXPECT_EQ(Serial_OpenPort(kPort, 9600, 8, 0, 5), -1);
  EXPECT_FALSE(Serial_TableAllocated());
  EXPECT_EQ(Serial_ReaderThreadsRunning(), 0);
  // The refused attempts left nothing behind: the port opens normally.
  EXPECT_EQ(Open(), kIndex);
}

TEST_F(SerialTest, OpensRawWithTheGivenFormatAndCarriesBytesBothWays) {
  ASSERT_EQ(Serial_OpenPort(kPort, 9600, 7, TWOSTOPBITS, EVENPARITY), kIndex);
  int fd = ::open(slave_.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  termios tio{};
  ASSERT_EQ(::tcgetattr(fd, &tio), 0);
  ::close(fd);
  // A pseudo-terminal always runs eight bits without parity; speed and stop bits it keeps.
  EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B9600));
  EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(tio.c_iflag & (ICRNL | IXON), 0u);

  ASSERT_EQ(Serial_EnableNotify(kIndex, window_, 1), 1);
  // Carriage returns and line feeds arrive untouched.
  Send(".A1\r\n");
  ASSERT_TRUE(SpinUntil([&] { return !notes_.empty(); }, 5000));
  EXPECT_EQ(notes_[0].w, kIndex);
  EXPECT_GE(notes_[0].l >> 16, 1);
  EXPECT_EQ(notes_[0].l & 0xFFFF, 0);
  EXPECT_EQ(ReadAll(5), ".A1\r\n");

  const std::string cmd = ".SA001,002\r";
  EXPECT_EQ(Serial_Write(kIndex, cmd.data(), static_cast<int>(cmd.size())), 11);
  EXPECT_EQ(Receive(cmd.size()), cmd);
  // Lengths that cannot be written whole are refused rather than cut.
  EXPECT_EQ(Serial_Write(kIndex, cmd.data(), -1), -1);
  EXPECT_EQ(Serial_Write(kIndex, cmd.data(), 0x10000), -1);
}

TEST_F(SerialTest, OneNotificationOutstandingUntilReadLapseOrBacklog) {
  Serial().Tick = [this] { return tick_.load(); };
  std::atomic<uint32_t>& tick = tick_;
  ASSERT_EQ(Open(), kIndex);
  ASSERT_EQ(Serial_EnableNotify(kIndex, window_, 1), 1);
  auto settle = [] { SpinUntil([] { return false; }, 50); };

  Send("a");
  ASSERT_TRUE(SpinUntil([&] { return notes_.size() == 1; }, 5000));
  Send("b");
  ASSERT_TRUE(WaitUnread(2));
  settle();
  EXPECT_EQ(notes_.size(), 1u) << "a second byte while one notification is outstanding";

  EXPECT_EQ(ReadAll(2), "ab");
  Send("c");
  ASSERT_TRUE(SpinUntil([&] { return notes_.size() == 2; }, 5000));

  tick += 99;
  Send("d");
  ASSERT_TRUE(WaitUnread(2));
  settle();
  EXPECT_EQ(notes_.size(), 2u);
  tick += 1;  // 100 ms without a read: the earlier notification counts as lost
  Send("e");
  ASSERT_TRUE(SpinUntil([&] { return notes_.size() == 3; }, 5000));
  EXPECT_EQ(notes_[2].l >> 16, 3);

  // Beyond 8192 unread bytes a notification goes out again, without any time passing.
  Send(std::string(8190, 'x'));
  ASSERT_TRUE(WaitUnread(8193));
  settle();
  ASSERT_EQ(notes_.size(), 4u);
  EXPECT_GT(notes_[3].l >> 16, 8192);
}

TEST(SerialNotificationRule, LapseIsMeasuredAcrossTheTickWrap) {
  EXPECT_FALSE(Serial_NotificationLapsed(1099, 1000, 0));
  EXPECT_TRUE(Serial_NotificationLapsed(1100, 1000, 0));
  // Posted just before the 32-bit tick count wrapped.
  EXPECT_FALSE(Serial_NotificationLapsed(50, 0xFFFFFFF0u, 0));
  EXPECT_TRUE(Serial_NotificationLapsed(200, 0xFFFFFFF0u, 0));
  // Just after the wrap, a recent notification is not taken as lost.
  EXPECT_FALSE(Serial_NotificationLapsed(50, 10, 0));
  EXPECT_FALSE(Serial_NotificationLapsed(1000, 1000, 8192));
  EXPECT_TRUE(Serial_NotificationLapsed(1000, 1000, 8193));
}

TEST_F(SerialTest, FullRingHoldsBackInsteadOfOverwritingAndWrapsInOrder) {
  ASSERT_EQ(Open(), kIndex);
  const std::string data = Pattern(40000);
  std::string got;
  size_t sent = 0;
  auto pump = [&] {
    if (sent < data.size()) {
      ssize_t n = ::write(master_, data.data() + sent, std::min<size_t>(4096, data.size() - sent));
      if (n > 0) sent += static_cast<size_t>(n);
    }
  };
  // Fill the ring without reading: it stops at its capacity and flags the overflow.
  ASSERT_TRUE(SpinUntil(
      [&] {
        pump();
        return Unread() == kSerialRingSize - 1;
      },
      10000));
  // The polling above cleared the error flags; the reader flags the full ring again while it
  // waits for room.
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  SerialStatus st;
  const int flags = Serial_ClearError(kIndex, &st);
  EXPECT_EQ(st.InQue, kSerialRingSize - 1);
  EXPECT_NE(flags & static_cast<int>(CE_RXOVER), 0);
  // Then read in uneven pieces while the rest streams in; every byte arrives once, in order.
  ASSERT_TRUE(SpinUntil(
      [&] {
        pump();
        char buf[997];
        int n = Serial_Read(kIndex, buf, sizeof buf);
        got.append(buf, static_cast<size_t>(n));
        return got.size() >= data.size();
      },
      20000));
  ASSERT_EQ(got.size(), data.size());
  EXPECT_TRUE(got == data) << "bytes lost or reordered";
}

TEST_F(SerialTest, ReadSizesOutsideTheReaderBufferAreKeptWithinIt) {
  ASSERT_EQ(Open(), kIndex);
  for (int size : {1000, 0}) {
    ASSERT_EQ(Serial_EnableNotify(kIndex, window_, size), 1);
    const std::string data = Pattern(600);
    Send(data);
    EXPECT_TRUE(ReadAll(data.size()) == data) << "read size " << size;
  }
  // A negative size turns notification off and keeps the port working.
  ASSERT_EQ(Serial_EnableNotify(kIndex, window_, -1), 1);
  SpinUntil([] { return false; }, 50);  // deliver what was posted before
  notes_.clear();
  Send("zz");
  EXPECT_EQ(ReadAll(2), "zz");
  SpinUntil([] { return false; }, 50);
  EXPECT_TRUE(notes_.empty());
}

TEST_F(SerialTest, PortHeldByAnotherProcessOrDescriptorIsInUse) {
  int ready[2];
  int release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::alarm(20);  // never outlive the test
    ::close(ready[0]);
    ::close(release[1]);
    int fd = ::open(slave_.c_str(), O_RDWR | O_NOCTTY);
    char ok = (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) ? 'y' : 'n';
    [[maybe_unused]] ssize_t w = ::write(ready[1], &ok, 1);
    char c;
    [[maybe_unused]] ssize_t r = ::read(release[0], &c, 1);
    ::_exit(0);
  }
  ::close(ready[1]);
  ::close(release[0]);
  pollfd p{ready[0], POLLIN, 0};
  char ok = 'n';
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 'y');

  EXPECT_EQ(Open(), -2);
  EXPECT_FALSE(Serial_TableAllocated());

  ::close(release[1]);
  int status = 0;
  for (int i = 0; i < 500 && ::waitpid(child, &status, WNOHANG) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (::waitpid(child, &status, WNOHANG) == 0) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
  }
  ::close(ready[0]);

  ASSERT_EQ(Open(), kIndex);
  // The same port again, and the same device under another port number, are in use too.
  EXPECT_EQ(Open(), -2);
  std::filesystem::create_symlink(slave_, dir_.path() / "COM8");
  EXPECT_EQ(Serial_OpenPort(8, 9600, 8, 0, 0), -2);
  EXPECT_TRUE(Serial_TableAllocated());
  // The port that stayed open still works.
  Send("ok");
  EXPECT_EQ(ReadAll(2), "ok");
}

TEST_F(SerialTest, CloseEndsTheReaderAndReleasesTheTable) {
  ASSERT_EQ(Open(), kIndex);
  EXPECT_EQ(Serial_ReaderThreadsRunning(), 1);
  Serial_ClosePort(-1);  // a port is still open: the table stays
  EXPECT_TRUE(Serial_TableAllocated());
  Serial_ClosePort(300);
  EXPECT_EQ(Serial_Write(kIndex, "x", 1), 1);
  EXPECT_EQ(Serial_Write(kIndex + 1, "x", 1), -2);  // table exists, port not open
  EXPECT_EQ(Serial_Write(300, "x", 1), -2);
  Send("q");
  ASSERT_TRUE(WaitUnread(1));
  char one[1];
  EXPECT_EQ(Serial_Read(kIndex, one, -1), 0);  // not "65535 bytes" into a one-byte buffer
  EXPECT_EQ(Serial_Read(kIndex, one, 1), 1);

  Serial_ClosePort(kIndex);
  EXPECT_EQ(Serial_ReaderThreadsRunning(), 0);
  EXPECT_FALSE(Serial_TableAllocated());
  char buf[4];
  EXPECT_EQ(Serial_Write(kIndex, "x", 1), -3);
  EXPECT_EQ(Serial_Read(kIndex, buf, 4), 0);
  EXPECT_EQ(Serial_EnableNotify(kIndex, window_, 1), 0);
  EXPECT_EQ(Serial_ClearError(kIndex, nullptr), -1);
  Serial_ClosePort(kIndex);  // closing twice is harmless

  // The device was let go: another process could take it now, and so can the next open.
  int fd = ::open(slave_.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  ::close(fd);
  EXPECT_EQ(Open(), kIndex);
  EXPECT_TRUE(Serial_TableAllocated());
}

}  // namespace
