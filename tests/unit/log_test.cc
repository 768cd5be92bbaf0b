#include "agent/log.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string logged(const char* message) {
  testing::internal::CaptureStderr();
  ts_print(message);
  return testing::internal::GetCapturedStderr();
}

// The time text is the C library's 24-character form: "Sat Dec  5 18:07:41 2026".
const size_t kTimeText = 24;
const std::string kTag = ": tnmibd: ";

TEST(TsPrint, WritesTimeTextProgramNameAndMessageOnOneLine) {
  std::string out = logged("Error: Failed to connect\n");
  ASSERT_EQ(out.size(), kTimeText + kTag.size() + strlen("Error: Failed to connect") + 1);
  EXPECT_EQ(out.substr(kTimeText, kTag.size()), kTag);
  EXPECT_EQ(out.substr(kTimeText + kTag.size()), "Error: Failed to connect\n");
  EXPECT_EQ(out[3], ' ');  // "Sat ..." weekday then blank
  EXPECT_EQ(out.substr(19, 1), " ");
}

TEST(TsPrint, PrintsOnlyTheFirstLine) {
  std::string out = logged("first\nsecond\n");
  EXPECT_EQ(out.substr(kTimeText + kTag.size()), "first\n");
}

TEST(TsPrint, EmptyMessageStillEndsTheLine) {
  EXPECT_EQ(logged("").substr(kTimeText), kTag + "\n");
}

TEST(TsPrint, CutsLongMessagesAtTheLimit) {
  std::string longMessage(5000, 'x');
  std::string out = logged(longMessage.c_str());
  EXPECT_EQ(out.substr(kTimeText + kTag.size()), std::string(TS_PRINT_MAX, 'x') + "\n");
}

TEST(TsPrint, ReturnsTheNumberOfCharactersWritten) {
  testing::internal::CaptureStderr();
  int n = ts_print("abc");
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_EQ(n, static_cast<int>(out.size()));
}

}  // namespace
