// The child-process helper that every test, the soak and the benchmarks start their programs
// with: a program started again under the same names is read afresh at once, and the
// environment changes it was given reach it.
#include "child_process.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

TEST(ChildProcessTest, ARestartUnderTheSameNamesIsReadAfreshAndGetsItsEnvironment) {
  testing_support::TempDir dir;
  const auto out = dir.path() / "sim.out";
  const auto err = dir.path() / "sim.err";
  child::Process first;
  ASSERT_TRUE(first.Start({"/bin/sh", "-c", "echo ready from the first"}, out, err));
  ASSERT_TRUE(child::WaitForText([&] { return child::ReadAll(out); }, "ready", 5000));
  EXPECT_EQ(first.Wait(5000), 0);

  // The second life waits before it writes: what is read as soon as it has been started must
  // be its own (nothing yet), never the first life's "ready".
  child::Process second;
  child::StartOptions how;
  how.env = {"XARVEL_CHILD_TEST=seen", "HOME="};
  ASSERT_TRUE(second.Start(
      {"/bin/sh", "-c", "sleep 0.2; echo \"second ${XARVEL_CHILD_TEST} ${HOME-unset}\""}, out, err,
      how));
  EXPECT_EQ(child::ReadAll(out), "");
  EXPECT_EQ(second.Wait(5000), 0);
  EXPECT_EQ(child::ReadAll(out), "second seen unset\n");

  // Appended, both lives are kept.
  child::Process third;
  how.append = true;
  ASSERT_TRUE(third.Start({"/bin/sh", "-c", "echo third"}, out, err, how));
  EXPECT_EQ(third.Wait(5000), 0);
  EXPECT_EQ(child::ReadAll(out), "second seen unset\nthird\n");

  // A program that cannot be started ends with 127, and an output that cannot be opened is
  // refused before anything runs.
  child::Process missing;
  ASSERT_TRUE(missing.Start({"/nonexistent/program"}, out, err));
  EXPECT_EQ(missing.Wait(5000), 127);
  child::Process unwritable;
  EXPECT_FALSE(unwritable.Start({"/bin/true"}, dir.path() / "no" / "such.out", err));
  EXPECT_EQ(unwritable.pid(), -1);
}

}  // namespace
