// The run-time binding of the SNMP libraries, on this host's libraries and on
// a fixture library that opens but defines none of the symbols.
#include "snmp/dl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

const std::string kFakeEmpty = TN_BUILD_DIR "/tests/unit/fixtures/libfakeempty.so";

TEST(Binding, ResolvesEverythingOrFailsAtTheFirstMissingPieceWithOneMessage) {
  const char* fake = kFakeEmpty.c_str();
  const struct {
    const char* names[4];
    const char* message;  // "" for success
  } cases[] = {
      {{"libnetsnmp.so", "libnetsnmphelpers.so", "libnetsnmpagent.so", "libnetsnmpmibs.so"}, ""},
      {{"libnetsnmp.so", "libnetsnmphelpers.so", "libtn-missing.so", "libnetsnmpmibs.so"},
       ": tnmibd: Failed to load library: libtn-missing.so"},
      {{fake, "libnetsnmphelpers.so", "libnetsnmpagent.so", "libnetsnmpmibs.so"},
       "undefined symbol: snmp_enable_stderrlog"},
      // The helper functions are in neither the helpers nor the agent library.
      {{"libnetsnmp.so", fake, fake, "libnetsnmpmibs.so"},
       "undefined symbol: netsnmp_register_scalar"},
  };
  for (const auto& c : cases) {
    Netsnmp_DL dl = {};
    testing::internal::CaptureStderr();
    int rc = dl.open_netsnmp_dlibs_named(c.names);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, *c.message == '\0' ? 0 : -1) << log;
    EXPECT_NE(log.find(c.message), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), *c.message == '\0' ? 0 : 1) << log;
    // Every address is resolved on success; a failure keeps the earlier handles only.
    void* const* fields = reinterpret_cast<void* const*>(&dl);
    for (size_t i = 0; rc == 0 && i < sizeof dl / sizeof(void*); i++) EXPECT_NE(fields[i], nullptr);
    EXPECT_EQ(dl.libnetsnmpmibs != nullptr, rc == 0);
  }
}

TEST(Binding, BothDependenciesAreTriedAndEachFailureReported) {
  Netsnmp_DL dl = {};
  const char* const names[2] = {"libtn-missing-one.so", "libcrypto.so"};
  testing::internal::CaptureStderr();
  EXPECT_EQ(dl.open_dep_dlibs_named(names), -1);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("libtn-missing-one.so"), std::string::npos);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
}

}  // namespace
