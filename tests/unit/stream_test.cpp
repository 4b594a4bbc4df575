#include "util/stream.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "log_capture.h"
#include "temp_dir.h"

namespace {

std::vector<std::string> read_all(stream *s) {
  std::vector<std::string> lines;
  while (stream_getline(s) >= 0) lines.emplace_back(s->line);
  return lines;
}

TEST(Streams, CommandOutputLinesAreTrimmedAndStatusReturned) {
  stream *s = stream_open("exec printf '%s'", "a  \\t\\r\\n\\nb c\\n  d ");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(read_all(s), (std::vector<std::string>{"a", "", "b c", "  d"}));
  EXPECT_EQ(stream_close(s), 0);
}

TEST(Streams, CloseReturnsTheCommandsStatusWithOutputUnread) {
  stream *s = stream_open("exec bash -c 'seq 1 100000; exit 3'");
  ASSERT_NE(s, nullptr);
  ASSERT_GE(stream_getline(s), 0);
  EXPECT_STREQ(s->line, "1");
  EXPECT_EQ(stream_close(s), 3);
}

TEST(Streams, FilesAndMissingFiles) {
  temp_dir dir;
  std::string path = dir.write("f", "key=\"v\"\r\nlast");
  stream *s = stream_open("%s", path.c_str());
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(read_all(s), (std::vector<std::string>{"key=\"v\"", "last"}));
  EXPECT_EQ(stream_close(s), 0);

  EXPECT_EQ(stream_open("/nonexistent/file"), nullptr);
  errno = 0;
  EXPECT_EQ(stream_getline(nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(stream_close(nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST(Streams, LoggingVariants) {
  log_capture cap;
  init_debugging("stream_open");
  cap.clear();
  stream *s = stream_open("exec echo %s", "quiet");
  stream_close(s);
  EXPECT_EQ(cap.all(), (std::vector<logged_line>{{LOG_DEBUG, "debug: stream_open: exec echo quiet"}}));

  cap.clear();
  s = stream_open_log("exec printf 'one\\n\\n\\ntwo\\n'");
  ASSERT_NE(s, nullptr);
  std::vector<std::string> got;
  while (stream_getline_log(s) > 0) got.emplace_back(s->line);
  EXPECT_EQ(stream_close(s), 0);
  EXPECT_EQ(got, (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(cap.at(LOG_INFO),
            (std::vector<std::string>{"printf 'one\\n\\n\\ntwo\\n'", "one", "two"}));
}

}  // namespace
