// Checked against the real Net-SNMP library with the project's MIB loaded;
// send_v2trap is replaced by a capture.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include "mib/snmpTraps.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "api/api_event.h"
#include "snmp/dl.h"

namespace {

struct Binding {
  std::string name;  // dotted identifier
  u_char type;
  std::string value;  // text, decimal gauge, or dotted identifier
};

std::vector<std::vector<Binding>> captured;

std::string dotted(const oid* ids, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; i++) text += "." + std::to_string(ids[i]);
  return text;
}

void capture(netsnmp_variable_list* vars) {
  std::vector<Binding> trap;
  for (netsnmp_variable_list* v = vars; v != nullptr; v = v->next_variable) {
    Binding b{dotted(v->name, v->name_length), v->type, ""};
    if (v->type == ASN_OCTET_STR) {
      b.value.assign(reinterpret_cast<const char*>(v->val.string), v->val_len);
    } else if (v->type == ASN_GAUGE) {
      b.value = std::to_string(static_cast<unsigned long>(*v->val.integer));
    } else if (v->type == ASN_OBJECT_ID) {
      b.value = dotted(v->val.objid, v->val_len / sizeof(oid));
    }
    trap.push_back(b);
  }
  captured.push_back(trap);
}

// The identifier of a TARN-MIB (or other module's) object, looked up here.
std::string oidOf(const char* name) {
  oid buf[64];
  size_t len = 64;
  if (read_objid(name, buf, &len) == 0) return "";
  return dotted(buf, len);
}

class TrapTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (dlib.read_objid == nullptr) {
      testing::internal::CaptureStderr();
      dlib.open_dep_dlibs();
      int rc = dlib.open_netsnmp_dlibs();
      std::string log = testing::internal::GetCapturedStderr();
      ASSERT_EQ(rc, 0) << log;
    }
    setenv("MIBDIRS", TN_BUILD_DIR "/base-mibs:" TN_SOURCE_DIR "/mibs", 1);
    setenv("MIBS", "SNMPv2-MIB", 1);
    init_mib();
    ASSERT_NE(read_mib(TN_SOURCE_DIR "/mibs/TARN-MIB.txt"), nullptr);
  }
  void SetUp() override {
    ASSERT_FALSE(oidOf("TARN-MIB:tarnMountTrap").empty()) << "TARN-MIB not loaded";
    captured.clear();
    setTrapSendFunction(capture);
  }
  void TearDown() override {
    deliverQueuedTraps(1000000);
    setTrapSendFunction(nullptr);
  }
};

// One sender as the trap table gives it, a record whose text fields hold their
// own field names, and the "object=value" bindings after snmpTrapOID.0 (TARN-MIB
// names without "tarn"; a value starting with '#' is a Gauge32).
struct Expected {
  int (*sender)(Event*, void*);
  int eventType;
  const char* trap;
  Event* (*make)();
  const char* bindings;
};

Event* mount() { return new MountActionEvent("node", "fs"); }
Event* disk() { return new DiskActionEvent("node", "fs", "disk"); }
Event* chdisk() {
  return new ChdiskEvent("node", "fs", "disk", "status", "availability", "failureGroup", "metadata",
                         "data");
}
Event* takeover() { return new SgmgrTakeoverEvent("node", "prevNode", "fs"); }
Event* nodeStatus() { return new NodeStatusEvent("node"); }
Event* fsAction() { return new FilesystemActionEvent("node", "fs"); }
Event* stateChange() {
  return new FilesystemStateChangeEvent("fs", "userUnbalanced", "metaUnbalanced",
                                        "userIllReplicated", "metaIllReplicated", "userExposed",
                                        "metaExposed");
}
// The wait time's high word must not reach the Gauge32.
Event* hung() { return new HungThreadEvent("node", 0x700000005LL, "diagnosis"); }
Event* poolUtil() { return new StgPoolUtilizationEvent("fs", "pool", -2); }

#define ROW(trap, type, make, bindings) \
  { send_##trap##_trap, type, #trap, make, bindings }
const char kNodeFs[] = "NodeIpAddress=node FileSystemName=fs";
const char kNodeFsDisk[] = "NodeIpAddress=node FileSystemName=fs DiskName=disk";
const char kNode[] = "NodeIpAddress=node";
const char kSgmgrFs[] = "SgmgrIpAddress=node FileSystemName=fs";
const Expected kTraps[] = {
    ROW(tarnMountTrap, 0, mount, kNodeFs),
    ROW(tarnUnmountTrap, 1, mount, kNodeFs),
    ROW(tarnAddDiskTrap, 2, disk, kNodeFsDisk),
    ROW(tarnDeleteDiskTrap, 3, disk, kNodeFsDisk),
    ROW(tarnChangeDiskTrap, 4, chdisk,
        "NodeIpAddress=node FileSystemName=fs DiskName=disk DiskStatus=status "
        "DiskAvailability=availability DiskFailureGroupName=failureGroup DiskMetadata=metadata "
        "DiskData=data"),
    ROW(tarnSgmgrTakeoverTrap, 5, takeover,
        "SgmgrIpAddress=node PrevSgmgrIpAddress=prevNode FileSystemName=fs"),
    ROW(tarnNodeFailureTrap, 6, nodeStatus, kNode),
    ROW(tarnNodeRecoveryTrap, 7, nodeStatus, kNode),
    ROW(tarnFileSystemCreationTrap, 8, fsAction, kSgmgrFs),
    ROW(tarnFileSystemDeletionTrap, 9, fsAction, kSgmgrFs),
    ROW(tarnFileSystemStateChangeTrap, 10, stateChange,
        "FileSystemName=fs UserUnbalanced=userUnbalanced MetaUnbalanced=metaUnbalanced "
        "UserIllReplicated=userIllReplicated MetaIllReplicated=metaIllReplicated "
        "UserExposed=userExposed MetaExposed=metaExposed"),
    ROW(tarnNewConnectionTrap, 11, nodeStatus, kNode),
    ROW(tarnEventCollectionBufferOverflowTrap, 13, nodeStatus, kNode),
    ROW(tarnHungThreadTrap, 14, hung, "NodeIpAddress=node WaitTime=#5 Diagnosis=diagnosis"),
    ROW(tarnStgPoolUtilizationTrap, 15, poolUtil,
        "StgPoolFSName=fs StgPoolName=pool StgPoolUtil=#4294967294"),
};
#undef ROW

// The bindings of a row as (full object name, value) pairs.
std::vector<std::pair<std::string, std::string>> bindingsOf(const Expected& e) {
  std::vector<std::pair<std::string, std::string>> out;
  std::istringstream words(e.bindings);
  for (std::string word; words >> word;) {
    size_t eq = word.find('=');
    out.emplace_back("tarn" + word.substr(0, eq), word.substr(eq + 1));
  }
  return out;
}

TEST_F(TrapTest, EachSenderQueuesItsRecordAndTheTrapCarriesTheFieldsInOrder) {
  int count = 0;
  const TrapDescription* rows = trapDescriptions(&count);
  ASSERT_EQ(count, static_cast<int>(std::size(kTraps)));
  for (int row = 0; row < count; row++) {
    const Expected& e = kTraps[row];
    SCOPED_TRACE(e.trap);
    auto bindings = bindingsOf(e);
    EXPECT_EQ(rows[row].eventType, e.eventType);
    EXPECT_STREQ(rows[row].trapObject, e.trap);
    ASSERT_EQ(static_cast<size_t>(rows[row].bindingCount), bindings.size());
    captured.clear();
    ASSERT_EQ(queuedTrapCount(), 0u);
    EXPECT_EQ(e.sender(e.make(), nullptr), 0);
    EXPECT_EQ(queuedTrapCount(), 1u);
    EXPECT_EQ(captured.size(), 0u);  // nothing is sent on the sender's thread
    // Delivery sends and deletes the record (the sanitizer build sees a bad delete).
    EXPECT_EQ(deliverQueuedTraps(10), 1);
    ASSERT_EQ(captured.size(), 1u);
    const std::vector<Binding>& got = captured[0];
    ASSERT_EQ(got.size(), bindings.size() + 1);  // an object missing from the MIB is left out
    EXPECT_EQ(got[0].name, oidOf("SNMPv2-MIB:snmpTrapOID") + ".0");
    EXPECT_EQ(got[0].type, ASN_OBJECT_ID);
    EXPECT_EQ(got[0].value, oidOf((std::string("TARN-MIB:") + e.trap).c_str()));
    for (size_t i = 0; i < bindings.size(); i++) {
      const std::string& value = bindings[i].second;
      bool gauge = value[0] == '#';
      SCOPED_TRACE(bindings[i].first);
      EXPECT_EQ(rows[row].bindings[i].object, bindings[i].first);
      EXPECT_EQ(got[i + 1].name, oidOf(("TARN-MIB:" + bindings[i].first).c_str()));
      EXPECT_EQ(got[i + 1].type, gauge ? ASN_GAUGE : ASN_OCTET_STR);
      EXPECT_EQ(got[i + 1].value, gauge ? value.substr(1) : value);
    }
  }
}

TEST_F(TrapTest, EmptyAndFullTextsAreSentWithTheirExactLength) {
  std::string full(300, 'x');
  send_tarnMountTrap_trap(new MountActionEvent(full.c_str(), ""), nullptr);
  ASSERT_EQ(deliverQueuedTraps(10), 1);
  ASSERT_EQ(captured.size(), 1u);
  ASSERT_EQ(captured[0].size(), 3u);
  EXPECT_EQ(captured[0][1].value, full.substr(0, 255));
  EXPECT_EQ(captured[0][2].type, ASN_OCTET_STR);
  EXPECT_EQ(captured[0][2].value, "");
}

TEST_F(TrapTest, TrapsLeaveInTheOrderTheyWereQueuedAndInBatches) {
  for (int i = 0; i < 5; i++) {
    send_tarnNodeFailureTrap_trap(new NodeStatusEvent(std::to_string(i).c_str()), nullptr);
  }
  EXPECT_EQ(deliverQueuedTraps(3), 3);
  EXPECT_EQ(queuedTrapCount(), 2u);
  EXPECT_EQ(deliverQueuedTraps(10), 2);
  ASSERT_EQ(captured.size(), 5u);
  for (int i = 0; i < 5; i++) EXPECT_EQ(captured[i][1].value, std::to_string(i));
  EXPECT_EQ(deliverQueuedTraps(10), 0);
}

// Past its bound the queue drops (and deletes) the newest records, counts
// them, and warns once however many overflow within the minute.
TEST_F(TrapTest, AFullQueueDropsCountsAndWarnsOnce) {
  const size_t bound = 50000;
  for (size_t i = 0; i < bound; i++)
    send_tarnNodeFailureTrap_trap(new NodeStatusEvent("q"), nullptr);
  uint64_t droppedBefore = trapsDroppedCount();
  testing::internal::CaptureStderr();
  for (int i = 0; i < 5; i++) send_tarnNodeFailureTrap_trap(new NodeStatusEvent("x"), nullptr);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(queuedTrapCount(), bound);
  EXPECT_EQ(trapsDroppedCount() - droppedBefore, 5u);
  size_t warnings = 0;
  for (size_t at = log.find("Warning: trap queue full"); at != std::string::npos;
       at = log.find("Warning: trap queue full", at + 1))
    warnings++;
  EXPECT_EQ(warnings, 1u) << log;
  EXPECT_EQ(discardQueuedTraps(), bound);
  EXPECT_EQ(trapsDroppedCount() - droppedBefore, 5u + bound);
  EXPECT_EQ(queuedTrapCount(), 0u);
}

TEST_F(TrapTest, NamesMissingFromTheMibAreReportedAndTheTrapStillGoesOut) {
  int count = 0;
  const TrapDescription* failure = &trapDescriptions(&count)[6];
  const TrapBinding bindings[] = {
      {"tarnNoSuchObject", TRAP_TEXT, offsetof(NodeStatusEvent, node)},
      {"tarnNodeIpAddress", TRAP_TEXT, offsetof(NodeStatusEvent, node)}};
  TrapDescription bogus = {
      99, "tarnNoSuchTrap", "NodeStatusEvent", failure->recordBytes, failure->destroy, bindings, 2};
  NodeStatusEvent record("10.0.0.1");
  testing::internal::CaptureStderr();
  netsnmp_variable_list* vars = buildTrapVarbinds(&bogus, &record);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Warning: object tarnNoSuchTrap not found in MIB file."), std::string::npos)
      << log;
  EXPECT_NE(log.find("Warning: object tarnNoSuchObject not found in MIB file."), std::string::npos)
      << log;
  capture(vars);
  snmp_free_varbind(vars);
  ASSERT_EQ(captured.size(), 1u);
  ASSERT_EQ(captured[0].size(), 2u);  // the unknown binding is left out
  EXPECT_EQ(captured[0][0].value, ".0.0");
  EXPECT_EQ(captured[0][1].name, oidOf("TARN-MIB:tarnNodeIpAddress"));
  EXPECT_EQ(captured[0][1].value, "10.0.0.1");
}

// A TCP connection on the loopback; closed with the object.
struct Connection {
  int listener = -1, client = -1, server = -1;
  explicit Connection(int port) {
    listener = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 1) != 0)
      return;
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    client = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
    server = accept(listener, nullptr, nullptr);
  }
  ~Connection() {
    for (int fd : {listener, client, server})
      if (fd >= 0) close(fd);
  }
  bool ok() const { return server >= 0; }
};

int noDelay(int fd) {
  int on = -1;
  socklen_t len = sizeof on;
  getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &len);
  return on;
}

TEST(AgentXNoDelay, TheWatchedConnectionIsChangedOnceAndTheMastersBacklogIsSeen) {
  Connection agentx(0);
  ASSERT_TRUE(agentx.ok());
  // Without a session to the master there is nothing to watch.
  EXPECT_EQ(agentXSessionSocket(), -1);
  EXPECT_EQ(setAgentXNoDelay(), 0);
  ASSERT_EQ(noDelay(agentx.client), 0);
  EXPECT_EQ(watchAgentXConnection(agentx.client), 1);
  EXPECT_NE(noDelay(agentx.client), 0);
  EXPECT_EQ(noDelay(agentx.server), 0);
  EXPECT_EQ(watchAgentXConnection(agentx.client), 0);
  // The master's unread bytes are counted on its end of the connection.
  EXPECT_EQ(agentXMasterBacklog(), 0u);
  char bytes[300] = {};
  ASSERT_EQ(send(agentx.client, bytes, sizeof bytes, 0), 300);
  // Loopback delivery is immediate, but give the kernel a moment under load.
  for (int i = 0; i < 1000 && agentXMasterBacklog() != 300u; i++) usleep(1000);
  EXPECT_EQ(agentXMasterBacklog(), 300u);
  ASSERT_EQ(recv(agentx.server, bytes, sizeof bytes, MSG_WAITALL), 300);
  EXPECT_EQ(agentXMasterBacklog(), 0u);
  watchAgentXConnection(-1);
}

}  // namespace
