#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/location.h"
#include "platform/debug_output.h"
#include "test_support.h"
#include "ui/debug.h"

namespace {

using testing_support::DebugCapture;
using testing_support::EnvGuard;
using testing_support::ReadFile;
using xarvel::Debug;
using xarvel::DebugPrint;
using xarvel::DebugPrintf;
using xarvel::LockLog;

class DebugPrintTest : public ::testing::Test {
 protected:
  void SetUp() override { xarvel::ResetDebug(); }
  void TearDown() override { xarvel::ResetDebug(); }
  DebugCapture capture_;
};

TEST_F(DebugPrintTest, ModeAndForceDecideWhatIsShown) {
  DebugPrint("quiet", 0);
  DebugPrintf(0, "quiet %d", 1);
  EXPECT_TRUE(capture_.calls().empty());
  DebugPrint("forced", 1);
  Debug().DebugMode = 5;  // any non-zero value means on
  DebugPrint("routine", 0);
  DebugPrintf(0, "n=%d s=%s", 7, "x");
  ASSERT_EQ(capture_.calls().size(), 3u);
  EXPECT_EQ(capture_.calls()[0], "<xarvel>-forced\n");
  EXPECT_EQ(capture_.calls()[1], "<xarvel>-routine\n");
  EXPECT_EQ(capture_.calls()[2], "<xarvel>-n=7 s=x\n");
}

TEST_F(DebugPrintTest, OwnNewlineIsKeptAndOneIsAlwaysAdded) {
  DebugPrint("line\n", 1);
  DebugPrint("", 1);
  DebugPrint(std::string("cut\0here", 8), 1);
  EXPECT_EQ(capture_.calls()[0], "<xarvel>-line\n\n");
  EXPECT_EQ(capture_.calls()[1], "<xarvel>-\n");
  EXPECT_EQ(capture_.calls()[2], "<xarvel>-cut\n");
}

TEST_F(DebugPrintTest, LongTextsAreCutToTheLineBuffer) {
  const std::string exact(xarvel::kMaxDebugLine - 10, 'a');  // tag 9 + newline 1
  DebugPrint(exact, 1);
  DebugPrint(exact + "b", 1);
  DebugPrint(std::string(100000, 'c'), 1);
  DebugPrintf(1, "%s%s", exact.c_str(), "tail");
  for (const std::string& line : capture_.calls()) {
    EXPECT_EQ(line.size(), xarvel::kMaxDebugLine);
    EXPECT_EQ(line.back(), '\n');
  }
  EXPECT_EQ(capture_.calls()[1], capture_.calls()[0]);
  EXPECT_EQ(capture_.calls()[3], capture_.calls()[0]);
}

// Levels and priorities: the journal's default level keeps the routine lines out, every line it
// keeps starts with its priority (once per line, however many pieces make it), and a tap sees
// every line whatever the level.
TEST_F(DebugPrintTest, TheLevelDecidesWhatIsWrittenAndTheJournalGetsPriorities) {
  EnvGuard no_env("XARVEL_LOG_LEVEL", std::nullopt);
  plat::InitLogOutput(plat::LogLevel::kInfo);
  plat::SetPriorityPrefixes(true);
  std::vector<std::string> tapped;
  plat::SetDebugTap([&](std::string_view text, plat::LogLevel) { tapped.emplace_back(text); });
  Debug().DebugMode = 1;
  xarvel::DebugPrintAt(xarvel::LogLevel::kDebug, "per route", 1);
  xarvel::DebugPrintfAt(xarvel::LogLevel::kNotice, 0, "link %s", "restored");
  DebugPrint("unclassified", 0);
  plat::OutputDebugString("path", plat::LogLevel::kWarning);
  plat::OutputDebugString(" entry ", plat::LogLevel::kWarning);
  plat::OutputDebugString("\n", plat::LogLevel::kWarning);
  plat::SetDebugTap(nullptr);
  std::string written;
  for (const std::string& call : capture_.calls()) written += call;
  EXPECT_EQ(written, "<5><xarvel>-link restored\n<6><xarvel>-unclassified\n<4>path entry \n");
  ASSERT_EQ(tapped.size(), 6u);
  EXPECT_EQ(tapped[0], "<xarvel>-per route\n");
  // The debug mode still decides which routine lines exist at all, tap or not.
  Debug().DebugMode = 0;
  plat::SetDebugTap([&](std::string_view text, plat::LogLevel) { tapped.emplace_back(text); });
  xarvel::DebugPrintAt(xarvel::LogLevel::kErr, "routine", 0);
  plat::SetDebugTap(nullptr);
  EXPECT_EQ(tapped.size(), 6u);
  EXPECT_EQ(plat::ParseLogLevel("WARNING"), plat::LogLevel::kWarning);
  EXPECT_FALSE(plat::ParseLogLevel("loud"));
  plat::InitLogOutput(std::nullopt);
  EXPECT_EQ(plat::GetLogLevel(), plat::LogLevel::kDebug) << "not the journal: today's trace";
  EXPECT_FALSE(plat::PriorityPrefixes());
}

// The journal sums up a reason's repeated refusals or drops: its first line, then at most one
// summary a period; the tap gets every line; other lines and other outputs are untouched.
TEST_F(DebugPrintTest, TheJournalSumsUpRepeatedRefusalsAndDrops) {
  EnvGuard no_env("XARVEL_LOG_LEVEL", std::nullopt);
  plat::InitLogOutput(plat::LogLevel::kInfo);
  plat::SetPriorityPrefixes(true);
  size_t tapped = 0;
  plat::SetDebugTap([&](std::string_view, plat::LogLevel) { ++tapped; });
  int64_t now = 0;
  Debug().SteadyMs = [&] { return now; };
  const auto notice = xarvel::LogLevel::kNotice;
  for (int i = 0; i < 2048; ++i) {
    xarvel::DebugPrintfAt(notice, 1, "ROUTE 12 %d %d refused range", i % 16 + 1, 40 + i % 9);
    if (i % 512 == 0)
      xarvel::DebugPrintAt(xarvel::LogLevel::kWarning, "ROUTE 12 3 4 dropped held_too_long", 1);
  }
  xarvel::DebugPrintAt(notice, "ROUTE 12 3 4 refused by the controller", 1);
  xarvel::DebugPrintAt(notice, "ROUTE 12 3 4 refused by the controller", 1);
  xarvel::DebugPrintAt(notice, "ROUTE 12 x 4 refused range", 1);
  std::string written;
  for (const std::string& call : capture_.calls()) written += call;
  EXPECT_EQ(written,
            "<5><xarvel>-ROUTE 12 1 40 refused range\n"
            "<4><xarvel>-ROUTE 12 3 4 dropped held_too_long\n"
            "<5><xarvel>-ROUTE 12 3 4 refused by the controller\n"
            "<5><xarvel>-ROUTE 12 x 4 refused range\n");
  EXPECT_EQ(tapped, 2048u + 4 + 3);

  // A period after the first lines, one summary per reason that held lines, at its priority.
  now = 9999;
  xarvel::DebugFlushSummaries(false);
  EXPECT_EQ(capture_.calls().size(), 4u);
  now = 10000;
  xarvel::DebugFlushSummaries(false);
  ASSERT_EQ(capture_.calls().size(), 7u);
  EXPECT_EQ(capture_.calls()[4],
            "<5><xarvel>-ROUTE summary - 2,047 more routes refused range, the last 12 16 44\n");
  EXPECT_EQ(capture_.calls()[5],
            "<4><xarvel>-ROUTE summary - 3 more routes dropped held_too_long, the last 12 3 4\n");
  EXPECT_EQ(
      capture_.calls()[6],
      "<5><xarvel>-ROUTE summary - 1 more route refused by the controller, the last 12 3 4\n");
  EXPECT_EQ(tapped, 2048u + 4 + 3) << "the summaries are not traced";

  // Held within the period after a summary, summed when a later line finds the period over.
  now = 10500;
  xarvel::DebugPrintAt(notice, "ROUTE 12 5 6 refused range", 1);
  now = 21000;
  xarvel::DebugPrintAt(notice, "ROUTE 12 7 8 refused range", 1);
  ASSERT_EQ(capture_.calls().size(), 8u);
  EXPECT_EQ(capture_.calls()[7],
            "<5><xarvel>-ROUTE summary - 2 more routes refused range, the last 12 7 8\n");
  // Quiet for a whole period: the next is a first line again; at shutdown all held are summed.
  now = 31000;
  xarvel::DebugPrintAt(notice, "ROUTE 12 9 9 refused range", 1);
  xarvel::DebugPrintAt(notice, "ROUTE 12 9 10 refused range", 1);
  xarvel::DebugFlushSummaries(true);
  ASSERT_EQ(capture_.calls().size(), 10u);
  EXPECT_EQ(capture_.calls()[8], "<5><xarvel>-ROUTE 12 9 9 refused range\n");
  EXPECT_EQ(capture_.calls()[9],
            "<5><xarvel>-ROUTE summary - 1 more route refused range, the last 12 9 10\n");

  // Not the journal: every line.
  plat::SetPriorityPrefixes(false);
  xarvel::DebugPrintAt(notice, "ROUTE 12 9 11 refused range", 1);
  EXPECT_EQ(capture_.calls().size(), 11u);
  plat::SetDebugTap(nullptr);
  plat::InitLogOutput(std::nullopt);
}

// The lock log under a fresh configuration root (location mode 1), on a UTC clock.
class DebugLockLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::tzset();
    xarvel::ResetDebug();
    xarvel::ResetLocation();
  }
  void TearDown() override {
    xarvel::ResetDebug();
    xarvel::ResetLocation();
  }

  static std::time_t At(int year, int mon, int day, int h, int m, int s) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = mon - 1;
    tm.tm_mday = day;
    tm.tm_hour = h;
    tm.tm_min = m;
    tm.tm_sec = s;
    return ::timegm(&tm);
  }
  void ClockAt(std::time_t t) {
    Debug().Clock = [t] { return t; };
  }
  std::filesystem::path LogFile(const std::string& date) {
    return dir_.path() / "logs" / (date + "_XarvelLock.log");
  }

  // Declared first, destroyed last: the time zone is re-read after TZ is restored.
  struct TzReload {
    ~TzReload() { ::tzset(); }
  } tz_reload_;
  EnvGuard tz_{"TZ", "UTC0"};
  testing_support::ConfigDir dir_;
  DebugCapture capture_;
};

TEST_F(DebugLockLogTest, EntriesGoToTheDaysFileAsData) {
  ClockAt(At(2024, 3, 9, 14, 5, 9));
  LockLog("RL 012 %s %n 100%");
  LockLog("MC1000_LockChange - cmd .BL A1\r");
  EXPECT_EQ(ReadFile(LogFile("20240309")),
            " 14:05:09 - RL 012 %s %n 100% \r\n"
            " 14:05:09 - MC1000_LockChange - cmd .BL A1\r \r\n");
  ASSERT_EQ(capture_.calls().size(), 6u);
  EXPECT_EQ(capture_.calls()[0], dir_.str() + "//logs/20240309_XarvelLock.log");
  EXPECT_EQ(capture_.calls()[1], " 14:05:09 - RL 012 %s %n 100% ");
  EXPECT_EQ(capture_.calls()[2], "\n");
}

TEST_F(DebugLockLogTest, MidnightStartsANewFile) {
  ClockAt(At(2023, 12, 31, 23, 59, 59));
  LockLog("before");
  ClockAt(At(2024, 1, 1, 0, 0, 0));
  LockLog("after");
  EXPECT_EQ(ReadFile(LogFile("20231231")), " 23:59:59 - before \r\n");
  EXPECT_EQ(ReadFile(LogFile("20240101")), " 00:00:00 - after \r\n");
}

TEST_F(DebugLockLogTest, DateAndTimeComeFromOneClockReading) {
  // A clock that moves past midnight between two readings must not file a 00:00 entry under
  // the old day.
  int calls = 0;
  const std::time_t before = At(2024, 6, 30, 23, 59, 59);
  Debug().Clock = [&calls, before] { return before + (calls++ > 0 ? 1 : 0); };
  LockLog("edge");
  EXPECT_EQ(ReadFile(LogFile("20240630")), " 23:59:59 - edge \r\n");
  EXPECT_FALSE(std::filesystem::exists(LogFile("20240701")));
}

TEST_F(DebugLockLogTest, RemovedLogDirectoryIsMadeAgain) {
  ClockAt(At(2024, 3, 9, 10, 0, 0));
  LockLog("one");
  std::filesystem::remove_all(dir_.path() / "logs");
  LockLog("two");
  EXPECT_EQ(ReadFile(LogFile("20240309")), " 10:00:00 - two \r\n");
}

TEST_F(DebugLockLogTest, LongEntriesAreCut) {
  ClockAt(At(2024, 3, 9, 10, 0, 0));
  LockLog(std::string(5000, 'x'));
  const std::string text = ReadFile(LogFile("20240309"));
  EXPECT_EQ(text.size(), xarvel::kMaxLockEntry + 2);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
}

TEST_F(DebugLockLogTest, NoUsableRootLosesOnlyTheFile) {
  ClockAt(At(2024, 3, 9, 10, 0, 0));
  EnvGuard root("ZQ_ROOT", "");
  LockLog("lost");
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "logs"));
  EXPECT_TRUE(capture_.Contains(" 10:00:00 - lost "));
  EXPECT_TRUE(Debug().LogDirFirstCall);  // nothing was tried yet
}

TEST_F(DebugLockLogTest, UncreatableDirectoryIsHarmless) {
  ClockAt(At(2024, 3, 9, 10, 0, 0));
  testing_support::WriteFile(dir_.path() / "plain", "x");
  EnvGuard windir("KIRN_WINDIR", dir_.str() + "/plain");
  LockLog("lost");
  LockLog("lost again");
  EXPECT_FALSE(Debug().LogDirFirstCall);
  EXPECT_EQ(ReadFile(dir_.path() / "plain"), "x");
}

}  // namespace
