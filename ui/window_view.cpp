#include "ui/window_view.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QIcon>
#include <QLabel>
#include <QListWidget>
#include <QMainWindow>
#include <QMenuBar>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "ids/window_ids.h"
#include "platform/dialog.h"
#include "platform/msgbox.h"
#include "ui_maindialog.h"
#include "ui_menu.h"

namespace xarvel {
namespace {

// Notification codes in the high word of a control's WM_COMMAND.
constexpr int kButtonClicked = 0;
constexpr int kListSelectionChanged = 1;

constexpr int kSourceList = 1001;
constexpr int kDestList = 1002;

QString Text(const std::string& s) {
  return QString::fromLocal8Bit(s.data(), static_cast<qsizetype>(s.size()));
}

plat::WParam Command(int id, int code) {
  return static_cast<plat::WParam>((static_cast<uint32_t>(code) << 16) |
                                   (static_cast<uint32_t>(id) & 0xFFFF));
}

QIcon ProgramIcon() {
  return QIcon(QStringLiteral(":/xarvel/xarvel.svg"));
}

// The main window's frame. Closing it asks the driver to shut down in order instead of closing
// the window behind the driver's back.
class Frame : public QMainWindow {
 public:
  explicit Frame(plat::Hwnd hwnd) : hwnd_(hwnd) {}

 protected:
  void closeEvent(QCloseEvent* event) override {
    event->ignore();
    plat::SendMessage(hwnd_, plat::WM_CLOSE, 0, 0);
  }

 private:
  plat::Hwnd hwnd_;
};

class View : public QObject {
 public:
  explicit View(plat::Hwnd main) : main_(main), frame_(std::make_unique<Frame>(main)) {
    Ui::Menu menu;
    menu.setupUi(frame_.get());
    client_ = menu.client;
    for (QAction* action : frame_->findChildren<QAction*>()) {
      const QVariant id = action->property("ctrlId");
      if (!id.isValid()) continue;
      actions_[id.toInt()] = action;
      QObject::connect(action, &QAction::triggered, this, [this, id = id.toInt()] {
        plat::SendMessage(main_, plat::WM_COMMAND, Command(id, 0), 0);
      });
    }
    // Caption, system menu, minimise and close boxes; a fixed size, so neither resizable nor
    // maximisable.
    frame_->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint);
    frame_->setWindowIcon(ProgramIcon());
    QApplication::setWindowIcon(ProgramIcon());
    QGuiApplication::setDesktopFileName(QStringLiteral("xarvel"));
    frame_->setGeometry(0, 0, kMainWindowWidth, kMainWindowHeight);
    frame_->setFixedSize(kMainWindowWidth, kMainWindowHeight);

    render_timer_.setSingleShot(true);
    QObject::connect(&render_timer_, &QTimer::timeout, this, [this] { Render(); });
    since_render_.start();
    observer_ =
        plat::AddModelObserver([this](plat::Hwnd hwnd, int id) { OnModelChange(hwnd, id); });
    QObject::connect(qApp, &QApplication::focusChanged, this,
                     [this](QWidget*, QWidget* now) { OnFocusChanged(now); });
    for (const auto& [id, action] : actions_) dirty_menu_.insert(id);

    plat::AttachWidget(main_, frame_.get());
    // Iconic until the window manager (or, without one, the server) exposes the window.
    plat::SetIconic(main_, true);
    frame_->showMinimized();
    if (QWindow* window = frame_->windowHandle()) window->installEventFilter(this);
  }

  ~View() override {
    plat::RemoveModelObserver(observer_);
    plat::AttachWidget(main_, nullptr);
  }

  View(const View&) = delete;
  View& operator=(const View&) = delete;

  plat::Hwnd main() const { return main_; }
  QWidget* frame() const { return frame_.get(); }
  QWidget* dialog() const { return dialog_; }
  int renders() const { return renders_; }

  void CreateDialog(plat::Hwnd dlg) {
    if (dialog_ != nullptr) return;
    dlg_ = dlg;
    dialog_ = new QWidget(client_);
    Ui::MainDialog form;
    form.setupUi(dialog_);
    form.programIcon->setPixmap(ProgramIcon().pixmap(48, 48));
    for (QWidget* w : dialog_->findChildren<QWidget*>()) {
      const QVariant v = w->property("ctrlId");
      if (!v.isValid()) continue;
      const int id = v.toInt();
      controls_[id] = w;
      dirty_controls_.insert(id);
      if (auto* list = qobject_cast<QListWidget*>(w)) {
        designed_list_width_[id] = list->minimumWidth();
        QObject::connect(list, &QListWidget::currentRowChanged, this, [this, id](int row) {
          if (rendering_) return;
          plat::ListSelect(dlg_, id, row);
          plat::SendMessage(dlg_, plat::WM_COMMAND, Command(id, kListSelectionChanged), 0);
        });
      } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
        QObject::connect(button, &QAbstractButton::clicked, this, [this, id] {
          plat::SendMessage(dlg_, plat::WM_COMMAND, Command(id, kButtonClicked), 0);
        });
      }
    }
    dialog_->installEventFilter(this);
    PlaceDialog();
    dialog_->show();
    placement_dirty_ = true;
    Schedule();
  }

  void Flush() {
    if (CanBeSeen()) Render();
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Expose && watched == frame_->windowHandle()) {
      plat::SetIconic(main_, !CanBeSeen());
      if (CanBeSeen() && Pending()) Schedule();
    } else if (event->type() == QEvent::Move && watched == dialog_ && !placing_ &&
               dialog_->pos() != QPoint(0, 0)) {
      // The dialog was moved inside the main window: its procedure puts it back.
      const QPoint p = dialog_->pos();
      plat::SendMessage(dlg_, plat::WM_MOVE, 0,
                        static_cast<plat::LParam>(((p.y() & 0xFFFF) << 16) | (p.x() & 0xFFFF)));
    }
    return false;
  }

 private:
  static constexpr int kMaxColumnChars = 96;

  void OnModelChange(plat::Hwnd hwnd, int id) {
    if (id == plat::kPlacement && (hwnd == main_ || (hwnd == dlg_ && dlg_ != plat::kNoWindow))) {
      placement_dirty_ = true;
    } else if (hwnd == main_) {
      dirty_menu_.insert(id);
    } else if (hwnd == dlg_ && dlg_ != plat::kNoWindow) {
      dirty_controls_.insert(id);
    } else {
      return;
    }
    Schedule();
  }

  // The operator moved the focus: the model follows, as the dialog manager's focus would.
  void OnFocusChanged(QWidget* now) {
    if (rendering_ || now == nullptr || dlg_ == plat::kNoWindow) return;
    const QVariant id = now->property("ctrlId");
    if (!id.isValid() || now->window() != frame_.get()) return;
    if (plat::GetFocus(dlg_) != id.toInt()) plat::SetFocus(dlg_, id.toInt());
  }

  bool Pending() const {
    return placement_dirty_ || !dirty_controls_.empty() || !dirty_menu_.empty();
  }

  bool CanBeSeen() const {
    const QWindow* window = frame_->windowHandle();
    return frame_->isVisible() && window != nullptr && window->isExposed();
  }

  // One render per turn of the event loop, and no closer together than kRenderIntervalMs, so a
  // burst of model changes costs one repaint.
  void Schedule() {
    if (render_timer_.isActive()) return;
    const qint64 since = since_render_.elapsed();
    render_timer_.start(since >= kRenderIntervalMs ? 0
                                                   : static_cast<int>(kRenderIntervalMs - since));
  }

  void Render() {
    render_timer_.stop();
    if (!CanBeSeen()) return;  // kept until the window is exposed again
    rendering_ = true;
    std::set<int> menu;
    std::set<int> controls;
    menu.swap(dirty_menu_);
    controls.swap(dirty_controls_);
    for (int id : menu) RenderAction(id);
    for (int id : controls) RenderControl(id);
    if (placement_dirty_) {
      placement_dirty_ = false;
      ApplyPlacement();
    }
    RenderFocus();
    rendering_ = false;
    ++renders_;
    since_render_.restart();
  }

  void RenderAction(int id) {
    auto it = actions_.find(id);
    if (it == actions_.end()) return;
    QAction* action = it->second;
    const std::string text = plat::GetMenuItemText(main_, id);
    if (!text.empty() && action->text() != Text(text)) action->setText(Text(text));
    const bool checked = plat::IsMenuItemChecked(main_, id);
    if (checked) action->setCheckable(true);
    action->setChecked(checked);
    if (!checked) action->setCheckable(false);
    action->setEnabled(!plat::IsMenuItemGrayed(main_, id));
  }

  void RenderControl(int id) {
    auto it = controls_.find(id);
    if (it == controls_.end()) return;
    QWidget* w = it->second;
    const bool enabled = plat::IsWindowEnabled(dlg_, id);
    if (w->isEnabled() != enabled) w->setEnabled(enabled);
    if (auto* list = qobject_cast<QListWidget*>(w)) {
      RenderList(list, id);
      return;
    }
    // A control keeps the form's text until the driver writes one.
    if (!plat::DlgItemTextSet(dlg_, id)) return;
    const QString text = Text(plat::GetDlgItemText(dlg_, id));
    if (auto* label = qobject_cast<QLabel*>(w)) {
      if (label->text() != text) label->setText(text);
    } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
      if (button->text() != text) button->setText(text);
    }
  }

  void RenderList(QListWidget* list, int id) {
    const QSignalBlocker block(list);
    const int count = plat::ListCount(dlg_, id);
    bool same = list->count() == count;
    for (int row = 0; same && row < count; ++row) {
      same = list->item(row)->text() == Text(plat::ListRow(dlg_, id, row));
    }
    if (!same) {
      QStringList rows;
      rows.reserve(count);
      for (int row = 0; row < count; ++row) rows.append(Text(plat::ListRow(dlg_, id, row)));
      list->clear();
      list->addItems(rows);
    }
    const int selected = plat::ListSelected(dlg_, id);
    if (selected < 0) {
      list->setCurrentRow(-1);
      list->clearSelection();
    } else if (list->currentRow() != selected || !list->item(selected)->isSelected()) {
      list->setCurrentRow(selected);
      list->scrollToItem(list->item(selected));
    }
  }

  void RenderFocus() {
    if (dialog_ == nullptr) return;
    auto it = controls_.find(plat::GetFocus(dlg_));
    if (it == controls_.end()) return;
    if (dialog_->focusWidget() != it->second) it->second->setFocus(Qt::OtherFocusReason);
  }

  // List column widths, the dialog at the origin of the client area with its own size, and the
  // main window sized to hold it under the menu bar.
  void ApplyPlacement() {
    if (dialog_ == nullptr) return;
    for (int id : {kSourceList, kDestList}) {
      auto* list = qobject_cast<QListWidget*>(controls_[id]);
      // A profile's name length may be anything; the window must stay on the screen.
      const int chars = std::min(plat::ListColumnWidth(dlg_, id), kMaxColumnChars);
      if (list == nullptr || chars <= 0) continue;
      const int width = list->fontMetrics().averageCharWidth() * chars + 2 * list->frameWidth() +
                        list->verticalScrollBar()->sizeHint().width() + 4;
      list->setMinimumWidth(std::max(width, designed_list_width_[id]));
    }
    PlaceDialog();
    if (plat::FittedDialog(main_) == dlg_) {
      client_->setFixedSize(dialog_->size());
      frame_->setMinimumSize(0, 0);
      frame_->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
      frame_->adjustSize();
      frame_->setFixedSize(frame_->sizeHint());
    }
  }

  // The dialog at the origin of the client area, big enough for every field: value fields keep
  // their width whatever their text, so their size hints do not count, only their minimums.
  void PlaceDialog() {
    placing_ = true;
    dialog_->resize(dialog_->sizeHint().expandedTo(dialog_->minimumSizeHint()));
    dialog_->move(0, 0);
    placing_ = false;
  }

  plat::Hwnd main_;
  plat::Hwnd dlg_ = plat::kNoWindow;
  std::unique_ptr<Frame> frame_;
  QWidget* client_ = nullptr;
  QWidget* dialog_ = nullptr;
  std::map<int, QWidget*> controls_;
  std::map<int, QAction*> actions_;
  std::map<int, int> designed_list_width_;
  std::set<int> dirty_controls_;
  std::set<int> dirty_menu_;
  bool placement_dirty_ = false;
  bool rendering_ = false;
  bool placing_ = false;
  int renders_ = 0;
  int observer_ = 0;
  QTimer render_timer_;
  QElapsedTimer since_render_;
};

std::unique_ptr<View>& TheView() {
  static std::unique_ptr<View> view;
  return view;
}

}  // namespace

bool View_CreateMainWindow(plat::Hwnd main) {
  if (!plat::CanShowWindows() || main == plat::kNoWindow) return false;
  TheView() = std::make_unique<View>(main);
  return true;
}

void View_CreateDialog(plat::Hwnd main, plat::Hwnd dlg) {
  if (TheView() && TheView()->main() == main) TheView()->CreateDialog(dlg);
}

void View_Destroy() {
  TheView().reset();
}

QWidget* View_Frame() {
  return TheView() ? TheView()->frame() : nullptr;
}

QWidget* View_Dialog() {
  return TheView() ? TheView()->dialog() : nullptr;
}

void View_Flush() {
  if (TheView()) TheView()->Flush();
}

int View_Renders() {
  return TheView() ? TheView()->renders() : 0;
}

}  // namespace xarvel
