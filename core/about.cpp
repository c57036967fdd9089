#include "core/about.h"

#include <QDialog>
#include <QFont>
#include <QFontDatabase>
#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include "config/profile.h"
#include "ids/window_ids.h"
#include "platform/debug_output.h"
#include "platform/msgbox.h"
#include "state/index_files.h"
#include "ui_about.h"

namespace xarvel {
namespace {

// The system's fixed-pitch font at 9 points, standing in for the box's Fixedsys.
QFont AboutFont() {
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPointSize(9);
  return font;
}

}  // namespace

std::array<AboutText, 4> AboutBoxTexts() {
  return {{
      {IDC_ABOUT_VERSION, "Version " + Core().VersionString},
      {IDC_ABOUT_BUILD, std::string(__DATE__) + " - " + __TIME__},
      {IDC_ABOUT_CONFIG, Profile().ProfileText},
      {IDC_ABOUT_SAVE,
       IndexFiles().SaveFormat == 2 ? "Saving to .dat files" : "Saving to .idx files"},
  }};
}

int ShowAboutBox(plat::Hwnd owner) {
  const auto texts = AboutBoxTexts();
  if (!plat::CanShowWindows()) {
    std::string line = "About: Orvana / KIRN MC1000 Controller Driver";
    for (const AboutText& t : texts) line += " | " + t.text;
    plat::OutputDebugString(line + "\n", plat::LogLevel::kInfo);
    return 1;
  }
  QDialog box(plat::AttachedWidget(owner));
  Ui::About form;
  form.setupUi(&box);
  box.setFont(AboutFont());
  box.setWindowIcon(QIcon(QStringLiteral(":/xarvel/xarvel.svg")));
  form.programIcon->setPixmap(box.windowIcon().pixmap(48, 48));
  for (const AboutText& t : texts) {
    for (QLabel* label : box.findChildren<QLabel*>()) {
      if (label->property("ctrlId").toInt() == t.id) {
        label->setText(
            QString::fromLocal8Bit(t.text.data(), static_cast<qsizetype>(t.text.size())));
      }
    }
  }
  QObject::connect(form.c1, &QPushButton::clicked, &box, &QDialog::accept);
  box.setFixedSize(box.sizeHint());
  // OK and Escape both close the box; either way its result is 1.
  box.exec();
  return 1;
}

}  // namespace xarvel
