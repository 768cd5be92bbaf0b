// The daemon connection against a peer on a real socket; the command wrapper against the simulator.
#include "api/api_conn.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent/clock.h"
#include "agent/running.h"
#include "agent/scoped.h"
#include "api/api_conn_element.h"
#include "api/api_reader.h"
#include "tests/unit/api_conn_test_util.h"

namespace {

// An element connected to a fresh UNIX listener, the accepted peer, the event lines set aside.
struct Pair {
  conntest::Listener listener{conntest::uniqueSocketPath("elt")};
  Tnperf_ConnectionElement element{listener.path().c_str(), -1};
  int peer = -1;
  std::vector<std::string> events;
  Pair() {
    if (element.connectSocket(1) >= 0) peer = listener.acceptPeer();
    element.eventCallback = conntest::keepLine;
    element.eventCallbackData = &events;
  }
  ~Pair() { close(peer); }
  std::string line(int length) {
    std::vector<char> buffer(length, '#');
    return element.readSocketLine(buffer.data(), length) >= 0 ? buffer.data() : "(failed)";
  }
  // The event reader's result with a line waiting on its file.
  int readEvents() {
    ScopedFile file(tmpfile());
    fputs("wake\n", file.get());
    rewind(file.get());
    char buffer[64];
    return tnperf_readln(file.get(), buffer, &element, sizeof buffer);
  }
  // Bytes the element's socket holds that the element has not yet received.
  int unreceived() {
    int pending = -1;
    ioctl(element.get_socket(), FIONREAD, &pending);
    return pending;
  }
};

TEST(ConnectionElement, ConnectFailsCleanlyReportsOnlyWhenAskedAndClosesTheOldDescriptor) {
  std::string missing = conntest::uniqueSocketPath("none");
  Tnperf_ConnectionElement element(missing.c_str(), 1234);  // a path makes a named socket
  EXPECT_EQ(conntest::capturedBy([&] { EXPECT_EQ(element.connectSocket(0), -1); }), "");
  EXPECT_TRUE(
      conntest::logs([&] { EXPECT_EQ(element.connectSocket(1), -1); },
                     "_error_ Node " + missing + ", port -1: Error 2 connecting stream socket"));
  // A path one character too long must not reach the listener at the path it would be cut to.
  std::string fits = conntest::uniqueSocketPath("");
  conntest::Listener listener(fits.append(107 - fits.size(), 'p'));
  Tnperf_ConnectionElement cut((fits + "q").c_str(), -1);
  EXPECT_EQ(cut.connectSocket(0), -1);
  EXPECT_FALSE(listener.pending(0));
  Tnperf_ConnectionElement exact(fits.c_str(), -1);
  EXPECT_GE(exact.connectSocket(0), 0);
  EXPECT_GE(exact.connectSocket(0), 0);
  ScopedFd first(listener.acceptPeer());
  close(listener.acceptPeer());
  char c;
  EXPECT_EQ(recv(first.get(), &c, 1, 0), 0);  // the reconnect ended the first connection
}

TEST(ConnectionElement, LineLimitsAndTheOverrunMessage) {
  Pair pair;
  pair.element.eventCallback = nullptr;  // event lines are dropped, never returned
  // Buffer of 16 bytes: 14 characters fit, 15 are an overrun, more are refused silently.
  std::string a(14, 'a');
  ASSERT_TRUE(conntest::sendAll(pair.peer, "_event_ x\n" + a + "\n" + a + "b\n" + a + "bcd\n"));
  EXPECT_EQ(pair.line(16), a);
  EXPECT_TRUE(conntest::logs(
      [&] { EXPECT_EQ(pair.line(16), "(failed)"); },
      "_error_ Node " + pair.listener.path() + ", port -1: Read overrun of 16 byte buffer!"));
  EXPECT_EQ(conntest::capturedBy([&] { EXPECT_EQ(pair.line(16), "(failed)"); }), "");
  EXPECT_EQ(pair.line(16), "d");  // the read stopped at the first byte too many
}

TEST(ConnectionElement, BufferedReadsGiveEveryLineAndEventAsByteReadsDid) {
  // A line whose newline is the last byte of the first receive.
  std::string fills(Tnperf_ConnectionElement::READ_BUFFER_SIZE - 1, 'f');
  const struct {
    const char* name;
    std::vector<std::string> chunks;  // each sent once the element took the one before
    std::vector<std::string> lines;   // returned, in order, before the hang-up ends the reads
    std::vector<std::string> events;  // set aside
  } cases[] = {
      {"event lines between response lines, the event word without its blank",
       {"_a_ 1\n_event_ e1\n_b_ 2\n_event_ e2\n_event_ e3\n_event_z\n_event_\n\n_response_ end\n"},
       {"_a_ 1", "_b_ 2", "_event_z", "_event_", "", "_response_ end"},
       {"_event_ e1", "_event_ e2", "_event_ e3"}},
      {"event line split across two receives, daemon closing in the middle of a line",
       {"_a_ 1\n_eve", "nt_ split\n_b_ par"},
       {"_a_ 1", "_b_ par"},
       {"_event_ split"}},
      {"line ending exactly at the buffer's end, closing in the middle of an event line",
       {fills + "\n", "next\n_event_ af"},
       {fills, "next"},
       {"_event_ af"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Pair pair;
    ASSERT_TRUE(conntest::sendAll(pair.peer, c.chunks[0]));  // whole before the first receive
    std::thread daemon([&] {
      for (size_t i = 1; i <= c.chunks.size(); i++) {
        conntest::waitFor([&] { return pair.unreceived() == 0; });
        if (i < c.chunks.size()) conntest::sendAll(pair.peer, c.chunks[i]);
      }
      shutdown(pair.peer, SHUT_WR);
    });
    std::vector<std::string> lines;
    std::vector<char> buffer(1 << 20);
    while (pair.element.readSocketLine(buffer.data(), static_cast<int>(buffer.size())) >= 0)
      lines.push_back(buffer.data());
    daemon.join();
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(pair.events, c.events);
  }
}

TEST(ConnectionElement, HandshakeSendsItsWordsAndChecksWordsOneTwoFourAndFive) {
  const uint32_t m = 0xF3689038u;
  const struct {
    std::vector<uint32_t> reply;
    size_t bytes;
    int result;
  } cases[] = {{{m, 0, 99, 0, 0}, 20, 0}, {{m, 1, 0, 0, 0}, 20, 1},     {{m, 0, 0, 1, 0}, 20, 1},
               {{m, 0, 0, 0, 1}, 20, 1},  {{m + 1, 0, 0, 0, 0}, 20, 1}, {{m, 0, 0, 0, 0}, 12, 1}};
  for (const auto& c : cases) {
    conntest::Listener listener;
    Tnperf_ConnectionElement element("127.0.0.1", listener.port());
    ASSERT_GE(element.connectSocket(1), 0);
    ScopedFd peer(listener.acceptPeer());
    std::vector<uint32_t> words;
    for (uint32_t word : c.reply) words.push_back(htonl(word));
    send(peer.get(), words.data(), c.bytes, 0);
    shutdown(peer.get(), SHUT_WR);
    int rc = -1;
    conntest::capturedBy([&] { rc = element.handshake(); });
    EXPECT_EQ(rc, c.result) << testing::PrintToString(c.reply) << c.bytes;
    words.assign(10, 0);
    EXPECT_EQ(recv(peer.get(), words.data(), 40, MSG_WAITALL), 40);
    for (uint32_t& word : words) word = ntohl(word);
    EXPECT_EQ(words, (std::vector<uint32_t>{m, 0, 0, 0, 0, 12, 0, 7, 0, 2}));
  }
}

TEST(EventReader, DeliversTheBurstDropsOverlongLinesAndReportsAHangUp) {
  Pair pair;
  std::string longest = "_event_ " + std::string(TNPERF_EVENT_LINE_SIZE - 9, 'y');
  ASSERT_TRUE(conntest::sendAll(pair.peer, "_event_ 1\n" + longest + "z\n" + longest + "\n"));
  EXPECT_TRUE(
      conntest::logs([&] { EXPECT_EQ(pair.readEvents(), '\n'); },
                     "Warning: Dropped an event line longer than 1023 characters: _event_ yyy"));
  EXPECT_EQ(pair.events, (std::vector<std::string>{"_event_ 1", longest}));
  // A flood of them within the minute is held back, not logged line by line.
  std::string flood;
  for (int i = 0; i < 50; i++) flood += longest + "z\n";
  ASSERT_TRUE(conntest::sendAll(pair.peer, flood + "_event_ 2\n"));
  EXPECT_EQ(conntest::capturedBy([&] { EXPECT_EQ(pair.readEvents(), '\n'); }), "");
  EXPECT_EQ(pair.events.back(), "_event_ 2");
  ASSERT_TRUE(conntest::sendAll(pair.peer, "_event_ whole\n_event_ par"));
  shutdown(pair.peer, SHUT_WR);
  EXPECT_EQ(pair.readEvents(), -1);
  EXPECT_EQ(pair.events.back(), "_event_ whole");
}

TEST(EventReader, AConnectionThatKeepsFailingIsReportedNotRetriedForEver) {
  Pair pair;
  // Receiving on a socket that is not connected fails every time.
  ScopedFd unconnected(socket(AF_UNIX, SOCK_STREAM, 0));
  ASSERT_GE(dup2(unconnected.get(), pair.element.get_socket()), 0);
  char line[8] = "x";
  EXPECT_EQ(tnperf_readlnSocket(&pair.element, line, sizeof line), -1);
  EXPECT_EQ(pair.readEvents(), -1);  // even with a line waiting on its file
}

TEST(GrabKeywordValue, WordsQuotesAndWhereAKeywordMayStand) {
  const struct {
    const char* line;
    const char* keyword;
    unsigned char atStart;
    const char* value;  // null: absent
  } cases[] = {
      {"_d_ d1 _nn_ 5 _n_ 7 _fs_ 'a b'", "_n_", 0, "7"},
      {"_d_ d1 _rc_", "_d_", 0, nullptr},  // at the start only when asked
      {"_d_ d1 _rc_", "_d_", 1, "d1"},
      {"_d_ d1 _rc_", "_rc_", 1, nullptr},  // no blank after it
      {"_xn_ 3 _n_ 4", "n_", 0, nullptr},   // the end of a longer word is not the keyword
      {"_xn_ 3 _n_ 4", "n_", 1, "3"},       // unless matched anywhere; the first match wins
      {"_rc_ 0 _err_5", " _err_", 0, "5"},  // a keyword with its own blank stands as it is
      {"_a_ 'open value", "_a_", 1, "open value"},
      {"_a_ x _b_ 'it''s'", "_b_", 0, "it"},
  };
  for (const auto& c : cases) {
    char value[16] = "untouched";
    char* found = tnperf_grabKeywordValue(c.line, c.keyword, value, c.atStart);
    EXPECT_EQ(found != nullptr ? found : "absent " + std::string(value),
              c.value != nullptr ? c.value : "absent untouched")
        << c.line << " / " << c.keyword;
  }
  char value[4];
  EXPECT_STREQ(tnperf_grabKeywordValue("_a_ abcdef", "_a_", value, 1, sizeof value), "abc");
}

// The nodes of the sample model that the daemon reports: name, address, diagnosis.
const char* const kNodes[][3] = {{"node1.example.com", "10.0.0.1", "no problem found"},
                                 {"node2.example.com", "10.0.0.2", "no problem found"},
                                 {"node3.example.com", "10.0.0.3", "node not responding"}};
using conntest::Simulator;

// One "name value" line of "tarnsim ctl stats".
std::string simStat(const std::string& name) {
  std::string stats = Simulator::ctl("stats");
  size_t at = stats.find(name + " ");
  return at == std::string::npos ? "" : stats.substr(at, stats.find('\n', at) - at);
}

// The simulator on the sample model for a test's length, and a wrapper connected to it.
class Wrapper : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_SANDBOX();
    ASSERT_TRUE(sim.start());
    wrapper.reset(new TnperfWrapperUtils(&err, 0));
    ASSERT_EQ(err, 0);
  }
  Simulator sim;  // outlives the wrapper
  MErrno err = -1;
  std::unique_ptr<TnperfWrapperUtils> wrapper;
};

TEST_F(Wrapper, CommandsGoWithoutLeadingBlanksAnswersAreWalkedAndARestartAsksForARepeat) {
  ASSERT_EQ(wrapper->processCommand(" \t get nodes"), 0);
  ASSERT_EQ(wrapper->prepBuffer(), 0);
  for (const auto& node : kNodes) {
    ASSERT_EQ(wrapper->getNextInstance("_node_"), 1);
    EXPECT_EQ(wrapper->getNextToken(), nullptr);  // no parsing begun on this line
    EXPECT_STREQ(wrapper->getBufferedValue("_diagnosis_", 0, 256), node[2]);
    EXPECT_STREQ(wrapper->getBufferedValue("_node_", 1, 256), node[0]);
    EXPECT_STREQ(wrapper->beginParsing(), "_node_");
    EXPECT_STREQ(wrapper->getNextToken(), node[0]);
    EXPECT_STREQ(wrapper->getNextToken(), "_addr_");
    EXPECT_STREQ(wrapper->getNextToken(), node[1]);
  }
  EXPECT_EQ(wrapper->getNextInstance("_node_"), 0);
  // A command of 10,238 characters is sent; a longer one is refused, not cut.
  std::string longest(TnperfWrapperUtils::MAX_COMMAND_LENGTH, 'c');
  EXPECT_EQ(wrapper->processCommand(longest.c_str()), 0);
  conntest::capturedBy([&] { EXPECT_EQ(wrapper->processCommand((longest + "c").c_str()), -1); });
  EXPECT_EQ(Simulator::ctl("log"), "get nodes\n" + longest + "\n");
  // A daemon restarted between commands: the next one gives 2, and its repeat gets through.
  ASSERT_CTL("log clear");
  ASSERT_CTL("restart 0");
  EXPECT_EQ(wrapper->processCommand("get clusterinfo"), 2);
  EXPECT_EQ(wrapper->processCommand("get clusterinfo"), 0);
  EXPECT_EQ(wrapper->getInstanceCount("_cluster_"), 1);
  EXPECT_EQ(Simulator::ctl("log"), "get clusterinfo\n");
}

TEST_F(Wrapper, ResponseFilesAreNewPrivateKeptOpenAndInADirectoryOnlyWeMayWrite) {
  std::string path = wrapper->responsePath();
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  // A link put in the file's place is never used: the open file goes on.
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(symlink("/tmp/elsewhere", path.c_str()), 0);
  EXPECT_EQ(wrapper->cleanupCommand(), 0);
  EXPECT_EQ(wrapper->processCommand("get clusterinfo"), 0);
  EXPECT_EQ(wrapper->getInstanceCount("_cluster_"), 1);
  EXPECT_NE(access("/tmp/elsewhere", F_OK), 0);
  ASSERT_EQ(unlink(path.c_str()), 0);
  // A file found at the next instance's name is not taken over.
  std::string next = path.substr(0, path.rfind('.') + 1) +
                     std::to_string(std::stoul(path.substr(path.rfind('.') + 1)) + 1);
  ScopedFd planted(open(next.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
  MErrno takenErr = 0;
  EXPECT_TRUE(conntest::logs([&] { TnperfWrapperUtils taken(&takenErr, 0); },
                             "Error: Failed to make response file " + next + ": File exists"));
  EXPECT_EQ(takenErr, 1);
  unlink(next.c_str());
  // A directory another user may write to, or owns, is refused with the reason.
  const struct {
    mode_t mode;
    uid_t owner;
    const char* why;
  } dirs[] = {{0775, 0, "writable by others (mode 0775)"},
              {01777, 0, "writable by others (mode 1777)"},
              {0755, 1234, "owned by uid 1234"}};
  for (const auto& d : dirs) {
    ASSERT_EQ(chmod("/var/tarnfs/tnperf", d.mode), 0);
    ASSERT_EQ(chown("/var/tarnfs/tnperf", d.owner, 0), 0);
    MErrno dirErr = 0;
    EXPECT_TRUE(conntest::logs(
        [&] { TnperfWrapperUtils refused(&dirErr, 0); },
        std::string("Error: response directory /var/tarnfs/tnperf refused: ") + d.why));
    EXPECT_EQ(dirErr, 1);
  }
  ASSERT_EQ(chmod("/var/tarnfs/tnperf", 0755), 0);
  ASSERT_EQ(chown("/var/tarnfs/tnperf", 0, 0), 0);
}

TEST_F(Wrapper, AFailedAnswerIsDroppedWithOneWarningAndTheNextCommandGetsItsOwn) {
  alarm(60);  // before the silence bound, an answer that never ended blocked for ever
  // Each fault, and the reason its one warning gives ("" for no warning). An answer that
  // never ends is the system tests' (test_process_faults.py).
  const char* const cases[][2] = {{"fault long-line 1048574", ""},  // the longest line accepted
                                  {"fault long-line 1048575", "a line over 1048574 characters"},
                                  {"fault unended", "silent for 5 s"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c[0]);
    bool fails = *c[1] != '\0';
    std::string accepted = simStat("accepted");
    ASSERT_CTL(c[0]);
    std::string out = conntest::capturedBy(
        [&] { EXPECT_EQ(wrapper->processCommand("get clusterinfo"), fails ? -1 : 0); });
    // One warning after its 24-character time stamp, or nothing.
    const std::string warning = ": tnmibd: Warning: TARN daemon answer failed (" +
                                std::string(c[1]) + "), command connection re-established\n";
    EXPECT_EQ(out.size() > 24 ? out.substr(24) : out, fails ? warning : "") << out;
    // None of a failed answer's lines stay; its connection is replaced.
    EXPECT_EQ(wrapper->getInstanceCount("_cluster_"), fails ? 0 : 1);
    EXPECT_EQ(simStat("accepted") != accepted, fails);
    wrapper->cleanupCommand();
    EXPECT_EQ(wrapper->processCommand("get nodes"), 0);
    EXPECT_EQ(wrapper->getInstanceCount("_node_"), 3);
    wrapper->cleanupCommand();
    // Reconnects further apart than a steady spell do not back off (nor warn).
    usleep(ReconnectPacer::RECONNECT_STEADY_MS * 1000);
  }
  alarm(0);
}

// A command that waits on the daemon (for an answer, or for a connection to a
// daemon that stops accepting) ends at once at a stop, else at its bound.
TEST_F(Wrapper, ACommandWaitingOnTheDaemonEndsAtAStopOrAtItsBound) {
  alarm(60);
  const int kGiveUpMs =
      Tnperf_ConnectionElement::CONNECT_TIMEOUT_MS + TnperfWrapperUtils::RECONNECT_GIVE_UP_MS;
  const struct {
    std::vector<const char*> faults;
    bool stop;  // else the daemon is gone: exit status 1
    int atLeastMs, withinMs;
  } cases[] = {{{"fault unended"}, true, 250, 500},
               // A full queue holds the connect for its bound, or until the stop.
               {{"fault stall on", "fault drop"}, true, 250, 500},
               {{"fault stall on", "fault drop"},
                false,
                Tnperf_ConnectionElement::CONNECT_TIMEOUT_MS - 20,
                kGiveUpMs + 1000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.faults[0]) + (c.stop ? ", stop" : ""));
    for (const char* fault : c.faults) ASSERT_CTL(fault);
    std::thread stopper([&c] {
      if (c.stop) usleep(300000), requestStop(0);
    });
    const int64_t start = monotonicMicros();
    std::string out =
        conntest::capturedBy([&] { EXPECT_EQ(wrapper->processCommand("get nodes"), -1); });
    stopper.join();
    const int64_t tookMs = (monotonicMicros() - start) / 1000;
    EXPECT_GE(tookMs, c.atLeastMs);
    EXPECT_LT(tookMs, c.withinMs);
    EXPECT_EQ(processExitStatus(), c.stop ? 0 : 1);
    // A stop ends the wait in silence; a daemon gone is logged, after the back-off's warning.
    EXPECT_EQ(out.find("Error: TARN daemon connection failed") == std::string::npos, c.stop) << out;
    EXPECT_EQ(out.find("Warning") == std::string::npos, c.stop) << out;
    // Once stopping, nothing reconnects: commands are refused at once, in silence.
    EXPECT_EQ(conntest::capturedBy([&] { EXPECT_EQ(wrapper->processCommand("get nodes"), -1); }),
              "");
    clearStopRequest();
  }
  alarm(0);
}

}  // namespace
