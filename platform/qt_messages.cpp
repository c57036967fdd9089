#include "platform/qt_messages.h"

#include <QString>
#include <QtGlobal>
#include <string>

#include "platform/debug_output.h"

namespace plat {
namespace {

void Handle(QtMsgType type, const QMessageLogContext&, const QString& message) {
  LogLevel level = LogLevel::kInfo;
  switch (type) {
    case QtDebugMsg:
      level = LogLevel::kDebug;
      break;
    case QtInfoMsg:
      level = LogLevel::kInfo;
      break;
    case QtWarningMsg:
      level = LogLevel::kWarning;
      break;
    case QtCriticalMsg:
    case QtFatalMsg:
      level = LogLevel::kErr;
      break;
  }
  OutputDebugString(message.toStdString() + "\n", level);
}

}  // namespace

void RouteQtMessages() {
  qInstallMessageHandler(Handle);
}

}  // namespace plat
