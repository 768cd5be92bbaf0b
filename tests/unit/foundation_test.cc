// The bounded copy, the rate-limited log, the command-line and environment checks and the
// run-time binding of the SNMP libraries on a fixture library that opens but defines no symbol.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "agent/log.h"
#include "agent/options.h"
#include "agent/text.h"
#include "snmp/dl.h"

namespace {

std::string capturedStderr(const std::function<void()>& run) {
  testing::internal::CaptureStderr();
  run();
  return testing::internal::GetCapturedStderr();
}

TEST(CopyText, CutsTerminatesAndNeverWritesOrReadsPastItsBounds) {
  char field[8];
  EXPECT_EQ(copyText(field, "0123456789"), 7u);
  EXPECT_STREQ(field, "0123456");
  const char unterminated[3] = {'x', 'y', 'z'};
  EXPECT_EQ(copyText(field, sizeof field, unterminated, 2), 2u);
  EXPECT_STREQ(field, "xy");
}

// The examined argument ends right before an unreadable page, so a
// comparison that reads past its end crashes the test.
TEST(RateLimitedLog, OneMessageAnIntervalThenTheCountHeldBack) {
  RateLimitedLog limited(1);
  std::string out = capturedStderr([&] {
    EXPECT_EQ(limited.print("Warning: first\n"), 1);
    EXPECT_EQ(limited.print("Warning: second\n"), 0);
    EXPECT_EQ(limited.print("Warning: third\n"), 0);
  });
  EXPECT_NE(out.find(": tnmibd: Warning: first\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("second"), std::string::npos) << out;
  usleep(1100000);  // the interval is the behaviour under test
  out = capturedStderr([&] { EXPECT_EQ(limited.print("Warning: fourth\n"), 1); });
  EXPECT_NE(out.find(": tnmibd: Warning: fourth (2 more held back)\n"), std::string::npos) << out;
}

TEST(FirstArgument, OnlyAnExactFirstArgumentAndNoReadPastAShortOne) {
  const struct {
    std::vector<std::string> args;
    FirstArgument action;
  } cases[] = {{{"-D", "x"}, ARG_DEBUG}, {{""}, ARG_RUN},        {{"-"}, ARG_RUN},
               {{"-Dx"}, ARG_RUN},       {{"-d"}, ARG_RUN},      {{}, ARG_RUN},
               {{"-x", "-D"}, ARG_RUN},  {{"--help"}, ARG_HELP}, {{"--version", "-D"}, ARG_VERSION},
               {{"--helpx"}, ARG_RUN},   {{"--vers"}, ARG_RUN},  {{"-D", "--help"}, ARG_DEBUG}};
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  char* pages = static_cast<char*>(
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
  for (const auto& c : cases) {
    std::vector<char*> argv{const_cast<char*>("tnmibd")};
    for (const std::string& arg : c.args) argv.push_back(const_cast<char*>(arg.c_str()));
    if (argv.size() > 1)  // the examined argument sits at the page's end
      argv[1] = static_cast<char*>(
          memcpy(pages + page - (c.args[0].size() + 1), c.args[0].c_str(), c.args[0].size() + 1));
    const int argc = static_cast<int>(argv.size());
    EXPECT_EQ(parseFirstArgument(argc, argv.data()), c.action) << testing::PrintToString(c.args);
    EXPECT_EQ(debugRequested(argc, argv.data()), c.action == ARG_DEBUG);
  }
  munmap(pages, 2 * page);
}

// The two variables share one parser: its rules through the busy-poll time, its bounds both ways.
TEST(AgentSettings, UnsetGivesTheDefaultAndOnlyWholeNumbersInRangeAreTaken) {
  const struct {
    long (*parse)(const char*);
    const char* value;
    long result;
  } cases[] = {{parseBusyPollMicros, nullptr, kDefaultBusyPollMicros},
               {parseBusyPollMicros, "0", 0},
               {parseBusyPollMicros, "50", 50},
               {parseBusyPollMicros, "1000000", kMaxBusyPollMicros},
               {parseBusyPollMicros, "1000001", -1},
               {parseBusyPollMicros, "99999999999999999999999", -1},  // would overflow a long
               {parseBusyPollMicros, "", -1},
               {parseBusyPollMicros, "-1", -1},
               {parseBusyPollMicros, "+5", -1},
               {parseBusyPollMicros, "20 ", -1},
               {parseBusyPollMicros, "2e3", -1},
               {parseAgentXTimeout, nullptr, kDefaultAgentXTimeout},
               {parseAgentXTimeout, "0", -1},
               {parseAgentXTimeout, "1", 1},
               {parseAgentXTimeout, "300", kMaxAgentXTimeout},
               {parseAgentXTimeout, "301", -1}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.parse(c.value), c.result) << (c.value ? c.value : "(unset)");
  }
}

TEST(Binding, AFixtureLibraryWithoutTheSymbolsFailsWithTheLoadersMessage) {
  const char* fake = TN_BUILD_DIR "/tests/unit/fixtures/libfakeempty.so";
  // The helper functions are in neither the helpers nor the agent library.
  const char* const names[4] = {"libnetsnmp.so", fake, fake, "libnetsnmpmibs.so"};
  Netsnmp_DL dl = {};
  testing::internal::CaptureStderr();
  EXPECT_EQ(dl.open_netsnmp_dlibs_named(names), -1);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find(std::string(": tnmibd: ") + fake + ": undefined symbol: netsnmp_register_"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find('\n'), log.size() - 1) << log;  // one message
}

}  // namespace
