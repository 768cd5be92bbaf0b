#include "agent/text.h"

#include <gtest/gtest.h>

#include <string.h>

#include <sys/mman.h>
#include <unistd.h>

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

// Each argument ends right before an unreadable page, so a comparison that
// reads past an argument's end crashes the test.
TEST(DebugRequested, OnlyAnExactFirstArgumentAndNoReadPastAShortOne) {
  const struct {
    std::vector<std::string> args;
    bool debug;
  } cases[] = {{{"-D"}, true},   {{"-D", "x"}, true}, {{""}, false}, {{"-"}, false},
               {{"-Dx"}, false}, {{"-d"}, false},     {{}, false},   {{"-x", "-D"}, false}};
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  char* pages = static_cast<char*>(
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(pages, MAP_FAILED);
  ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
  for (const auto& c : cases) {
    std::vector<char*> argv{const_cast<char*>("tnmibd")};
    if (!c.args.empty()) {  // the examined argument sits at the page's end
      char* at = pages + page - (c.args[0].size() + 1);
      memcpy(at, c.args[0].c_str(), c.args[0].size() + 1);
      argv.push_back(at);
    }
    if (c.args.size() > 1) argv.push_back(const_cast<char*>(c.args[1].c_str()));
    EXPECT_EQ(debugRequested(static_cast<int>(argv.size()), argv.data()), c.debug)
        << (c.args.empty() ? "(none)" : c.args[0]);
  }
  munmap(pages, 2 * page);
}
