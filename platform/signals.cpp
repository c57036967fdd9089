#include "platform/signals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>

namespace plat {
namespace {

int g_signal_fd[2] = {-1, -1};

void OnSignal(int) {
  const char b = 1;
  // Only an async-signal-safe write here; the loop does the rest.
  [[maybe_unused]] ssize_t n = ::write(g_signal_fd[1], &b, 1);
}

}  // namespace

bool OnTerminationSignal(std::function<void()> handler) {
  if (g_signal_fd[0] >= 0) return false;
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_signal_fd) != 0) {
    return false;
  }
  // Owned by the application object, so it goes when the application does.
  auto* notifier =
      new QSocketNotifier(g_signal_fd[0], QSocketNotifier::Read, QCoreApplication::instance());
  QObject::connect(notifier, &QSocketNotifier::activated, [handler = std::move(handler)]() {
    char buf[16];
    while (::read(g_signal_fd[0], buf, sizeof buf) > 0) {
    }
    handler();
  });
  struct sigaction sa = {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGHUP, &sa, nullptr);
  return true;
}

}  // namespace plat
