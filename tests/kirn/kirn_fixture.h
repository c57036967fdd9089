// The fixture of kirn's host and client tests: the site, the bus host and the tools started as
// real processes, and this process as a stand-in driver on the bus (no Qt loop: served with
// Pump) that answers poll and query commands with one revertive each.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "e2e_site.h"
#include "interface/kirnif.h"
#include "interface/messages.h"
#include "platform/bus_client.h"
#include "platform/window.h"
#include "test_support.h"
#include "tools/kirn/common/kirn_messages.h"

namespace kirn_testing {

using plat::Hwnd;
using plat::LParam;
using plat::LResult;
using plat::WParam;
using testing_support::Process;
using testing_support::ReadFile;
using testing_support::Result;
using testing_support::TempDir;
using testing_support::WriteFile;

class KirnTest : public testing_support::SiteTest {
 protected:
  void SetUp() override { WriteSimulationSite(); }

  void TearDown() override {
    if (client_) {
      plat::ResetWindows();
      plat::SetTransport(nullptr);
      client_.reset();
    }
  }

  // --- This process as a driver on the bus (no Qt loop: served with Pump). ---

  void Connect() {
    testing_support::EnsureQtApp();
    std::string error;
    client_ = plat::BusClient::Connect(Bus(), &error);
    ASSERT_TRUE(client_) << error;
    plat::SetTransport(client_.get());
  }

  // A top-level window like a driver's main window; finds the stand-in as the driver does.
  Hwnd DriverWindow() {
    const Hwnd w = plat::CreateWindow(
        [this](Hwnd h, uint32_t msg, WParam wp, LParam lp) { return DriverProc(h, msg, wp, lp); },
        true);
    plat::SendMessage(plat::HWND_BROADCAST, xarvel::ZUT_FINDKAPI, w, 4);
    return w;
  }

  // Answers commands "RP|RQ dev first last param" with one revertive "RR dev d 005" each.
  LResult DriverProc(Hwnd h, uint32_t msg, WParam w, LParam l) {
    switch (msg) {
      case xarvel::ZUT_KAPIHANDLE:
        kapi_ = static_cast<Hwnd>(w);
        return 0;
      case xarvel::ZUT_DATA:
        return xarvel::KirnIf_HandOff(h, w, l);
      case xarvel::ZUT_IDGETTXRXMODE:
        return xarvel::IFMODE_TXRX;
      case xarvel::ZUT_COMMAND: {
        const std::string text = reinterpret_cast<const char*>(l);
        commands_.push_back(text);
        char kind = 0;
        int dev = 0, first = 0, last = 0, param = 0;
        if (std::sscanf(text.c_str(), "R%c %d %d %d %d", &kind, &dev, &first, &last, &param) == 5) {
          for (int d = first; d <= last; ++d) {
            const bool query = kind == 'Q';
            Revertive(query ? xarvel::ZUT_QUERYREPLY : xarvel::ZUT_REVERTIVE,
                      query && d == last ? param | 0x8000 : param, dev, d);
          }
        }
        return 1;
      }
      default:
        return 0;
    }
  }

  // Sends one revertive to the stand-in; returns how long the send took.
  std::chrono::milliseconds Revertive(uint32_t msg, int param, int dev, int dest) {
    char text[64];
    std::snprintf(text, sizeof text, "RR %03d %03d %03d", dev, dest, 5);
    const auto start = Clock::now();
    xarvel::KirnIf_SendData(kapi_, msg, param, text, 1, static_cast<int32_t>(strlen(text) + 1));
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  }

  // Serves the bus until `p` exits; returns its exit code (-1 on timeout).
  int PumpUntilExit(Process& p, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < deadline) {
      client_->Pump(20);
      const int code = p.Wait(0);
      if (code >= 0) return code;
    }
    return -1;
  }

  bool PumpUntilOutput(const Process& p, const std::string& needle, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < deadline) {
      client_->Pump(20);
      if (p.Stdout().find(needle) != std::string::npos) return true;
    }
    return false;
  }

  std::string Name(int dev, int db, int entry) {
    uint8_t record[xarvel::kDbNameRecordSize] = {};
    record[0] = dev & 0xFF;
    record[1] = (dev >> 8) & 0xFF;
    record[2] = db & 0xFF;
    record[4] = entry & 0xFF;
    record[5] = (entry >> 8) & 0xFF;
    xarvel::KirnIf_SendData(kapi_, xarvel::ZUT_GETDBNAME, 0, record, 1, sizeof record);
    EXPECT_EQ(record[xarvel::kDbNameRecordSize - 1], 0) << "the answer is always terminated";
    return reinterpret_cast<const char*>(record);
  }

  std::unique_ptr<plat::BusClient> client_;
  Hwnd kapi_ = 0;
  std::vector<std::string> commands_;
};

}  // namespace kirn_testing
