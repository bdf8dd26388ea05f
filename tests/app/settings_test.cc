// kelvaro.INI: the sector list read at start and written back at exit,
// including files damaged by hand or by accident.
#include "app/main/settings_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/profile.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kel_settings_XXXXXX";
    root_ = mkdtemp(tmpl);
    setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
    path_ = root_ + "/kelvaro/kelvaro.INI";
  }
  void TearDown() override {
    unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(root_);
  }
  void Put(const std::string& bytes) {
    fs::create_directories(root_ + "/kelvaro");
    std::ofstream(path_, std::ios::binary) << bytes;
  }
  std::string Contents() {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // Reads, writes back, and answers the written file.
  std::string RoundTrip(SettingsFile* settings) {
    settings->Read();
    EXPECT_EQ(settings->Write(), 0);
    return Contents();
  }
  std::string root_, path_;
};

TEST_F(SettingsTest, MissingFileGivesEmptyListAndZeroAtExit) {
  SettingsFile settings;
  EXPECT_EQ(RoundTrip(&settings), "[__Dont_Touch_Me__]\nSectors=0\n");
  EXPECT_TRUE(settings.sectors().empty());
}

TEST_F(SettingsTest, EntriesAreWrittenBackUnchanged) {
  const std::string long_value(130, 'x');
  const std::string file = "; kept\n[Other]\na=1\n[__Dont_Touch_Me__]\nSectors=3\n"
                           "Sectors_1=Москва,Тверь,Клин\n"
                           "Sectors_2=a,b,c,d,e\n"
                           "Sectors_3=" + long_value + ",y\n";
  Put(file);
  SettingsFile settings;
  EXPECT_EQ(RoundTrip(&settings), file);
  ASSERT_EQ(settings.sectors().size(), 3u);
  EXPECT_EQ(settings.sectors()[0].values,
            (std::vector<std::string>{"Москва", "Тверь", "Клин"}));
  // The split view keeps three values of at most 100 characters ...
  EXPECT_EQ(settings.sectors()[1].values, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(settings.sectors()[2].values[0], std::string(100, 'x'));
  // ... the raw text keeps everything.
  EXPECT_EQ(settings.sectors()[1].raw, "a,b,c,d,e");
  EXPECT_EQ(settings.sectors()[2].raw, long_value + ",y");
}

TEST_F(SettingsTest, DamagedFilesStartWithWhatCanBeRead) {
  struct Case {
    const char* name;
    std::string file;
    size_t sectors;
    std::string written_section;  // the section as written back
  } cases[] = {
      {"count not a number", "[__Dont_Touch_Me__]\nSectors=abc\nSectors_1=a\n", 0,
       "Sectors=0\nSectors_1=a\n"},
      {"negative count", "[__Dont_Touch_Me__]\nSectors=-4\nSectors_1=a\n", 0,
       "Sectors=0\nSectors_1=a\n"},
      {"count beyond the entries", "[__Dont_Touch_Me__]\nSectors=2000000000\nSectors_1=a\nSectors_2=b\n",
       2, "Sectors=2\nSectors_1=a\nSectors_2=b\n"},
      {"entry missing in the middle", "[__Dont_Touch_Me__]\nSectors=3\nSectors_1=a\nSectors_3=c\n", 3,
       "Sectors=3\nSectors_1=a\nSectors_3=c\nSectors_2=\n"},
      {"entries in any order and case", "[__dont_touch_me__]\nsectors_2=b\nSECTORS=2\nsectors_1=a\n",
       2, "sectors_2=b\nSECTORS=2\nsectors_1=a\n"},
      {"no count at all", "[__Dont_Touch_Me__]\nSectors_1=a\n", 0, "Sectors_1=a\nSectors=0\n"},
      {"binary garbage", std::string("\x7f" "ELF\0\x01\x02\n\xff\xfe[__Dont_Touch_Me__\n\0\0", 21), 0,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(root_ + "/kelvaro");
    Put(c.file);
    SettingsFile settings;
    std::string written = RoundTrip(&settings);
    EXPECT_EQ(settings.sectors().size(), c.sectors);
    if (!c.written_section.empty()) {
      size_t at = written.find(c.written_section);
      EXPECT_NE(at, std::string::npos) << written;
    }
    // Whatever came in, what goes out reads back to the same list.
    SettingsFile again;
    again.Read();
    ASSERT_EQ(again.sectors().size(), settings.sectors().size()) << written;
    for (size_t i = 0; i < again.sectors().size(); ++i)
      EXPECT_EQ(again.sectors()[i].raw, settings.sectors()[i].raw);
    EXPECT_EQ(written.find('\0'), std::string::npos);
    EXPECT_EQ(platform::GetPrivateProfileInt(SettingsFile::kSection, "Sectors", -1,
                                             SettingsFile::kFileName),
              int(c.sectors));
  }
}

}  // namespace
}  // namespace kel
