#include "test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
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
  const std::string out = (dir_.path() / "stdout").string();
  const std::string err = (dir_.path() / "stderr").string();
  // Everything the child needs is prepared before fork: the test process may have threads, and
  // between fork and exec only async-signal-safe calls are allowed.
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
  for (const auto& change : env) {
    const auto eq = change.find('=');
    if (eq == std::string::npos) continue;
    const std::string prefix = change.substr(0, eq + 1);
    std::erase_if(environment, [&prefix](const std::string& v) { return v.rfind(prefix, 0) == 0; });
    if (eq + 1 < change.size()) environment.push_back(change);
  }
  std::vector<char*> envp;
  for (auto& v : environment) envp.push_back(v.data());
  envp.push_back(nullptr);
  std::vector<std::string> args_copy = argv;
  std::vector<char*> args;
  for (auto& a : args_copy) args.push_back(a.data());
  args.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ != 0) return;
  int in_fd = ::open("/dev/null", O_RDONLY);
  int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::dup2(in_fd, 0);
  ::dup2(out_fd, 1);
  ::dup2(err_fd, 2);
  ::execve(args[0], args.data(), envp.data());
  ::_exit(127);
}

Process::~Process() {
  if (pid_ > 0 && status_ < 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

int Process::Wait(int timeout_ms) {
  if (pid_ <= 0) return -1;
  if (status_ >= 0) return status_;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int st = 0;
    const pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int Process::Stop(int grace_ms) {
  if (pid_ <= 0) return -1;
  if (status_ >= 0) return status_;
  ::kill(pid_, SIGTERM);
  int r = Wait(grace_ms);
  if (r < 0) {
    ::kill(pid_, SIGKILL);
    r = Wait(5000);
  }
  return r;
}

int Process::Kill() {
  if (pid_ <= 0) return -1;
  if (status_ >= 0) return status_;
  ::kill(pid_, SIGKILL);
  return Wait(5000);
}

std::string Process::Stdout() const {
  return ReadFile(dir_.path() / "stdout");
}
std::string Process::Stderr() const {
  return ReadFile(dir_.path() / "stderr");
}

bool Process::WaitForOutput(const std::string& needle, int timeout_ms, bool in_stderr) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const std::string text = in_stderr ? Stderr() : Stdout();
    if (text.find(needle) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
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
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::filesystem::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
}

}  // namespace testing_support
