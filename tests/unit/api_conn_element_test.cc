#include "api/api_conn_element.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/ioctl.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/unit/api_conn_test_util.h"

namespace {

using conntest::Listener;

// An element connected to a fresh UNIX listener, with the accepted peer.
struct Pair {
  Listener listener{conntest::uniqueSocketPath("elt")};
  Tnperf_ConnectionElement element{listener.path().c_str(), 0};
  int peer = -1;
  explicit Pair(int reportErrors = 1) {
    if (element.connectSocket(reportErrors) >= 0) peer = listener.acceptPeer();
  }
  ~Pair() {
    if (peer >= 0) close(peer);
  }
  void hangUp() {
    close(peer);
    peer = -1;
  }
};

int recordEvent(char* line, void* data) {
  static_cast<std::vector<std::string>*>(data)->push_back(line);
  return 0;
}

std::string readLine(Tnperf_ConnectionElement& element, int length, int* result) {
  std::vector<char> buffer(length, '#');
  *result = element.readSocketLine(buffer.data(), length);
  return *result >= 0 ? std::string(buffer.data()) : std::string();
}

TEST(ConnectionElement, PathOrPortMinusOneMakesANamedSocket) {
  std::string missing = conntest::uniqueSocketPath("none");
  Tnperf_ConnectionElement byPath(missing.c_str(), 1234);
  byPath.set_trace(1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(byPath.connectSocket(0), -1);
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("_info_ Using named socket " + missing + "..."), std::string::npos) << out;
  EXPECT_NE(out.find("port -1: Error 2 connecting stream socket"), std::string::npos) << out;

  Tnperf_ConnectionElement byPort("localhost", -1);
  byPort.set_trace(1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(byPort.connectSocket(0), -1);
  out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("_info_ Using named socket localhost..."), std::string::npos) << out;
  EXPECT_EQ(byPort.get_socket(), -1);
}

TEST(ConnectionElement, FailedConnectIsSilentUnlessReported) {
  std::string missing = conntest::uniqueSocketPath("none");
  Tnperf_ConnectionElement element(missing.c_str(), -1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(element.connectSocket(0), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(element.get_socket(), -1);

  testing::internal::CaptureStderr();
  EXPECT_EQ(element.connectSocket(1), -1);
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("_error_ Node " + missing +
                     ", port -1: Error 2 connecting stream socket: " + strerror(ENOENT)),
            std::string::npos)
      << out;
  // Reporting, once asked for, stays on.
  testing::internal::CaptureStderr();
  element.connectSocket(0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("_error_"), std::string::npos);
}

TEST(ConnectionElement, PathTooLongForTheAddressIsRefusedNotCut) {
  // A listener at the longest path that fits; the element's name is one
  // character longer and must not reach it by being cut.
  std::string fits = conntest::uniqueSocketPath("");
  fits.append(107 - fits.size(), 'p');
  Listener listener(fits);
  ASSERT_TRUE(listener.ok());
  Tnperf_ConnectionElement element((fits + "q").c_str(), -1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(element.connectSocket(1), -1);
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("connecting stream socket: " + std::string(strerror(ENAMETOOLONG))),
            std::string::npos)
      << out;
  EXPECT_EQ(element.get_socket(), -1);
  EXPECT_FALSE(listener.pending(50));
  // The longest path that fits does connect.
  Tnperf_ConnectionElement exact(fits.c_str(), -1);
  EXPECT_GE(exact.connectSocket(1), 0);
}

TEST(ConnectionElement, ReconnectClosesTheOldDescriptor) {
  Pair pair;
  ASSERT_GE(pair.peer, 0);
  ASSERT_GE(pair.element.connectSocket(1), 0);
  int second = pair.listener.acceptPeer();
  ASSERT_GE(second, 0);
  // The first connection's peer sees end of stream: the old socket was closed.
  ASSERT_TRUE(conntest::readable(pair.peer, 5000));
  char c;
  EXPECT_EQ(recv(pair.peer, &c, 1, 0), 0);
  close(second);
}

TEST(ConnectionElement, LineLimitsAndOverrunMessage) {
  Pair pair;
  ASSERT_GE(pair.peer, 0);
  int rc;
  // Buffer of 8 bytes: 6 characters fit, 7 are an overrun, more are refused silently.
  ASSERT_TRUE(conntest::sendAll(pair.peer, "123456\n1234567\n123456789\n"));
  EXPECT_EQ(readLine(pair.element, 8, &rc), "123456");
  EXPECT_EQ(rc, 6);
  testing::internal::CaptureStderr();
  readLine(pair.element, 8, &rc);
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_EQ(rc, -1);
  EXPECT_NE(out.find("_error_ Node " + pair.listener.path() +
                     ", port -1: Read overrun of 8 byte "
                     "buffer!"),
            std::string::npos)
      << out;
  testing::internal::CaptureStderr();
  readLine(pair.element, 8, &rc);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  // The read stops at the first byte too many: the rest of the line stays
  // unread, and the socket stays open.
  EXPECT_EQ(readLine(pair.element, 8, &rc), "9");
  EXPECT_GE(pair.element.get_socket(), 0);
}

TEST(ConnectionElement, EventLinesWithoutACallbackAreDropped) {
  Pair pair;
  ASSERT_GE(pair.peer, 0);
  ASSERT_TRUE(conntest::sendAll(pair.peer, "_event_ dropped\nc\n"));
  int rc;
  EXPECT_EQ(readLine(pair.element, 64, &rc), "c");
}

TEST(ConnectionElement, HangUpEndsAPartialLineThenFails) {
  Pair pair;
  ASSERT_GE(pair.peer, 0);
  ASSERT_TRUE(conntest::sendAll(pair.peer, "whole\npart"));
  pair.hangUp();
  int rc;
  EXPECT_EQ(readLine(pair.element, 64, &rc), "whole");
  EXPECT_EQ(readLine(pair.element, 64, &rc), "part");
  EXPECT_EQ(rc, 4);
  readLine(pair.element, 64, &rc);
  EXPECT_EQ(rc, -1);
  // A line read never closes the socket; the caller's next write finds out.
  EXPECT_GE(pair.element.get_socket(), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(pair.element.write("x\n", 2), -1);
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("Error " + std::to_string(EPIPE) + " in write: " + strerror(EPIPE)),
            std::string::npos)
      << out;
  EXPECT_EQ(pair.element.get_socket(), -1);
  EXPECT_EQ(pair.element.read(nullptr, 0), -1);
}

// Bytes the element's socket holds that the element has not yet received.
int unreceived(const Tnperf_ConnectionElement& element) {
  int pending = -1;
  ioctl(element.get_socket(), FIONREAD, &pending);
  return pending;
}

struct BufferedCase {
  const char* name;
  std::vector<std::string> chunks;  // each sent once the element took the one before
  std::vector<std::string> lines;   // returned, in order, before the hang-up ends the reads
  std::vector<std::string> events;  // set aside
};

TEST(ConnectionElement, BufferedReadsGiveEveryLineAndEventAsByteReadsDid) {
  const size_t kSize = Tnperf_ConnectionElement::READ_BUFFER_SIZE;
  // A line whose newline is the last byte of the first receive.
  std::string fills(kSize - 1, 'f');
  const BufferedCase cases[] = {
      {"event lines between response lines",
       {"_a_ 1\n_event_ e1\n_b_ 2\n_event_ e2\n_event_ e3\n_response_ end\n"},
       {"_a_ 1", "_b_ 2", "_response_ end"},
       {"_event_ e1", "_event_ e2", "_event_ e3"}},
      {"the event word without its blank is an ordinary line",
       {"a 1\n_event_ mount _fs_ x\n_event_ y\nb\n_event_z\n_event_\n\n"},
       {"a 1", "b", "_event_z", "_event_", ""},
       {"_event_ mount _fs_ x", "_event_ y"}},
      {"event line split across two receives",
       {"_a_ 1\n_eve", "nt_ split\n_b_ 2\n"},
       {"_a_ 1", "_b_ 2"},
       {"_event_ split"}},
      {"response line split across three receives", {"_a", "_ 1", "2\n"}, {"_a_ 12"}, {}},
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
    ASSERT_GE(pair.peer, 0);
    std::vector<std::string> events;
    pair.element.eventCallback = recordEvent;
    pair.element.eventCallbackData = &events;
    // The first chunk is whole in the socket before the first receive.
    ASSERT_TRUE(conntest::sendAll(pair.peer, c.chunks[0]));
    std::thread daemon([&] {
      for (size_t i = 1; i < c.chunks.size(); i++) {
        conntest::waitFor([&] { return unreceived(pair.element) == 0; });
        conntest::sendAll(pair.peer, c.chunks[i]);
      }
      conntest::waitFor([&] { return unreceived(pair.element) == 0; });
      pair.hangUp();
    });
    std::vector<std::string> lines;
    std::vector<char> buffer(1 << 20);
    while (pair.element.readSocketLine(buffer.data(), static_cast<int>(buffer.size())) >= 0)
      lines.push_back(buffer.data());
    daemon.join();
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(events, c.events);
  }
}

TEST(ConnectionElement, ReadinessLooksAtTheBufferBeforeTheSocket) {
  Pair pair;
  ASSERT_GE(pair.peer, 0);
  ASSERT_TRUE(conntest::sendAll(pair.peer, "one\ntwo\n"));
  int rc;
  EXPECT_EQ(readLine(pair.element, 64, &rc), "one");
  // "two" is only in the element's buffer now: the socket has nothing to read.
  ASSERT_EQ(unreceived(pair.element), 0);
  EXPECT_FALSE(conntest::readable(pair.element.get_socket(), 0));
  short revents = 0;
  EXPECT_EQ(pair.element.poll(POLLIN, 5000, &revents), 1);
  EXPECT_EQ(revents, POLLIN);
  // A raw read takes the buffered bytes first, without a receive.
  char raw[2];
  EXPECT_EQ(pair.element.read(raw, 2), 2);
  EXPECT_EQ(std::string(raw, 2), "tw");
  EXPECT_EQ(readLine(pair.element, 64, &rc), "o");
  EXPECT_EQ(pair.element.poll(POLLIN, 0), 0);
}

int stopAtEnd(char* line, void* data) {
  static_cast<std::vector<std::string>*>(data)->push_back(line);
  if (strcmp(line, "end") == 0) return 1;
  if (strcmp(line, "stop") == 0) return 7;
  return 0;
}

TEST(ConnectionElement, DrainHandsEveryLineToTheHandlerUntilItStops) {
  Pair pair;
  ASSERT_GE(pair.peer, 0);
  std::vector<std::string> lines;
  char buffer[64];
  ASSERT_TRUE(conntest::sendAll(pair.peer, "one\n_event_ skip\ntwo\nend\nafter\nstop\nlast"));
  EXPECT_EQ(pair.element.drainStringSocket(buffer, sizeof buffer, stopAtEnd, &lines), 0);
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "end"}));
  EXPECT_EQ(pair.element.drainStringSocket(buffer, sizeof buffer, stopAtEnd, &lines), 7);
  pair.hangUp();
  EXPECT_EQ(pair.element.drainStringSocket(buffer, sizeof buffer, stopAtEnd, &lines), -1);
  EXPECT_EQ(lines.back(), "last");
}

TEST(ConnectionElement, RawReadWriteAndPoll) {
  Pair pair;
  ASSERT_GE(pair.peer, 0);
  EXPECT_EQ(pair.element.write("hello", 5), 5);
  EXPECT_EQ(conntest::receiveExactly(pair.peer, 5), "hello");
  EXPECT_EQ(pair.element.poll(POLLIN, 0), 0);
  ASSERT_TRUE(conntest::sendAll(pair.peer, "abc"));
  short revents = 0;
  EXPECT_EQ(pair.element.poll(POLLIN, 5000, &revents), 1);
  EXPECT_TRUE(revents & POLLIN);
  char buffer[16];
  EXPECT_EQ(pair.element.read(buffer, sizeof buffer), 3);
  pair.hangUp();
  EXPECT_EQ(pair.element.read(buffer, sizeof buffer), 0);
  EXPECT_EQ(pair.element.close(), 0);
  EXPECT_EQ(pair.element.close(), 0);
  EXPECT_EQ(pair.element.write("x", 1), -1);
}

// A loopback peer that checks the handshake message and answers with reply.
struct HandshakePeer {
  Listener listener;
  std::vector<uint32_t> received;
  std::thread thread;
  explicit HandshakePeer(std::vector<uint32_t> reply, size_t replyBytes = 20) {
    thread = std::thread([this, reply, replyBytes] {
      int fd = listener.acceptPeer();
      if (fd < 0) return;
      std::string message = conntest::receiveExactly(fd, 40);
      for (size_t i = 0; i + 4 <= message.size(); i += 4) {
        uint32_t word;
        memcpy(&word, message.data() + i, 4);
        received.push_back(ntohl(word));
      }
      std::string answer;
      for (uint32_t word : reply) {
        uint32_t net = htonl(word);
        answer.append(reinterpret_cast<const char*>(&net), 4);
      }
      conntest::sendAll(fd, answer.substr(0, replyBytes));
      close(fd);
    });
  }
  ~HandshakePeer() {
    if (thread.joinable()) thread.join();
  }
};

int handshakeWith(std::vector<uint32_t> reply, size_t replyBytes = 20) {
  HandshakePeer peer(reply, replyBytes);
  Tnperf_ConnectionElement element("127.0.0.1", peer.listener.port());
  if (element.connectSocket(1) < 0) return -1;
  testing::internal::CaptureStderr();
  int rc = element.handshake();
  std::string out = testing::internal::GetCapturedStderr();
  peer.thread.join();
  EXPECT_EQ(peer.received, (std::vector<uint32_t>{0xF3689038u, 0, 0, 0, 0, 12, 0, 7, 0, 2}));
  if (rc == 1) {
    EXPECT_NE(out.find("Warning: Failed to handshake with 127.0.0.1"), std::string::npos) << out;
    EXPECT_EQ(element.get_socket(), -1);
  }
  return rc;
}

TEST(ConnectionElement, HandshakeChecksWordsOneTwoFourAndFive) {
  const uint32_t magic = 0xF3689038u;
  EXPECT_EQ(handshakeWith({magic, 0, 0, 0, 0}), 0);
  EXPECT_EQ(handshakeWith({magic, 0, 99, 0, 0}), 0);
  EXPECT_EQ(handshakeWith({magic, 1, 0, 0, 0}), 1);
  EXPECT_EQ(handshakeWith({magic, 0, 0, 1, 0}), 1);
  EXPECT_EQ(handshakeWith({magic, 0, 0, 0, 1}), 1);
  EXPECT_EQ(handshakeWith({magic + 1, 0, 0, 0, 0}), 1);
  EXPECT_EQ(handshakeWith({magic, 0, 0, 0, 0}, 12), 1);
}

TEST(ConnectionElement, HandshakeIsSkippedOnANamedSocket) {
  Pair pair;
  ASSERT_GE(pair.peer, 0);
  EXPECT_EQ(pair.element.handshake(), 0);
  EXPECT_FALSE(conntest::readable(pair.peer, 20));
  EXPECT_GE(pair.element.get_socket(), 0);
}

TEST(ConnectionElement, TraceLevelTwoCountsBytesAndNotesEvents) {
  Pair pair;
  ASSERT_GE(pair.peer, 0);
  EXPECT_EQ(pair.element.set_trace(2), 0);
  ASSERT_TRUE(conntest::sendAll(pair.peer, "_event_ e\nok\n"));
  testing::internal::CaptureStderr();
  int rc;
  readLine(pair.element, 64, &rc);
  pair.element.write("x", 1);
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("_trace_ Discarding event message: '_event_ e'"), std::string::npos) << out;
  EXPECT_NE(out.find("port -1: Read 2 bytes"), std::string::npos) << out;
  EXPECT_NE(out.find("port -1: Wrote 1 bytes"), std::string::npos) << out;
  EXPECT_EQ(pair.element.set_trace(0), 2);
}

}  // namespace
