// The bounded copy, the log line, the command-line check and the run-time
// binding of the SNMP libraries (on this host's libraries and on a fixture
// library that opens but defines none of the symbols).
#include <gtest/gtest.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "agent/log.h"
#include "agent/options.h"
#include "agent/text.h"
#include "snmp/dl.h"

namespace {

TEST(CopyText, CutsTerminatesAndNeverWritesOrReadsPastItsBounds) {
  char field[8] = "#######";
  EXPECT_EQ(copyText(field, 4, "abcdef"), 3u);
  EXPECT_STREQ(field, "abc");
  EXPECT_EQ(field[4], '#');
  EXPECT_EQ(copyText(field, "0123456789"), 7u);
  EXPECT_STREQ(field, "0123456");
  const char unterminated[3] = {'x', 'y', 'z'};
  EXPECT_EQ(copyText(field, sizeof field, unterminated, 2), 2u);
  EXPECT_STREQ(field, "xy");
}

TEST(TsPrint, OneTimeStampedLineOfTheFirstLineCutAtTheLimit) {
  testing::internal::CaptureStderr();
  int n = ts_print((std::string(5000, 'x') + "\nsecond\n").c_str());
  std::string out = testing::internal::GetCapturedStderr();
  // The time is the C library's 24-character form: "Sat Dec  5 18:07:41 2026".
  EXPECT_EQ(out.substr(24), ": tnmibd: " + std::string(TS_PRINT_MAX, 'x') + "\n");
  EXPECT_EQ(n, static_cast<int>(out.size()));
}

// Each argument ends right before an unreadable page, so a comparison that
// reads past an argument's end crashes the test.
TEST(DebugRequested, OnlyAnExactFirstArgumentAndNoReadPastAShortOne) {
  const struct {
    std::vector<std::string> args;
    bool debug;
  } cases[] = {{{"-D", "x"}, true}, {{""}, false}, {{"-"}, false},       {{"-Dx"}, false},
               {{"-d"}, false},     {{}, false},   {{"-x", "-D"}, false}};
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  char* pages = static_cast<char*>(
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(pages, MAP_FAILED);
  ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
  for (const auto& c : cases) {
    std::vector<char*> argv{const_cast<char*>("tnmibd")};
    for (const std::string& arg : c.args) argv.push_back(const_cast<char*>(arg.c_str()));
    if (!c.args.empty())  // the examined argument sits at the page's end
      argv[1] = static_cast<char*>(
          memcpy(pages + page - (c.args[0].size() + 1), c.args[0].c_str(), c.args[0].size() + 1));
    EXPECT_EQ(debugRequested(static_cast<int>(argv.size()), argv.data()), c.debug)
        << (c.args.empty() ? "(none)" : c.args[0]);
  }
  munmap(pages, 2 * page);
}

TEST(Binding, ResolvesEverythingOrFailsAtTheFirstMissingPieceWithOneMessage) {
  const std::string fake = TN_BUILD_DIR "/tests/unit/fixtures/libfakeempty.so";
  const char *snmp = "libnetsnmp.so", *helpers = "libnetsnmphelpers.so",
             *agent = "libnetsnmpagent.so", *mibs = "libnetsnmpmibs.so";
  const struct {
    const char* names[4];
    const char* message;  // "" for success
  } cases[] = {
      {{snmp, helpers, agent, mibs}, ""},
      {{snmp, helpers, "libtn-missing.so", mibs},
       ": tnmibd: Failed to load library: libtn-missing.so"},
      {{fake.c_str(), helpers, agent, mibs}, "undefined symbol: snmp_enable_stderrlog"},
      // The helper functions are in neither the helpers nor the agent library.
      {{snmp, fake.c_str(), fake.c_str(), mibs}, "undefined symbol: netsnmp_register_scalar"},
  };
  for (const auto& c : cases) {
    Netsnmp_DL dl = {};
    testing::internal::CaptureStderr();
    int rc = dl.open_netsnmp_dlibs_named(c.names);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, *c.message == '\0' ? 0 : -1) << log;
    EXPECT_NE(log.find(c.message), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), *c.message == '\0' ? 0 : 1) << log;
    // Every address is resolved on success; a failure stops before the last library.
    void* const* fields = reinterpret_cast<void* const*>(&dl);
    for (size_t i = 0; rc == 0 && i < sizeof dl / sizeof(void*); i++) EXPECT_NE(fields[i], nullptr);
    EXPECT_EQ(dl.libnetsnmpmibs != nullptr, rc == 0);
  }
}

}  // namespace
