#include "agent/text.h"

#include <gtest/gtest.h>

#include <string.h>

namespace {

TEST(CopyText, CutsToTheFieldAndTerminates) {
  char field[8];
  memset(field, '#', sizeof field);
  EXPECT_EQ(copyText(field, "0123456789"), 7u);
  EXPECT_STREQ(field, "0123456");
}

TEST(CopyText, NullSourceGivesEmptyText) {
  char field[4] = "abc";
  EXPECT_EQ(copyText(field, nullptr), 0u);
  EXPECT_STREQ(field, "");
}

TEST(CopyText, NeverWritesBeyondTheGivenSize) {
  char buffer[6];
  memset(buffer, '#', sizeof buffer);
  copyText(buffer, 3, "abcdef");
  EXPECT_STREQ(buffer, "ab");
  EXPECT_EQ(buffer[3], '#');
  copyText(buffer, 0, "abcdef");  // nothing at all
  EXPECT_EQ(buffer[0], 'a');
}

TEST(CopyText, TakesAtMostMaxCharsOfAnUnterminatedSource) {
  const char source[3] = {'x', 'y', 'z'};
  char field[16];
  EXPECT_EQ(copyText(field, sizeof field, source, 2), 2u);
  EXPECT_STREQ(field, "xy");
}

}  // namespace
