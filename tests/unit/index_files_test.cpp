#include "state/index_files.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "config/location.h"
#include "config/profile.h"
#include "driver_fixture.h"
#include "save_loop_pattern.h"
#include "state/router_tables.h"
#include "state/save_counters.h"
#include "test_support.h"
#include "tracing/debug.h"

namespace {

namespace fs = std::filesystem;
using testing_support::DebugCapture;
using testing_support::EnvGuard;
using testing_support::ReadFile;
using testing_support::WriteFile;
using xarvel::Profile;

using testing_support::ResetAll;

// Profiles and data files share a temporary directory standing in for the Windows directory.
// Router A is device 101 with 8 destinations, router C device 102 with 64; the other routers
// are undefined.
class IndexFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetAll();
    WriteDeviceProfile(101, 8);
    WriteDeviceProfile(102, 64);
  }
  void TearDown() override { ResetAll(); }

  void WriteDeviceProfile(int id, int dests) {
    char name[32];
    std::snprintf(name, sizeof name, "DEV_%03d.INI", id);
    WriteFile(dir_.path() / name,
              "[Database]\nDatabaseSize_0=500\nDatabaseSize_1=" + std::to_string(dests) + "\n");
  }

  // A fresh process as far as the tables go: profile routers defined, tables allocated, the
  // files not yet read.
  static void StartProcess(int device_number) {
    ResetAll();
    Profile().DeviceNumber = device_number;
    DefineRouter(0, 101, 8);
    DefineRouter(2, 102, 64);
    xarvel::MemoryInit();
  }

  static void DefineRouter(int index, int id, int dests) {
    xarvel::RouterConfig& r = Profile().routers[static_cast<size_t>(index)];
    r.DeviceId = id;
    r.Min_Dest = 1;
    r.Max_Dest = dests;
  }

  std::string Read(const std::string& name) const { return ReadFile(dir_.path() / name); }

  testing_support::ConfigDir dir_;
  DebugCapture debug_;
};

TEST_F(IndexFilesTest, FirstRunWritesClearedIndexAndEmptyLockFile) {
  StartProcess(0);
  xarvel::Idxfu_ReadIndex();

  EXPECT_EQ(xarvel::IndexFiles().SaveFormat, xarvel::kSaveAsIdx);
  EXPECT_TRUE(xarvel::IndexFiles().IndexRead);
  EXPECT_TRUE(debug_.Contains("ERROR no file could be opened - " + dir_.str() + "/XARVEL.IDX"));
  const std::string idx = Read("XARVEL.IDX");
  ASSERT_EQ(idx.size(), 212992u);
  for (int i = 0; i < 26; ++i) {
    const char expected = (i == 0 || i == 2) ? '\xff' : '\0';
    EXPECT_EQ(idx.substr(static_cast<size_t>(i) * 8192, 8192), std::string(8192, expected))
        << "block " << i;
  }
  EXPECT_EQ(Read("XARVEL.LCK"), std::string(106496, '\0'));
  EXPECT_EQ(xarvel::GetTally(102, 64), 65535);
  EXPECT_EQ(xarvel::GetLock(101, 1), 0);
  EXPECT_FALSE(fs::exists(dir_.path() / "XARVEL.IDX.tmp"));
}

TEST_F(IndexFilesTest, FileLayoutIsRouterBlocksHighByteFirst) {
  StartProcess(12);
  xarvel::Idxfu_ReadIndex();
  xarvel::SetTally(102, 5, 300);
  xarvel::SetLock(101, 7, 1);
  ASSERT_EQ(xarvel::Idxfu_WriteIndex(), 1);
  ASSERT_EQ(xarvel::Idxfu_WriteLocks(), 1);

  const std::string idx = Read("DEV_012.IDX");
  ASSERT_EQ(idx.size(), 212992u);
  EXPECT_EQ(static_cast<uint8_t>(idx[2 * 8192 + 8]), 1);
  EXPECT_EQ(static_cast<uint8_t>(idx[2 * 8192 + 9]), 44);
  const std::string lck = Read("DEV_012.LCK");
  ASSERT_EQ(lck.size(), 106496u);
  EXPECT_EQ(lck[6], 1);
  EXPECT_EQ(lck.find('\1'), 6u);
  EXPECT_TRUE(debug_.Contains("Xarvel - 1 Locked dests written out for Router_A \n"));
}

TEST_F(IndexFilesTest, DatFileTakesPrecedenceAndReceivesLaterSaves) {
  std::string dat(212992, '\0');
  dat[1] = 7;  // router A, destination 1: source 7
  std::string idx(212992, '\0');
  idx[1] = 9;
  WriteFile(dir_.path() / "DEV_012.DAT", dat);
  WriteFile(dir_.path() / "DEV_012.IDX", idx);
  StartProcess(12);
  xarvel::Idxfu_ReadIndex();

  EXPECT_EQ(xarvel::IndexFiles().SaveFormat, xarvel::kSaveAsDat);
  EXPECT_EQ(xarvel::GetTally(101, 1), 7);
  xarvel::SetTally(101, 1, 300);
  ASSERT_EQ(xarvel::Idxfu_WriteIndex(), 1);
  EXPECT_EQ(static_cast<uint8_t>(Read("DEV_012.DAT")[0]), 1);
  EXPECT_EQ(Read("DEV_012.IDX"), idx);
}

TEST_F(IndexFilesTest, ShortFilesReadMissingEntriesAs255) {
  std::string idx(8192, '\0');
  idx[1] = 5;
  WriteFile(dir_.path() / "DEV_012.IDX", idx);
  // Blocks follow router positions: router C's lock block starts at 2 * 4096.
  WriteFile(dir_.path() / "DEV_012.LCK", std::string(2 * 4096 + 10, '\0'));
  StartProcess(12);
  xarvel::Idxfu_ReadIndex();

  EXPECT_EQ(xarvel::GetTally(101, 1), 5);
  EXPECT_EQ(xarvel::GetTally(101, 8), 0);
  for (int d = 1; d <= 64; ++d) ASSERT_EQ(xarvel::GetTally(102, d), 65535) << d;
  EXPECT_EQ(xarvel::GetLock(101, 1), 0);
  EXPECT_EQ(xarvel::GetLock(102, 10), 0);
  EXPECT_EQ(xarvel::GetLock(102, 11), 255);
  EXPECT_TRUE(debug_.Contains("holds only 8192 of 212992 bytes"));
  EXPECT_TRUE(debug_.Contains("holds only 8202 of 106496 bytes"));
  // Short files are taken as they are, not rewritten at start-up.
  EXPECT_EQ(Read("DEV_012.IDX"), idx);
  // The short lock file is told once: router C's destinations 11..64 read as locked.
  EXPECT_EQ(debug_.Count("destinations read as locked"), 1);
  EXPECT_TRUE(debug_.Contains("is short - 54 destinations read as locked"));
  EXPECT_EQ(Profile().StatusMessageFlag, 1);
  EXPECT_NE(Profile().StatusMessage.find("Lock file short: 54 destinations read as locked"),
            std::string::npos);
  EXPECT_EQ(xarvel::SaveCount().LockEntriesMissing, 54);
}

// A FIFO in place of the index file and a directory in place of the lock file: neither is
// opened blocking nor replaced; the start-up goes on as without them and the saves say why
// they were refused. A FIFO nobody writes to would block an ordinary open for ever.
TEST_F(IndexFilesTest, FilesThatAreNotFilesAreNeitherReadNorReplaced) {
  ASSERT_EQ(::mkfifo((dir_.path() / "DEV_012.IDX").c_str(), 0644), 0);
  fs::create_directory(dir_.path() / "DEV_012.LCK");
  StartProcess(12);
  xarvel::Idxfu_ReadIndex();

  EXPECT_EQ(xarvel::GetTally(101, 1), 65535);
  EXPECT_EQ(xarvel::GetLock(101, 1), 0);
  EXPECT_TRUE(xarvel::IndexFiles().IndexRead);
  EXPECT_TRUE(debug_.Contains("DEV_012.IDX is not a regular file - not read"));
  EXPECT_TRUE(debug_.Contains("DEV_012.LCK is not a regular file - not read"));
  EXPECT_TRUE(debug_.Contains("Idxfu_WriteIndex - " + dir_.str() +
                              "/DEV_012.IDX is not a regular file - not replaced"));
  EXPECT_TRUE(debug_.Contains("Idxfu_WriteLocks - " + dir_.str() +
                              "/DEV_012.LCK is not a regular file - not replaced"));
  EXPECT_EQ(xarvel::Idxfu_WriteIndex(), 0);
  EXPECT_TRUE(fs::is_fifo(dir_.path() / "DEV_012.IDX"));
  EXPECT_TRUE(fs::is_directory(dir_.path() / "DEV_012.LCK"));
  EXPECT_EQ(xarvel::SaveCount().LockEntriesMissing, 0);
}

TEST_F(IndexFilesTest, RestartKeepsTalliesAndLocks) {
  StartProcess(12);
  xarvel::Idxfu_ReadIndex();
  xarvel::SetTally(101, 1, 0);
  xarvel::SetTally(101, 8, 499);
  xarvel::SetTally(102, 64, 256);
  xarvel::SetLock(101, 8, 1);
  xarvel::SetLock(102, 1, 1);
  ASSERT_EQ(xarvel::Idxfu_WriteIndex(), 1);
  ASSERT_EQ(xarvel::Idxfu_WriteLocks(), 1);
  const std::string idx_before = Read("DEV_012.IDX");
  const std::string lck_before = Read("DEV_012.LCK");

  StartProcess(12);
  EXPECT_EQ(xarvel::GetTally(101, 8), 0);  // fresh tables until the files are read
  xarvel::Idxfu_ReadIndex();

  EXPECT_EQ(xarvel::GetTally(101, 1), 0);
  EXPECT_EQ(xarvel::GetTally(101, 8), 499);
  EXPECT_EQ(xarvel::GetTally(101, 2), 65535);
  EXPECT_EQ(xarvel::GetTally(102, 64), 256);
  EXPECT_EQ(xarvel::GetLock(101, 8), 1);
  EXPECT_EQ(xarvel::GetLock(102, 1), 1);
  EXPECT_EQ(xarvel::GetLock(102, 2), 0);
  EXPECT_TRUE(debug_.Contains("LCK - read lock ntp[2] router 102 total of 1 Locked dests"));
  // Reading existing files writes nothing.
  EXPECT_EQ(Read("DEV_012.IDX"), idx_before);
  EXPECT_EQ(Read("DEV_012.LCK"), lck_before);
}

// A limit on the size of files this process may write stands in for a full disk: the write
// stops part-way, as it would with no space left.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    old_handler_ = ::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &old_);
    rlimit limited = old_;
    limited.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    ::signal(SIGXFSZ, old_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit old_{};
  sighandler_t old_handler_ = SIG_DFL;
};

TEST_F(IndexFilesTest, FailedWriteKeepsPreviousFileAndSaysSo) {
  StartProcess(12);
  xarvel::Idxfu_ReadIndex();
  xarvel::SetTally(101, 3, 42);
  xarvel::SetLock(101, 3, 1);
  ASSERT_EQ(xarvel::Idxfu_WriteIndex(), 1);
  ASSERT_EQ(xarvel::Idxfu_WriteLocks(), 1);
  const std::string idx_good = Read("DEV_012.IDX");
  const std::string lck_good = Read("DEV_012.LCK");

  xarvel::SetTally(101, 3, 43);
  xarvel::SetLock(101, 4, 1);
  debug_.Clear();
  {
    FileSizeLimit full_disk(50000);
    EXPECT_EQ(xarvel::Idxfu_WriteIndex(), 0);
    EXPECT_EQ(xarvel::Idxfu_WriteLocks(), 0);
  }
  EXPECT_EQ(Read("DEV_012.IDX"), idx_good);
  EXPECT_EQ(Read("DEV_012.LCK"), lck_good);
  EXPECT_FALSE(fs::exists(dir_.path() / "DEV_012.IDX.tmp"));
  EXPECT_FALSE(fs::exists(dir_.path() / "DEV_012.LCK.tmp"));
  EXPECT_TRUE(debug_.Contains("XARVEL -- ERROR -- Idxfu_WriteIndex file not written - " +
                              dir_.str() + "/DEV_012.IDX - File too large - previous file kept"));
  EXPECT_TRUE(debug_.Contains("Xarvel - ERROR write lockmemory file " + dir_.str() +
                              "/DEV_012.LCK not written - File too large - previous file kept"));
  // The tables are untouched and the next save goes through.
  EXPECT_EQ(xarvel::GetTally(101, 3), 43);
  ASSERT_EQ(xarvel::Idxfu_WriteIndex(), 1);
  StartProcess(12);
  xarvel::Idxfu_ReadIndex();
  EXPECT_EQ(xarvel::GetTally(101, 3), 43);
  EXPECT_EQ(xarvel::GetLock(101, 4), 0);  // the lock file was not saved again
}

TEST_F(IndexFilesTest, UnwritableLocationLeavesTablesAndReportsTheFile) {
  // Location mode 2 with the router profiles in place but no data directory under the root.
  EnvGuard root("ZQ_ROOT", dir_.str() + "/nowhere");
  EnvGuard system("ZQ_SYSTEM", "site");
  const fs::path profiles = dir_.path() / "nowhere" / "site" / "config" / "system";
  fs::create_directories(profiles);
  fs::copy_file(dir_.path() / "DEV_101.INI", profiles / "dev_101.ini");
  StartProcess(12);
  xarvel::Idxfu_ReadIndex();

  const std::string base = dir_.str() + "/nowhere/site/data/";
  EXPECT_TRUE(debug_.Contains("XARVEL -- ERROR -- Idxfu_WriteIndex file not opened - " + base +
                              "dev_012.idx"));
  EXPECT_TRUE(
      debug_.Contains("Xarvel - ERROR write lockmemory file " + base + "dev_012.lck NOT FOUND"));
  EXPECT_EQ(xarvel::GetTally(101, 1), 65535);
  EXPECT_TRUE(xarvel::IndexFiles().IndexRead);
  EXPECT_FALSE(fs::exists(dir_.path() / "nowhere" / "site" / "data"));
}

TEST_F(IndexFilesTest, LinkedIndexFileStaysALink) {
  fs::create_directory(dir_.path() / "store");
  WriteFile(dir_.path() / "store" / "real.idx", std::string(212992, '\0'));
  fs::create_symlink(dir_.path() / "store" / "real.idx", dir_.path() / "DEV_012.IDX");
  StartProcess(12);
  xarvel::Idxfu_ReadIndex();
  xarvel::SetTally(101, 1, 300);
  ASSERT_EQ(xarvel::Idxfu_WriteIndex(), 1);

  EXPECT_TRUE(fs::is_symlink(dir_.path() / "DEV_012.IDX"));
  EXPECT_EQ(static_cast<uint8_t>(ReadFile(dir_.path() / "store" / "real.idx")[0]), 1);
}

// The save loop helper is killed at random moments while it saves; each time both files must
// be complete and hold one of the generations it was writing, never a mix or a short file.
TEST_F(IndexFilesTest, KillDuringSavesNeverLeavesATornFile) {
  const unsigned seed = std::random_device{}();
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> pause_us(0, 40000);
  SCOPED_TRACE("seed " + std::to_string(seed));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int rounds = 0;
  for (; rounds < 30 && std::chrono::steady_clock::now() < deadline; ++rounds) {
    testing_support::Process helper({SAVE_LOOP_BIN}, {"KIRN_WINDIR=" + dir_.str()});
    ASSERT_TRUE(helper.started());
    ASSERT_TRUE(helper.WaitForOutput("saved 1\n", 5000)) << helper.Stderr();
    std::this_thread::sleep_for(std::chrono::microseconds(pause_us(rng)));
    ASSERT_EQ(helper.Kill(), 128 + SIGKILL);

    // Generation g is reported after both files hold it, so at the kill the index file holds
    // the last reported generation or the next, and the lock file the same or one behind it.
    const std::string out = helper.Stdout();
    const size_t at = out.rfind("saved ");
    ASSERT_NE(at, std::string::npos);
    unsigned last = 0;
    ASSERT_EQ(std::sscanf(out.c_str() + at, "saved %u", &last), 1);
    const std::string idx = Read("DEV_012.IDX");
    const std::string lck = Read("DEV_012.LCK");
    ASSERT_EQ(idx.size(), xarvel::kIndexFileBytes) << "round " << rounds;
    ASSERT_EQ(lck.size(), xarvel::kLockFileBytes) << "round " << rounds;
    const unsigned idx_gen = idx == save_loop::IndexImage(last + 1) ? last + 1 : last;
    ASSERT_EQ(idx, save_loop::IndexImage(idx_gen))
        << "round " << rounds << ": index file is neither generation " << last << " nor the next";
    const bool lck_ok = lck == save_loop::LockImage(idx_gen) ||
                        (idx_gen == last + 1 && lck == save_loop::LockImage(last));
    ASSERT_TRUE(lck_ok) << "round " << rounds << ": lock file does not go with index generation "
                        << idx_gen;
    // An interrupted save leaves at most its own temporary file behind.
    int files = 0;
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(name == "DEV_101.INI" || name == "DEV_102.INI" || name == "DEV_012.IDX" ||
                  name == "DEV_012.LCK" || name == "DEV_012.IDX.tmp" || name == "DEV_012.LCK.tmp")
          << name;
      ++files;
    }
    EXPECT_LE(files, 5);
  }
  EXPECT_GE(rounds, 5);
}

}  // namespace
