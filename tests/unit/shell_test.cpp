#include "util/shell.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "log_capture.h"
#include "temp_dir.h"

namespace {

// The sequence number a "shcmd (N): ..." line carries.
int sequence_of(const std::string &line) { return std::stoi(line.substr(line.find('(') + 1)); }

TEST(Shcmd, FailingCommandLogsLineAndStatusUnderOneNumber) {
  log_capture cap;
  EXPECT_EQ(shcmd("false"), 1);
  auto lines = cap.at(LOG_INFO);
  ASSERT_EQ(lines.size(), 2u);
  int n = sequence_of(lines[0]);
  EXPECT_EQ(lines[0], "shcmd (" + std::to_string(n) + "): false");
  EXPECT_EQ(lines[1], "shcmd (" + std::to_string(n) + "): exit status: 1");
  cap.clear();
  EXPECT_EQ(shcmd("exit %d", 0), 0);
  ASSERT_EQ(cap.at(LOG_INFO).size(), 1u);
  EXPECT_EQ(sequence_of(cap.at(LOG_INFO)[0]), n + 1);
}

TEST(Shcmd, StatusesAndBashSyntax) {
  struct status_case {
    const char *line;
    int status;
  };
  const status_case cases[] = {
      {"exit 3 | cat", 3},                      // pipefail: the failing element's status
      {"true | (exit 4) | cat", 4},
      {"[[ -n x ]] && echo ok", 0},             // bash syntax
      {"kill -TERM $$", 128 + 15},              // a shell ended by a signal
      // SIGPIPE ends a writer again in children (ignored, yes would exit 1 on EPIPE)
      {"yes | head -c 10 >/dev/null; exit ${PIPESTATUS[0]}", 128 + 13},
  };
  log_capture cap;
  for (const auto &c : cases) EXPECT_EQ(shcmd("%s", c.line), c.status) << c.line;
}

TEST(Shcmd, BackgroundLineReturnsAtOnce) {
  log_capture cap;
  temp_dir dir;
  std::string marker = dir.file("done");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(shcmd("(sleep 2; touch %s) &", marker.c_str()), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_NE(access(marker.c_str(), F_OK), 0);
  ASSERT_EQ(cap.at(LOG_INFO).size(), 1u);  // no exit-status line
}

TEST(ShcmdTest, QuietStatusAndSharedNumbers) {
  log_capture cap;
  init_debugging("shcmd_test");
  cap.clear();
  EXPECT_EQ(shcmd_test("exit 7"), 7);
  EXPECT_EQ(shcmd_test("grep -q x <<< y"), 1);
  ASSERT_EQ(cap.all().size(), 2u);
  EXPECT_EQ(cap.all()[0].priority, LOG_DEBUG);
  int n = std::stoi(cap.all()[0].text.substr(cap.all()[0].text.find('(') + 1));
  EXPECT_EQ(cap.all()[0].text, "debug: shcmd_test: (" + std::to_string(n) + "): exit 7");
  cap.clear();
  shcmd("true");
  EXPECT_EQ(sequence_of(cap.at(LOG_INFO)[0]), n + 2);
}

TEST(SpawnPiped, PipesBothWaysAndReportsExecFailure) {
  int to = -1, from = -1;
  char *argv[] = {const_cast<char *>("/usr/bin/tr"), const_cast<char *>("a-z"),
                  const_cast<char *>("A-Z"), nullptr};
  pid_t pid = spawn_piped(argv, &to, &from);
  ASSERT_GT(pid, 0);
  ASSERT_EQ(write(to, "hello\n", 6), 6);
  close(to);
  char buf[16] = {};
  ASSERT_EQ(read(from, buf, sizeof buf - 1), 6);
  close(from);
  EXPECT_STREQ(buf, "HELLO\n");
  EXPECT_EQ(exit_status(wait_child(pid)), 0);

  char *missing[] = {const_cast<char *>("/nonexistent/program"), nullptr};
  pid = spawn_piped(missing, nullptr, nullptr);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(exit_status(wait_child(pid)), 1);
}

}  // namespace
