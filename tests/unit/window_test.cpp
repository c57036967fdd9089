// The message layer: synchronous and nested sends, posts from other threads, timers, the quit
// message and data messages.
#include "platform/window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/dialog.h"
#include "test_support.h"

namespace {

using plat::Hwnd;
using plat::LParam;
using plat::LResult;
using plat::WParam;

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::EnsureQtApp();
    plat::ResetWindows();
  }
  void TearDown() override { plat::ResetWindows(); }
};

TEST_F(WindowTest, SendIsSynchronousAndMayReenter) {
  std::vector<std::string> trace;
  Hwnd b = 0;
  Hwnd a = plat::CreateWindow(
      [&](Hwnd, uint32_t msg, WParam w, LParam) -> LResult {
        trace.push_back("a" + std::to_string(msg));
        if (msg == 100) return plat::SendMessage(b, 200, w + 1, 0) + 1;  // asks b, which asks back
        if (msg == 300) return 1000;
        return 0;
      },
      true);
  b = plat::CreateWindow(
      [&](Hwnd, uint32_t msg, WParam w, LParam) -> LResult {
        trace.push_back("b" + std::to_string(msg));
        EXPECT_EQ(plat::CurrentWindow(), b);
        return plat::SendMessage(a, 300, 0, 0) + w;  // nested answer while a is still running
      },
      true);
  ASSERT_NE(a, 0);
  ASSERT_NE(b, 0);
  ASSERT_NE(a, b);
  EXPECT_EQ(plat::SendMessage(a, 100, 5, 0), 1007);
  EXPECT_EQ(trace, (std::vector<std::string>{"a100", "b200", "a300"}));
  EXPECT_EQ(plat::CurrentWindow(), 0);
}

TEST_F(WindowTest, MissingTargetsAnswerZero) {
  EXPECT_EQ(plat::SendMessage(0, 1, 2, 3), 0);
  Hwnd a = plat::CreateWindow([](Hwnd, uint32_t, WParam, LParam) -> LResult { return 9; }, true);
  EXPECT_EQ(plat::SendMessage(a, 1, 0, 0), 9);
  EXPECT_TRUE(plat::DestroyWindow(a));
  EXPECT_FALSE(plat::DestroyWindow(a));
  EXPECT_EQ(plat::SendMessage(a, 1, 0, 0), 0);
}

TEST_F(WindowTest, WindowMayDestroyItselfWhileHandlingAMessage) {
  Hwnd self = 0;
  int destroyed = 0;
  self = plat::CreateWindow(
      [&](Hwnd h, uint32_t msg, WParam, LParam) -> LResult {
        if (msg == plat::WM_DESTROY) ++destroyed;
        if (msg == 1) plat::DestroyWindow(h);
        return 5;
      },
      true);
  EXPECT_EQ(plat::SendMessage(self, 1, 0, 0), 5);
  EXPECT_EQ(destroyed, 1);
  EXPECT_FALSE(plat::IsLocalWindow(self));
}

TEST_F(WindowTest, BroadcastReachesTopLevelWindowsOnly) {
  int top = 0, child = 0;
  plat::CreateWindow([&](Hwnd, uint32_t, WParam, LParam) -> LResult { return ++top; }, true);
  plat::CreateWindow([&](Hwnd, uint32_t, WParam, LParam) -> LResult { return ++top; }, true);
  plat::CreateWindow([&](Hwnd, uint32_t, WParam, LParam) -> LResult { return ++child; }, false);
  plat::SendMessage(plat::HWND_BROADCAST, 42, 0, 0);
  EXPECT_EQ(top, 2);
  EXPECT_EQ(child, 0);
}

TEST_F(WindowTest, PostsFromOtherThreadsArriveInOrderOnTheMainThread) {
  std::vector<WParam> got;
  const auto main_thread = std::this_thread::get_id();
  Hwnd a = plat::CreateWindow(
      [&](Hwnd, uint32_t msg, WParam w, LParam) -> LResult {
        if (msg == plat::WM_COMMNOTIFY) {
          EXPECT_EQ(std::this_thread::get_id(), main_thread);
          got.push_back(w);
        }
        return 0;
      },
      true);
  std::thread poster([a] {
    for (int i = 0; i < 100; ++i) plat::PostMessage(a, plat::WM_COMMNOTIFY, i, 0);
  });
  poster.join();
  EXPECT_TRUE(got.empty()) << "posted messages wait for the loop";
  ASSERT_TRUE(testing_support::SpinUntil([&] { return got.size() == 100; }, 5000));
  for (int i = 0; i < 100; ++i) EXPECT_EQ(got[static_cast<size_t>(i)], i);
}

TEST_F(WindowTest, PostToAWindowDestroyedMeanwhileIsDropped) {
  int calls = 0;
  Hwnd a =
      plat::CreateWindow([&](Hwnd, uint32_t, WParam, LParam) -> LResult { return ++calls; }, true);
  plat::PostMessage(a, 7, 0, 0);
  plat::DestroyWindow(a);
  testing_support::SpinUntil([] { return false; }, 50);
  EXPECT_EQ(calls, 1);  // only WM_DESTROY
}

TEST_F(WindowTest, TimersFireByIdAndStopWhenKilledFromTheirOwnHandler) {
  std::vector<WParam> fired;
  Hwnd a = 0;
  a = plat::CreateWindow(
      [&](Hwnd h, uint32_t msg, WParam w, LParam) -> LResult {
        if (msg != plat::WM_TIMER) return 0;
        fired.push_back(w);
        if (w == 4) plat::KillTimer(h, 4);  // a one-shot, like the lock-change window
        return 0;
      },
      false);
  ASSERT_TRUE(plat::SetTimer(a, 4, 5));
  ASSERT_TRUE(plat::SetTimer(a, 2, 5));
  EXPECT_EQ(plat::TimerPeriod(a, 2), 5u);
  ASSERT_TRUE(testing_support::SpinUntil(
      [&] { return std::count(fired.begin(), fired.end(), 2) >= 3; }, 5000));
  EXPECT_EQ(std::count(fired.begin(), fired.end(), 4), 1);
  EXPECT_EQ(plat::TimerPeriod(a, 4), 0u);
  EXPECT_TRUE(plat::KillTimer(a, 2));
  EXPECT_FALSE(plat::KillTimer(a, 2));
  const size_t count = fired.size();
  testing_support::SpinUntil([] { return false; }, 40);
  EXPECT_EQ(fired.size(), count);
  EXPECT_FALSE(plat::SetTimer(0, 1, 5)) << "a timer needs a window";
}

TEST_F(WindowTest, QuitPostedBeforeTheLoopEndsItAtOnce) {
  plat::PostQuitMessage(3);
  EXPECT_TRUE(plat::QuitPosted());
  EXPECT_EQ(plat::RunMessageLoop(), 3);
}

TEST_F(WindowTest, QuitPostedFromAMessageEndsTheRunningLoop) {
  Hwnd a = plat::CreateWindow(
      [](Hwnd, uint32_t msg, WParam, LParam) -> LResult {
        if (msg == 9) plat::PostQuitMessage(0);
        return 0;
      },
      true);
  plat::PostMessage(a, 9, 0, 0);
  EXPECT_EQ(plat::RunMessageLoop(), 0);
}

TEST_F(WindowTest, DataMessagesAreHandedOffAndAnsweredInPlace) {
  Hwnd a = 0;
  std::string seen;
  a = plat::CreateWindow(
      [&](Hwnd h, uint32_t msg, WParam w, LParam l) -> LResult {
        if (msg == plat::kDataMessage) return plat::HandOffDataMessage(h, w, l);
        if (msg == 2164) {
          auto* block = reinterpret_cast<char*>(l);
          seen = block;
          EXPECT_EQ(plat::HandedOffBlockSize(), 14u) << "the receiver learns the block's size";
          std::strcpy(block, "CAM 5");
          return static_cast<LResult>(w) + 1;
        }
        return 0;
      },
      true);
  std::string text = "RR 101 001 002";
  std::vector<uint8_t> block(text.begin(), text.end());  // no terminator of its own
  EXPECT_EQ(plat::DeliverDataMessage(a, 2164, 41, block), 42);
  EXPECT_EQ(seen, text) << "the receiver sees a terminated text";
  EXPECT_EQ(block.size(), text.size());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block.data()), 5), "CAM 5");
  EXPECT_EQ(plat::HandOffDataMessage(a, 12345, 0), 0) << "an unknown token is refused";
  EXPECT_EQ(plat::HandedOffBlockSize(), 0u);
}

// Only a handed-off block, or a message of this process, may be read through lParam: a plain
// message from another process carries a number, also when it arrives during a hand-off.
TEST_F(WindowTest, LParamIsAPointerOnlyForLocalMessagesAndHandedOffBlocks) {
  struct Seen {
    bool handed_off;
    bool pointer;
  };
  std::vector<Seen> seen;
  Hwnd self = 0;
  const Hwnd a = plat::CreateWindow(
      [&](Hwnd h, uint32_t msg, WParam w, LParam l) -> LResult {
        if (msg == plat::kDataMessage) return plat::HandOffDataMessage(h, w, l);
        seen.push_back({plat::IsHandedOffBlock(l), plat::PointerParamValid(l)});
        // While the block is handed off, a peer's plain message arrives with a number.
        if (msg == 500) plat::DeliverPeerMessage(self, 501, 0, 0x1234, 0x4444);
        return 0;
      },
      true);
  self = a;
  std::vector<uint8_t> block = {'x'};
  plat::DeliverDataMessage(a, 500, 0, block);
  const char text[] = "local";
  plat::SendMessage(a, 502, 0, reinterpret_cast<LParam>(text));
  plat::DeliverPeerMessage(a, 503, 0, reinterpret_cast<LParam>(text), 0x4444);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_TRUE(seen[0].handed_off && seen[0].pointer) << "the handed-off block";
  EXPECT_FALSE(seen[1].handed_off || seen[1].pointer) << "a peer's number during the hand-off";
  EXPECT_TRUE(!seen[2].handed_off && seen[2].pointer) << "a message of this process";
  EXPECT_FALSE(seen[3].handed_off || seen[3].pointer) << "a peer's plain message";
}

TEST(DialogModelTest, ControlsListsAndMenusKeepTheirState) {
  plat::ResetDialogModels();
  const Hwnd dlg = 77;
  std::vector<int> changed;
  const int key = plat::AddModelObserver([&](Hwnd h, int id) {
    if (h == dlg) changed.push_back(id);
  });
  plat::SetDlgItemText(dlg, 1009, "hello");
  EXPECT_EQ(plat::GetDlgItemText(dlg, 1009), "hello");
  EXPECT_EQ(plat::GetDlgItemText(dlg, 1010), "");
  EXPECT_TRUE(plat::IsWindowEnabled(dlg, 1012));
  plat::EnableWindow(dlg, 1012, false);
  EXPECT_FALSE(plat::IsWindowEnabled(dlg, 1012));

  EXPECT_EQ(plat::ListAddRow(dlg, 1001, "one"), 0);
  EXPECT_EQ(plat::ListAddRow(dlg, 1001, "two"), 1);
  EXPECT_EQ(plat::ListSelect(dlg, 1001, 1), 1);
  EXPECT_EQ(plat::ListRow(dlg, 1001, 1), "two");
  EXPECT_EQ(plat::ListSelect(dlg, 1001, 5), -1) << "a row outside the list clears the selection";
  EXPECT_EQ(plat::ListRow(dlg, 1001, -1), "");
  plat::ListReset(dlg, 1001);
  EXPECT_EQ(plat::ListCount(dlg, 1001), 0);
  EXPECT_EQ(plat::ListSelected(dlg, 1001), -1);

  plat::SetFocus(dlg, 1002);
  EXPECT_EQ(plat::GetFocus(dlg), 1002);

  plat::SetMenuItem(dlg, 40044, "&Poll");
  plat::CheckMenuItem(dlg, 40044, true);
  plat::EnableMenuItem(dlg, 40048, false);
  EXPECT_TRUE(plat::IsMenuItemChecked(dlg, 40044));
  EXPECT_TRUE(plat::IsMenuItemGrayed(dlg, 40048));
  EXPECT_FALSE(plat::IsMenuItemGrayed(dlg, 40044));
  EXPECT_EQ(plat::MenuItemIds(dlg), (std::vector<int>{40044, 40048}));
  EXPECT_FALSE(changed.empty());
  plat::RemoveModelObserver(key);
  plat::ResetDialogModels();
}

}  // namespace
