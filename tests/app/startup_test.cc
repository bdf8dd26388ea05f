// The whole run: start-up, the frame, shutdown.
#include "app/main/startup.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QTimer>
#include <filesystem>

#include "app/dictionary/handles.h"
#include "framework/core/error_reporter.h"
#include "platform/drag_setting.h"
#include "platform/profile.h"

namespace kel {
namespace {

namespace fs = std::filesystem;

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kel_startup_XXXXXX";
    root_ = mkdtemp(tmpl);
    fs::create_directories(root_ / "data");
    setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    old_ = fs::current_path();
    fs::current_path(root_ / "data");
  }
  void TearDown() override {
    fs::current_path(old_);
    unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(root_);
  }
  fs::path root_, old_;
};

TEST_F(StartupTest, FirstStartInAnEmptyDirectory) {
  ProgramOptions options;
  options.close_at_once = true;
  std::vector<std::string> trail;
  ASSERT_EQ(RunProgram(*qApp, options, &trail), 0);
  const std::vector<std::string> expected = {
      "reporter",      "dictionary",       "settings read",       "drag off",
      "main ended",    "drag restored",    "settings written",    "dictionary released",
      "reporter released"};
  EXPECT_EQ(trail, expected);
  EXPECT_TRUE(fs::is_empty(root_ / "data")) << "no table file is created by start-up";
  EXPECT_EQ(platform::GetPrivateProfileString("__Dont_Touch_Me__", "Sectors", "", "kelvaro.INI"), "0");
  EXPECT_FALSE(dict::Initialised());
  EXPECT_EQ(ErrorReporter::Shared(), nullptr);
}

TEST_F(StartupTest, DragFlagIsOffDuringTheRunAndRestoredAfter) {
  for (bool initially : {true, false}) {
    SCOPED_TRACE(initially);
    ASSERT_EQ(platform::SetDragFullWindows(initially), 0);
    bool during = true;
    // Observed from inside the frame's event loop.
    QTimer::singleShot(0, [&] { during = platform::GetDragFullWindows(); });
    ProgramOptions options;
    options.close_at_once = true;
    RunProgram(*qApp, options);
    EXPECT_FALSE(during);
    EXPECT_EQ(platform::GetDragFullWindows(), initially);
  }
}

TEST_F(StartupTest, SectorsSurviveARun) {
  ASSERT_EQ(platform::WritePrivateProfileStrings(
                "__Dont_Touch_Me__", {{"Sectors", "2"}, {"Sectors_1", "a,b"}, {"Sectors_2", "1,2,3,4"}},
                "kelvaro.INI"),
            0);
  ProgramOptions options;
  options.close_at_once = true;
  RunProgram(*qApp, options);
  EXPECT_EQ(platform::GetPrivateProfileString("__Dont_Touch_Me__", "Sectors_2", "", "kelvaro.INI"),
            "1,2,3,4");
  EXPECT_EQ(platform::GetPrivateProfileInt("__Dont_Touch_Me__", "Sectors", -1, "kelvaro.INI"), 2);
}

}  // namespace
}  // namespace kel
