#include "api/api_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "agent/scoped.h"
#include "api/api_conn_element.h"
#include "tests/unit/api_conn_test_util.h"

namespace {

// A temporary file holding text, positioned at its start.
FILE* fileWith(const std::string& text) {
  FILE* file = tmpfile();
  fwrite(text.data(), 1, text.size(), file);
  rewind(file);
  return file;
}

TEST(CountLines, CountsNewlinesFromThePositionAndRestoresIt) {
  ScopedFile file(fileWith("first\nsecond"));
  EXPECT_EQ(tnperf_countLines(file.get()), 1);
  EXPECT_EQ(ftell(file.get()), 0);
  ScopedFile more(fileWith("a\nb\nc\nd"));
  fseek(more.get(), 2, SEEK_SET);
  EXPECT_EQ(tnperf_countLines(more.get()), 2);
  EXPECT_EQ(ftell(more.get()), 2);
  char line[8];
  EXPECT_EQ(tnperf_readln(more.get(), line, nullptr), '\n');
  EXPECT_STREQ(line, "b");
  ScopedFile empty(fileWith(""));
  EXPECT_EQ(tnperf_countLines(empty.get()), 0);
}

TEST(CountLines, CountsLinesPastOneReadChunk) {
  std::string text;
  for (int i = 0; i < 30000; i++) text += "line " + std::to_string(i) + "\n";
  ScopedFile file(fileWith(text));
  EXPECT_EQ(tnperf_countLines(file.get()), 30000);
}

TEST(ReadlnFile, ReturnsNewlineForLinesAndMinusOneAtTheEnd) {
  ScopedFile file(fileWith("one\n\nlast"));
  char line[32];
  EXPECT_EQ(tnperf_readln(file.get(), line, nullptr), '\n');
  EXPECT_STREQ(line, "one");
  EXPECT_EQ(tnperf_readln(file.get(), line, nullptr), '\n');
  EXPECT_STREQ(line, "");
  EXPECT_EQ(tnperf_readln(file.get(), line, nullptr), -1);
  EXPECT_STREQ(line, "last");
  ScopedFile empty(fileWith(""));
  strcpy(line, "stale");
  EXPECT_EQ(tnperf_readln(empty.get(), line, nullptr), -1);
  EXPECT_STREQ(line, "");
}

TEST(ReadlnFile, ABoundedReadCutsTheLineAndSkipsItsRest) {
  ScopedFile file(fileWith("abcdefghij\nnext\n"));
  char line[5];
  EXPECT_EQ(tnperf_readln(file.get(), line, nullptr, sizeof line), '\n');
  EXPECT_STREQ(line, "abcd");
  EXPECT_EQ(tnperf_readln(file.get(), line, nullptr, sizeof line), '\n');
  EXPECT_STREQ(line, "next");
}

TEST(BlastLineToFile, WritesTheLineAndStopsAtTheExactEndLine) {
  ScopedFile file(tmpfile());
  char end[] = "_response_ end";
  char endBlank[] = "_response_ end ";
  char endMore[] = "_response_ ends";
  char other[] = "_node_ n1";
  EXPECT_EQ(tnperf_blastLineToFile(other, file.get()), 0);
  EXPECT_EQ(tnperf_blastLineToFile(endBlank, file.get()), 0);
  EXPECT_EQ(tnperf_blastLineToFile(endMore, file.get()), 0);
  EXPECT_EQ(tnperf_blastLineToFile(end, file.get()), 1);
  rewind(file.get());
  char text[128] = "";
  size_t n = fread(text, 1, sizeof text - 1, file.get());
  EXPECT_EQ(std::string(text, n), "_node_ n1\n_response_ end \n_response_ ends\n_response_ end\n");
}

TEST(FindSpace, SkipsToBlackAndToWhite) {
  const char text[] = " \t\r\n\v\fword next";
  EXPECT_EQ(tnperf_findBlackSpace(text), text + 6);
  EXPECT_EQ(tnperf_findWhiteSpace(text + 6), text + 10);
  EXPECT_EQ(*tnperf_findBlackSpace("   "), '\0');
  const char word[] = "word";
  EXPECT_EQ(tnperf_findWhiteSpace(word), word + 4);
}

// The example line: _disk_ d1 _nn_ 5 _n_ 7 _fs_ 'a b' _rc_
const char kDiskLine[] = "_disk_ d1 _nn_ 5 _n_ 7 _fs_ 'a b' _rc_";

std::string grab(const char* line, const char* keyword, unsigned char atStart) {
  char value[64];
  strcpy(value, "untouched");
  if (tnperf_grabKeywordValue(line, keyword, value, atStart) != value)
    return std::string("<absent:") + value + ">";
  return value;
}

TEST(GrabKeywordValue, FindsWordsAndQuotedValues) {
  EXPECT_EQ(grab(kDiskLine, "_n_", 0), "7");
  EXPECT_EQ(grab(kDiskLine, "_nn_", 0), "5");
  EXPECT_EQ(grab(kDiskLine, "_fs_", 0), "a b");
}

TEST(GrabKeywordValue, AtStartAndTrailingBlankRules) {
  EXPECT_EQ(grab(kDiskLine, "_disk_", 0), "<absent:untouched>");
  EXPECT_EQ(grab(kDiskLine, "_disk_", 1), "d1");
  EXPECT_EQ(grab(kDiskLine, "_rc_", 0), "<absent:untouched>");
  EXPECT_EQ(grab(kDiskLine, "_rc_", 1), "<absent:untouched>");
  // A keyword that only ends a longer word is not the keyword...
  EXPECT_EQ(grab("_x _xn_ 3 _n_ 4", "n_", 0), "<absent:untouched>");
  // ...unless matched anywhere, and the first match wins.
  EXPECT_EQ(grab("_x _xn_ 3 _n_ 4", "n_", 1), "3");
  // A keyword that brings its own blank is searched as it stands.
  EXPECT_EQ(grab("_rc_ 0 _err_ 5", " _err_ ", 0), "5");
  EXPECT_EQ(grab("_rc_ 0 _err_5", " _err_", 0), "5");
}

TEST(GrabKeywordValue, ValueEnds) {
  // An unclosed quote runs to the end of the line, without the quote.
  EXPECT_EQ(grab("_a_ 'open value", "_a_", 1), "open value");
  EXPECT_EQ(grab("_a_ last", "_a_", 1), "last");
  EXPECT_EQ(grab("_a_  two", "_a_", 1), "");
  EXPECT_EQ(grab("_a_ '' _b_ 1", "_a_", 1), "");
  EXPECT_EQ(grab("_a_ x _b_ 'it''s'", "_b_", 0), "it");
}

TEST(GrabKeywordValue, ABoundedValueIsCut) {
  char value[4] = "zzz";
  EXPECT_EQ(tnperf_grabKeywordValue("_a_ abcdef", "_a_", value, 1, sizeof value), value);
  EXPECT_STREQ(value, "abc");
}

// A connected element with its peer, for the socket readers.
struct EventPair {
  conntest::Listener listener{conntest::uniqueSocketPath("rd")};
  Tnperf_ConnectionElement element{listener.path().c_str(), -1};
  int peer = -1;
  EventPair() {
    if (element.connectSocket(1) >= 0) peer = listener.acceptPeer();
  }
  ~EventPair() {
    if (peer >= 0) close(peer);
  }
};

TEST(ReadlnSocket, LinesEndOfStreamAndLongLines) {
  EventPair pair;
  ASSERT_GE(pair.peer, 0);
  char line[8];
  ASSERT_TRUE(conntest::sendAll(pair.peer, "abc\n1234567\n12345678\nok\npart"));
  EXPECT_EQ(tnperf_readlnSocket(&pair.element, line, sizeof line), '\n');
  EXPECT_STREQ(line, "abc");
  EXPECT_EQ(tnperf_readlnSocket(&pair.element, line, sizeof line), '\n');
  EXPECT_STREQ(line, "1234567");
  EXPECT_EQ(tnperf_readlnSocket(&pair.element, line, sizeof line), TNPERF_LINE_TOO_LONG);
  EXPECT_STREQ(line, "1234567");
  EXPECT_EQ(tnperf_readlnSocket(&pair.element, line, sizeof line), '\n');
  EXPECT_STREQ(line, "ok");
  close(pair.peer);
  pair.peer = -1;
  EXPECT_EQ(tnperf_readlnSocket(&pair.element, line, sizeof line), -1);
  EXPECT_STREQ(line, "part");
}

TEST(ReadlnSocket, AReceiveThatKeepsFailingGivesUp) {
  EventPair pair;
  ASSERT_GE(pair.peer, 0);
  // Receiving on a socket that is not connected fails every time; the
  // reader must return rather than retry for ever.
  ScopedFd unconnected(socket(AF_UNIX, SOCK_STREAM, 0));
  ASSERT_EQ(dup2(unconnected.get(), pair.element.get_socket()), pair.element.get_socket());
  char line[8] = "x";
  EXPECT_EQ(tnperf_readlnSocket(&pair.element, line, sizeof line), -1);
  EXPECT_STREQ(line, "");
}

std::vector<std::string> delivered;
int collect(char* line, void* data) {
  EXPECT_EQ(data, &delivered);
  delivered.push_back(line);
  return 0;
}

// The event reader: an element with the collecting callback and a pipe to watch.
struct PipeEnds {
  int ends[2] = {-1, -1};
  PipeEnds() {
    if (pipe(ends) != 0) ends[0] = ends[1] = -1;
  }
};

struct EventReader : EventPair, PipeEnds {
  ScopedFile pipeRead{fdopen(ends[0], "r")};
  ScopedFile pipeWrite{fdopen(ends[1], "w")};
  EventReader() {
    element.eventCallback = collect;
    element.eventCallbackData = &delivered;
    delivered.clear();
  }
};

TEST(ReadlnEvents, DeliversABurstThenReturnsTheFileLine) {
  EventReader reader;
  ASSERT_GE(reader.peer, 0);
  ASSERT_TRUE(conntest::sendAll(reader.peer, "_event_ one _a_ 1\n_event_ two\n"));
  fputs("wake\n", reader.pipeWrite.get());
  fflush(reader.pipeWrite.get());
  char line[64];
  EXPECT_EQ(tnperf_readln(reader.pipeRead.get(), line, &reader.element), '\n');
  EXPECT_STREQ(line, "wake");
  EXPECT_EQ(delivered, (std::vector<std::string>{"_event_ one _a_ 1", "_event_ two"}));
}

TEST(ReadlnEvents, ASecondLineWithinTheBurstWindowIsTakenInTheSamePass) {
  EventReader reader;
  ASSERT_GE(reader.peer, 0);
  // The file line is ready before the second event arrives: only a reader
  // that keeps taking the burst delivers both before returning it.
  std::thread daemon([&] {
    conntest::sendAll(reader.peer, "_event_ first\n");
    fputs("wake\n", reader.pipeWrite.get());
    fflush(reader.pipeWrite.get());
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // a gap inside the 100 ms window
    conntest::sendAll(reader.peer, "_event_ second\n");
  });
  char line[64];
  EXPECT_EQ(tnperf_readln(reader.pipeRead.get(), line, &reader.element), '\n');
  daemon.join();
  EXPECT_EQ(delivered, (std::vector<std::string>{"_event_ first", "_event_ second"}));
}

TEST(ReadlnEvents, HangUpReturnsMinusOneWithoutAPartialLine) {
  EventReader reader;
  ASSERT_GE(reader.peer, 0);
  ASSERT_TRUE(conntest::sendAll(reader.peer, "_event_ whole\n_event_ par"));
  close(reader.peer);
  reader.peer = -1;
  char line[64];
  EXPECT_EQ(tnperf_readln(reader.pipeRead.get(), line, &reader.element), -1);
  // Lines complete before the hang-up are still delivered.
  EXPECT_EQ(delivered, (std::vector<std::string>{"_event_ whole"}));
}

TEST(ReadlnEvents, AnOverlongEventLineIsDroppedWithAWarning) {
  EventReader reader;
  ASSERT_GE(reader.peer, 0);
  std::string longLine = "_event_ long " + std::string(3000, 'x') + "\n";
  std::string exact = "_event_ " + std::string(TNPERF_EVENT_LINE_SIZE - 1 - 8, 'y') + "\n";
  ASSERT_TRUE(conntest::sendAll(reader.peer, longLine + exact + "_event_ after\n"));
  fputs("wake\n", reader.pipeWrite.get());
  fflush(reader.pipeWrite.get());
  char line[64];
  testing::internal::CaptureStderr();
  EXPECT_EQ(tnperf_readln(reader.pipeRead.get(), line, &reader.element), '\n');
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("Warning: Dropped an event line longer than 1023 characters: _event_ long"),
            std::string::npos)
      << out;
  ASSERT_EQ(delivered.size(), 2u);
  EXPECT_EQ(delivered[0].size(), 1023u);
  EXPECT_EQ(delivered[1], "_event_ after");
}

TEST(ReadlnEvents, TraceNotesAsyncData) {
  EventReader reader;
  ASSERT_GE(reader.peer, 0);
  reader.element.set_trace(1);
  ASSERT_TRUE(conntest::sendAll(reader.peer, "_event_ t\n"));
  fputs("wake\n", reader.pipeWrite.get());
  fflush(reader.pipeWrite.get());
  char line[64];
  testing::internal::CaptureStderr();
  tnperf_readln(reader.pipeRead.get(), line, &reader.element);
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out.rfind("_trace_ Found async data from " + reader.listener.path() + " at ", 0), 0u)
      << out;
}

TEST(ReadlnEventsDeathTest, NoCallbackIsABrokenPrecondition) {
  EventReader reader;
  ASSERT_GE(reader.peer, 0);
  reader.element.eventCallback = nullptr;
  ASSERT_TRUE(conntest::sendAll(reader.peer, "_event_ t\n"));
  char line[64];
  EXPECT_DEATH(tnperf_readln(reader.pipeRead.get(), line, &reader.element), "callback");
}

}  // namespace
