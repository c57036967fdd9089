#include "core/about.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFont>
#include <QLabel>
#include <QVBoxLayout>

#include "config/profile.h"
#include "core/driver.h"
#include "platform/debug_output.h"
#include "platform/msgbox.h"
#include "state/index_files.h"

namespace xarvel {

std::array<AboutText, 4> AboutBoxTexts() {
  return {{
      {IDC_ABOUT_VERSION, "Version " + Core().VersionString},
      {IDC_ABOUT_BUILD, std::string(__DATE__) + " - " + __TIME__},
      {IDC_ABOUT_CONFIG, Profile().ProfileText},
      {IDC_ABOUT_SAVE,
       IndexFiles().SaveFormat == 2 ? "Saving to .dat files" : "Saving to .idx files"},
  }};
}

int ShowAboutBox(plat::Hwnd /*owner*/) {
  const auto texts = AboutBoxTexts();
  if (plat::IsHeadless() || qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
    std::string line = "About: Orvana / KIRN MC1000 Controller Driver";
    for (const AboutText& t : texts) line += " | " + t.text;
    plat::OutputDebugString(line + "\n");
    return 1;
  }
  QDialog box;
  box.setWindowTitle("About");
  box.setFont(QFont("Fixedsys", 9));
  auto* layout = new QVBoxLayout(&box);
  layout->addWidget(new QLabel("Orvana / KIRN MC1000 Controller Driver"));
  for (const AboutText& t : texts) {
    auto* label = new QLabel(QString::fromStdString(t.text));
    label->setObjectName(QString::number(t.id));
    layout->addWidget(label);
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &box, &QDialog::accept);
  layout->addWidget(buttons);
  // OK and Escape both close the box with result 1.
  box.exec();
  return 1;
}

}  // namespace xarvel
