#include "link/serial.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "link/channel.h"

namespace xarvel {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long a ring operation waits for the ring's guard.
constexpr milliseconds kGuardWait{200};
// How long the closer waits for the reader thread to end.
constexpr milliseconds kCloseWait{500};
// The longest the reader thread sleeps before it looks at its run flag again.
constexpr int kRunFlagPollMs = 100;

// The receive ring: kSerialRingSize bytes with a write and a read index. Both indexes and the
// notification fields of the port are guarded by `guard`.
struct Ring {
  std::array<uint8_t, kSerialRingSize> data{};
  std::timed_mutex guard;
  uint32_t write = 0;
  uint32_t read = 0;

  int Unread() const {
    return static_cast<int>((write + kSerialRingSize - read) % kSerialRingSize);
  }
  int Room() const { return kSerialRingSize - 1 - Unread(); }
};

// One open port. Shared between the port table and the port's reader thread, so that a thread
// that outlives the closer's wait still has a valid record; the device is closed when the last
// owner lets go, never while the thread may still use its descriptor.
struct Port {
  int number = 0;  // COM port number 1..256
  int index = 0;   // number - 1
  int fd = -1;
  int wake_fd = -1;  // eventfd that interrupts the reader thread's waits
  int speed = 0;
  SerialTimeouts timeouts;  // main thread only

  Ring ring;
  // Guarded by ring.guard.
  bool outstanding = false;
  uint32_t last_tick = 0;

  std::atomic<plat::Hwnd> notify_window{plat::kNoWindow};
  std::atomic<int> read_size{kSerialDefaultReadSize};
  std::atomic<bool> run{true};
  std::atomic<bool> waiting_for_room{false};
  std::atomic<uint32_t> errors{0};

  // Device error counters at the last Serial_ClearError (where the device keeps them).
  bool have_icount = false;
  serial_icounter_struct icount{};

  std::thread thread;
  std::mutex done_mu;
  std::condition_variable done_cv;
  bool done = false;

  Port() = default;
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;
  ~Port() {
    if (fd >= 0) ::close(fd);
    if (wake_fd >= 0) ::close(wake_fd);
  }
};

using PortTable = std::array<std::shared_ptr<Port>, kSerialMaxPorts>;

struct Module {
  SerialState state;
  std::unique_ptr<PortTable> table;
};

Module& M() {
  static Module m;
  return m;
}

std::atomic<int> g_readers_running{0};

uint32_t SteadyTick() {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<milliseconds>(Clock::now().time_since_epoch()).count());
}

std::string DevicePath(int port) {
  const char* dir = std::getenv("KIRN_COMDIR");
  if (dir != nullptr && *dir != '\0') return std::string(dir) + "/COM" + std::to_string(port);
  return "/dev/ttyS" + std::to_string(port - 1);
}

void ReleaseTableIfUnused() {
  auto& table = M().table;
  if (!table) return;
  for (const auto& p : *table) {
    if (p) return;
  }
  table.reset();
}

std::shared_ptr<Port> Lookup(int index) {
  if (index < 0 || index >= kSerialMaxPorts || !M().table) return nullptr;
  return (*M().table)[static_cast<size_t>(index)];
}

speed_t BaudCode(int speed) {
  static constexpr std::pair<int, speed_t> kBauds[] = {
      {50, B50},           {75, B75},           {110, B110},         {134, B134},
      {150, B150},         {200, B200},         {300, B300},         {600, B600},
      {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
      {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
      {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
      {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
      {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
      {3500000, B3500000}, {4000000, B4000000},
  };
  for (const auto& [baud, code] : kBauds) {
    if (baud == speed) return code;
  }
  return B0;
}

// Raw mode with the given character format; every other setting stays as the device had it.
bool ConfigureDevice(int fd, int speed, int data_bits, int stop_bits, int parity) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return false;
  const speed_t code = BaudCode(speed);
  if (code == B0) return false;
  if (data_bits < 5 || data_bits > 8) return false;
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  const tcflag_t size = kSizes[data_bits - 5];
  // One and a half stop bits exist only with five data bits, where the UART makes them out of the
  // two-stop-bit setting.
  bool two_stop = false;
  if (stop_bits == TWOSTOPBITS || (stop_bits == ONE5STOPBITS && data_bits == 5)) {
    two_stop = true;
  } else if (stop_bits != ONESTOPBIT) {
    return false;
  }
  // Indexed by the parity code: none, odd, even, mark, space.
  static constexpr tcflag_t kParity[] = {0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR,
                                         PARENB | CMSPAR};
  if (parity < NOPARITY || parity > SPACEPARITY) return false;
  const tcflag_t par = kParity[parity];
  // The controller's lines end with CR: no translation, echo or line editing may touch them.
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR);
  tio.c_cflag |= size | par | CLOCAL | CREAD | (two_stop ? CSTOPB : 0);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (::cfsetispeed(&tio, code) != 0 || ::cfsetospeed(&tio, code) != 0) return false;
  return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

SerialTimeouts TimeoutsFor(int speed, int read_size, uint32_t min_interval) {
  SerialTimeouts t;
  t.ReadIntervalTimeout = std::max<uint32_t>(min_interval, static_cast<uint32_t>(100000 / speed));
  t.ReadTotalTimeoutMultiplier = static_cast<uint32_t>(read_size);
  t.ReadTotalTimeoutConstant = 0;
  t.WriteTotalTimeoutMultiplier = 0;
  t.WriteTotalTimeoutConstant = 1000;
  return t;
}

void Wake(Port& p) {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t r = ::write(p.wake_fd, &one, sizeof one);
}

// Sleeps up to `ms` or until woken; clears the wake-up.
void WaitForWake(Port& p, int ms) {
  pollfd w{p.wake_fd, POLLIN, 0};
  if (::poll(&w, 1, ms) > 0) {
    uint64_t v = 0;
    [[maybe_unused]] ssize_t r = ::read(p.wake_fd, &v, sizeof v);
  }
}

// Takes the ring's guard, waiting as long as the port is to keep running.
std::unique_lock<std::timed_mutex> LockForReader(Port& p) {
  std::unique_lock<std::timed_mutex> lock(p.ring.guard, std::defer_lock);
  while (p.run.load() && !lock.try_lock_for(kGuardWait)) {
  }
  return lock;
}

// Applies the notification rule under the ring's guard; true when a notification is to be posted.
bool NotificationDue(Port& p, uint32_t now) {
  const int unread = p.ring.Unread();
  if (Serial_NotificationLapsed(now, p.last_tick, unread)) p.outstanding = false;
  if (p.notify_window.load() == plat::kNoWindow || p.outstanding) return false;
  p.outstanding = true;
  p.last_tick = now;
  return true;
}

void PostNotification(Port& p, int unread) {
  const plat::Hwnd window = p.notify_window.load();
  if (window == plat::kNoWindow) return;
  plat::PostMessage(window, plat::WM_COMMNOTIFY, p.index,
                    static_cast<plat::LParam>(static_cast<uint32_t>(unread & 0xFFFF) << 16));
}

// Puts `n` received bytes into the ring (the caller made sure they fit) and notifies.
void Deliver(Port& p, const uint8_t* bytes, int n, uint32_t now) {
  bool post = false;
  int unread = 0;
  {
    auto lock = LockForReader(p);
    if (!lock.owns_lock()) return;  // closing
    Ring& r = p.ring;
    for (int i = 0; i < n; ++i) {
      r.data[r.write] = bytes[i];
      r.write = (r.write + 1) % kSerialRingSize;
    }
    unread = r.Unread();
    post = NotificationDue(p, now);
  }
  if (post) PostNotification(p, unread);
}

// Free room in the ring; while the ring is full, keeps the window reminded that data waits.
int RoomOrRemind(Port& p, uint32_t now) {
  bool post = false;
  int unread = 0;
  int room = 0;
  {
    auto lock = LockForReader(p);
    if (!lock.owns_lock()) return 0;
    room = p.ring.Room();
    unread = p.ring.Unread();
    if (room == 0) post = NotificationDue(p, now);
  }
  if (post) PostNotification(p, unread);
  return room;
}

void ReaderMain(std::shared_ptr<Port> port, std::function<uint32_t()> tick) {
  Port& p = *port;
  std::array<uint8_t, kSerialReadBuffer> buf{};
  auto now = [&tick]() { return tick ? tick() : SteadyTick(); };
  while (p.run.load()) {
    const int room = RoomOrRemind(p, now());
    if (room == 0) {
      // Leave the bytes in the device until the window has read some.
      p.errors.fetch_or(CE_RXOVER);
      p.waiting_for_room.store(true);
      WaitForWake(p, kRunFlagPollMs);
      p.waiting_for_room.store(false);
      continue;
    }
    pollfd fds[2] = {{p.fd, POLLIN, 0}, {p.wake_fd, POLLIN, 0}};
    const int ready = ::poll(fds, 2, kRunFlagPollMs);
    if (ready < 0) {
      if (errno != EINTR) WaitForWake(p, kRunFlagPollMs);
      continue;
    }
    if (fds[1].revents != 0) {
      uint64_t v = 0;
      [[maybe_unused]] ssize_t r = ::read(p.wake_fd, &v, sizeof v);
    }
    if (!p.run.load() || fds[0].revents == 0) continue;
    if ((fds[0].revents & POLLNVAL) != 0) {
      p.errors.fetch_or(CE_IOE);
      WaitForWake(p, kRunFlagPollMs);
      continue;
    }
    const int want = std::min({std::clamp(p.read_size.load(), 1, kSerialReadBuffer), room});
    const ssize_t n = ::read(p.fd, buf.data(), static_cast<size_t>(want));
    if (n > 0) {
      Deliver(p, buf.data(), static_cast<int>(n), now());
    } else if (n == 0 || errno == EAGAIN || errno == EINTR) {
      // A hung-up line keeps reporting itself ready; wait instead of spinning on it.
      if ((fds[0].revents & (POLLHUP | POLLERR)) != 0) WaitForWake(p, kRunFlagPollMs);
    } else {
      // A failed read: note it, drop what the device holds and carry on reading.
      p.errors.fetch_or(CE_IOE);
      ::tcflush(p.fd, TCIFLUSH);
      WaitForWake(p, kRunFlagPollMs);
    }
  }
  g_readers_running.fetch_sub(1);
  {
    std::lock_guard<std::mutex> lock(p.done_mu);
    p.done = true;
  }
  p.done_cv.notify_all();
}

void ClosePortRecord(std::shared_ptr<Port>& slot) {
  std::shared_ptr<Port> p = std::move(slot);
  p->run.store(false);
  Wake(*p);
  ::tcflush(p->fd, TCIFLUSH);
  bool ended = false;
  {
    std::unique_lock<std::mutex> lock(p->done_mu);
    ended = p->done_cv.wait_for(lock, kCloseWait, [&p] { return p->done; });
  }
  if (ended) {
    p->thread.join();
  } else {
    // The thread keeps its own reference; the device closes when it finally lets go.
    p->thread.detach();
  }
}

// Error flags from the device's own counters, where it keeps them (real UARTs do, terminals
// made in software do not).
uint32_t DeviceErrorsSinceLast(Port& p) {
  serial_icounter_struct now{};
  if (::ioctl(p.fd, TIOCGICOUNT, &now) != 0) return 0;
  uint32_t flags = 0;
  if (p.have_icount) {
    if (now.overrun != p.icount.overrun || now.buf_overrun != p.icount.buf_overrun) {
      flags |= CE_OVERRUN;
    }
    if (now.parity != p.icount.parity) flags |= CE_RXPARITY;
    if (now.frame != p.icount.frame) flags |= CE_FRAME;
    if (now.brk != p.icount.brk) flags |= CE_BREAK;
  }
  p.icount = now;
  p.have_icount = true;
  return flags;
}

}  // namespace

bool Serial_NotificationLapsed(uint32_t now, uint32_t last_posted, int unread) {
  return static_cast<uint32_t>(now - last_posted) >= 100 || unread > 8192;
}

int Serial_OpenPort(int port, int speed, int data_bits, int stop_bits, int parity) {
  if (port < 1 || port > kSerialMaxPorts) return -1;
  auto& table = M().table;
  if (!table) table = std::make_unique<PortTable>();
  const int index = port - 1;
  // A port this process has open already is in use, like one that another process holds.
  if ((*table)[static_cast<size_t>(index)]) return -2;

  const int fd = ::open(DevicePath(port).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    ReleaseTableIfUnused();
    return err == EBUSY ? -2 : -1;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd);
    ReleaseTableIfUnused();
    return err == EWOULDBLOCK ? -2 : -1;
  }

  auto p = std::make_shared<Port>();
  p->number = port;
  p->index = index;
  p->fd = fd;
  p->speed = speed;
  p->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (p->wake_fd < 0 || !ConfigureDevice(fd, speed, data_bits, stop_bits, parity)) {
    ReleaseTableIfUnused();
    return -1;  // p's destructor closes the device
  }
  ::tcflush(fd, TCIFLUSH);
  p->timeouts = TimeoutsFor(speed, kSerialDefaultReadSize, 0);
  DeviceErrorsSinceLast(*p);

  g_readers_running.fetch_add(1);
  try {
    p->thread = std::thread(ReaderMain, p, M().state.Tick);
  } catch (const std::system_error&) {
    g_readers_running.fetch_sub(1);
    ReleaseTableIfUnused();
    return -1;
  }
  (*table)[static_cast<size_t>(index)] = std::move(p);
  return index;
}

void Serial_ClosePort(int index) {
  auto& table = M().table;
  if (!table) return;
  if (index != -1) {
    if (index < 0 || index >= kSerialMaxPorts) return;
    auto& slot = (*table)[static_cast<size_t>(index)];
    if (slot) ClosePortRecord(slot);
  }
  ReleaseTableIfUnused();
}

int Serial_EnableNotify(int index, plat::Hwnd window, int read_size) {
  auto p = Lookup(index);
  if (!p) return 0;
  if (read_size < 0) {
    p->notify_window.store(plat::kNoWindow);
    return 1;
  }
  const int size = std::clamp(read_size, 1, kSerialReadBuffer);
  p->timeouts = TimeoutsFor(p->speed, size, 1);
  p->read_size.store(size);
  p->notify_window.store(window);
  return 1;
}

int Serial_Write(int index, const void* bytes, int length) {
  if (index < 0 || index >= kSerialMaxPorts) return -2;
  if (!M().table) return -3;
  auto p = Lookup(index);
  if (!p) return -2;
  if (length < 0 || length > 0xFFFF || (bytes == nullptr && length > 0)) return -1;
  const auto* data = static_cast<const uint8_t*>(bytes);
  const auto budget =
      milliseconds(p->timeouts.WriteTotalTimeoutMultiplier * static_cast<uint32_t>(length) +
                   p->timeouts.WriteTotalTimeoutConstant);
  const auto deadline = Clock::now() + budget;
  size_t done = 0;
  while (done < static_cast<size_t>(length)) {
    const ssize_t n = ::write(p->fd, data + done, static_cast<size_t>(length) - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return -1;
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return -1;
    pollfd w{p->fd, POLLOUT, 0};
    if (::poll(&w, 1, static_cast<int>(left)) < 0 && errno != EINTR) return -1;
  }
  return length;
}

int Serial_Read(int index, void* buffer, int count) {
  auto p = Lookup(index);
  // Never more than the caller said its buffer holds (a negative count takes nothing).
  const int want = std::min(count, 0xFFFF);
  if (!p || buffer == nullptr || want <= 0) return 0;
  std::unique_lock<std::timed_mutex> lock(p->ring.guard, std::defer_lock);
  if (!lock.try_lock_for(kGuardWait)) return 0;
  Ring& r = p->ring;
  const int n = std::min(want, r.Unread());
  auto* out = static_cast<uint8_t*>(buffer);
  for (int i = 0; i < n; ++i) {
    out[i] = r.data[r.read];
    r.read = (r.read + 1) % kSerialRingSize;
  }
  p->outstanding = false;
  lock.unlock();
  if (n > 0 && p->waiting_for_room.load()) Wake(*p);
  return n;
}

bool Serial_DeviceGone(int index) {
  auto p = Lookup(index);
  if (!p) return false;
  struct stat open_dev {};
  struct stat named {};
  if (::fstat(p->fd, &open_dev) != 0) return true;
  if (::stat(DevicePath(p->number).c_str(), &named) != 0) return true;
  return named.st_rdev != open_dev.st_rdev || named.st_ino != open_dev.st_ino ||
         named.st_dev != open_dev.st_dev;
}

int Serial_ClearError(int index, SerialStatus* status) {
  auto p = Lookup(index);
  if (!p) return -1;
  int unread = -1;
  {
    std::unique_lock<std::timed_mutex> lock(p->ring.guard, std::defer_lock);
    if (lock.try_lock_for(kGuardWait)) unread = p->ring.Unread();
  }
  const uint32_t flags = p->errors.exchange(0) | DeviceErrorsSinceLast(*p);
  if (status != nullptr) {
    int out_queue = 0;
    if (::ioctl(p->fd, TIOCOUTQ, &out_queue) != 0) out_queue = 0;
    status->InQue = unread;
    status->OutQue = out_queue;
  }
  return static_cast<int>(flags);
}

SerialState& Serial() {
  return M().state;
}

void ResetSerial() {
  if (M().table) {
    for (auto& slot : *M().table) {
      if (slot) ClosePortRecord(slot);
    }
    M().table.reset();
  }
  M().state = SerialState{};
}

bool Serial_TableAllocated() {
  return M().table != nullptr;
}

int Serial_ReaderThreadsRunning() {
  return g_readers_running.load();
}

// --- The serial port as a controller channel. The port runs with one stop bit ("StopBits" is
// only shown); its notifications go to the channel's window, one byte being reason enough.

namespace {

int SerialOpen(Channel& c) {
  c.handle = Serial_OpenPort(c.com, c.speed, c.data_bits, ONESTOPBIT, c.parity);
  return c.handle;
}

int SerialListen(Channel& c) {
  return Serial_EnableNotify(c.handle, c.window, 1);
}

void SerialClose(Channel& c) {
  Serial_ClosePort(c.handle);
  c.handle = -1;
}

int SerialWrite(Channel& c, const char* bytes, int length) {
  return Serial_Write(c.handle, bytes, length);
}

int SerialRead(Channel& c, unsigned char* buffer, int size) {
  return Serial_Read(c.handle, buffer, size);
}

void SerialClearError(Channel& c) {
  Serial_ClearError(c.handle, nullptr);
}

bool SerialGone(Channel& c) {
  return Serial_DeviceGone(c.handle);
}

}  // namespace

const ChannelOps kSerialChannelOps = {SerialOpen, SerialListen,     SerialClose, SerialWrite,
                                      SerialRead, SerialClearError, SerialGone,  true};

}  // namespace xarvel
