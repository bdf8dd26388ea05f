#include "platform/profile.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/drag_setting.h"

namespace kel::platform {
namespace {

namespace fs = std::filesystem;

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kel_profile_XXXXXX";
    root_ = mkdtemp(tmpl);
    setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(root_);
  }
  std::string PathOf(const std::string& name) { return root_ + "/kelvaro/" + name; }
  void Put(const std::string& name, const std::string& bytes) {
    fs::create_directories(root_ + "/kelvaro");
    std::ofstream(PathOf(name), std::ios::binary) << bytes;
  }
  std::string Contents(const std::string& name) {
    std::ifstream in(PathOf(name), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::string root_;
};

TEST_F(ProfileTest, FilesLiveUnderXdgConfigHomeOrHomeConfig) {
  EXPECT_EQ(ProfileFilePath("kelvaro.INI"), root_ + "/kelvaro/kelvaro.INI");
  EXPECT_EQ(ProfileFilePath("/x/y.ini"), "/x/y.ini");
  unsetenv("XDG_CONFIG_HOME");
  setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(ProfileDirectory(), "/home/someone/.config/kelvaro");
  setenv("XDG_CONFIG_HOME", "relative/dir", 1);  // not absolute: ignored
  EXPECT_EQ(ProfileDirectory(), "/home/someone/.config/kelvaro");
}

TEST_F(ProfileTest, WriteCreatesDirectoryAndFileAndReadsBack) {
  ASSERT_EQ(WritePrivateProfileString("S", "A", "one", "t.ini"), 0);
  ASSERT_EQ(WritePrivateProfileString("S", "B", "two, три", "t.ini"), 0);
  ASSERT_EQ(WritePrivateProfileString("T", "A", "x", "t.ini"), 0);
  ASSERT_EQ(WritePrivateProfileString("s", "a", "uno", "t.ini"), 0);  // same key, other case
  EXPECT_EQ(Contents("t.ini"), "[S]\nA=uno\nB=two, три\n[T]\nA=x\n");
  EXPECT_EQ(GetPrivateProfileString("S", "b", "-", "t.ini"), "two, три");
  EXPECT_EQ(GetPrivateProfileString("S", "C", "-", "t.ini"), "-");
  EXPECT_EQ(GetPrivateProfileString("U", "A", "-", "missing.ini"), "-");
  EXPECT_FALSE(fs::exists(PathOf("missing.ini")));
}

TEST_F(ProfileTest, ReadingToleratesHandWrittenAndDamagedFiles) {
  Put("d.ini", std::string("; comment\r\n[ S ]\r\n  key =  spaced value  \r\nnoequals\r\n"
                           "key=second\r\n=novalue\r\nbin\x01\x02=zz\r\n[S]\r\nother=1\r\n") +
                   std::string("\0\xff\xfe", 3));
  EXPECT_EQ(GetPrivateProfileString("s", "KEY", "-", "d.ini"), "spaced value");
  EXPECT_EQ(GetPrivateProfileString("S", "other", "-", "d.ini"), "-");  // first section wins
  auto entries = GetPrivateProfileSection("S", "d.ini");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].first, "key");

  // A rewrite keeps readable lines as they were and drops the garbage.
  ASSERT_EQ(WritePrivateProfileString("S", "new", "v", "d.ini"), 0);
  EXPECT_EQ(Contents("d.ini"),
            "; comment\n[ S ]\n  key =  spaced value  \nnoequals\nkey=second\n=novalue\nnew=v\n"
            "[S]\nother=1\n");
}

TEST_F(ProfileTest, IntegerValues) {
  struct Case {
    const char* text;
    int32_t expected;
  } cases[] = {{"12", 12},  {"-3", -3},        {"+4", 4},          {"7x", 7},
               {"abc", 0},  {"", 0},           {"99999999999", INT32_MAX},
               {"-99999999999", INT32_MIN}};
  for (const Case& c : cases) {
    ASSERT_EQ(WritePrivateProfileString("N", "k", c.text, "n.ini"), 0);
    EXPECT_EQ(GetPrivateProfileInt("N", "k", 55, "n.ini"), c.expected) << c.text;
  }
  EXPECT_EQ(GetPrivateProfileInt("N", "absent", 55, "n.ini"), 55);
}

TEST_F(ProfileTest, RefusesWhatCannotBeStored) {
  EXPECT_NE(WritePrivateProfileString("S", "k", "line\nbreak", "r.ini"), 0);
  EXPECT_NE(WritePrivateProfileString("S", "k=2", "v", "r.ini"), 0);
  EXPECT_NE(WritePrivateProfileString("S]", "k", "v", "r.ini"), 0);
  EXPECT_NE(WritePrivateProfileString("S", "", "v", "r.ini"), 0);
  EXPECT_FALSE(fs::exists(PathOf("r.ini")));
}

TEST_F(ProfileTest, DeleteKeyAndUserProfile) {
  ASSERT_EQ(WriteProfileString("KELSTORE", "Trace", "1"), 0);
  EXPECT_EQ(GetProfileInt("KELSTORE", "trace", 0), 1);
  EXPECT_TRUE(fs::exists(PathOf("user.ini")));
  ASSERT_EQ(DeletePrivateProfileKey("KELSTORE", "TRACE", kUserProfileFile), 0);
  EXPECT_EQ(GetProfileString("KELSTORE", "Trace", "gone"), "gone");
}

TEST_F(ProfileTest, DragFlagIsStoredAndRestored) {
  EXPECT_TRUE(GetDragFullWindows());  // missing: on
  ASSERT_EQ(SetDragFullWindows(false), 0);
  EXPECT_FALSE(GetDragFullWindows());
  ASSERT_EQ(SetDragFullWindows(true), 0);
  EXPECT_TRUE(GetDragFullWindows());
  EXPECT_EQ(GetProfileString("Desktop", "DragFullWindows", ""), "1");
}

}  // namespace
}  // namespace kel::platform
