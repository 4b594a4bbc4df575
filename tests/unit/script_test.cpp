#include "daemon/script.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "daemon/query.h"
#include "log_capture.h"
#include "socket_pair.h"

namespace {

// Runs a writer with a socket pair as the current connection; the bytes it wrote.
std::string written(const std::function<int()> &writer, int *result = nullptr) {
  socket_pair sp;
  current_connection = sp.server;
  int r = writer();
  current_connection = -1;
  if (result) *result = r;
  shutdown(sp.server, SHUT_WR);
  return socket_pair::read_all(sp.client);
}

TEST(WriteLog, EscapesForAJavaScriptString) {
  const std::pair<const char *, const char *> cases[] = {
      {"plain text 100%", "plain text 100%"},
      {"a\bb\nc\rd", "a\\bb\\nc\\rd"},
      {"say \"hi\" it's", "say \\\"hi\\\" it\\'s"},
      {"C:\\dir\\", "C:\\\\dir\\\\"},
      {"\t\x01\x7f\xc3\xa9 <b>&amp;", "\t\x01\x7f\xc3\xa9 <b>&amp;"},
      // the text cannot end the script element it is written into
      {"</script><script>x()</script>", "<\\/script><script>x()<\\/script>"},
      {"<!-- a", "<\\!-- a"},
      {"", ""},
  };
  for (const auto &[in, escaped] : cases) {
    std::string expected = std::string("<script>addLog(\"") + escaped + "\");</script>";
    int r = 0;
    EXPECT_EQ(written([&] { return write_log(in); }, &r), expected) << in;
    EXPECT_EQ(r, static_cast<int>(expected.size()));
  }
}

TEST(WriteLog, NoConnectionWritesNothing) {
  log_capture cap;
  init_debugging("write_log");
  cap.clear();
  current_connection = -1;
  EXPECT_EQ(write_log("lost"), -1);
  EXPECT_TRUE(cap.all().empty());
  init_debugging("");
}

TEST(ScriptWriters, ExactFragments) {
  struct writer_case {
    std::function<int()> writer;
    std::string text;
  };
  const writer_case cases[] = {
      {[] { return write_title("Array \"start\""); },
       "<script>document.title=\"Array \"start\"\";</script>"},
      {[] { return replace_name_query("Media"); }, "<script>replaceName(\"Media\");</script>"},
      {[] { return replace_origin("http", "tower", "80"); },
       "<script>replaceOrigin(\"http://tower\");</script>"},
      {[] { return replace_origin("https", "tower.local", "443"); },
       "<script>replaceOrigin(\"https://tower.local\");</script>"},
      {[] { return replace_origin("http", "tower", "443"); },
       "<script>replaceOrigin(\"http://tower:443\");</script>"},
      {[] { return replace_origin("https", "tower", "80"); },
       "<script>replaceOrigin(\"https://tower:80\");</script>"},
      {[] { return replace_origin("http", "10.0.0.2", "8080"); },
       "<script>replaceOrigin(\"http://10.0.0.2:8080\");</script>"},
      {[] { return replace_origin("https", "tower", "4443"); },
       "<script>replaceOrigin(\"https://tower:4443\");</script>"},
  };
  for (const auto &c : cases) {
    int r = 0;
    EXPECT_EQ(written(c.writer, &r), c.text);
    EXPECT_EQ(r, static_cast<int>(c.text.size()));
  }
}

TEST(ScriptWriters, NoTitleWritesNothing) {
  int r = -5;
  EXPECT_EQ(written([] { return write_title(nullptr); }, &r), "");
  EXPECT_EQ(r, 0);
}

TEST(ScriptWriters, WriteToAGoneBrowserFails) {
  socket_pair sp;
  close(sp.client);
  sp.client = -1;
  current_connection = sp.server;
  signal(SIGPIPE, SIG_IGN);  // as the daemon runs
  EXPECT_EQ(write_log("x"), -1);
  EXPECT_EQ(replace_name_query("x"), -1);
  current_connection = -1;
}

TEST(ScriptWriters, DebugLines) {
  log_capture cap;
  init_debugging("write_title,replace_name_query,write_log,replace_origin");
  cap.clear();
  written([] { return write_title("T"); });
  written([] { return write_title(nullptr); });
  written([] { return replace_name_query("N"); });
  written([] { return write_log("a\"b"); });
  written([] { return replace_origin("http", "h", "1"); });
  init_debugging("");
  EXPECT_EQ(cap.at(LOG_DEBUG),
            (std::vector<std::string>{"debug: write_title: write_title: T",
                                      "debug: replace_name_query: replace_name_query: N",
                                      "debug: write_log: <script>addLog(\"a\\\"b\");</script>\n"}));
}

}  // namespace
