// A router's tables as the driver answers them for the status page: page by page from any
// destination, each page whole lines within the reader's block, read back as they are.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/remote_panel.h"
#include "interface/kirnif.h"
#include "interface/messages.h"
#include "platform/window.h"
#include "router_setup.h"
#include "tools/kirn/survey/panel_answers.h"

namespace {

class PanelTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    xarvel::ResetProfile();
    window_ = plat::CreateWindow(
        [](plat::Hwnd h, uint32_t msg, plat::WParam w, plat::LParam l) -> plat::LResult {
          if (msg == xarvel::ZUT_DATA) return xarvel::KirnIf_HandOff(h, w, l);
          return xarvel::RemotePanel_Proc(h, msg, w, l);
        },
        false);
  }
  void TearDown() override {
    plat::DestroyWindow(window_);
    xarvel::ResetProfile();
  }

  // Asks for router `device` from destination `first` with a block of `size` bytes.
  int32_t Ask(int device, int first, int size, std::string* text) {
    std::vector<char> block(static_cast<size_t>(size), '\0');
    const int32_t r = xarvel::KirnIf_SendData(window_, xarvel::kPanelTable, device | (first << 16),
                                              block.data(), 1, size);
    *text = std::string(block.data(), strnlen(block.data(), block.size()));
    return r;
  }

  // Reads the whole table page after page; the number of pages, or -1.
  int ReadAll(int device, int size, kirn::RouterTable* table) {
    int next = 1;
    for (int pages = 1; pages <= 200; ++pages) {
      std::string text;
      if (Ask(device, next, size, &text) <= 0) return -1;
      EXPECT_LT(text.size(), static_cast<size_t>(size));
      next = kirn::ParseTablePage(text, table);
      if (next <= 0) return next == 0 ? pages : -1;
    }
    return -1;
  }

  plat::Hwnd window_ = plat::kNoWindow;
};

TEST_F(PanelTableTest, AFullRouterAtItsWidestReadsBackWholeInPagesOfAnySize) {
  xarvel::RouterConfig& r = testing_support::DefineRouter(2, 303, 65535, 4096);
  xarvel::Profile().settings.ParkName = "PARK\tX";
  for (int d = 1; d <= 4096; ++d) {
    xarvel::SetTally(303, d, d % 3 == 0 ? 65535 : d * 15);
    r.LockMemory[static_cast<size_t>(d - 1)] = static_cast<uint8_t>(d % 2 == 0 ? 255 : 0);
    xarvel::SetMC1000Lock(2, d, d % 5 == 0 ? 255 : 0);
  }
  for (const int size : {xarvel::kPanelTableBlockSize, 4096, 600}) {
    kirn::RouterTable t;
    const int pages = ReadAll(303, size, &t);
    ASSERT_GT(pages, 0) << size;
    if (size == xarvel::kPanelTableBlockSize) {
      EXPECT_EQ(pages, 2) << "19 bytes a line at most";
    }
    EXPECT_EQ(t.router, 303);
    EXPECT_EQ(t.letter, 'C');
    EXPECT_EQ(t.destinations, 4096);
    EXPECT_EQ(t.park_name, "PARK X");
    ASSERT_EQ(t.source.size(), 4096u);
    for (int d = 1; d <= 4096; ++d) {
      const auto i = static_cast<size_t>(d - 1);
      ASSERT_EQ(t.source[i], d % 3 == 0 ? 65535 : d * 15) << d;
      ASSERT_EQ(t.lock[i], d % 2 == 0 ? 255 : 0) << d;
      ASSERT_EQ(t.mc1000_lock[i], d % 5 == 0 ? 255 : 0) << d;
    }
  }
}

TEST_F(PanelTableTest, UnknownRoutersAndBlocksTooSmallGetNoAnswer) {
  testing_support::DefineRouter(0, 101, 8, 4);
  std::string text;
  EXPECT_EQ(Ask(102, 1, 4096, &text), 0);
  EXPECT_EQ(Ask(0, 1, 4096, &text), 0) << "device 0 is no router";
  EXPECT_EQ(Ask(101, 1, 100, &text), 0) << "not even the head fits";
  // Past the last destination: the head alone, and nothing more to ask for.
  ASSERT_GT(Ask(101, 9, 4096, &text), 0);
  kirn::RouterTable t;
  EXPECT_EQ(kirn::ParseTablePage(text, &t), 0);
  // A page cut short is not taken.
  ASSERT_GT(Ask(101, 1, 4096, &text), 0);
  EXPECT_EQ(kirn::ParseTablePage(text.substr(0, text.size() - 4), &t), -1);
}

}  // namespace
