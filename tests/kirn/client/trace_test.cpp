// `kirn trace` against a real driver: a tracer that stops taking lines costs the driver nothing
// it can feel; its lines are dropped, counted and said once it takes lines again.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "e2e_site.h"
#include "sanitizer_build.h"

namespace {

using testing_support::Process;
using testing_support::Result;
using testing_support::WriteFile;

constexpr int kWaitMs = 15000;

class TraceTest : public testing_support::SiteTest {
 protected:
  // `routes` route commands to router A through `kirn send - --stats`; the seconds it reports.
  double Salvo(int routes, std::string* out) {
    std::string lines;
    for (int i = 0; i < routes; ++i) {
      lines +=
          "RC 101 " + std::to_string(i % 32 + 1) + " " + std::to_string(i % 16 + 1) + " ',---' 0\n";
    }
    const auto file = dir_.path() / "salvo.txt";
    WriteFile(file, lines);
    Process p({"/bin/sh", "-c", "exec \"$0\" send 101 - --stats --wait 300 < \"$1\"", KIRN_BIN,
               file.string()},
              Env());
    EXPECT_EQ(p.Wait(60000), 0) << p.Stderr();
    *out = p.Stdout();
    const size_t at = out->find("seconds ");
    return at == std::string::npos ? -1 : std::atof(out->c_str() + at + 8);
  }
};

TEST_F(TraceTest, AStalledTracerDoesNotSlowASalvoAndLearnsWhatItMissed) {
  // Simulation with debug mode on: every route writes its lines, about 200 bytes, at once.
  WriteSite("Simulation=1\nDebugMode=1\nForwardBufferDelay=0\n");
  auto serve = StartServe();
  auto driver = StartDriver(*serve);
  constexpr int kRoutes = 8000;  // some 1.6 MB of trace: more than a tracer's buffer

  // The salvo without a tracer is the measure of the one with a stalled tracer. Under the
  // sanitizers every step is several times slower and times say nothing: the stalled salvo alone
  // shows that nothing is lost and the tracer learns what it missed.
  std::string out;
  const double alone = kSanitizedBuild ? 0 : Salvo(kRoutes, &out);
  if (!kSanitizedBuild) {
    ASSERT_GT(alone, 0) << out.substr(out.size() > 300 ? out.size() - 300 : 0);
  }

  auto trace = Start({KIRN_BIN, "trace", "101"});
  ASSERT_TRUE(trace->WaitForOutput("<xarvel>-Trace - tracer", kWaitMs)) << trace->Stderr();
  // Stopped: it reads nothing from the bus and answers nothing.
  ASSERT_EQ(::kill(trace->pid(), SIGSTOP), 0);
  const double stalled = Salvo(kRoutes, &out);
  EXPECT_NE(out.find("sent 8000, revertives 8000,"), std::string::npos)
      << out.substr(out.size() > 300 ? out.size() - 300 : 0);
  // Generous against a busy machine, yet far below what waiting for the tracer would cost (a
  // bus send that is not answered waits 5 s).
  if (!kSanitizedBuild) {
    EXPECT_LT(stalled, 2 * alone + 1.0) << "alone " << alone << " s";
  }
  std::printf("salvo of %d routes: %.3f s alone, %.3f s with a stalled tracer\n", kRoutes, alone,
              stalled);
  const Result status = Kirn({"status", "101"});
  EXPECT_EQ(status.code, 0) << status.err;

  ASSERT_EQ(::kill(trace->pid(), SIGCONT), 0);
  EXPECT_TRUE(trace->WaitForOutput(" lines dropped\n", kWaitMs)) << trace->Stderr();
  EXPECT_TRUE(driver->WaitForOutput("does not keep up: lines dropped for it", kWaitMs, true));
  ::kill(trace->pid(), SIGINT);
  EXPECT_EQ(trace->Wait(5000), 0) << trace->Stderr();

  // Without JOURNAL_STREAM the driver's own output is today's trace: every line, no priorities.
  const std::string err = driver->Stderr();
  EXPECT_NE(err.find("\n<xarvel>-Cmd_RouterConnect = iRtr 0"), std::string::npos);
  EXPECT_EQ(err.find("\n<7>"), std::string::npos);
}

}  // namespace
