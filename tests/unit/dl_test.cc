#include "snmp/dl.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <string.h>

#include <algorithm>
#include <string>

namespace {

const std::string kFakeEmpty = TN_BUILD_DIR "/tests/unit/fixtures/libfakeempty.so";

struct Attempt {
  int result;
  std::string log;
};

Attempt openNamed(Netsnmp_DL* dl, const char* const names[4]) {
  testing::internal::CaptureStderr();
  int rc = dl->open_netsnmp_dlibs_named(names);
  return {rc, testing::internal::GetCapturedStderr()};
}

TEST(Binding, ResolvesEveryFunctionFromTheLibraryThatDefinesIt) {
  Netsnmp_DL dl = {};
  const char* const names[4] = {"libnetsnmp.so", "libnetsnmphelpers.so", "libnetsnmpagent.so",
                                "libnetsnmpmibs.so"};
  Attempt a = openNamed(&dl, names);
  ASSERT_EQ(a.result, 0) << a.log;
  EXPECT_EQ(a.log, "");
  // Every field after the four handles holds an address.
  void* const* fields = reinterpret_cast<void* const*>(&dl);
  for (size_t i = 0; i < sizeof dl / sizeof(void*); i++) EXPECT_NE(fields[i], nullptr) << i;
  // The helper functions come from the agent library on this build, never
  // from this program's own symbols.
  EXPECT_EQ(dl.netsnmp_register_scalar, dlsym(dl.libnetsnmpagent, "netsnmp_register_scalar"));
}

TEST(Binding, ALibraryThatDoesNotOpenStopsTheLoadAndKeepsEarlierHandles) {
  Netsnmp_DL dl = {};
  const char* const names[4] = {"libnetsnmp.so", "libnetsnmphelpers.so", "libtn-missing.so",
                                "libnetsnmpmibs.so"};
  Attempt a = openNamed(&dl, names);
  EXPECT_EQ(a.result, -1);
  EXPECT_NE(a.log.find(": tnmibd: Failed to load library: libtn-missing.so"), std::string::npos)
      << a.log;
  EXPECT_EQ(std::count(a.log.begin(), a.log.end(), '\n'), 1);
  EXPECT_NE(dl.libnetsnmp, nullptr);
  EXPECT_NE(dl.libnetsnmphelpers, nullptr);
  EXPECT_EQ(dl.libnetsnmpagent, nullptr);
  EXPECT_EQ(dl.libnetsnmpmibs, nullptr);  // never tried
}

TEST(Binding, AMissingSymbolFailsWithTheLoadersMessage) {
  Netsnmp_DL dl = {};
  const char* const names[4] = {kFakeEmpty.c_str(), "libnetsnmphelpers.so", "libnetsnmpagent.so",
                                "libnetsnmpmibs.so"};
  Attempt a = openNamed(&dl, names);
  EXPECT_EQ(a.result, -1);
  EXPECT_NE(a.log.find("undefined symbol: snmp_enable_stderrlog"), std::string::npos) << a.log;
  EXPECT_EQ(dl.libnetsnmphelpers, nullptr);
}

TEST(Binding, AHelperFunctionThatNoLibraryDefinesIsAFailure) {
  Netsnmp_DL dl = {};
  // The helper functions are in neither the helpers nor the agent library.
  const char* const names[4] = {"libnetsnmp.so", kFakeEmpty.c_str(), kFakeEmpty.c_str(),
                                "libnetsnmpmibs.so"};
  Attempt a = openNamed(&dl, names);
  EXPECT_EQ(a.result, -1);
  EXPECT_NE(a.log.find("undefined symbol: netsnmp_register_scalar"), std::string::npos) << a.log;
  EXPECT_EQ(std::count(a.log.begin(), a.log.end(), '\n'), 1);
}

TEST(Binding, DependencyFailuresAreReportedButBothAreTried) {
  Netsnmp_DL dl = {};
  const char* const names[2] = {"libtn-missing-one.so", "libcrypto.so"};
  testing::internal::CaptureStderr();
  int rc = dl.open_dep_dlibs_named(names);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(rc, -1);
  EXPECT_NE(log.find("libtn-missing-one.so"), std::string::npos);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);

  const char* const present[2] = {"libcrypto.so", "libwrap.so"};
  testing::internal::CaptureStderr();
  EXPECT_EQ(dl.open_dep_dlibs_named(present), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Binding, AnOverlongLoaderMessageIsCutNotOverrun) {
  Netsnmp_DL dl = {};
  std::string longName = "libtn-" + std::string(3000, 'x') + ".so";
  const char* const names[4] = {longName.c_str(), "b", "c", "d"};
  Attempt a = openNamed(&dl, names);
  EXPECT_EQ(a.result, -1);
  size_t tag = a.log.find(": tnmibd: ");
  ASSERT_NE(tag, std::string::npos);
  std::string message = a.log.substr(tag + strlen(": tnmibd: "));
  EXPECT_LE(message.size(), 1024u);  // at most the limit plus the newline
  EXPECT_EQ(message.back(), '\n');
}

TEST(Binding, TheDynaLoaderStubOnlyLogs) {
  testing::internal::CaptureStderr();
  boot_DynaLoader();
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("WEIRD ERROR: boot_DynaLoader stub function called"), std::string::npos);
}

}  // namespace
