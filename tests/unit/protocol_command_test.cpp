// The control system's command texts: route, lock, poll, query and name change.
#include <string>
#include <vector>

#include "ids/window_ids.h"
#include "protocol/command_counters.h"
#include "protocol_fixture.h"

namespace {

using Strings = std::vector<std::string>;
using xarvel::Commands;
using xarvel::GetLock;
using xarvel::GetTally;
using xarvel::ParseCommand;
using xarvel::Profile;
using xarvel::Tables;

// Router index 0 is device 101 with 32 sources and 64 destinations; source to destination
// reading, TX/RX, not in simulation.
class CommandTest : public protocol_test::ProtocolTest {
 protected:
  void SetUp() override {
    ProtocolTest::SetUp();
    Define(0, 101, 32, 64);
    Profile().settings.SourceToDest = 1;
    Profile().settings.ParkSource = 7;
  }
};

TEST_F(CommandTest, RouteSendsTheConnectAndAnswersOnlyKnownRoutes) {
  ParseCommand("RC 101 5 12 ',---' 0");
  EXPECT_EQ(Sent(), (Strings{".SA12,5\r"}));
  EXPECT_TRUE(revertives_.empty());
  // Already routed: the revertive goes out at once.
  xarvel::SetTally(101, 12, 5);
  ParseCommand("RC 101 5 12 ',---' 0");
  EXPECT_EQ(Texts(), (Strings{"RR 101 012 005"}));
  // Source 0 is the park source; only three fields mean access number 0.
  ParseCommand("RC 101 0 13");
  EXPECT_EQ(Sent().back(), ".SA13,7\r");
  EXPECT_EQ(Commands().fields.Value(2), 7);
  EXPECT_EQ(Tables().TablesChanged, 0);
}

TEST_F(CommandTest, RouteIsRefusedSilently) {
  Profile().Access[3] = 0;
  ParseCommand("RL 101 12 12 1 0");
  ParseCommand("RC 101 5 12 ',---' 0");  // locked destination
  ParseCommand("RC 101 5 13 x 3");       // no access
  ParseCommand("RC 101 5 13 x -1");      // access numbers outside the table have no access
  ParseCommand("RC 101 5 13 x 1001");
  ParseCommand("RC 101 5 13 x 99999999999");
  ParseCommand("RC 102 5 13 x 0");   // unknown device
  ParseCommand("RC 101 33 13 x 0");  // source out of range
  ParseCommand("RC 101 5 65 x 0");   // destination out of range
  ParseCommand("rc 101 5 13 x 0");
  ParseCommand("XC 101 5 13 x 0");
  ParseCommand("R");
  ParseCommand("");
  EXPECT_TRUE(Sent().empty());
  EXPECT_TRUE(revertives_.empty());

  // Device id 0 is what every undefined router position holds: no router, whatever the numbers.
  const auto& refused = xarvel::CommandCount().Refused[xarvel::kNoRouterSlot];
  const uint64_t unknown = refused[xarvel::kRefusedUnknownRouter];
  ParseCommand("RC 0 0 0 x 0");
  ParseCommand("RC 0 5 13 x 0");
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(refused[xarvel::kRefusedUnknownRouter], unknown + 2);

  xarvel::Kapi().DriverMode = xarvel::IFMODE_RXONLY;
  ParseCommand("RC 101 5 13 x 0");
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(Field(xarvel::IDC_MODE), "Rx Only");
}

TEST_F(CommandTest, RouteReadings) {
  Profile().settings.SourceToDest = 0;
  Profile().settings.DestToSource = 1;
  ParseCommand("RC 101 12 5 ',---' 0");
  EXPECT_EQ(Sent(), (Strings{".SA12,5\r"}));

  // Both readings: each is carried out in turn.
  Profile().settings.SourceToDest = 1;
  testing_support::SentCommands().clear();
  ParseCommand("RC 101 3 4 x 0");
  EXPECT_EQ(Sent(), (Strings{".SA4,3\r", ".SA3,4\r"}));

  // Source 0 with both readings: the park source stands in for the source only, and is never
  // taken as a destination.
  testing_support::SentCommands().clear();
  ParseCommand("RC 101 0 12 x 0");
  EXPECT_EQ(Sent(), (Strings{".SA12,7\r"}));
}

TEST_F(CommandTest, SimulatedRouteStoresAndAnswersItself) {
  Profile().settings.Simulation = 1;
  ParseCommand("RC 101 5 12 ',---' 0");
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(GetTally(101, 12), 5);
  EXPECT_EQ(Texts(), (Strings{"RR 101 012 005"}));
  EXPECT_EQ(Tables().TablesChanged, 1);
}

TEST_F(CommandTest, LockRangesAndTheLockLog) {
  EXPECT_TRUE(xarvel::Cmd_RouterLock("RL 101 1 64 1 0"));
  for (int d = 1; d <= 64; ++d) EXPECT_EQ(GetLock(101, d), 1) << d;
  EXPECT_EQ(Tables().TablesChanged, 1);
  EXPECT_TRUE(debug_.Contains(" - RL 101 1 64 1 0 "));

  Tables().TablesChanged = 0;
  EXPECT_FALSE(xarvel::Cmd_RouterLock("RL 101 70 70 0 0"));
  EXPECT_FALSE(xarvel::Cmd_RouterLock("RL 101 1 1 0 5000"));
  EXPECT_EQ(GetLock(101, 1), 1);
  EXPECT_EQ(Tables().TablesChanged, 0);
  EXPECT_TRUE(debug_.Contains(" - RL 101 70 70 0 0 "));
  // A reversed range is accepted and locks nothing.
  EXPECT_TRUE(xarvel::Cmd_RouterLock("RL 101 9 8 0 0"));
  EXPECT_EQ(GetLock(101, 8), 1);
  EXPECT_TRUE(Sent().empty());
  EXPECT_TRUE(revertives_.empty());
}

TEST_F(CommandTest, PollAndQuerySendRevertivesInTxRxOnly) {
  Profile().Access[5] = 1;
  xarvel::SetTally(101, 2, 9);
  ParseCommand("RQ 101 1 3 5");
  ASSERT_EQ(revertives_.size(), 3u);
  EXPECT_EQ(Texts(), (Strings{"RR 101 001 000", "RR 101 002 009", "RR 101 003 000"}));
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(revertives_[i].msg, xarvel::ZUT_QUERYREPLY);
    EXPECT_EQ(revertives_[i].param, i == 2 ? 0x8005 : 5);
  }
  ParseCommand("RP 101 2 2 0");
  EXPECT_EQ(revertives_.back().msg, xarvel::ZUT_REVERTIVE);
  EXPECT_EQ(revertives_.size(), 4u);

  ParseCommand("RP 101 0 2 0");
  ParseCommand("RP 101 1 65 0");
  ParseCommand("RQ 101 1 3 6");
  xarvel::Kapi().DriverMode = xarvel::IFMODE_RXONLY;
  ParseCommand("RQ 101 1 3 5");
  EXPECT_EQ(revertives_.size(), 4u);
}

TEST_F(CommandTest, NameChangeWritesThePaddedNameAndResendsItsRoutes) {
  Profile().settings.UpdateMC1000DatabaseNames = 1;
  Profile().settings.UpdateSourceDatabase = 0;
  Profile().settings.UpdateDestDatabase = 1;
  Profile().settings.NameLength = 8;
  xarvel::SetTally(101, 3, 4);
  xarvel::SetTally(101, 40, 4);
  xarvel::SetTally(101, 41, 5);
  ParseCommand("RM 101 0 4 'CAM 1' 2");
  EXPECT_EQ(Sent(), (Strings{".WS4,CAM 1    \r"}));
  EXPECT_EQ(Texts(), (Strings{"RR 101 003 004", "RR 101 040 004"}));
  EXPECT_EQ(Commands().rm.Name, "CAM 1");
  EXPECT_EQ(Commands().rm.EntryIndex, 4);

  // Long names, destination database, revertive mode 1 (every destination).
  Profile().settings.NameLength = 12;
  testing_support::SentCommands().clear();
  revertives_.clear();
  ParseCommand("RM 101 1 9 'A much longer name' 1");
  EXPECT_EQ(Sent(), (Strings{".WE9,A much lon \r"}));
  EXPECT_EQ(revertives_.size(), 64u);

  // Name update off: nothing goes to the controller, the revertives still follow.
  Profile().settings.UpdateMC1000DatabaseNames = 0;
  testing_support::SentCommands().clear();
  revertives_.clear();
  ParseCommand("RM 101 0 5 CAM5 2");
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(Texts(), (Strings{"RR 101 041 005"}));
}

TEST_F(CommandTest, DatabaseChangeFromTheControlSystemOnlyRefreshesTheLists) {
  Profile().settings.UpdateMC1000DatabaseNames = 1;
  Commands().rm.RevertiveMode = 1;
  Commands().rm.Name = "OLD";
  Profile().CurrentRouter = 0;
  xarvel::DatabaseChange(101, 0x10000 | 3, 0, -1);
  EXPECT_TRUE(Sent().empty());
  EXPECT_TRUE(revertives_.empty());
  EXPECT_EQ(plat::GetFocus(dialog_), xarvel::IDC_DEST_LIST);

  // Databases 2 and above are not names of this driver.
  plat::SetFocus(dialog_, 0);
  ParseCommand("RM 101 2 4 X 1");
  EXPECT_TRUE(Sent().empty());
  EXPECT_TRUE(revertives_.empty());
  EXPECT_EQ(plat::GetFocus(dialog_), 0);
}

TEST(ExtractFieldsTest, FieldsQuotesAndBounds) {
  using xarvel::ExtractFields;
  const xarvel::CommandFields& f = Commands().fields;

  ExtractFields("RC  101   'two words'x 12abc -7", 5);
  EXPECT_EQ(f.Text(1), "101");
  EXPECT_EQ(f.Text(2), "two words");
  EXPECT_EQ(f.Value(2), 0);
  EXPECT_EQ(f.Text(3), "12abc");
  EXPECT_EQ(f.Value(3), 12);
  EXPECT_EQ(f.Value(4), -7);
  EXPECT_EQ(f.Text(5), "");

  // A quoted field without its closing quote runs to the end; the rest come out empty.
  ExtractFields("RM 1 0 'open quote 9 9", 5);
  EXPECT_EQ(f.Text(3), "open quote 9 9");
  EXPECT_EQ(f.Text(4), "");
  EXPECT_EQ(f.Value(5), 0);

  // Fewer than three characters: no field keeps the previous command's values.
  ExtractFields("RC", 5);
  for (int k = 1; k <= 5; ++k) {
    EXPECT_EQ(f.Text(k), "");
    EXPECT_EQ(f.Value(k), 0);
  }

  // A field longer than its slot is cut; a number beyond int32 is clamped.
  const std::string big(300, '9');
  ExtractFields("RC " + big + " '" + std::string(400, 'q') + "' -" + big, 5);
  EXPECT_EQ(f.Text(1).size(), xarvel::kMaxFieldText);
  EXPECT_EQ(f.Value(1), 2147483647);
  EXPECT_EQ(f.Text(2), std::string(xarvel::kMaxFieldText, 'q'));
  EXPECT_EQ(f.Value(3), -2147483647 - 1);
  xarvel::ResetCommandState();
}

}  // namespace
