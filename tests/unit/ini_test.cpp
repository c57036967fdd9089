#include "platform/ini.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "test_support.h"

namespace {

using plat::GetPrivateProfileString;
using plat::WritePrivateProfileString;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

class IniTest : public ::testing::Test {
 protected:
  std::string Get(std::string_view section, std::string_view key, size_t size = 256) {
    return GetPrivateProfileString(section, key, "<def>", size, path_);
  }
  bool Put(std::string_view section, std::string_view key, std::string_view value) {
    return WritePrivateProfileString(section, key, value, path_);
  }
  size_t EntriesInDir() const {
    size_t n = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir_.path())) ++n;
    return n;
  }

  TempDir dir_;
  std::string path_ = (dir_.path() / "p.ini").string();
};

TEST_F(IniTest, MissingFileSectionOrKeyGivesDefaultCutToSize) {
  EXPECT_EQ(Get("S", "k"), "<def>");
  WriteFile(path_, "[S]\nk=value\n");
  EXPECT_EQ(Get("T", "k"), "<def>");
  EXPECT_EQ(Get("S", "other"), "<def>");
  EXPECT_EQ(Get("S", "k", 4), "val");
  EXPECT_EQ(Get("S", "other", 3), "<d");
  EXPECT_EQ(Get("S", "k", 1), "");
  EXPECT_EQ(Get("S", "k", 0), "");
  EXPECT_EQ(Get("", "k"), "<def>");
}

TEST_F(IniTest, NamesMatchWithoutCaseAndBlanksAreTrimmed) {
  WriteFile(path_,
            "k=top\n; c\n  [ Controller ]  \n  TallyDelay  =  500  \nName=  a b  \n;k=c\n#k=h\n");
  EXPECT_EQ(Get("controller", "TALLYDELAY"), "500");
  EXPECT_EQ(Get("CONTROLLER", "name"), "a b");
  EXPECT_EQ(Get("Controller", "k"), "<def>");  // before any section, or commented out
}

TEST_F(IniTest, WritesCreateFileKeepOrderAndAppendNewSectionsAtTheEnd) {
  ASSERT_TRUE(Put("Controller", "Name", "X"));
  ASSERT_TRUE(Put("Controller", "ParkSource", "0"));
  ASSERT_TRUE(Put("Routers", "Router_A", "1,1,8,0,0"));
  ASSERT_TRUE(Put("controller", "Access", "ALL"));
  ASSERT_TRUE(Put("Controller", "name", "Y"));  // replaces in place, keeps the spelling
  EXPECT_EQ(ReadFile(path_),
            "[Controller]\nName=Y\nParkSource=0\nAccess=ALL\n\n[Routers]\nRouter_A=1,1,8,0,0\n");
}

TEST_F(IniTest, EmptyValueLeavesKeyPresent) {
  ASSERT_TRUE(Put("S", "Locked_01", ""));
  EXPECT_EQ(Get("S", "Locked_01"), "");
  EXPECT_EQ(ReadFile(path_), "[S]\nLocked_01=\n");
}

TEST_F(IniTest, UnrelatedLinesArePreservedAndNewKeyGoesAfterLastNonBlankLine) {
  const std::string before = "; site profile\n[A]\nx=1\n; note\n\n\n[B]\ny=2\n";
  WriteFile(path_, before);
  ASSERT_TRUE(Put("A", "z", "3"));
  EXPECT_EQ(ReadFile(path_), "; site profile\n[A]\nx=1\n; note\nz=3\n\n\n[B]\ny=2\n");
}

TEST_F(IniTest, CrLfFilesReadAndKeepTheirLineEnds) {
  WriteFile(path_, "[S]\r\na=1\r\nb = two \r\n");
  EXPECT_EQ(Get("S", "a"), "1");
  EXPECT_EQ(Get("S", "b"), "two");
  ASSERT_TRUE(Put("S", "c", "3"));
  ASSERT_TRUE(Put("S", "a", "9"));
  ASSERT_TRUE(Put("T", "d", "4"));
  EXPECT_EQ(ReadFile(path_), "[S]\r\na=9\r\nb = two \r\nc=3\r\n\r\n[T]\r\nd=4\r\n");
}

TEST_F(IniTest, MissingFinalNewlineGetsOneBeforeAddedLines) {
  WriteFile(path_, "[S]\na=1");
  EXPECT_EQ(Get("S", "a"), "1");
  ASSERT_TRUE(Put("S", "b", "2"));
  EXPECT_EQ(ReadFile(path_), "[S]\na=1\nb=2\n");
  WriteFile(path_, "[S]");
  ASSERT_TRUE(Put("S", "b", "2"));
  EXPECT_EQ(ReadFile(path_), "[S]\nb=2\n");
}

// Many Windows editors start a UTF-8 file with a byte-order mark: the first section is read all
// the same, and a write keeps the mark and adds nothing of its own.
TEST_F(IniTest, ByteOrderMarkIsSkippedOnReadingAndKeptOnWriting) {
  WriteFile(path_, "\xEF\xBB\xBF[Controller]\r\nName=Studio 1\r\n");
  EXPECT_EQ(Get("controller", "name"), "Studio 1");
  ASSERT_TRUE(Put("Controller", "TallyDelay", "500"));
  ASSERT_TRUE(Put("Routers", "Router_A", "101,1,16"));
  EXPECT_EQ(ReadFile(path_),
            "\xEF\xBB\xBF[Controller]\r\nName=Studio 1\r\nTallyDelay=500\r\n\r\n[Routers]\r\n"
            "Router_A=101,1,16\r\n");
  WriteFile(path_, "\xEF\xBB\xBFName=first line key\n");
  ASSERT_TRUE(Put("S", "k", "v"));
  EXPECT_EQ(ReadFile(path_).substr(0, 3), "\xEF\xBB\xBF");
}

TEST_F(IniTest, FirstOfDuplicateSectionsAndKeysWins) {
  WriteFile(path_, "[S]\nk=first\nk=second\n[s]\nk=third\nj=other\n");
  EXPECT_EQ(Get("S", "k"), "first");
  EXPECT_EQ(Get("S", "j"), "<def>");
  ASSERT_TRUE(Put("S", "k", "new"));
  EXPECT_EQ(ReadFile(path_), "[S]\nk=new\nk=second\n[s]\nk=third\nj=other\n");
}

TEST_F(IniTest, RefusedWritesLeaveTheFileAlone) {
  const std::string before = "[S]\nk=1\n";
  WriteFile(path_, before);
  EXPECT_FALSE(Put("S", "k", "a\nb=c"));
  EXPECT_FALSE(Put("S", "k", "a\rb"));
  EXPECT_FALSE(Put("S", "k", std::string("a\0b", 3)));
  EXPECT_FALSE(Put("S", "k=j", "1"));
  EXPECT_FALSE(Put("S", "[k", "1"));
  EXPECT_FALSE(Put("S]", "k", "1"));
  EXPECT_FALSE(Put("", "k", "1"));
  EXPECT_FALSE(Put("S", " ", "1"));
  EXPECT_EQ(ReadFile(path_), before);
}

TEST_F(IniTest, UnwritableLocationsFailWithoutDamage) {
  WriteFile(path_, "[S]\nk=1\n");
  // A path below a regular file and a path in a missing directory cannot be written, even as
  // root.
  EXPECT_FALSE(WritePrivateProfileString("S", "k", "2", path_ + "/x.ini"));
  EXPECT_FALSE(WritePrivateProfileString("S", "k", "2", dir_.str() + "/missing/x.ini"));
  EXPECT_EQ(GetPrivateProfileString("S", "k", "d", 16, path_ + "/x.ini"), "d");
  // A directory given as the path.
  EXPECT_FALSE(WritePrivateProfileString("S", "k", "2", dir_.str()));
  EXPECT_EQ(GetPrivateProfileString("S", "k", "d", 16, dir_.str()), "d");
  EXPECT_EQ(ReadFile(path_), "[S]\nk=1\n");
  EXPECT_EQ(EntriesInDir(), 1u);  // no temporary file left behind
}

TEST_F(IniTest, ReplacesAtomicallyKeepsModeAndLeavesNoTemporaryFile) {
  WriteFile(path_, "[S]\nk=1\n");
  ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
  ASSERT_TRUE(Put("S", "k", "2"));
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(EntriesInDir(), 1u);
}

TEST_F(IniTest, SymbolicLinkIsFollowed) {
  const std::string real = dir_.str() + "/real.ini";
  WriteFile(real, "[S]\nk=1\n");
  std::filesystem::create_symlink(real, path_);
  ASSERT_TRUE(Put("S", "k", "2"));
  EXPECT_TRUE(std::filesystem::is_symlink(path_));
  EXPECT_EQ(ReadFile(real), "[S]\nk=2\n");
}

TEST_F(IniTest, GarbageHugeLinesAndSpecialFilesNeverBreakReadsOrWrites) {
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<char>((i * 131 + 7) % 256));
  std::string huge(2 * 1024 * 1024, 'x');
  WriteFile(path_, garbage + "\n" + huge + "\n[S]\nk=" + huge + "\nj=ok");
  EXPECT_EQ(Get("S", "j"), "ok");
  EXPECT_EQ(Get("S", "k", 10), "xxxxxxxxx");
  ASSERT_TRUE(Put("S", "j", "ok2"));
  EXPECT_EQ(Get("S", "j"), "ok2");
  EXPECT_EQ(ReadFile(path_).substr(0, garbage.size()), garbage);

  // A FIFO must not block the reader or the writer.
  const std::string fifo = dir_.str() + "/fifo.ini";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(GetPrivateProfileString("S", "k", "d", 8, fifo), "d");
  EXPECT_FALSE(WritePrivateProfileString("S", "k", "v", fifo));
}

}  // namespace
