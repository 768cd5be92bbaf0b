#include "agent/text.h"

#include <gtest/gtest.h>

#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "agent/options.h"

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

// Each argument lives in a heap block of its own exact size, so a comparison
// that reads past an argument's end is caught by the address sanitizer.
TEST(DebugRequested, OnlyAnExactFirstArgumentAndNoReadPastAShortOne) {
  const struct {
    std::vector<std::string> args;
    bool debug;
  } cases[] = {{{"-D"}, true},   {{"-D", "x"}, true}, {{""}, false}, {{"-"}, false},
               {{"-Dx"}, false}, {{"-d"}, false},     {{}, false},   {{"-x", "-D"}, false}};
  for (const auto& c : cases) {
    std::vector<std::unique_ptr<char[]>> owned;
    std::vector<char*> argv{const_cast<char*>("tnmibd")};
    for (const std::string& a : c.args) {
      owned.emplace_back(new char[a.size() + 1]);
      memcpy(owned.back().get(), a.c_str(), a.size() + 1);
      argv.push_back(owned.back().get());
    }
    EXPECT_EQ(debugRequested(static_cast<int>(argv.size()), argv.data()), c.debug)
        << (c.args.empty() ? "(none)" : c.args[0]);
  }
}
