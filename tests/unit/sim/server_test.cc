// The server over real sockets: events, control commands, faults and bad clients.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sim/sockets.h"
#include "tests/unit/sim/sim_harness.h"

namespace {

using simtest::Client;
using simtest::SimServer;

std::string statValue(SimServer& server, const std::string& name) {
  std::string body;
  EXPECT_EQ(server.control("stats", &body), 0);
  size_t at = body.find(name + " ");
  if (at == std::string::npos) return "";
  size_t start = at + name.size() + 1;
  return body.substr(start, body.find('\n', start) - start);
}

// An event connection is one that has never sent a command; wait until the server has it.
bool eventConnections(SimServer& server, int n) {
  return simtest::waitFor(
      [&] { return statValue(server, "event_connections") == std::to_string(n); });
}

TEST(Events, GoOnlyToConnectionsThatNeverSentACommand) {
  SimServer server(simtest::sampleModel());
  Client events(server.socketPath()), commands(server.socketPath());
  ASSERT_EQ(commands.command("get clusterinfo").back(), "_response_ end");
  ASSERT_TRUE(eventConnections(server, 1));
  std::string body, line;
  ASSERT_EQ(server.control("event mount _node_ 10.0.0.1 _fs_ fs1", &body), 0) << body;
  EXPECT_EQ(body, "sent to 1 event connections\n");
  ASSERT_EQ(server.control("event _event_ unmount _node_ 10.0.0.1 _fs_ 'a b'", &body), 0);
  ASSERT_TRUE(events.readLine(&line));
  EXPECT_EQ(line, "_event_ mount _node_ 10.0.0.1 _fs_ fs1");
  ASSERT_TRUE(events.readLine(&line));
  EXPECT_EQ(line, "_event_ unmount _node_ 10.0.0.1 _fs_ 'a b'");
  EXPECT_FALSE(commands.readLine(&line, 100));  // nothing but answers on a command connection
}

TEST(Events, BurstAndStreamNumberTheirEventsInOrder) {
  SimServer server(simtest::sampleModel());
  Client events(server.socketPath());
  ASSERT_TRUE(eventConnections(server, 1));
  std::string body, line;
  ASSERT_EQ(server.control("burst 50 hungthread _node_ n{i} _wait_ {t}", &body), 0) << body;
  int64_t before = sim::epochMicros();
  ASSERT_EQ(server.control("stream 2000 40 poolutil _fs_ fs1 _pool_ p{i} _util_ {t}", &body), 0);
  EXPECT_EQ(body, "sent 40 events\n");  // the reply comes when the stream is done
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(events.readLine(&line));
    std::string node, wait;
    ASSERT_TRUE(simtest::grabKeyword(line, "_node_", false, &node));
    EXPECT_EQ(node, "n" + std::to_string(i));
    ASSERT_TRUE(simtest::grabKeyword(line, "_wait_", false, &wait));
    long long t = 0;
    EXPECT_TRUE(simtest::toInt64(wait, &t));
    EXPECT_LE(t, before);
  }
  long long first = 0, last = 0;
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(events.readLine(&line));
    std::string pool, util;
    ASSERT_TRUE(simtest::grabKeyword(line, "_pool_", false, &pool));
    EXPECT_EQ(pool, "p" + std::to_string(i));
    ASSERT_TRUE(simtest::grabKeyword(line, "_util_", false, &util));
    ASSERT_TRUE(simtest::toInt64(util, i == 0 ? &first : &last));
  }
  EXPECT_GE(last - first, 39 * 1000000LL / 2000 - 2000);  // paced, not sent at once
}

TEST(Events, AClientThatNeverReadsIsDroppedWithoutHoldingUpOthers) {
  SimServer server(simtest::sampleModel(), 1 << 20);
  Client silent(server.socketPath()), commands(server.socketPath());
  ASSERT_EQ(commands.command("get nodes").back(), "_response_ end");
  ASSERT_TRUE(eventConnections(server, 1));
  std::string body;
  ASSERT_EQ(
      server.control("burst 40000 exception _pad_ " + std::string(100, 'x') + " _n_ {i}", &body),
      0);
  EXPECT_EQ(statValue(server, "dropped"), "1");
  EXPECT_TRUE(silent.closedByServer());
  EXPECT_EQ(commands.command("get clusterinfo").back(), "_response_ end");
}

TEST(Control, ModelChangesShowInAnswersAndConfigChangesSendSdrChanged) {
  SimServer server(simtest::sampleModel());
  Client events(server.socketPath()), commands(server.socketPath());
  ASSERT_EQ(commands.command("get nodes").size(), 4u);
  ASSERT_TRUE(eventConnections(server, 1));
  std::string body, line, status;
  ASSERT_EQ(server.control("set node 10.0.0.3 status -failed", &body), 0) << body;
  ASSERT_EQ(server.control("set node 10.0.0.2 diagnosis waiting on  two blanks", &body), 0) << body;
  auto nodes = commands.command("get nodes");
  ASSERT_EQ(nodes.size(), 4u);
  ASSERT_TRUE(simtest::grabKeyword(nodes[2], "_status_", false, &status));
  EXPECT_EQ(status, "-failed");
  ASSERT_TRUE(simtest::grabKeyword(nodes[1], "_diagnosis_", false, &status));
  EXPECT_EQ(status, "waiting on  two blanks");
  EXPECT_EQ(server.control("set node 10.0.0.3 failureCount many", &body), 1);
  EXPECT_NE(body.find("failureCount"), std::string::npos);
  ASSERT_EQ(server.control("add disk fs2 system nsd9 {\"usage\": \"dataOnly\"}", &body), 0) << body;
  ASSERT_TRUE(events.readLine(&line));
  EXPECT_EQ(line, "_event_ sdrChanged");
  EXPECT_EQ(commands.command("get fs fs2 system").size(), 4u);
  ASSERT_EQ(server.control("remove fs fs1", &body), 0) << body;
  ASSERT_TRUE(events.readLine(&line));
  EXPECT_EQ(line, "_event_ sdrChanged");
  EXPECT_EQ(commands.command("get stgpools fs1")[0].compare(0, 7, "_error_"), 0);
  ASSERT_EQ(server.control("set node 10.0.0.4 reported true", &body), 0);  // no event for nodes
  EXPECT_FALSE(events.readLine(&line, 100));
  EXPECT_EQ(server.model()["fileSystems"].size(), 1u);
}

TEST(Control, LogListsCommandsAndConfigQueriesAndClears) {
  SimServer server(simtest::sampleModel());
  Client c(server.socketPath());
  c.command("get nodes");
  c.command("  tnperf  nc");
  std::string body;
  ASSERT_EQ(server.control("cfgdump 30 3001:3004:3005:3006 all norefresh", &body), 0);
  ASSERT_EQ(server.control("log", &body), 0);
  EXPECT_EQ(body, "get nodes\n  tnperf  nc\ntncfgdump 30 3001:3004:3005:3006 all norefresh\n");
  ASSERT_EQ(server.control("log clear", &body), 0);
  ASSERT_EQ(server.control("log", &body), 0);
  EXPECT_EQ(body, "");
  EXPECT_EQ(statValue(server, "commands"), "2");
}

TEST(Control, RefusesUnknownAndMalformedRequests) {
  SimServer server(simtest::sampleModel());
  std::string body;
  for (const char* bad :
       {"", "frobnicate", "set", "set node", "set node 10.0.0.1 failureCount", "set planet x y z",
        "add cluster", "remove disk fs1 system", "remove fs fs1 extra", "burst x y", "burst 5",
        "stream 0 5 x", "fault", "fault delay -1", "fault refuse maybe", "restart soon",
        "log everything", "cfgdump 40 1"}) {
    EXPECT_EQ(server.control(bad, &body), 1) << bad;
    EXPECT_FALSE(body.empty()) << bad;
  }
  EXPECT_EQ(server.control("help", &body), 0);
}

TEST(Faults, EventInResponseComesBetweenAnswerLinesOnce) {
  SimServer server(simtest::sampleModel());
  Client c(server.socketPath());
  std::string body;
  ASSERT_EQ(server.control("fault event-in-response failure _node_ 10.0.0.3", &body), 0);
  auto answer = c.command("get nodes");
  ASSERT_EQ(answer.size(), 5u);
  EXPECT_EQ(answer[0].compare(0, 7, "_node_ "), 0);
  EXPECT_EQ(answer[1], "_event_ failure _node_ 10.0.0.3");
  EXPECT_EQ(c.command("get nodes").size(), 4u);
  ASSERT_EQ(server.control("fault event-in-response", &body), 0);
  auto empty = c.command("get stgpools nosuch");  // an error answer: the event still lands inside
  ASSERT_EQ(empty.size(), 3u);
  EXPECT_EQ(empty[1].compare(0, 8, "_event_ "), 0);
}

TEST(Faults, LongLineAndUnendedBreakTheNextAnswerOnly) {
  SimServer server(simtest::sampleModel());
  Client c(server.socketPath());
  std::string body, line;
  ASSERT_EQ(server.control("fault long-line 5000", &body), 0);
  auto answer = c.command("get clusterinfo");
  ASSERT_EQ(answer.size(), 2u);
  EXPECT_EQ(answer[0].size(), 5000u);
  EXPECT_NE(answer[0].find(" _pad_ xxx"), std::string::npos);
  ASSERT_EQ(server.control("fault unended", &body), 0);
  ASSERT_TRUE(c.send("get clusterinfo\n"));
  ASSERT_TRUE(c.readLine(&line));
  EXPECT_EQ(line.compare(0, 10, "_cluster_ "), 0);
  EXPECT_FALSE(c.readLine(&line, 200));
  EXPECT_EQ(c.command("get clusterinfo").size(), 2u);
}

TEST(Faults, DelayHoldsAnswersBackInOrder) {
  SimServer server(simtest::sampleModel());
  Client c(server.socketPath());
  std::string body, line;
  ASSERT_EQ(server.control("fault delay 300", &body), 0);
  int64_t start = simtest::nowMs();
  ASSERT_TRUE(c.send("get clusterinfo\nget nodes\n"));
  EXPECT_FALSE(c.readLine(&line, 150));
  ASSERT_TRUE(c.readLine(&line));
  EXPECT_GE(simtest::nowMs() - start, 290);
  EXPECT_EQ(line.compare(0, 10, "_cluster_ "), 0);
  ASSERT_TRUE(c.readLine(&line));
  EXPECT_EQ(line, "_response_ end");
  ASSERT_TRUE(c.readLine(&line));
  EXPECT_EQ(line.compare(0, 7, "_node_ "), 0);
  ASSERT_EQ(server.control("fault clear", &body), 0);
  EXPECT_EQ(statValue(server, "delay_ms"), "0");
}

TEST(Faults, DropRefuseRestartAndShutdown) {
  SimServer server(simtest::sampleModel());
  Client before(server.socketPath());
  ASSERT_EQ(before.command("get nodes").back(), "_response_ end");
  std::string body;
  ASSERT_EQ(server.control("fault drop", &body), 0);
  EXPECT_EQ(body, "closed 1 connections\n");
  EXPECT_TRUE(before.closedByServer());

  ASSERT_EQ(server.control("fault refuse on", &body), 0);
  Client refused(server.socketPath());
  ASSERT_TRUE(refused.connected());  // accepted, then closed at once
  EXPECT_TRUE(refused.closedByServer());
  EXPECT_EQ(statValue(server, "refused"), "1");
  ASSERT_EQ(server.control("fault refuse off", &body), 0);

  Client old(server.socketPath());
  ASSERT_EQ(old.command("get nodes").back(), "_response_ end");
  ASSERT_EQ(server.control("restart 200", &body), 0) << body;
  EXPECT_TRUE(old.closedByServer());
  EXPECT_FALSE(Client(server.socketPath()).connected());  // down for a while
  ASSERT_TRUE(simtest::waitFor([&] { return Client(server.socketPath()).connected(); }));
  Client after(server.socketPath());
  EXPECT_EQ(after.command("get clusterinfo").back(), "_response_ end");
  ASSERT_EQ(server.control("restart", &body), 0) << body;
  EXPECT_TRUE(after.closedByServer());
  EXPECT_EQ(Client(server.socketPath()).command("tnperf nc").back(), "_response_ end");
}

TEST(BadClients, JunkLongLinesAndHangUpsGetErrorsNotCrashes) {
  SimServer server(simtest::sampleModel());
  {
    Client half(server.socketPath());
    ASSERT_TRUE(half.send("get nod"));  // then hang up
  }
  Client c(server.socketPath());
  std::string junk;
  for (int i = 0; i < 256; ++i) junk += (char)(i == '\n' ? 'x' : i);
  auto answer = c.command(junk);
  ASSERT_EQ(answer.size(), 2u);
  EXPECT_EQ(answer[0].compare(0, 12, "_error_ _rc_"), 0);
  for (size_t len : {(size_t)10238, (size_t)10239, (size_t)200000}) {
    answer = c.command("get fs " + std::string(len - 7, 'a'));
    ASSERT_EQ(answer.size(), 2u) << len;
    bool tooLong = answer[0].find("longer than") != std::string::npos;
    EXPECT_EQ(tooLong, len > 10238) << len << ": " << answer[0];
  }
  EXPECT_EQ(c.command("").size(), 2u);
  EXPECT_EQ(c.command("get clusterinfo\r").size(), 2u);  // a carriage return is taken off
  EXPECT_EQ(c.command("get clusterinfo")[0].compare(0, 10, "_cluster_ "), 0);
  std::string body;
  ASSERT_EQ(server.control(std::string(1000, 'y'), &body), 1);
  ASSERT_EQ(server.control("log", &body), 0);
  EXPECT_NE(body.find("(command longer than 10238 characters)\n"), std::string::npos);
  for (char ch : body) EXPECT_TRUE(ch == '\n' || ((unsigned char)ch >= 0x20 && ch != 0x7f));
}

TEST(BadClients, ASecondServerOnTheSamePathIsRefused) {
  SimServer server(simtest::sampleModel());
  std::string err;
  EXPECT_LT(sim::listenUnix(server.socketPath(), &err), 0);
  EXPECT_NE(err.find("another server"), std::string::npos) << err;
  // A stale socket file, nobody listening, is replaced.
  std::string stale = server.socketPath() + ".stale";
  int fd = sim::listenUnix(stale, &err);
  ASSERT_GE(fd, 0) << err;
  close(fd);
  fd = sim::listenUnix(stale, &err);
  EXPECT_GE(fd, 0) << err;
  close(fd);
  unlink(stale.c_str());
}

}  // namespace
