#include "util/log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"

namespace {

TEST(LogLines, ThreeFormsAtTheirPriorities) {
  log_capture cap;
  errno = ENOENT;
  log_error("update_ini", 42, "rename %s", "var.ini");
  log_info("orvand: %s", "HTTP/1.1 404 Not found");
  log_debug("exec_queries", "req (%d): %s", 1, "a=b");
  ASSERT_EQ(cap.all().size(), 3u);
  EXPECT_EQ(cap.all()[0],
            (logged_line{LOG_ERR, "error: update_ini, 42: No such file or directory (2): rename var.ini"}));
  EXPECT_EQ(cap.all()[1], (logged_line{LOG_INFO, "orvand: HTTP/1.1 404 Not found"}));
  EXPECT_EQ(cap.all()[2], (logged_line{LOG_DEBUG, "debug: exec_queries: req (1): a=b"}));
}

TEST(LogLines, ErrorMacroNamesTheCallerAndKeepsErrno) {
  log_capture cap;
  errno = EACCES;
  int line = __LINE__ + 1;
  ERR("chmod");
  EXPECT_EQ(errno, EACCES);
  ASSERT_EQ(cap.all().size(), 1u);
  EXPECT_EQ(cap.all()[0].text, "error: TestBody, " + std::to_string(line) +
                                   ": Permission denied (13): chmod");
}

TEST(LogLines, LongMessagesAreNotCut) {
  log_capture cap;
  std::string big(5000, 'x');
  log_info("%s!", big.c_str());
  ASSERT_EQ(cap.all().size(), 1u);
  EXPECT_EQ(cap.all()[0].text, big + "!");
}

TEST(DebugSelection, NothingSelectedAtStartAndDebugLinesStaySilent) {
  log_capture cap;
  EXPECT_EQ(debug_enabled(nullptr), 0);
  EXPECT_EQ(debug_enabled("exec_queries"), 0);
  DBG_AS("exec_queries", "never %s", "written");
  EXPECT_TRUE(cap.all().empty());
}

TEST(DebugSelection, SelectorValues) {
  struct selection_case {
    const char *value;
    std::vector<const char *> selected;
    std::vector<const char *> not_selected;
  };
  const selection_case cases[] = {
      {"all,foo", {"foo", "bar", "exec_queries"}, {}},
      {"foo all", {"foo", "bar"}, {}},
      {"foo,all", {"zzz"}, {}},
      {", ,exec_queries,,", {"exec_queries"}, {"", ",", "exec", "exec_queries2", "all"}},
      {"exec_queries,put_record", {"exec_queries", "put_record"}, {"update_ini"}},
      {"Put_record", {"Put_record"}, {"put_record"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.value);
    init_debugging(c.value);
    EXPECT_EQ(debug_enabled(nullptr), 1);
    for (const char *name : c.selected) EXPECT_EQ(debug_enabled(name), 1) << name;
    for (const char *name : c.not_selected) EXPECT_EQ(debug_enabled(name), 0) << name;
  }
}

TEST(DebugSelection, CommandLogsItsValueReplacesTheListAndEmptyClears) {
  log_capture cap;
  EXPECT_EQ(init_debugging("put_record"), 0);
  EXPECT_EQ(debug_enabled("put_record"), 1);
  EXPECT_EQ(init_debugging("update_ini"), 0);
  EXPECT_EQ(debug_enabled("put_record"), 0);
  EXPECT_EQ(debug_enabled("update_ini"), 1);
  EXPECT_EQ(init_debugging(""), 0);
  EXPECT_EQ(debug_enabled(nullptr), 0);
  EXPECT_EQ(debug_enabled("update_ini"), 0);
  EXPECT_EQ(init_debugging(" , "), 0);
  EXPECT_EQ(debug_enabled(nullptr), 0);
  EXPECT_EQ(cap.at(LOG_INFO), (std::vector<std::string>{"init_debugging: put_record",
                                                         "init_debugging: update_ini",
                                                         "init_debugging: ", "init_debugging:  , "}));
}

TEST(DebugSelection, KeepsTheFirst99Selectors) {
  std::string value;
  for (int i = 1; i <= 150; i++) value += "f" + std::to_string(i) + (i % 2 ? "," : " ");
  init_debugging(value.c_str());
  EXPECT_EQ(debug_enabled("f1"), 1);
  EXPECT_EQ(debug_enabled("f99"), 1);
  EXPECT_EQ(debug_enabled("f100"), 0);
  EXPECT_EQ(debug_enabled("f150"), 0);
}

TEST(DebugSelection, DebugMacroWritesOnlyWhenItsFunctionIsSelected) {
  log_capture cap;
  init_debugging("write_log");
  cap.clear();
  DBG_AS("write_log", "%s\n", "<script>addLog(\"x\");</script>");
  DBG_AS("write_title", "write_title: %s", "t");
  EXPECT_EQ(cap.all(), (std::vector<logged_line>{
                           {LOG_DEBUG, "debug: write_log: <script>addLog(\"x\");</script>\n"}}));
}

// Readers on other threads never take the state lock; replacing the list under them must
// never let one read a freed selector. Under AddressSanitizer a use after free fails here.
TEST(DebugSelection, ReplacingTheListWhileOtherThreadsRead) {
  log_capture cap;
  std::atomic<bool> stop{false};
  std::atomic<long> hits{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 4; r++) {
    readers.emplace_back([&] {
      long local = 0;
      while (!stop.load(std::memory_order_relaxed)) {
        local += debug_enabled("exec_queries");
        local += debug_enabled("publish");
        local += debug_enabled(nullptr);
      }
      hits += local;
    });
  }
  const char *values[] = {"exec_queries,put_record", "", "a b c d e f publish", "all",
                          "update_ini"};
  for (int i = 0; i < 20000; i++) init_debugging(values[i % 5]);
  stop = true;
  for (auto &t : readers) t.join();
  EXPECT_GT(hits.load(), 0);
  EXPECT_EQ(debug_enabled("update_ini"), 1);
  EXPECT_EQ(debug_enabled("exec_queries"), 0);
}

}  // namespace
