// Headless Chromium (Debian's `chromium`) driven through its DevTools protocol over a pipe: the
// browser reads commands on its descriptor 3 and writes answers and events on 4, each message a
// JSON text ended by a zero byte. A pipe needs no port, no WebSocket client and no driver
// program, and the browser cannot outlive it. Every wait is bounded; the browser and all its
// child processes (one process group) are ended with the object.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace testing_support {

class Chromium {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr const char* kBinary = "/usr/bin/chromium";

  static bool Installed() { return ::access(kBinary, X_OK) == 0; }

  // Starts the browser with a new empty profile and opens one page of `width` x `height` CSS
  // pixels; with `home`, as its HOME (where it finds its certificate database, .pki/nssdb).
  // False (with the reason in error()) when it does not come up within 20 s.
  bool Start(int width, int height, const std::string& home = "") {
    int to_browser[2];
    int from_browser[2];
    if (::pipe2(to_browser, O_CLOEXEC) != 0 || ::pipe2(from_browser, O_CLOEXEC) != 0) {
      error_ = "pipe";
      return false;
    }
    const std::string profile = (dir_.path() / "profile").string();
    const std::string log = (dir_.path() / "chromium.log").string();
    std::vector<std::string> argv = {
        kBinary,
        "--headless",
        "--no-sandbox",
        "--disable-gpu",
        "--disable-quic",
        "--no-first-run",
        "--no-default-browser-check",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
        "--disable-extensions",
        "--disable-dev-shm-usage",
        "--mute-audio",
        "--hide-scrollbars",
        "--remote-debugging-pipe",
        "--user-data-dir=" + profile,
        "--window-size=" + std::to_string(width) + "," + std::to_string(height),
        "about:blank"};
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    // The environment, with HOME replaced when asked; made before the fork.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      if (home.empty() || std::strncmp(*e, "HOME=", 5) != 0) env.emplace_back(*e);
    }
    if (!home.empty()) env.push_back("HOME=" + home);
    std::vector<char*> cenv;
    for (auto& e : env) cenv.push_back(e.data());
    cenv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setpgid(0, 0);
      const int log_fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int null_fd = ::open("/dev/null", O_RDONLY);
      // Descriptors 3 and 4 are the protocol's; move the pipe ends out of the way first.
      const int in = ::fcntl(to_browser[0], F_DUPFD, 10);
      const int out = ::fcntl(from_browser[1], F_DUPFD, 10);
      ::dup2(null_fd, 0);
      ::dup2(log_fd, 1);
      ::dup2(log_fd, 2);
      ::dup2(in, 3);
      ::dup2(out, 4);
      ::execve(cargv[0], cargv.data(), cenv.data());
      ::_exit(127);
    }
    ::close(to_browser[0]);
    ::close(from_browser[1]);
    to_ = to_browser[1];
    from_ = from_browser[0];
    if (pid_ < 0) {
      error_ = "fork";
      return false;
    }
    ::setpgid(pid_, pid_);
    // The page that the browser opened with about:blank.
    const QJsonObject targets = Call("Target.getTargets", {}, "", 20000);
    std::string target;
    for (const QJsonValue t : targets["targetInfos"].toArray()) {
      if (t["type"].toString() == "page") target = t["targetId"].toString().toStdString();
    }
    if (target.empty() || !Attach(target)) {
      error_ = "no page: " + error_ + "\n" + ReadFile(dir_.path() / "chromium.log");
      return false;
    }
    return SetViewport(width, height, false);
  }

  // Opens another page (a window of its own, so that nothing throttles it as a hidden tab) at
  // `url` and makes it the page that the calls below act on. False when it cannot be had.
  bool OpenPage(const std::string& url) {
    const QJsonObject made =
        Call("Target.createTarget", {{"url", QString::fromStdString(url)}, {"newWindow", true}}, "",
             10000);
    const std::string target = made["targetId"].toString().toStdString();
    return !target.empty() && Attach(target);
  }
  // Makes page `index` (0: the first, in the order opened) the one the calls act on.
  void UsePage(size_t index) {
    if (index < sessions_.size()) session_ = sessions_[index];
  }
  size_t pages() const { return sessions_.size(); }

  ~Chromium() { Stop(); }

  // Closes the browser (asked first, then killed with its whole process group) and reaps it.
  void Stop() {
    if (pid_ <= 0) return;
    if (to_ >= 0) Call("Browser.close", {}, "", 2000);
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0 && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Whatever of the browser is left (renderers, helpers) goes with the group.
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    if (to_ >= 0) ::close(to_);
    if (from_ >= 0) ::close(from_);
    to_ = from_ = -1;
  }

  Chromium() = default;
  Chromium(const Chromium&) = delete;
  Chromium& operator=(const Chromium&) = delete;

  // The page's size in CSS pixels; `mobile` as a phone shows it (its viewport meta tag counts).
  bool SetViewport(int width, int height, bool mobile) {
    Call("Emulation.setDeviceMetricsOverride",
         {{"width", width}, {"height", height}, {"deviceScaleFactor", 1}, {"mobile", mobile}},
         session_);
    return ok_;
  }

  // Opens `url` and waits (up to `timeout_ms`) for the page to have loaded.
  bool Navigate(const std::string& url, int timeout_ms = 10000) {
    Call("Page.navigate", {{"url", QString::fromStdString(url)}}, session_, timeout_ms);
    if (!ok_) return false;
    return WaitFor("document.readyState === 'complete'", timeout_ms);
  }

  // The value of a JavaScript expression in the page (a promise is awaited); null on an
  // exception or no answer in time, with the reason in error().
  QJsonValue Eval(const std::string& expression, int timeout_ms = 5000) {
    const QJsonObject r = Call("Runtime.evaluate",
                               {{"expression", QString::fromStdString(expression)},
                                {"returnByValue", true},
                                {"awaitPromise", true}},
                               session_, timeout_ms);
    if (r.contains("exceptionDetails")) {
      error_ = QJsonDocument(r["exceptionDetails"].toObject()).toJson().toStdString();
      return QJsonValue();
    }
    return r["result"].toObject()["value"];
  }

  std::string EvalText(const std::string& expression) {
    const QJsonValue v = Eval(expression);
    return v.isString() ? v.toString().toStdString() : std::string();
  }

  // Polls `condition` (a JavaScript expression) every 10 ms until it is true or `timeout_ms`
  // has passed; true when it became true.
  bool WaitFor(const std::string& condition, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      if (Eval("!!(" + condition + ")", 2000).toBool()) return true;
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  // Saves the page (what the viewport shows, or the whole page) as a PNG file.
  bool Screenshot(const std::filesystem::path& file, bool full_page = false) {
    QJsonObject params{{"format", "png"}};
    if (full_page) params["captureBeyondViewport"] = true;
    if (full_page) {
      const QJsonObject metrics = Call("Page.getLayoutMetrics", {}, session_);
      const QJsonObject size = metrics["cssContentSize"].toObject();
      params["clip"] = QJsonObject{{"x", 0},
                                   {"y", 0},
                                   {"width", size["width"].toDouble()},
                                   {"height", size["height"].toDouble()},
                                   {"scale", 1}};
    }
    const QJsonObject r = Call("Page.captureScreenshot", params, session_, 10000);
    const QByteArray png = QByteArray::fromBase64(r["data"].toString().toLatin1());
    if (png.isEmpty()) return false;
    std::filesystem::create_directories(file.parent_path());
    FILE* f = std::fopen(file.c_str(), "wb");
    if (f == nullptr) return false;
    const bool written = std::fwrite(png.data(), 1, static_cast<size_t>(png.size()), f) ==
                         static_cast<size_t>(png.size());
    return std::fclose(f) == 0 && written;
  }

  const std::string& error() const { return error_; }

 private:
  bool Attach(const std::string& target) {
    const QJsonObject attached =
        Call("Target.attachToTarget",
             {{"targetId", QString::fromStdString(target)}, {"flatten", true}}, "", 10000);
    const std::string session = attached["sessionId"].toString().toStdString();
    if (session.empty()) return false;
    sessions_.push_back(session);
    session_ = session;
    // No domain is enabled: without events nothing piles up in the pipe while no call reads it.
    return true;
  }

 public:
  std::string Log() const { return ReadFile(dir_.path() / "chromium.log"); }

 private:
  // Sends a command and waits for its answer (events meanwhile are passed by); the answer's
  // result, empty when it failed or did not come in time (ok_ false, error_ set).
  QJsonObject Call(const std::string& method, const QJsonObject& params, const std::string& session,
                   int timeout_ms = 5000) {
    ok_ = false;
    if (to_ < 0) return {};
    const int id = next_id_++;
    QJsonObject message{{"id", id}, {"method", QString::fromStdString(method)}, {"params", params}};
    if (!session.empty()) message["sessionId"] = QString::fromStdString(session);
    QByteArray bytes = QJsonDocument(message).toJson(QJsonDocument::Compact);
    bytes.append('\0');
    for (qsizetype off = 0; off < bytes.size();) {
      const ssize_t n =
          ::write(to_, bytes.constData() + off, static_cast<size_t>(bytes.size() - off));
      if (n <= 0) {
        error_ = "the browser's pipe is closed";
        return {};
      }
      off += n;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      for (size_t end; (end = buffer_.find('\0')) != std::string::npos;) {
        const QJsonObject answer =
            QJsonDocument::fromJson(QByteArray::fromStdString(buffer_.substr(0, end))).object();
        buffer_.erase(0, end + 1);
        if (answer["id"].toInt(-1) != id) continue;
        if (answer.contains("error")) {
          error_ = method + ": " + QJsonDocument(answer["error"].toObject()).toJson().toStdString();
          return {};
        }
        ok_ = true;
        return answer["result"].toObject();
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        error_ = method + ": no answer within " + std::to_string(timeout_ms) + " ms";
        return {};
      }
      pollfd p{from_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char chunk[65536];
      const ssize_t n = ::read(from_, chunk, sizeof chunk);
      if (n <= 0) {
        error_ = method + ": the browser has gone";
        ::close(from_);
        from_ = -1;
        ::close(to_);
        to_ = -1;
        return {};
      }
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  TempDir dir_;
  int pid_ = -1;
  int to_ = -1;
  int from_ = -1;
  int next_id_ = 1;
  bool ok_ = false;
  std::string session_;  // the page the calls act on
  std::vector<std::string> sessions_;
  std::string buffer_;
  std::string error_;
};

}  // namespace testing_support
