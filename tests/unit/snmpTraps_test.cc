// The trap senders against the real Net-SNMP library with TARN-MIB loaded,
// send_v2trap replaced by a capture; and the AgentX connection's watch.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include "mib/snmpTraps.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <iterator>
#include <string>
#include <vector>

#include "snmp/dl.h"

namespace {

// An OID as the library prints it, TARN-MIB's objects without "TARN-MIB::tarn".
std::string nameOf(const oid* name, size_t length) {
  static auto* print = reinterpret_cast<int (*)(char*, size_t, const oid*, size_t)>(
      dlsym(dlib.libnetsnmp, "snprint_objid"));
  char text[256] = "";
  print(text, sizeof text, name, length);
  const std::string printed = text;
  return printed.rfind("TARN-MIB::tarn", 0) == 0 ? printed.substr(14) : printed;
}

// Each trap sent, as "NAME=VALUE" per binding, a Gauge32 value with its type.
std::vector<std::string> captured;

void capture(netsnmp_variable_list* vars) {
  std::string trap;
  for (netsnmp_variable_list* v = vars; v != nullptr; v = v->next_variable) {
    trap += (trap.empty() ? "" : " ") + nameOf(v->name, v->name_length) + "=";
    if (v->type == ASN_OCTET_STR) trap.append(reinterpret_cast<char*>(v->val.string), v->val_len);
    if (v->type == ASN_GAUGE) trap += "Gauge32:" + std::to_string(*v->val.integer & 0xFFFFFFFF);
    if (v->type == ASN_OBJECT_ID) trap += nameOf(v->val.objid, v->val_len / sizeof(oid));
  }
  captured.push_back(trap);
}

class Traps : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (dlib.read_objid == nullptr) {
      dlib.open_dep_dlibs();
      ASSERT_EQ(dlib.open_netsnmp_dlibs(), 0);
    }
    setenv("MIBDIRS", TN_BUILD_DIR "/base-mibs:" TN_SOURCE_DIR "/mibs", 1);
    setenv("MIBS", "SNMPv2-MIB", 1);
    init_mib();
    ASSERT_NE(read_mib(TN_SOURCE_DIR "/mibs/TARN-MIB.txt"), nullptr);
  }
  void SetUp() override {
    captured.clear();
    setTrapSendFunction(capture);
  }
  void TearDown() override {
    discardQueuedTraps();
    setTrapSendFunction(nullptr);
  }
};

const struct {
  int (*send)(Event*, void*);
  Event* (*make)();
  const char* bindings;  // after snmpTrapOID.0
} kTraps[] = {
    {send_tarnChangeDiskTrap_trap,
     []() -> Event* { return new ChdiskEvent("n", "f", "d", "s", "a", "g", "m", "x"); },
     "ChangeDiskTrap NodeIpAddress=n FileSystemName=f DiskName=d DiskStatus=s "
     "DiskAvailability=a DiskFailureGroupName=g DiskMetadata=m DiskData=x"},
    {send_tarnHungThreadTrap_trap,  // the high word of the wait time is left out
     []() -> Event* { return new HungThreadEvent("n", 0x700000005LL, "w"); },
     "HungThreadTrap NodeIpAddress=n WaitTime=Gauge32:5 Diagnosis=w"},
    {send_tarnStgPoolUtilizationTrap_trap,
     []() -> Event* { return new StgPoolUtilizationEvent("f", "p", -2); },
     "StgPoolUtilizationTrap StgPoolFSName=f StgPoolName=p StgPoolUtil=Gauge32:4294967294"},
};

TEST_F(Traps, EachCarriesItsFieldsInOrderAndTheyLeaveInTheOrderQueued) {
  for (const auto& t : kTraps) EXPECT_EQ(t.send(t.make(), nullptr), 0);
  EXPECT_EQ(queuedTrapCount(), std::size(kTraps));
  EXPECT_TRUE(captured.empty());  // nothing is sent on the sender's thread
  EXPECT_EQ(deliverQueuedTraps(2), 2);
  EXPECT_EQ(deliverQueuedTraps(10), 1);
  ASSERT_EQ(captured.size(), std::size(kTraps));
  for (size_t i = 0; i < std::size(kTraps); ++i) {
    EXPECT_EQ(captured[i], "SNMPv2-MIB::snmpTrapOID.0=" + std::string(kTraps[i].bindings));
  }
}

// Past its bound the queue deletes the newest records, counts them, and warns
// once however many overflow within the minute.
TEST_F(Traps, AFullQueueDropsCountsAndWarnsOnce) {
  const size_t bound = 50000;
  for (size_t i = 0; i < bound; i++)
    send_tarnNodeFailureTrap_trap(new NodeStatusEvent("q"), nullptr);
  const uint64_t droppedBefore = trapsDroppedCount();
  testing::internal::CaptureStderr();
  for (int i = 0; i < 5; i++) send_tarnNodeFailureTrap_trap(new NodeStatusEvent("x"), nullptr);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(queuedTrapCount(), bound);
  EXPECT_EQ(trapsDroppedCount() - droppedBefore, 5u);
  const size_t warning =
      log.find("Warning: trap queue full (50000 traps waiting for the master), 1 traps dropped");
  EXPECT_TRUE(warning != std::string::npos && warning == log.rfind("Warning")) << log;
  EXPECT_EQ(discardQueuedTraps(), bound);
  EXPECT_EQ(trapsDroppedCount() - droppedBefore, 5u + bound);
  EXPECT_EQ(deliverQueuedTraps(10), 0);
}

// The watched connection gets TCP_NODELAY once, and the bytes the master's end
// has not read are seen through the kernel's socket diagnostics.
TEST(AgentXWatch, SetsNoDelayOnceAndSeesTheMastersUnreadBytes) {
  EXPECT_EQ(agentXSessionSocket(), -1);  // no session to a master
  const int listener = socket(AF_INET, SOCK_STREAM, 0), agent = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  auto* at = reinterpret_cast<struct sockaddr*>(&address);
  ASSERT_EQ(bind(listener, at, length) | listen(listener, 1) | getsockname(listener, at, &length),
            0);
  ASSERT_EQ(connect(agent, at, length), 0);
  const int master = accept(listener, nullptr, nullptr);
  EXPECT_EQ(watchAgentXConnection(agent), 1);
  EXPECT_EQ(watchAgentXConnection(agent), 0);  // already set
  char bytes[300] = {};
  ASSERT_EQ(send(agent, bytes, sizeof bytes, 0), 300);
  for (int i = 0; i < 1000 && agentXMasterBacklog() != 300u; i++) usleep(1000);
  EXPECT_EQ(agentXMasterBacklog(), 300u);
  ASSERT_EQ(recv(master, bytes, sizeof bytes, MSG_WAITALL), 300);
  EXPECT_EQ(agentXMasterBacklog(), 0u);
  watchAgentXConnection(-1);
  for (int fd : {listener, agent, master}) close(fd);
}

}  // namespace
