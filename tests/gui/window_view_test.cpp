// The operator's window on a real X server. The driver starts in this process (the real start-up
// sequence, view included) against an in-process stand-in of the interface process and the
// controller emulator over TCP; the tests click and type on the real widgets and read back the
// model, the emulator's wire and the revertives. They save screenshots of the window under
// <build>/screenshots.
#include "ui/window_view.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstring>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "config/profile.h"
#include "core/about.h"
#include "core/driver.h"
#include "core/main_window.h"
#include "driver_fixture.h"
#include "ids/window_ids.h"
#include "interface/kapisup.h"
#include "interface/messages.h"
#include "link/link_state.h"
#include "platform/debug_output.h"
#include "platform/dialog.h"
#include "platform/msgbox.h"
#include "sim_process.h"
#include "state/router_tables.h"
#include "test_support.h"
#include "tracing/debug.h"
#include "ui/status_dialog.h"

// Texts of the widgets in failure messages.
inline std::ostream& operator<<(std::ostream& os, const QString& s) {
  return os << s.toStdString();
}
inline void PrintTo(const QString& s, std::ostream* os) {
  *os << '"' << s.toStdString() << '"';
}

namespace {

using testing_support::SpinUntil;
using xarvel::Profile;

constexpr int kWaitMs = 5000;

// The interface process stand-in, answering name look-ups as well: routers 101 and 102 have
// cameras, tape machines and lines as sources and monitors, transmitters and recorders as
// destinations.
struct NamingKapi : testing_support::FakeKapi {
  void Create() {
    hwnd = plat::CreateWindow(
        [this](plat::Hwnd self, uint32_t msg, plat::WParam w, plat::LParam l) -> plat::LResult {
          if (msg == xarvel::ZUT_GETDBNAME && plat::IsHandedOffBlock(l) &&
              plat::HandedOffBlockSize() >= static_cast<size_t>(xarvel::kDbNameRecordSize)) {
            Name(reinterpret_cast<uint8_t*>(l));
            return 1;
          }
          return Proc(self, msg, w, l);
        },
        true);
  }

  static void Name(uint8_t* record) {
    const int device = record[0] | (record[1] << 8);
    const int database = record[2] | (record[3] << 8);
    const int n = record[4] | (record[5] << 8);
    std::string name;
    if (device == 101 || device == 102) {
      if (database == 0) {
        name = n <= 6 ? "CAM " + std::to_string(n)
                      : (n <= 9 ? "VTR " + std::to_string(n - 6) : "LINE " + std::to_string(n - 9));
      } else {
        name = n <= 4 ? "MON " + std::to_string(n)
                      : (n <= 8 ? "TX " + std::to_string(n - 4) : "REC " + std::to_string(n - 8));
      }
    }
    std::memset(record, 0, xarvel::kDbNameRecordSize);
    std::memcpy(record, name.data(), std::min<size_t>(name.size(), xarvel::kDbNameMaxLength));
  }
};

class WindowViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::ResetAll();
    plat::SetTransport(nullptr);
    ASSERT_TRUE(sim_.Ready()) << sim_.Err();
    ASSERT_FALSE(sim_.ports.empty());
    port_ = std::to_string(sim_.ports[0]);
    using testing_support::WriteFile;
    WriteFile(config_.path() / "DEV_012.INI",
              "[Controller]\nName=Studio Router\nConnection_Mode=IP\nDual_Controllers=0\n"
              "IP_Address_A=127.0.0.1\nIP_Address_B=0.0.0.0\nIP_Port=" +
                  port_ +
                  "\nTallyDelay=100\nDebugMode=0\nNameLength=8\nParkSource=0\n"
                  "PollForMC1000LockStatus=0\nForwardBufferDelay=0\n"
                  "[Routers]\nRouter_A=101,1,16\nRouter_B=102,1,8,0,128\n"
                  "Router_C=103,1,4,0,256\n");
    WriteFile(config_.path() / "DEV_101.INI", "[Database]\nDatabaseSize_0=12\nDatabaseSize_1=16\n");
    WriteFile(config_.path() / "DEV_102.INI", "[Database]\nDatabaseSize_0=8\nDatabaseSize_1=8\n");
    WriteFile(config_.path() / "DEV_103.INI", "[Database]\nDatabaseSize_0=6\nDatabaseSize_1=4\n");
    Profile().DeviceNumber = 12;
    kapi_.Create();

    ASSERT_TRUE(xarvel::CreateMainWindow());
    frame_ = xarvel::View_Frame();
    dialog_ = xarvel::View_Dialog();
    ASSERT_NE(frame_, nullptr);
    ASSERT_NE(dialog_, nullptr);
    frame_->showNormal();
    frame_->raise();
    frame_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(frame_));
    // There is no window manager on the test server to hand out the focus.
    if (!QTest::qWaitForWindowActive(frame_, 1000)) QApplication::setActiveWindow(frame_);
    ASSERT_TRUE(WaitText(xarvel::IDC_LINK_STATUS, "Connected Ok")) << Text(xarvel::IDC_LINK_STATUS);
  }

  void TearDown() override {
    xarvel::Shutdown(0);
    xarvel::View_Destroy();
    testing_support::ResetAll();
  }

  template <class T>
  T* Control(int id) const {
    for (T* w : dialog_->findChildren<T*>()) {
      if (w->property("ctrlId").toInt() == id) return w;
    }
    return nullptr;
  }
  QAction* Action(int id) const {
    for (QAction* a : frame_->findChildren<QAction*>()) {
      if (a->property("ctrlId").toInt() == id) return a;
    }
    return nullptr;
  }
  QString Text(int id) const {
    if (auto* label = Control<QLabel>(id)) return label->text();
    if (auto* button = Control<QPushButton>(id)) return button->text();
    return "<no control " + QString::number(id) + ">";
  }
  plat::Hwnd Dlg() const { return xarvel::Core().MainDialog; }

  static bool WaitFor(const std::function<bool()>& done, int ms = kWaitMs) {
    return SpinUntil(
        [&] {
          xarvel::View_Flush();
          return done();
        },
        ms);
  }
  bool WaitText(int id, const QString& text) const {
    return WaitFor([&] { return Text(id) == text; });
  }
  bool Wire(const std::string& needle) const {
    return WaitFor([&] { return sim_.Err().find(needle) != std::string::npos; });
  }
  bool Revertive(const std::string& text) const {
    return WaitFor([&] {
      for (const auto& t : kapi_.texts) {
        if (t.msg == xarvel::ZUT_REVERTIVE && t.text == text) return true;
      }
      return false;
    });
  }

  // The operator clicks a row of a list box.
  void ClickRow(int list_id, int row) {
    auto* list = Control<QListWidget>(list_id);
    ASSERT_NE(list, nullptr);
    ASSERT_LT(row, list->count());
    list->scrollToItem(list->item(row));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(row)).center());
  }
  void Click(int button_id) {
    auto* button = Control<QPushButton>(button_id);
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton);
  }
  // Alt + the menu's access key, then the item's access key in the popup (a screenshot of the
  // open popup when `shot` is given).
  void MenuKeys(Qt::Key menu, Qt::Key item, const std::string& shot = "") {
    QTest::keyClick(frame_, menu, Qt::AltModifier);
    ASSERT_TRUE(WaitFor([] { return QApplication::activePopupWidget() != nullptr; }))
        << "the menu did not open";
    QWidget* popup = QApplication::activePopupWidget();
    if (!shot.empty()) Save(popup, shot);
    QTest::keyClick(popup, item);
  }

  void Shot(const std::string& name) const {
    xarvel::View_Flush();
    QTest::qWait(30);
    Save(frame_, name);
  }
  static void Save(QWidget* w, const std::string& name) {
    const std::filesystem::path dir = GUI_SCREENSHOT_DIR;
    std::filesystem::create_directories(dir);
    EXPECT_TRUE(w->grab().save(QString::fromStdString((dir / (name + ".png")).string())));
  }

  testing_support::ConfigDir config_;
  testing_support::SimProcess sim_{{"--tcp", "0", "--levels", "4", "--dests", "512"}};
  std::string port_;
  NamingKapi kapi_;
  QWidget* frame_ = nullptr;
  QWidget* dialog_ = nullptr;
};

// Take from the two lists reaches the model, the controller's wire and the revertive; the lock
// button toggles and disables Take; the controller-lock button needs the menu's permission and
// then asks the controller for a lock.
TEST_F(WindowViewTest, TakeLockAndControllerLockByMouse) {
  ClickRow(xarvel::IDC_DEST_LIST, 3);  // destination 4
  EXPECT_EQ(plat::ListSelected(Dlg(), xarvel::IDC_DEST_LIST), 3);
  EXPECT_EQ(xarvel::Dialog_SelectedDest(), 4);
  ClickRow(xarvel::IDC_SOURCE_LIST, 5);  // source 5 ("CAM 5")
  EXPECT_EQ(plat::ListSelected(Dlg(), xarvel::IDC_SOURCE_LIST), 5);
  Click(xarvel::IDC_TAKE);
  EXPECT_TRUE(Wire(" .SA4,5\\r route")) << sim_.Err();
  EXPECT_TRUE(Revertive("RR 101 004 005"));
  EXPECT_TRUE(WaitFor([] { return xarvel::GetTally(101, 4) == 5; }));
  EXPECT_EQ(Control<QListWidget>(xarvel::IDC_SOURCE_LIST)->currentRow(), 5);
  EXPECT_EQ(Control<QListWidget>(xarvel::IDC_DEST_LIST)->currentItem()->text().toStdString(),
            "  4  MON 4");
  Shot("connected");

  ClickRow(xarvel::IDC_DEST_LIST, 1);  // destination 2
  Click(xarvel::IDC_LOCK);
  ASSERT_TRUE(WaitText(xarvel::IDC_LOCK, "--LOCKED--"));
  EXPECT_FALSE(Control<QPushButton>(xarvel::IDC_TAKE)->isEnabled());
  EXPECT_EQ(xarvel::GetLock(101, 2), 1);
  Shot("locked");

  // Without the menu's permission the controller-lock button is disabled.
  auto* mc1000 = Control<QPushButton>(xarvel::IDC_MC1000_LOCK);
  EXPECT_FALSE(mc1000->isEnabled());
  MenuKeys(Qt::Key_M, Qt::Key_C, "menu_mc1000");  // MC1000 / Change MC1000 Lock Status
  ASSERT_TRUE(WaitFor([&] { return mc1000->isEnabled(); }));
  EXPECT_TRUE(Action(xarvel::IDM_LOCK_CHANGE)->isChecked());
  Click(xarvel::IDC_MC1000_LOCK);
  EXPECT_TRUE(Wire(" .BL2\\r")) << sim_.Err();
  EXPECT_TRUE(WaitText(xarvel::IDC_MC1000_LOCK, "-- LOCKED --"));

  Click(xarvel::IDC_LOCK);
  EXPECT_TRUE(WaitText(xarvel::IDC_LOCK, "Unlocked"));
  EXPECT_TRUE(Control<QPushButton>(xarvel::IDC_TAKE)->isEnabled());
}

// The menu bar's access keys: Router / C makes router C current; Debug On and Off move the check
// marks; Help / About opens the About box, which Escape closes.
TEST_F(WindowViewTest, MenuAccessKeysRouterDebugAndAbout) {
  EXPECT_TRUE(Action(xarvel::IDM_ROUTER_A)->isChecked());
  MenuKeys(Qt::Key_R, Qt::Key_C, "menu_router");
  EXPECT_TRUE(WaitText(xarvel::IDC_ROUTER, "Router 'C' 103"));
  EXPECT_EQ(Control<QListWidget>(xarvel::IDC_SOURCE_LIST)->count(), 7);  // park + 6 sources
  EXPECT_EQ(Control<QListWidget>(xarvel::IDC_DEST_LIST)->count(), 4);
  EXPECT_TRUE(Action(xarvel::IDM_ROUTER_A + 2)->isChecked());
  EXPECT_FALSE(Action(xarvel::IDM_ROUTER_A)->isChecked());
  // Routers D..Z are not defined: grayed.
  EXPECT_FALSE(Action(xarvel::IDM_ROUTER_A + 3)->isEnabled());

  EXPECT_TRUE(Action(xarvel::IDM_DEBUG_OFF)->isChecked());
  MenuKeys(Qt::Key_D, Qt::Key_N, "menu_debug");
  EXPECT_TRUE(WaitFor([&] { return Action(xarvel::IDM_DEBUG_ON)->isChecked(); }));
  EXPECT_FALSE(Action(xarvel::IDM_DEBUG_OFF)->isChecked());
  EXPECT_EQ(xarvel::Debug().DebugMode, 1);
  MenuKeys(Qt::Key_D, Qt::Key_F);
  EXPECT_TRUE(WaitFor([&] { return Action(xarvel::IDM_DEBUG_OFF)->isChecked(); }));
  EXPECT_FALSE(Action(xarvel::IDM_DEBUG_ON)->isChecked());
  EXPECT_EQ(xarvel::Debug().DebugMode, 0);

  // The About box runs modal inside the menu command; a timer looks at it and presses Escape.
  QString title;
  QStringList texts;
  bool fixed_pitch = false;
  QTimer look;
  look.setInterval(20);
  QObject::connect(&look, &QTimer::timeout, [&] {
    QWidget* box = QApplication::activeModalWidget();
    if (box == nullptr || !box->isVisible() || !title.isEmpty()) return;
    title = box->windowTitle();
    fixed_pitch = QFontInfo(box->font()).fixedPitch();
    for (QLabel* label : box->findChildren<QLabel*>()) texts << label->text();
    Save(box, "about");
    QTest::keyClick(box, Qt::Key_Escape);
  });
  look.start();
  QTimer::singleShot(kWaitMs, [] {
    if (QWidget* box = QApplication::activeModalWidget()) box->close();
  });
  MenuKeys(Qt::Key_H, Qt::Key_A);
  ASSERT_TRUE(WaitFor([&] { return !title.isEmpty() && !QApplication::activeModalWidget(); }));
  look.stop();
  EXPECT_EQ(title, "About");
  EXPECT_TRUE(fixed_pitch);
  EXPECT_TRUE(texts.contains("Orvana / KIRN MC1000 Controller Driver"));
  EXPECT_TRUE(texts.contains("Saving to .idx files"));
  EXPECT_TRUE(texts.filter("Config : ").size() == 1) << texts.join(" | ").toStdString();
}

// What the control system and the controller do shows on screen: RX only, and a controller that
// stops answering.
TEST_F(WindowViewTest, ModeAndCommsFailureAreShown) {
  EXPECT_TRUE(WaitText(xarvel::IDC_MODE, "Tx/Rx"));
  EXPECT_EQ(Text(xarvel::IDC_CONN_A), QString::fromStdString("127.0.0.1:" + port_));
  EXPECT_EQ(Text(xarvel::IDC_CONN_B), "");  // single controller
  plat::SendMessage(xarvel::Core().MainWindow, xarvel::ZUT_DeviceIDInUse, 0, 0);
  EXPECT_TRUE(WaitText(xarvel::IDC_MODE, "Rx Only"));
  Shot("rx_only");

  // The controller stops answering and takes no new connection.
  ASSERT_TRUE(sim_.Console("refuse " + port_ + " on", "ok refuse"));
  ASSERT_TRUE(sim_.Console("silent on", "ok silent"));
  EXPECT_TRUE(WaitText(xarvel::IDC_MESSAGE, "Comms Failed - Lost connection to Controller A"));
  EXPECT_TRUE(WaitText(xarvel::IDC_LINK_STATUS, "Disconnected!"));
  Shot("comms_failed");
}

// The window is sized to the dialog under the menu bar and stays so; the dialog stays at the
// origin; the lists are wide enough for three names; model changes are drawn once per turn and
// not at all while the window is out of sight, when the poll fields rest as well.
TEST_F(WindowViewTest, PlacementAndRenderingCost) {
  // Every control of the dialog is there; every control and label lies inside the dialog, clear
  // of every other one.
  for (int id : {211,  212,  213,  214,  1001, 1002, 1003, 1004, 1005, 1007, 1009, 1012, 1101,
                 1102, 1501, 1701, 1702, 1703, 1704, 1705, 1706, 1801, 1802, 1803, 1804, 2002}) {
    EXPECT_NE(Control<QWidget>(id), nullptr) << "control " << id;
  }
  for (int i = 0; i < 26; ++i) {
    for (int base : {5001, 5101, 5201, 5301}) {
      EXPECT_NE(Control<QLabel>(base + i), nullptr) << "control " << base + i;
    }
  }
  std::vector<QWidget*> leaves;
  for (QLabel* w : dialog_->findChildren<QLabel*>()) leaves.push_back(w);
  for (QPushButton* w : dialog_->findChildren<QPushButton*>()) leaves.push_back(w);
  for (QListWidget* w : dialog_->findChildren<QListWidget*>()) leaves.push_back(w);
  std::vector<QRect> rects;
  for (QWidget* w : leaves) rects.emplace_back(w->mapTo(dialog_, QPoint(0, 0)), w->size());
  for (size_t a = 0; a < leaves.size(); ++a) {
    EXPECT_TRUE(dialog_->rect().contains(rects[a])) << leaves[a]->objectName();
    for (size_t b = a + 1; b < leaves.size(); ++b) {
      EXPECT_FALSE(rects[a].intersects(rects[b]))
          << leaves[a]->objectName() << " overlaps " << leaves[b]->objectName();
    }
  }
  QStringList labels;
  for (QLabel* l : dialog_->findChildren<QLabel*>()) labels << l->text();
  for (QGroupBox* g : dialog_->findChildren<QGroupBox*>()) labels << g->title();
  for (const char* text : {"NETWORK",      "DRIVER", "Tx",          "Rx",      "Keyboard", "Rtr",
                           "Poll",         "Park",   "Ans",         "Lock",    "Names",    "Resets",
                           "Mode",         "Status", "Controller",  "Message", "Source",   "Dest",
                           "Lock Infodrv", "MC1000", "KIRN Driver", "Drv",     "Srcs",     "Dests",
                           "Offsets",      "A",      "M",           "N",       "Z"}) {
    EXPECT_TRUE(labels.contains(text)) << text;
  }

  QWidget* client = dialog_->parentWidget();
  EXPECT_EQ(dialog_->pos(), QPoint(0, 0));
  EXPECT_EQ(client->size(), dialog_->size());
  EXPECT_GE(dialog_->width(), dialog_->minimumSizeHint().width());
  EXPECT_EQ(frame_->minimumSize(), frame_->maximumSize()) << "not resizable";
  EXPECT_GE(frame_->height(), client->geometry().bottom());
  EXPECT_EQ(plat::FittedDialog(xarvel::Core().MainWindow), Dlg());
  auto* sources = Control<QListWidget>(xarvel::IDC_SOURCE_LIST);
  EXPECT_GE(sources->viewport()->width(), sources->fontMetrics().averageCharWidth() * 24);

  dialog_->move(10, 10);  // WM_MOVE: the dialog procedure puts it back
  EXPECT_TRUE(WaitFor([&] { return dialog_->pos() == QPoint(0, 0); }));
  EXPECT_EQ(plat::DialogOriginMoves(Dlg()), 1);

  // A burst of changes costs one render pass (the poll may add one of its own).
  xarvel::View_Flush();
  const int before = xarvel::View_Renders();
  for (int i = 0; i < 200; ++i) {
    xarvel::Dlg_SetText(xarvel::IDC_MESSAGE, "burst " + std::to_string(i));
  }
  EXPECT_TRUE(SpinUntil([&] { return Text(xarvel::IDC_MESSAGE) == "burst 199"; }, kWaitMs));
  EXPECT_LE(xarvel::View_Renders() - before, 2);

  // Out of sight, nothing is drawn and the poll (every 100 ms) leaves its fields alone; back on
  // screen, the latest texts appear.
  const plat::Hwnd main = xarvel::Core().MainWindow;
  frame_->hide();
  ASSERT_TRUE(WaitFor([&] { return plat::IsIconic(main); }));
  const int hidden = xarvel::View_Renders();
  const std::string polled = plat::GetDlgItemText(Dlg(), xarvel::IDC_POLL_DEST);
  xarvel::Dlg_SetText(xarvel::IDC_MESSAGE, "while hidden");
  QTest::qWait(300);
  xarvel::View_Flush();
  EXPECT_EQ(xarvel::View_Renders(), hidden);
  EXPECT_EQ(Text(xarvel::IDC_MESSAGE), "burst 199");
  EXPECT_EQ(plat::GetDlgItemText(Dlg(), xarvel::IDC_POLL_DEST), polled);
  frame_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(frame_));
  EXPECT_FALSE(plat::IsIconic(main));
  EXPECT_TRUE(WaitText(xarvel::IDC_MESSAGE, "while hidden"));
  EXPECT_TRUE(
      WaitFor([&] { return plat::GetDlgItemText(Dlg(), xarvel::IDC_POLL_DEST) != polled; }));
}

// Without a display nothing is created and neither a message box nor the About box waits for
// anyone, even in a process that has a widget application.
TEST(WithoutDisplay, NothingIsShownAndNothingWaits) {
  testing_support::ResetAll();
  testing_support::EnvGuard display("DISPLAY", std::nullopt);
  testing_support::EnvGuard wayland("WAYLAND_DISPLAY", std::nullopt);
  testing_support::DebugCapture debug;
  // Should anything open a box after all, it is closed and the test fails instead of hanging.
  bool opened = false;
  QTimer guard;
  guard.setInterval(50);
  QObject::connect(&guard, &QTimer::timeout, [&] {
    if (QWidget* box = QApplication::activeModalWidget()) {
      opened = true;
      box->close();
    }
  });
  guard.start();
  EXPECT_FALSE(plat::CanShowWindows());
  const plat::Hwnd main = plat::CreateWindow(xarvel::MainWndProc, true);
  EXPECT_FALSE(xarvel::View_CreateMainWindow(main));
  EXPECT_EQ(xarvel::View_Frame(), nullptr);
  EXPECT_EQ(plat::MessageBox(main, "the text", "! Xarvel - Error !"), plat::IDOK);
  EXPECT_TRUE(debug.Contains("! Xarvel - Error !: the text"));
  EXPECT_EQ(xarvel::ShowAboutBox(main), 1);
  EXPECT_TRUE(debug.Contains("About: Orvana / KIRN MC1000 Controller Driver"));
  EXPECT_FALSE(opened);
  testing_support::ResetAll();
}

}  // namespace
