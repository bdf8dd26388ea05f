// Table name syntax: file part, "\!" and table part, default extension,
// UNNAMED, directories whose names hold "\!", names that cannot be completed.
#include "storage/table_name.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/process.h"

namespace kel {
namespace {

class TableNameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char buf[4096];
    ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
    old_cwd_ = buf;
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    char real[4096];
    ASSERT_NE(getcwd(real, sizeof real), nullptr);
    cwd_ = real;
  }
  void TearDown() override { ASSERT_EQ(chdir(old_cwd_.c_str()), 0); }

  test::TempDir dir_;
  std::string old_cwd_, cwd_;
};

TEST_F(TableNameTest, SplitsAndCompletes) {
  ASSERT_EQ(mkdir((cwd_ + "/a\\!b").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((cwd_ + "/plain").c_str(), 0755), 0);
  struct Case {
    const char* name;
    std::string path, table, display;
  } cases[] = {
      {"DATA", cwd_ + "/DATA.KST", "UNNAMED", cwd_ + "/DATA.KST"},
      {"DATA\\!gorod", cwd_ + "/DATA.KST", "GOROD", cwd_ + "/DATA.KST\\!GOROD"},
      {"data.dat\\!Gorod", cwd_ + "/data.dat", "GOROD", cwd_ + "/data.dat\\!GOROD"},
      {"DATA\\!", cwd_ + "/DATA.KST", "UNNAMED", cwd_ + "/DATA.KST"},
      {"./sub/../DATA", cwd_ + "/DATA.KST", "UNNAMED", cwd_ + "/DATA.KST"},
      {"/abs/x.kst\\!T", "/abs/x.kst", "T", "/abs/x.kst\\!T"},
      // A "\!" inside a directory name is no separator.
      {"a\\!b/DATA", cwd_ + "/a\\!b/DATA.KST", "UNNAMED", cwd_ + "/a\\!b/DATA.KST"},
      {"a\\!b/DATA\\!RAB", cwd_ + "/a\\!b/DATA.KST", "RAB", cwd_ + "/a\\!b/DATA.KST\\!RAB"},
      // Text before the "\!" that is a directory is not a file name either.
      {"plain\\!X", cwd_ + "/plain\\!X.KST", "UNNAMED", cwd_ + "/plain\\!X.KST"},
      // Cyrillic table names are upper-cased in the ANSI code page.
      {"D\\!\xE3\xEE\xF0\xEE\xE4", cwd_ + "/D.KST", "\xC3\xCE\xD0\xCE\xC4", cwd_ + "/D.KST\\!\xC3\xCE\xD0\xCE\xC4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TableName tn;
    ASSERT_EQ(SplitTableName(c.name, &tn), 0);
    EXPECT_EQ(tn.path, c.path);
    EXPECT_EQ(tn.table, c.table);
    EXPECT_EQ(tn.display, c.display);
  }
}

TEST_F(TableNameTest, NamesThatCannotBeCompletedAnswer45) {
  std::string long_name(5000, 'x');
  for (const std::string& name : {std::string(""), std::string("\\!T"), std::string("dir/"), std::string("/"),
                                  long_name, std::string(300, 'y')}) {
    TableName tn;
    EXPECT_EQ(SplitTableName(name, &tn), 45) << name.substr(0, 20);
  }
}

}  // namespace
}  // namespace kel
