// The connection element and the socket-side readers, against a peer on a
// real socket.
#include "api/api_conn_element.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/ioctl.h>

#include <string>
#include <thread>
#include <vector>

#include "agent/scoped.h"
#include "api/api_reader.h"
#include "tests/unit/api_conn_test_util.h"

namespace {

using conntest::Listener;

// An element connected to a fresh UNIX listener, with the accepted peer and a
// pipe for the event reader to watch.
struct Pair {
  Listener listener{conntest::uniqueSocketPath("elt")};
  Tnperf_ConnectionElement element{listener.path().c_str(), -1};
  int peer = -1;
  std::vector<std::string> events;
  int ends[2] = {-1, -1};
  Pair() {
    if (element.connectSocket(1) >= 0) peer = listener.acceptPeer();
    element.eventCallback = [](char* line, void* data) {
      static_cast<std::vector<std::string>*>(data)->push_back(line);
      return 0;
    };
    element.eventCallbackData = &events;
    EXPECT_EQ(pipe(ends), 0);
  }
  ~Pair() {
    for (int fd : {peer, ends[0], ends[1]})
      if (fd >= 0) close(fd);
  }
  void hangUp() {
    close(peer);
    peer = -1;
  }
  std::string line(int length, int* result) {
    std::vector<char> buffer(length, '#');
    *result = element.readSocketLine(buffer.data(), length);
    return *result >= 0 ? std::string(buffer.data()) : std::string();
  }
  // The event reader's result with a line waiting on the pipe.
  int readEvents() {
    EXPECT_EQ(write(ends[1], "wake\n", 5), 5);
    ScopedFile file(fdopen(dup(ends[0]), "r"));
    setvbuf(file.get(), nullptr, _IONBF, 0);
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

std::string capturedBy(const std::function<void()>& run) {
  testing::internal::CaptureStderr();
  run();
  return testing::internal::GetCapturedStderr();
}

TEST(ConnectionElement, ConnectFailsCleanlyAndReportsOnlyWhenAsked) {
  std::string missing = conntest::uniqueSocketPath("none");
  Tnperf_ConnectionElement element(missing.c_str(), 1234);  // a path makes a named socket
  EXPECT_EQ(capturedBy([&] { EXPECT_EQ(element.connectSocket(0), -1); }), "");
  EXPECT_NE(capturedBy([&] {
              EXPECT_EQ(element.connectSocket(1), -1);
            }).find("_error_ Node " + missing + ", port -1: Error 2 connecting stream socket"),
            std::string::npos);
  EXPECT_EQ(element.get_socket(), -1);
  // A path one character too long for the address must not reach the
  // listener at the path it would be cut to.
  std::string fits = conntest::uniqueSocketPath("");
  fits.append(107 - fits.size(), 'p');
  Listener listener(fits);
  Tnperf_ConnectionElement cut((fits + "q").c_str(), -1);
  EXPECT_EQ(cut.connectSocket(0), -1);
  EXPECT_FALSE(listener.pending(0));
  Tnperf_ConnectionElement exact(fits.c_str(), -1);
  EXPECT_GE(exact.connectSocket(0), 0);
}

TEST(ConnectionElement, ReconnectClosesTheOldDescriptor) {
  Pair pair;
  ASSERT_GE(pair.element.connectSocket(1), 0);
  close(pair.listener.acceptPeer());
  char c;
  EXPECT_EQ(recv(pair.peer, &c, 1, 0), 0);  // the first connection ended
}

TEST(ConnectionElement, LineLimitsAndOverrunMessage) {
  Pair pair;
  pair.element.eventCallback = nullptr;  // event lines are dropped, never returned
  // Buffer of 16 bytes: 14 characters fit, 15 are an overrun, more are refused silently.
  std::string fits(14, 'a');
  ASSERT_TRUE(
      conntest::sendAll(pair.peer, "_event_ x\n" + fits + "\n" + fits + "b\n" + fits + "bcd\n"));
  int rc;
  EXPECT_EQ(pair.line(16, &rc), fits);
  std::string out = capturedBy([&] { EXPECT_EQ(pair.line(16, &rc), ""); });
  EXPECT_NE(out.find("_error_ Node " + pair.listener.path() +
                     ", port -1: Read overrun of 16 byte buffer!"),
            std::string::npos)
      << out;
  EXPECT_EQ(capturedBy([&] { pair.line(16, &rc); }), "");
  EXPECT_EQ(rc, -1);
  // The read stopped at the first byte too many: the rest stays unread.
  EXPECT_EQ(pair.line(16, &rc), "d");
}

struct BufferedCase {
  const char* name;
  std::vector<std::string> chunks;  // each sent once the element took the one before
  std::vector<std::string> lines;   // returned, in order, before the hang-up ends the reads
  std::vector<std::string> events;  // set aside
};

TEST(ConnectionElement, BufferedReadsGiveEveryLineAndEventAsByteReadsDid) {
  // A line whose newline is the last byte of the first receive.
  std::string fills(Tnperf_ConnectionElement::READ_BUFFER_SIZE - 1, 'f');
  const BufferedCase cases[] = {
      {"event lines between response lines",
       {"_a_ 1\n_event_ e1\n_b_ 2\n_event_ e2\n_event_ e3\n_response_ end\n"},
       {"_a_ 1", "_b_ 2", "_response_ end"},
       {"_event_ e1", "_event_ e2", "_event_ e3"}},
      {"the event word without its blank is an ordinary line",
       {"_event_ y\n_event_z\n_event_\n\n"},
       {"_event_z", "_event_", ""},
       {"_event_ y"}},
      {"event line split across two receives",
       {"_a_ 1\n_eve", "nt_ split\n_b_ 2\n"},
       {"_a_ 1", "_b_ 2"},
       {"_event_ split"}},
      {"line ending exactly at the buffer's end",
       {fills + "\n", "next\n_event_ after\n"},
       {fills, "next"},
       {"_event_ after"}},
      {"daemon closing in the middle of a line", {"_a_ 1\n_b_ par"}, {"_a_ 1", "_b_ par"}, {}},
      {"daemon closing in the middle of an event line",
       {"_a_ 1\n_event_ pa"},
       {"_a_ 1"},
       {"_event_ pa"}},
  };
  for (const BufferedCase& c : cases) {
    SCOPED_TRACE(c.name);
    Pair pair;
    ASSERT_TRUE(conntest::sendAll(pair.peer, c.chunks[0]));
    std::thread daemon([&] {
      for (size_t i = 1; i <= c.chunks.size(); i++) {
        conntest::waitFor([&] { return pair.unreceived() == 0; });
        if (i < c.chunks.size()) conntest::sendAll(pair.peer, c.chunks[i]);
      }
      pair.hangUp();
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

TEST(ConnectionElement, ReadinessLooksAtTheBufferBeforeTheSocket) {
  Pair pair;
  ASSERT_TRUE(conntest::sendAll(pair.peer, "one\ntwo\n"));
  int rc;
  EXPECT_EQ(pair.line(64, &rc), "one");
  // "two" is only in the element's buffer now.
  ASSERT_EQ(pair.unreceived(), 0);
  short revents = 0;
  EXPECT_EQ(pair.element.poll(POLLIN, 5000, &revents), 1);
  EXPECT_EQ(revents, POLLIN);
  char raw[2];
  EXPECT_EQ(pair.element.read(raw, 2), 2);  // from the buffer, without a receive
  EXPECT_EQ(std::string(raw, 2), "tw");
  EXPECT_EQ(pair.line(64, &rc), "o");
  EXPECT_EQ(pair.element.poll(POLLIN, 0), 0);
}

// The handshake of node/port connections against a loopback peer that
// answers reply (cut to replyBytes); the words it received go to *received.
int handshakeWith(std::vector<uint32_t> reply, std::vector<uint32_t>* received,
                  size_t replyBytes = 20) {
  Listener listener;
  Tnperf_ConnectionElement element("127.0.0.1", listener.port());
  if (element.connectSocket(1) < 0) return -1;
  ScopedFd peer(listener.acceptPeer());
  std::string answer;
  for (uint32_t& word : reply)
    answer.append(reinterpret_cast<const char*>(&(word = htonl(word))), 4);
  conntest::sendAll(peer.get(), answer.substr(0, replyBytes));
  shutdown(peer.get(), SHUT_WR);
  int rc = -1;
  std::string out = capturedBy([&] { rc = element.handshake(); });
  uint32_t words[10] = {};
  received->assign(10, 0);
  if (recv(peer.get(), words, sizeof words, MSG_WAITALL) == sizeof words)
    for (int i = 0; i < 10; i++) (*received)[i] = ntohl(words[i]);
  EXPECT_EQ(out.find("Warning: Failed to handshake with 127.0.0.1") != std::string::npos, rc == 1);
  EXPECT_EQ(element.get_socket() < 0, rc == 1);
  return rc;
}

TEST(ConnectionElement, HandshakeSendsItsWordsAndChecksWordsOneTwoFourAndFive) {
  const uint32_t m = 0xF3689038u;
  const struct {
    std::vector<uint32_t> reply;
    size_t bytes;
    int result;
  } cases[] = {{{m, 0, 0, 0, 0}, 20, 0}, {{m, 0, 99, 0, 0}, 20, 0}, {{m, 1, 0, 0, 0}, 20, 1},
               {{m, 0, 0, 1, 0}, 20, 1}, {{m, 0, 0, 0, 1}, 20, 1},  {{m + 1, 0, 0, 0, 0}, 20, 1},
               {{m, 0, 0, 0, 0}, 12, 1}};
  for (const auto& c : cases) {
    std::vector<uint32_t> received;
    EXPECT_EQ(handshakeWith(c.reply, &received, c.bytes), c.result) << c.reply[0] << c.bytes;
    EXPECT_EQ(received, (std::vector<uint32_t>{m, 0, 0, 0, 0, 12, 0, 7, 0, 2}));
  }
  Pair named;  // skipped on a named socket
  EXPECT_EQ(named.element.handshake(), 0);
  EXPECT_FALSE(conntest::readable(named.peer, 0));
}

TEST(SocketReaders, EventLineLimitsAndEndOfStream) {
  Pair pair;
  char line[8];
  ASSERT_TRUE(conntest::sendAll(pair.peer, "1234567\n12345678\nok\npart"));
  EXPECT_EQ(tnperf_readlnSocket(&pair.element, line, sizeof line), '\n');
  EXPECT_STREQ(line, "1234567");
  EXPECT_EQ(tnperf_readlnSocket(&pair.element, line, sizeof line), TNPERF_LINE_TOO_LONG);
  EXPECT_EQ(tnperf_readlnSocket(&pair.element, line, sizeof line), '\n');
  EXPECT_STREQ(line, "ok");  // the long line's rest was dropped
  pair.hangUp();
  EXPECT_EQ(tnperf_readlnSocket(&pair.element, line, sizeof line), -1);
  EXPECT_STREQ(line, "part");
}

TEST(SocketReaders, EventReaderDeliversTheBurstDropsOverlongLinesAndReportsAHangUp) {
  Pair pair;
  std::string exact = "_event_ " + std::string(TNPERF_EVENT_LINE_SIZE - 9, 'y');
  ASSERT_TRUE(conntest::sendAll(pair.peer, "_event_ one\n" + exact + "z\n" + exact + "\n"));
  std::string out = capturedBy([&] { EXPECT_EQ(pair.readEvents(), '\n'); });
  EXPECT_NE(out.find("Warning: Dropped an event line longer than 1023 characters: _event_ yyy"),
            std::string::npos)
      << out;
  EXPECT_EQ(pair.events, (std::vector<std::string>{"_event_ one", exact}));
  ASSERT_TRUE(conntest::sendAll(pair.peer, "_event_ whole\n_event_ par"));
  pair.hangUp();
  EXPECT_EQ(pair.readEvents(), -1);
  EXPECT_EQ(pair.events.back(), "_event_ whole");
}

TEST(SocketReaders, AConnectionThatKeepsFailingIsReportedNotRetriedForEver) {
  Pair pair;
  // Receiving on a socket that is not connected fails every time.
  ScopedFd unconnected(socket(AF_UNIX, SOCK_STREAM, 0));
  ASSERT_EQ(dup2(unconnected.get(), pair.element.get_socket()), pair.element.get_socket());
  char line[8] = "x";
  EXPECT_EQ(tnperf_readlnSocket(&pair.element, line, sizeof line), -1);
  // The event reader reports it even with a line waiting on its file.
  EXPECT_EQ(pair.readEvents(), -1);
}

}  // namespace
