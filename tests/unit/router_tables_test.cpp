#include "state/router_tables.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/location.h"
#include "config/profile.h"
#include "driver_fixture.h"
#include "interface/kapisup.h"
#include "interface/messages.h"
#include "platform/window.h"
#include "test_support.h"
#include "tracing/debug.h"

namespace {

using testing_support::DebugCapture;
using testing_support::WriteFile;
using xarvel::Profile;

using testing_support::ResetAll;

// Router device profiles live in a temporary Windows directory; the driver profile's router
// records are set directly.
class RouterTablesTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetAll(); }
  void TearDown() override { ResetAll(); }

  void WriteDeviceProfile(int id, const std::string& sources, const std::string& dests) {
    char name[32];
    std::snprintf(name, sizeof name, "DEV_%03d.INI", id);
    WriteFile(dir_.path() / name,
              "[Database]\nDatabaseSize_0=" + sources + "\nDatabaseSize_1=" + dests + "\n");
  }

  static xarvel::RouterConfig& DefineRouter(int index, int id, int min_dest, int max_dest) {
    xarvel::RouterConfig& r = Profile().routers[static_cast<size_t>(index)];
    r.DeviceId = id;
    r.Min_Dest = min_dest;
    r.Max_Dest = max_dest;
    return r;
  }

  // Router A, device 10, 500 sources and 8 destinations, poll range 1..8.
  xarvel::RouterConfig& StandardRouter() {
    WriteDeviceProfile(10, "500", "8");
    xarvel::RouterConfig& r = DefineRouter(0, 10, 1, 8);
    xarvel::MemoryInit();
    return r;
  }

  testing_support::ConfigDir dir_;
  DebugCapture debug_;
};

TEST_F(RouterTablesTest, MemoryInitTakesMaxPollFromDestCountWhenZero) {
  WriteDeviceProfile(10, "16", "8");
  xarvel::RouterConfig& r = DefineRouter(0, 10, 0, 0);
  EXPECT_EQ(xarvel::MemoryInit(), 1);

  EXPECT_EQ(r.SourceCount, 16);
  EXPECT_EQ(r.DestCount, 8);
  EXPECT_EQ(r.Min_Dest, 1);
  EXPECT_EQ(r.Max_Dest, 8);
  EXPECT_TRUE(
      debug_.Contains("Memory Init - rtr 10 DISCREP in MAX POLLS was 0 now set to DESTS 8"));
  EXPECT_TRUE(debug_.Contains("Memory Init - htallymemory OK for index 0 rtr 10 "));
  // Corrected by the first rule, so no discrepancy is left to report.
  EXPECT_EQ(Profile().StatusMessageFlag, 0);
  EXPECT_EQ(Profile().StatusMessage, "");

  // All three tables exist and start at zero.
  EXPECT_EQ(xarvel::GetTally(10, 8), 0);
  EXPECT_EQ(xarvel::GetLock(10, 8), 0);
  EXPECT_EQ(xarvel::GetMC1000Lock(0, 8), 0);
  EXPECT_EQ(xarvel::GetTally(10, 9), -1);
}

TEST_F(RouterTablesTest, MemoryInitReportsMaxPollAboveDestCount) {
  WriteDeviceProfile(10, "16", "8");
  xarvel::RouterConfig& r = DefineRouter(0, 10, 3, 10);
  xarvel::MemoryInit();

  const std::string text =
      "Discrepancy : for rtr=10 > ini file has Max Poll=10, yet Dev_ini DatabaseSize_1=8";
  EXPECT_EQ(Profile().StatusMessage, text);
  EXPECT_EQ(Profile().StatusMessageFlag, 1);
  EXPECT_TRUE(debug_.Contains(text));
  EXPECT_FALSE(debug_.Contains("DISCREP"));
  EXPECT_EQ(r.Max_Dest, 8);
  EXPECT_EQ(r.Min_Dest, 3);
}

TEST_F(RouterTablesTest, RouterWithoutUsableDeviceProfileKeepsNoTables) {
  // Router A has no device profile at all; router B's has no destinations.
  xarvel::RouterConfig& a = DefineRouter(0, 20, 1, 5);
  WriteDeviceProfile(21, "16", "0");
  xarvel::RouterConfig& b = DefineRouter(1, 21, 1, 5);
  xarvel::MemoryInit();

  for (int id : {20, 21}) {
    SCOPED_TRACE(id);
    const int index = xarvel::FindRouter(id);
    xarvel::SetTally(id, 1, 1);
    xarvel::SetLock(id, 1, 1);
    xarvel::SetMC1000Lock(index, 1, 1);
    EXPECT_EQ(xarvel::GetTally(id, 1), -1);
    EXPECT_EQ(xarvel::GetLock(id, 1), 0);
    EXPECT_EQ(xarvel::GetMC1000Lock(index, 1), -1);
    EXPECT_FALSE(xarvel::IsValidDest(index, 1));
  }
  EXPECT_TRUE(a.TallyMemory.empty());
  EXPECT_TRUE(b.TallyMemory.empty());
  EXPECT_TRUE(b.LockMemory.empty());
  // The poll range is left as the driver profile gave it.
  EXPECT_EQ(a.Max_Dest, 5);
  EXPECT_EQ(Profile().StatusMessageFlag, 0);

  // A device id of 0 finds an unused record, which has no tables either.
  EXPECT_EQ(xarvel::GetTally(0, 1), -1);
}

TEST_F(RouterTablesTest, CountsBeyondTableCapacityNeverReachPastTheTables) {
  WriteDeviceProfile(10, "70000", "5000");
  DefineRouter(0, 10, 1, 5000);
  xarvel::MemoryInit();

  EXPECT_TRUE(xarvel::IsValidDest(0, xarvel::kTableDests));
  EXPECT_FALSE(xarvel::IsValidDest(0, xarvel::kTableDests + 1));
  EXPECT_EQ(Profile().routers[0].Max_Dest, xarvel::kTableDests);

  xarvel::SetTally(10, xarvel::kTableDests, 65535);
  EXPECT_EQ(xarvel::GetTally(10, xarvel::kTableDests), 65535);
  // A source that a 16-bit entry cannot hold is refused, not stored truncated.
  xarvel::SetTally(10, 1, 65536 + 7);
  EXPECT_EQ(xarvel::GetTally(10, 1), 0);

  const int past = xarvel::kTableDests + 1;
  xarvel::SetTally(10, past, 1);
  xarvel::SetLock(10, past, 1);
  xarvel::SetMC1000Lock(0, past, 1);
  EXPECT_EQ(xarvel::GetTally(10, past), -1);
  EXPECT_EQ(xarvel::GetLock(10, past), 0);
  EXPECT_EQ(xarvel::GetMC1000Lock(0, past), -1);
}

TEST_F(RouterTablesTest, DuplicateDeviceIdsUseTheFirstRouter) {
  WriteDeviceProfile(10, "16", "8");
  xarvel::RouterConfig& a = DefineRouter(0, 10, 1, 8);
  xarvel::RouterConfig& c = DefineRouter(2, 10, 1, 8);
  xarvel::MemoryInit();

  EXPECT_EQ(xarvel::FindRouter(10), 0);
  xarvel::SetTally(10, 2, 5);
  xarvel::SetLock(10, 2, 1);
  EXPECT_EQ(a.TallyMemory[3], 5);
  EXPECT_EQ(a.LockMemory[1], 1);
  EXPECT_EQ(c.TallyMemory[3], 0);
  EXPECT_EQ(c.LockMemory[1], 0);
  EXPECT_EQ(xarvel::GetTally(10, 2), 5);
}

TEST_F(RouterTablesTest, SetTallyStoresHighByteFirstAndRefusesOutOfRange) {
  xarvel::RouterConfig& r = StandardRouter();
  debug_.Clear();

  xarvel::SetTally(10, 3, 300);
  EXPECT_EQ(r.TallyMemory[4], 1);
  EXPECT_EQ(r.TallyMemory[5], 44);
  EXPECT_EQ(xarvel::GetTally(10, 3), 300);
  EXPECT_TRUE(
      debug_.Contains("Setting Memory Table Entry 0, Dest 3, Srce 300  || memory vals 1 44"));

  xarvel::SetTally(10, 2, 7);
  xarvel::SetTally(10, 2, 0);
  EXPECT_EQ(xarvel::GetTally(10, 2), 0);

  // Refusals change nothing and leave no trace.
  xarvel::SetTally(10, 2, 500);
  debug_.Clear();
  xarvel::SetTally(10, 2, -1);
  xarvel::SetTally(10, 2, 501);
  xarvel::SetTally(10, 0, 1);
  xarvel::SetTally(10, 9, 1);
  xarvel::SetTally(99, 2, 1);
  EXPECT_TRUE(debug_.calls().empty());
  EXPECT_EQ(xarvel::GetTally(10, 2), 500);
}

TEST_F(RouterTablesTest, ValidRangesIncludeSourceZero) {
  StandardRouter();
  EXPECT_TRUE(xarvel::IsValidSource(0, 0));
  EXPECT_TRUE(xarvel::IsValidSource(0, 500));
  EXPECT_FALSE(xarvel::IsValidSource(0, 501));
  EXPECT_FALSE(xarvel::IsValidSource(0, -1));
  EXPECT_FALSE(xarvel::IsValidSource(26, 0));
  EXPECT_FALSE(xarvel::IsValidDest(0, 0));
  EXPECT_TRUE(xarvel::IsValidDest(0, 8));
  EXPECT_FALSE(xarvel::IsValidDest(-1, 1));
}

TEST_F(RouterTablesTest, LockFlagsAreStoredAsZeroOrOne) {
  xarvel::RouterConfig& r = StandardRouter();
  xarvel::SetLock(10, 4, 7);
  EXPECT_EQ(r.LockMemory[3], 1);
  EXPECT_EQ(xarvel::GetLock(10, 4), 1);
  xarvel::SetLock(10, 4, 0);
  EXPECT_EQ(xarvel::GetLock(10, 4), 0);
  // Values other than 1 can come from the lock file; they read back as they are.
  r.LockMemory[4] = 5;
  EXPECT_EQ(xarvel::GetLock(10, 5), 5);
}

TEST_F(RouterTablesTest, ControllerLockKeepsLowByteAndChecksTheIndex) {
  StandardRouter();
  xarvel::SetMC1000Lock(0, 1, 5);
  xarvel::SetMC1000Lock(0, 1, 256);
  EXPECT_EQ(xarvel::GetMC1000Lock(0, 1), 0);
  xarvel::SetMC1000Lock(0, 1, 0x1FF);
  EXPECT_EQ(xarvel::GetMC1000Lock(0, 1), 255);
  xarvel::SetMC1000Lock(26, 1, 1);
  xarvel::SetMC1000Lock(-1, 1, 1);
  EXPECT_EQ(xarvel::GetMC1000Lock(26, 1), -1);
  EXPECT_EQ(xarvel::GetMC1000Lock(-1, 1), -1);
  EXPECT_EQ(xarvel::GetMC1000Lock(1, 1), -1);
}

// A stand-in for the interface process: keeps the name-lookup record it gets and writes its
// answer into the record in place.
struct NameServer {
  std::array<uint8_t, xarvel::kDbNameRecordSize> request{};
  std::string answer;
  bool fill_record = false;  // writes 18 non-zero bytes instead of a terminated name

  plat::Hwnd Create() {
    return plat::CreateWindow(
        [this](plat::Hwnd self, uint32_t msg, plat::WParam w, plat::LParam l) -> plat::LResult {
          if (msg == xarvel::ZUT_DATA) return plat::HandOffDataMessage(self, w, l);
          if (msg != xarvel::ZUT_GETDBNAME) return 0;
          auto* record = reinterpret_cast<uint8_t*>(l);
          std::memcpy(request.data(), record, request.size());
          if (fill_record) {
            std::memset(record, 'N', xarvel::kDbNameRecordSize);
          } else {
            std::memcpy(record, answer.c_str(), answer.size() + 1);
          }
          return 0;
        },
        true);
  }
};

TEST_F(RouterTablesTest, DatabaseNameComesFromTheInterfaceRecord) {
  testing_support::EnsureQtApp();
  NameServer server;
  xarvel::Kapi().KapiWindow = server.Create();
  server.answer = "CAM 3";

  EXPECT_EQ(xarvel::GetDatabaseName(300, 1, 258), "CAM 3");
  const std::array<uint8_t, xarvel::kDbNameRecordSize> expected{0x2C, 0x01, 1, 0, 0x02, 0x01};
  EXPECT_EQ(server.request, expected);

  // A peer that fills the whole record gives at most 17 characters, never more.
  server.fill_record = true;
  EXPECT_EQ(xarvel::GetDatabaseName(10, 0, 1), std::string(17, 'N'));
}

TEST_F(RouterTablesTest, DatabaseNameIsEmptyWithoutInterface) {
  // Device 65 would otherwise come back as the name "A", its own id's low byte.
  EXPECT_EQ(xarvel::GetDatabaseName(65, 0, 1), "");
}

}  // namespace
