#include "platform/msgbox.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdlib>
#include <string>

#include "platform/debug_output.h"

namespace plat {

bool IsHeadless() {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x11 == nullptr || *x11 == '\0') && (wayland == nullptr || *wayland == '\0');
}

void PrepareQtPlatform() {
  if (IsHeadless() && std::getenv("QT_QPA_PLATFORM") == nullptr) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }
}

bool CanShowWindows() {
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return false;
  if (IsHeadless()) return false;
  const QString platform = QGuiApplication::platformName();
  return platform != "offscreen" && platform != "minimal";
}

int MessageBox(Hwnd owner, std::string_view text, std::string_view caption) {
  if (!CanShowWindows()) {
    std::string line;
    line.reserve(caption.size() + text.size() + 3);
    line.append(caption).append(": ").append(text).append("\n");
    OutputDebugString(line, LogLevel::kErr);
    return IDOK;
  }
  QMessageBox box(QMessageBox::Critical,
                  QString::fromLocal8Bit(caption.data(), static_cast<qsizetype>(caption.size())),
                  QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())),
                  QMessageBox::Ok, AttachedWidget(owner));
  box.exec();
  return IDOK;
}

}  // namespace plat
