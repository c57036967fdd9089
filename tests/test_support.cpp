#include "test_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "platform/debug_output.h"

namespace testing_support {

TempDir::TempDir() {
  std::random_device rd;
  for (;;) {
    auto candidate = std::filesystem::temp_directory_path() /
                     ("xarvel-test-" + std::to_string(rd()) + std::to_string(rd()));
    std::error_code ec;
    if (std::filesystem::create_directory(candidate, ec)) {
      path_ = candidate;
      return;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  // Restore write permission so that tests which made a directory read-only still clean up.
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  for (auto& e : std::filesystem::recursive_directory_iterator(path_, ec)) {
    if (e.is_directory(ec)) {
      std::filesystem::permissions(e.path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
  }
  std::filesystem::remove_all(path_, ec);
}

EnvGuard::EnvGuard(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  if (value) {
    ::setenv(name_.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

EnvGuard::~EnvGuard() {
  if (old_) {
    ::setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

DebugCapture::DebugCapture() {
  plat::SetDebugSink([this](std::string_view text) { calls_.emplace_back(text); });
}

DebugCapture::~DebugCapture() {
  plat::SetDebugSink({});
}

std::string DebugCapture::text() const {
  std::string all;
  for (const auto& c : calls_) all += c;
  return all;
}

int DebugCapture::Count(const std::string& needle) const {
  int n = 0;
  for (const std::string& call : calls_) {
    if (call.find(needle) != std::string::npos) ++n;
  }
  return n;
}

bool DebugCapture::Contains(const std::string& needle) const {
  for (const auto& c : calls_) {
    if (c.find(needle) != std::string::npos) return true;
  }
  return false;
}

Process::Process(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  child::StartOptions how;
  how.env = env;
  proc_.Start(argv, dir_.path() / "stdout", dir_.path() / "stderr", how);
}

// Out of line: inlined into every test, the helper's stop set off a false gcc 12 warning
// (-Wstringop-overread) in the tests' own code.
Process::~Process() = default;

// A child that never started waits, stops and is killed with -1, as the helper answers for it.
int Process::Wait(int timeout_ms) {
  return proc_.Wait(timeout_ms);
}

int Process::Stop(int grace_ms) {
  return proc_.Stop(grace_ms);
}

int Process::Kill() {
  return proc_.Kill();
}

std::string Process::Stdout() const {
  return ReadFile(dir_.path() / "stdout");
}
std::string Process::Stderr() const {
  return ReadFile(dir_.path() / "stderr");
}

bool Process::WaitForOutput(const std::string& needle, int timeout_ms, bool in_stderr) const {
  return child::WaitForText([&] { return in_stderr ? Stderr() : Stdout(); }, needle, timeout_ms);
}

void EnsureQtApp() {
  if (QCoreApplication::instance() != nullptr) return;
  static int argc = 1;
  static char name[] = "xarvel-tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = new QCoreApplication(argc, argv);
  (void)app;
}

bool SpinUntil(const std::function<bool()>& done, int timeout_ms) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < timeout_ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

std::string ReadFile(const std::filesystem::path& p) {
  return child::ReadAll(p);
}

void WriteFile(const std::filesystem::path& p, const std::string& text) {
  child::WriteAll(p, text);
}

}  // namespace testing_support
