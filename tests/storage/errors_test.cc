#include "storage/errors.h"

#include <gtest/gtest.h>

#include <string>

namespace kel {
namespace {

TEST(ErrorTextTest, FixedTexts) {
  struct Case {
    int code;
    const char* text;
  } cases[] = {
      {2, "File Not Found"},
      {5, "Access Denied"},
      {8, "Insufficient Memory"},
      {32, "File Is Already Locked"},
      {33, "Record Not Available"},
      {35, "Record Not Found"},
      {36, "Invalid Data File"},
      {37, "File Not Open"},
      {38, "Invalid Key File"},
      {40, "Creates Duplicate Key"},
      {43, "Record Is Already Held"},
      {45, "Invalid Filename"},
      {46, "Key File Must Be Rebuilt"},
      {47, "Invalid Record Declaration"},
      {52, "File Already Open"},
      {54, "No Create Attribute"},
      {56, "LOGOUT Already Active"},
      {63, "Exclusive Access Required"},
      {75, "Invalid Field Type Descriptor"},
      {76, "Invalid Index String"},
      {78, "Invalid Number Of Parameters "},
      {79, "Unsupported Data Type In File"},
      {80, "Unsupported File Driver Function"},
      {89, "Record Changed By Another Station"},
      {90, "File System Error"},
      {92, "BUILD In Progress"},
      {93, "BUILD Cancelled"},
  };
  for (const Case& c : cases) EXPECT_STREQ(ErrorText(c.code), c.text) << c.code;
  // Operating-system codes passed on with their own numbers have no text here.
  EXPECT_STREQ(ErrorText(0), "");
  EXPECT_STREQ(ErrorText(27), "");
  EXPECT_STREQ(ErrorText(1477), "");
}

TEST(InternalErrorTest, InsideFrameThrowsWithCodeAndSetsFileError) {
  OperationFrame frame("GOROD");
  EXPECT_TRUE(OperationFrame::Active());
  try {
    RaiseInternal(1477);
    FAIL() << "RaiseInternal returned";
  } catch (const InternalError& e) {
    EXPECT_EQ(e.code(), 1477);
  }
  EXPECT_EQ(LastFileError().code, 1477);
  EXPECT_EQ(LastFileError().text, "Possible data corruption in file");
}

TEST(InternalErrorTest, FrameWithoutTableReportsDriverError) {
  OperationFrame frame("");
  EXPECT_THROW(Require(false, 2172), InternalError);
  EXPECT_EQ(LastFileError().code, 2172);
  EXPECT_EQ(LastFileError().text, "KelStore File Driver Error");
  Require(true, 1);  // a kept invariant does nothing
}

TEST(InternalErrorTest, NestedFramesRestoreOuterState) {
  EXPECT_FALSE(OperationFrame::Active());
  {
    OperationFrame outer("KLIENT");
    {
      OperationFrame inner("FIRMA");
      EXPECT_EQ(OperationFrame::TableName(), "FIRMA");
    }
    EXPECT_TRUE(OperationFrame::Active());
    EXPECT_EQ(OperationFrame::TableName(), "KLIENT");
  }
  EXPECT_FALSE(OperationFrame::Active());
  EXPECT_EQ(OperationFrame::TableName(), "");
  EXPECT_TRUE(OperationFrame::AnyOperationStarted());
}

// With no frame to return to, the program stops with the message and the
// code in parentheses; no table is being worked on, so the message is empty.
TEST(InternalErrorDeathTest, NoFrameEndsProgramWithCode) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(RaiseInternal(1735), testing::ExitedWithCode(kInternalErrorExitStatus), " \\(1735\\)");
}

TEST(InternalErrorTest, ReportTextFollowsTableName) {
  EXPECT_EQ(InternalErrorReport(522), " (522)");
  OperationFrame frame("RABOTA");
  EXPECT_EQ(InternalErrorReport(522), "Possible data corruption in file (522)");
}

}  // namespace
}  // namespace kel
