// The controller commands the driver forms, and the decoding of the controller's replies.
#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "ids/window_ids.h"
#include "protocol_fixture.h"
#include "ui/dialog_state.h"

namespace {

using protocol_test::ProtocolTest;
using Strings = std::vector<std::string>;
using xarvel::GetMC1000Lock;
using xarvel::GetTally;
using xarvel::Link;
using xarvel::Profile;
using xarvel::Tables;

// --- Commands.

TEST_F(ProtocolTest, ConnectAndInterrogateCarryLevelAndControllerNumbers) {
  Define(0, 101, 32, 64, 32, 64);
  Define(1, 102, 32, 64);
  Define(25, 126, 32, 64);
  xarvel::NTP_Connect(1, 5, 12);
  xarvel::NTP_Connect(0, 3, 2);
  xarvel::NTP_Connect(0, 0, 2);  // source 0 becomes the offset
  xarvel::NTP_Connect(0, 3, 0);  // destination 0 stays 0
  xarvel::NTP_Interrogate(25, 7);
  xarvel::NTP_Interrogate(0, 7);
  EXPECT_EQ(Sent(),
            (Strings{".SB12,5\r", ".SA66,35\r", ".SA66,32\r", ".SA0,35\r", ".IZ7\r", ".IA71\r"}));
}

TEST_F(ProtocolTest, LockCommandsAddTheDestinationOffset) {
  Define(0, 101, 32, 64, 0, 100);
  xarvel::MC1000_LockChange(0, 10, 1);
  xarvel::MC1000_LockChange(0, 10, 0);
  xarvel::MC1000_LockChange(0, 10, 255);
  xarvel::MC1000_LockPoll(0, 10);
  // Invalid destinations send nothing; the lock change leaves no trace at all.
  xarvel::MC1000_LockChange(0, 65, 1);
  xarvel::MC1000_LockPoll(0, 0);
  EXPECT_EQ(Sent(), (Strings{".BL110\r", ".BU110\r", ".BL110\r", ".BI110\r"}));
  EXPECT_TRUE(debug_.Contains(
      "MC1000_LockChange - Rtr 101 Destination 10 (110), new state is 1, | cmd .BL110\r "));
  // The controller's report, not the command, changes the table.
  EXPECT_EQ(GetMC1000Lock(0, 10), 0);
}

TEST_F(ProtocolTest, NamesGoOutWithTheirKindAndLengthClass) {
  Define(0, 101, 32, 64, 10, 20);
  xarvel::MC1000_name("CAM1     ", 0, 4, 0, 8);
  xarvel::MC1000_name("CAM1       ", 0, 4, 0, 10);
  xarvel::MC1000_name("MON1     ", 0, 4, 1, 8);
  xarvel::MC1000_name("MON1       ", 0, 4, 1, 10);
  EXPECT_EQ(Sent(), (Strings{".WS14,CAM1     \r", ".WT14,CAM1       \r", ".WD24,MON1     \r",
                             ".WE24,MON1       \r"}));
}

TEST_F(ProtocolTest, NameCannotEndTheCommandEarlyOrOverrunIt) {
  Define(0, 101, 32, 64);
  // A carriage return in a name would start a second command (a route) on the controller.
  xarvel::MC1000_name(std::string("X\r.SA1,1\n", 9), 0, 4, 0, 8);
  xarvel::MC1000_name(std::string(100, 'N'), 0, 2147483647, 1, 10);
  const Strings sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], ".WS4,X .SA1,1 \r");
  EXPECT_EQ(sent[1].size(), xarvel::kMaxCommandLength);
  EXPECT_EQ(sent[1].rfind(".WE2147483647,NNN", 0), 0u);
  for (const std::string& c : sent) {
    EXPECT_EQ(c.find('\r'), c.size() - 1) << c;
  }
}

TEST_F(ProtocolTest, InvalidRouterIndexSendsNothing) {
  xarvel::Debug().DebugMode = 1;
  for (int index : {-1, 26, INT_MIN, INT_MAX}) {
    EXPECT_EQ(xarvel::NTP_Connect(index, 1, 1), 0);
    EXPECT_EQ(xarvel::NTP_Interrogate(index, 1), 0);
    xarvel::MC1000_name("A", index, 1, 0, 8);
    xarvel::MC1000_LockPoll(index, 1);
    xarvel::MC1000_LockChange(index, 1, 1);
  }
  EXPECT_TRUE(Sent().empty());
  EXPECT_TRUE(debug_.Contains("MC1000_LockChange INVALID RTR 26 for dest 1 "));
}

TEST_F(ProtocolTest, HugeOffsetsAndNumbersDoNotOverflow) {
  Define(0, 101, 32, 64, INT_MAX, INT_MAX);
  xarvel::NTP_Connect(0, INT_MAX, INT_MAX);
  xarvel::MC1000_LockChange(0, 64, 1);
  xarvel::MC1000_name("N", 0, INT_MAX, 0, 8);
  EXPECT_EQ(Sent(),
            (Strings{".SA4294967294,4294967294\r", ".BL2147483711\r", ".WS4294967294,N\r"}));
}

TEST_F(ProtocolTest, SimulatedLockChangeUpdatesTheDriversOwnState) {
  Define(0, 101, 32, 64);
  Profile().settings.Simulation = 1;
  Profile().CurrentRouter = 0;
  xarvel::Dlg().SelectedDest = 5;
  xarvel::MC1000_LockChange(0, 5, 300);
  EXPECT_EQ(GetMC1000Lock(0, 5), 44);
  EXPECT_EQ(Field(xarvel::IDC_MC1000_LOCK), "unknown");
  xarvel::MC1000_LockChange(0, 5, 255);
  EXPECT_EQ(Field(xarvel::IDC_MC1000_LOCK), "-- LOCKED --");
  // Another destination changes its own entry but not the selected destination's lock text.
  xarvel::MC1000_LockChange(0, 6, 0);
  EXPECT_EQ(Field(xarvel::IDC_MC1000_LOCK), "-- LOCKED --");
  xarvel::MC1000_LockChange(0, 5, 0);
  EXPECT_EQ(Field(xarvel::IDC_MC1000_LOCK), "Unlocked");
  // Nothing reaches the controller in simulation, not even a lock poll.
  xarvel::MC1000_LockPoll(0, 5);
  xarvel::NTP_Connect(0, 1, 1);
  EXPECT_TRUE(Sent().empty());
}

// --- Replies.

TEST_F(ProtocolTest, RouteReportStoresTheTallyAndAnswersOnce) {
  Define(0, 101, 32, 64);
  xarvel::SetTally(101, 12, 3);
  Link().UnAckedCount = 4;
  Feed(".UA12,5\r");
  EXPECT_EQ(GetTally(101, 12), 5);
  EXPECT_EQ(Texts(), (Strings{"RR 101 012 005"}));
  EXPECT_EQ(Tables().TablesChanged, 1);
  EXPECT_EQ(Link().UnAckedCount, 0);

  Tables().TablesChanged = 0;
  Link().UnAckedCount = 3;
  Feed(".UA12,5\r");
  EXPECT_EQ(Texts().size(), 1u);
  EXPECT_EQ(Tables().TablesChanged, 0);
  EXPECT_EQ(Link().UnAckedCount, 0);
}

// Controllers may fill numbers with leading zeros; they are decimal, never octal.
TEST_F(ProtocolTest, ZeroFilledNumbersReadAsDecimal) {
  Define(0, 101, 32, 64);
  Define(1, 102, 32, 64, 0, 128);
  Feed(".AA012,009\r");
  EXPECT_EQ(GetTally(101, 12), 9);
  Feed(".UB0130,0017\r");
  EXPECT_EQ(GetTally(102, 2), 17);
  Feed(".BA0130,255\r");
  EXPECT_EQ(xarvel::GetMC1000Lock(1, 2), 255);
}

TEST_F(ProtocolTest, SeveralLevelsAndEntriesInOneReport) {
  Define(0, 101, 32, 64);
  Define(1, 102, 32, 64, 10, 100);
  Feed(".UAB12,5\r");
  EXPECT_EQ(GetTally(101, 12), 5);
  // Router B takes its offsets off: 12 - 100 is below zero and names no destination.
  EXPECT_EQ(GetTally(102, 12), 0);
  Feed(".UB112,15\r");
  EXPECT_EQ(GetTally(102, 12), 5);

  Feed(".UA3,4;A7,8\r");
  EXPECT_EQ(GetTally(101, 3), 4);
  EXPECT_EQ(GetTally(101, 7), 8);
  // Without a separator the second entry loses its only level letter.
  debug_.Clear();
  xarvel::Debug().DebugMode = 1;
  Feed(".UA20,5A21,6\r");
  EXPECT_EQ(GetTally(101, 20), 5);
  EXPECT_EQ(GetTally(101, 21), 0);
  EXPECT_TRUE(debug_.Contains("NTP_Decode - lvls error "));
}

TEST_F(ProtocolTest, ReportOffsetsParkSourceAndRanges) {
  Define(0, 101, 32, 64, 0, 100);
  Profile().settings.ParkSource = 9;
  xarvel::Debug().DebugMode = 1;
  Feed(".UA105,7\r");
  EXPECT_EQ(GetTally(101, 5), 7);
  Feed(".UA106,0\r");
  EXPECT_EQ(GetTally(101, 6), 9);

  Tables().TablesChanged = 0;
  debug_.Clear();
  Feed(".UA50,7\r");
  EXPECT_TRUE(
      debug_.Contains("Incoming OFFSET DEST IS LESS THAN ZERO -> iRtr= 0, iRtrDest=50 / "
                      "iZQDest=-50"));
  debug_.Clear();
  Feed(".UA100,7\r");
  EXPECT_FALSE(debug_.Contains("LESS THAN ZERO"));
  // A source beyond the router's sources keeps the stored tally; the revertive still goes out.
  Feed(".UA105,33\r");
  EXPECT_EQ(GetTally(101, 5), 7);
  EXPECT_EQ(Texts(), (Strings{"RR 101 005 007", "RR 101 006 009", "RR 101 005 007"}));
}

TEST_F(ProtocolTest, MalformedEntriesAreSkippedSafely) {
  Define(0, 101, 32, 64);
  // Missing numbers, a huge number, a lone letter: nothing is stored, nothing breaks.
  for (const char* reply : {".UA12,\r", ".UA,5\r", ".UA99999999999999999999,5\r", ".UA\r", ".U\r",
                            ".UA12\r", ".U,\r", ".A,,,\r"}) {
    SCOPED_TRACE(reply);
    xarvel::NTP_Decode(reply);
  }
  EXPECT_TRUE(revertives_.empty());
  EXPECT_EQ(Tables().TablesChanged, 0);
  // Without its carriage return the end of the text ends the report.
  xarvel::NTP_Decode(".UA12,5");
  EXPECT_EQ(GetTally(101, 12), 5);
}

TEST_F(ProtocolTest, EntryLimits) {
  Define(0, 101, 32, 64);
  // Twelve entries are taken, the thirteenth is not.
  std::string reply = ".U";
  for (int d = 1; d <= 13; ++d) reply += "A" + std::to_string(d) + ",1;";
  reply.back() = '\r';
  xarvel::NTP_Decode(reply);
  EXPECT_EQ(GetTally(101, 12), 1);
  EXPECT_EQ(GetTally(101, 13), 0);

  // An entry longer than 11 characters is dropped, not cut into another route.
  xarvel::NTP_Decode(".UAAAAAAA12,31;A14,2\r");
  EXPECT_EQ(GetTally(101, 12), 1);
  EXPECT_EQ(GetTally(101, 14), 2);
}

TEST_F(ProtocolTest, ReceiverFindsRepliesAmongNoiseAndAcrossTheBufferEnd) {
  Define(0, 101, 32, 64);
  xarvel::Debug().DebugMode = 1;
  // Line feeds after each carriage return and noise without a full stop are ignored.
  Feed("noise\r\n.UA1,1\r\n\n.UA2,2\r\n");
  EXPECT_EQ(GetTally(101, 1), 1);
  EXPECT_EQ(GetTally(101, 2), 2);
  // Enough noise that the next reply starts in the buffer's last position and wraps.
  for (size_t fill = 20; fill < 36; ++fill) {
    SCOPED_TRACE(fill);
    xarvel::NTP_ResetReceiver();
    Feed(std::string(fill, 'x'));
    const int source = static_cast<int>(fill - 18);
    Feed(".UA3," + std::to_string(source) + "\r");
    EXPECT_EQ(GetTally(101, 3), source);
  }
  EXPECT_FALSE(debug_.Contains("recieved string error"));
}

TEST_F(ProtocolTest, ReplyLongerThanTheBufferIsDropped) {
  Define(0, 101, 32, 64);
  xarvel::Debug().DebugMode = 1;
  // 33 bytes: the full stop has been overwritten when the carriage return arrives.
  Feed(".UA1,1;A2,2;A3,3;A4,4;A5,5;A6,6\r");
  Feed(".UA10,1;A11,2;A12,3;A13,4;A14,5;A15,6\r");
  EXPECT_TRUE(debug_.Contains("reply longer than 32 bytes dropped"));
  EXPECT_EQ(GetTally(101, 1), 1);  // exactly 32 bytes still fits
  EXPECT_EQ(GetTally(101, 10), 0);
  EXPECT_EQ(GetTally(101, 15), 0);
  Feed(".UA16,7\r");
  EXPECT_EQ(GetTally(101, 16), 7);
}

// The receiver against a plain statement of its rule, on random streams of the bytes that
// matter, taken byte by byte and in pieces: on a carriage return the reply runs from the first "."
// among the last 32 bytes received since the buffer was emptied; a "." that has fallen out of them
// drops the reply.
TEST_F(ProtocolTest, ReceiverAgreesWithItsRuleOnRandomStreams) {
  Define(0, 101, 32, 64);
  xarvel::Debug().DebugMode = 1;
  // Carriage returns often, or seldom enough that replies outgrow the buffer.
  const std::string alphabets[] = {"..\r\r\nAU1,x", "..\rAU1,xxxxxxxxxxxxx"};
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 16;
  };
  const std::string tag = "NTP_Decode RX> string = ";
  for (int stream = 0; stream < 300; ++stream) {
    SCOPED_TRACE(stream);
    Strings expected;
    std::string since_emptied;
    const size_t length = 1 + next() % 120;
    std::string bytes;
    const std::string& alphabet = alphabets[stream % 2];
    for (size_t i = 0; i < length; ++i) bytes += alphabet[next() % alphabet.size()];
    for (const char c : bytes) {
      since_emptied += c;
      if (c != '\r') continue;
      const size_t from = since_emptied.size() > 32 ? since_emptied.size() - 32 : 0;
      const size_t dot = since_emptied.find('.', from);
      if (dot != std::string::npos) {
        expected.push_back(since_emptied.substr(dot));
        since_emptied.clear();
      } else if (since_emptied.find('.') != std::string::npos) {
        since_emptied.clear();  // dropped as too long
      }
    }
    // Byte by byte, then in pieces of random length as the link reads them.
    for (const bool pieces : {false, true}) {
      xarvel::NTP_ResetReceiver();
      debug_.Clear();
      if (!pieces) Feed(bytes);
      for (size_t at = 0; pieces && at < bytes.size();) {
        const size_t n = std::min<size_t>(1 + next() % 40, bytes.size() - at);
        xarvel::NTP_RxBytes(reinterpret_cast<const unsigned char*>(bytes.data() + at), n);
        at += n;
      }
      Strings decoded;
      for (const std::string& call : debug_.calls()) {
        const size_t at = call.find(tag);
        if (at != std::string::npos) {
          decoded.push_back(call.substr(at + tag.size(), call.size() - at - tag.size() - 1));
        }
      }
      EXPECT_EQ(decoded, expected) << (pieces ? "in pieces: " : "byte by byte: ") << bytes;
    }
  }
}

TEST_F(ProtocolTest, AcknowledgementsAndUnknownReplies) {
  Define(0, 101, 32, 64);
  xarvel::Debug().DebugMode = 1;
  Link().UnAckedCount = 2;
  Feed(".A\r");
  EXPECT_TRUE(debug_.Contains("MC1000 Acknowledge received "));
  EXPECT_EQ(Link().UnAckedCount, 2);
  Feed(".RA4,CAM1\r");
  EXPECT_TRUE(debug_.Contains("NTP_Decode - Database Name change reply from MC1000"));
  EXPECT_FALSE(debug_.Contains("recieved string error"));
  Feed(".ZZ\r");
  EXPECT_TRUE(debug_.Contains("NTP_Decode - recieved string error "));
  EXPECT_TRUE(revertives_.empty());
}

TEST_F(ProtocolTest, LockStatusMapsThroughTheDestinationOffsets) {
  Define(0, 101, 32, 16);
  Define(1, 102, 32, 16, 0, 128);
  Profile().CurrentRouter = 1;
  xarvel::Dlg().SelectedDest = 2;
  Feed(".BA130,1\r");
  EXPECT_EQ(GetMC1000Lock(1, 2), 1);
  EXPECT_EQ(Field(xarvel::IDC_MC1000_LOCK), "-- LOCKED --");
  Feed(".BA2,7\r");
  EXPECT_EQ(GetMC1000Lock(0, 2), 7);
  // Router 0's destination 2 is not the selected one.
  EXPECT_EQ(Field(xarvel::IDC_MC1000_LOCK), "-- LOCKED --");

  Feed(".BA5000,1\r");
  EXPECT_TRUE(
      debug_.Contains("NTP_Decode - MC1000 Lock Dest 5000 - INVALID LEVEL - unknown dest "));
  Feed(".BA,1\r");
  Feed(".BA\r");
  EXPECT_EQ(GetMC1000Lock(0, 1), 0);
}

TEST_F(ProtocolTest, FindLockDestTakesTheFirstRouterInRange) {
  Define(0, 101, 32, 16);
  Define(2, 103, 32, 16, 0, 8);  // overlaps router 0 from 9 to 16
  Define(3, 104, 32, 16, 0, INT_MAX);
  Profile().routers[1].DestCount = 1000;  // an undefined router is never matched
  int index = 0;
  int dest = 0;
  EXPECT_EQ(xarvel::FindLockDest(9, index, dest), 1);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(dest, 9);
  EXPECT_EQ(xarvel::FindLockDest(17, index, dest), 1);
  EXPECT_EQ(index, 2);
  EXPECT_EQ(dest, 9);
  EXPECT_EQ(xarvel::FindLockDest(INT_MAX, index, dest), 0);
  EXPECT_EQ(xarvel::FindLockDest(0, index, dest), 0);
  EXPECT_EQ(index, -1);
  EXPECT_EQ(dest, -1);
  EXPECT_EQ(xarvel::FindLockDest(25, index, dest), 0);
}

TEST_F(ProtocolTest, PollAnswerAndLockPollFollowTheReport) {
  Define(0, 101, 32, 64);
  Define(1, 102, 32, 64, 0, 1000);
  // A confirmed link: the first report does not move the poll back to its start.
  xarvel::Link().ComState = xarvel::kComOk;
  xarvel::Dlg().PollRouter = 1;
  xarvel::Dlg().PollPointer = 5;
  Profile().settings.PollForMC1000LockStatus = 1;
  // Destination 5 of router A is not the one being polled (router B's is).
  Feed(".UA5,3\r");
  EXPECT_EQ(Field(1704), "");
  Feed(".UB1005,4\r");
  EXPECT_EQ(Field(1704), "4");
  EXPECT_EQ(Sent(), (Strings{".BI5\r", ".BI1005\r"}));
}

}  // namespace
