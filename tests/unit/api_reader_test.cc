// The response file's readers and the keyword parser.
#include "api/api_reader.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "agent/scoped.h"

namespace {

// A temporary file holding text, positioned at its start.
FILE* fileWith(const std::string& text) {
  FILE* file = tmpfile();
  fwrite(text.data(), 1, text.size(), file);
  rewind(file);
  return file;
}

TEST(ResponseFile, CountLinesFromThePositionWithoutMovingIt) {
  ScopedFile file(fileWith("a\nb\nc\nd"));
  fseek(file.get(), 2, SEEK_SET);
  EXPECT_EQ(tnperf_countLines(file.get()), 2);
  char line[8];
  EXPECT_EQ(tnperf_readln(file.get(), line, nullptr), '\n');
  EXPECT_STREQ(line, "b");
  std::string text;
  for (int i = 0; i < 30000; i++) text += "line " + std::to_string(i) + "\n";
  ScopedFile large(fileWith(text));  // past one read chunk
  EXPECT_EQ(tnperf_countLines(large.get()), 30000);
}

TEST(ResponseFile, ReadlnCutsLongLinesAndEndsWithMinusOne) {
  ScopedFile file(fileWith("abcdefghij\n\nlast"));
  char line[5];
  EXPECT_EQ(tnperf_readln(file.get(), line, nullptr, sizeof line), '\n');
  EXPECT_STREQ(line, "abcd");
  EXPECT_EQ(tnperf_readln(file.get(), line, nullptr, sizeof line), '\n');
  EXPECT_STREQ(line, "");
  EXPECT_EQ(tnperf_readln(file.get(), line, nullptr, sizeof line), -1);
  EXPECT_STREQ(line, "last");
}

TEST(ResponseFile, BlastLineToFileStopsAtTheExactEndLine) {
  ScopedFile file(tmpfile());
  const char* const lines[] = {"_node_ n1", "_response_ end ", "_response_ ends", "_response_ end"};
  for (const char* line : lines) {
    std::string copy = line;
    EXPECT_EQ(tnperf_blastLineToFile(&copy[0], file.get()), line == lines[3] ? 1 : 0) << line;
  }
  rewind(file.get());
  char text[128] = "";
  size_t n = fread(text, 1, sizeof text - 1, file.get());
  EXPECT_EQ(std::string(text, n), "_node_ n1\n_response_ end \n_response_ ends\n_response_ end\n");
}

TEST(GrabKeywordValue, WordsQuotesAndWhereAKeywordMayStand) {
  const char kDisk[] = "_disk_ d1 _nn_ 5 _n_ 7 _fs_ 'a b' _rc_";
  const struct {
    const char* line;
    const char* keyword;
    unsigned char atStart;
    const char* value;  // null: absent
  } cases[] = {
      {kDisk, "_n_", 0, "7"},
      {kDisk, "_nn_", 0, "5"},
      {kDisk, "_fs_", 0, "a b"},
      {kDisk, "_disk_", 0, nullptr},  // not at the start unless asked
      {kDisk, "_disk_", 1, "d1"},
      {kDisk, "_rc_", 1, nullptr},            // no blank after it
      {"_x _xn_ 3 _n_ 4", "n_", 0, nullptr},  // the end of a longer word is not the keyword
      {"_x _xn_ 3 _n_ 4", "n_", 1, "3"},      // unless matched anywhere; the first match wins
      {"_rc_ 0 _err_ 5", " _err_ ", 0, "5"},  // a keyword with its own blanks stands as it is
      {"_rc_ 0 _err_5", " _err_", 0, "5"},
      {"_a_ 'open value", "_a_", 1, "open value"},
      {"_a_  two", "_a_", 1, ""},
      {"_a_ '' _b_ 1", "_a_", 1, ""},
      {"_a_ x _b_ 'it''s'", "_b_", 0, "it"},
  };
  for (const auto& c : cases) {
    char value[16] = "untouched";
    char* found = tnperf_grabKeywordValue(c.line, c.keyword, value, c.atStart);
    EXPECT_EQ(found != nullptr ? std::string(found) : "<absent:" + std::string(value) + ">",
              c.value != nullptr ? c.value : "<absent:untouched>")
        << c.line << " / " << c.keyword;
  }
  char value[4];
  EXPECT_STREQ(tnperf_grabKeywordValue("_a_ abcdef", "_a_", value, 1, sizeof value), "abc");
}

}  // namespace
