#include "daemon/actions.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "daemon/query.h"
#include "log_capture.h"
#include "socket_pair.h"
#include "state/var.h"
#include "temp_dir.h"

namespace {

// Runs argv with its output going to a page on the far end of a socket pair; returns what
// the page received.
std::string page_output(char *const argv[], int *status) {
  socket_pair sp;
  current_connection = sp.server;
  *status = run_command(argv);
  current_connection = -1;
  shutdown(sp.server, SHUT_WR);
  return socket_pair::read_all(sp.client);
}

TEST(RunCommand, OutputArrivesAsEscapedLogLines) {
  log_capture cap;
  char *argv[] = {const_cast<char *>("/bin/bash"), const_cast<char *>("-c"),
                  const_cast<char *>("printf 'a \"q\" \\\\ it'\"'\"'s\\nx\\ry\\bz\\npartial'; exit 3"), nullptr};
  int status = -1;
  std::string out = page_output(argv, &status);
  EXPECT_EQ(status, 3);
  EXPECT_EQ(out,
            "<script>addLog(\"a \\\"q\\\" \\\\ it\\'s\\n\");</script>"
            "<script>addLog(\"x\\r\");</script>"
            "<script>addLog(\"y\\b\");</script>"
            "<script>addLog(\"z\\n\");</script>");  // output after the last line end is dropped
  ASSERT_FALSE(cap.at(LOG_INFO).empty());
  EXPECT_EQ(cap.at(LOG_INFO)[0].rfind("cmd: /bin/bash -c printf", 0), 0u);
}

TEST(RunCommand, LongLinesAreCutAt1023Bytes) {
  char *argv[] = {const_cast<char *>("/bin/bash"), const_cast<char *>("-c"),
                  const_cast<char *>("printf '%3000s' ''"), nullptr};
  int status = -1;
  std::string out = page_output(argv, &status);
  EXPECT_EQ(status, 0);
  std::string line = "<script>addLog(\"" + std::string(1023, ' ') + "\");</script>";
  EXPECT_EQ(out, line + line);
}

TEST(RunCommand, TheLogLineStaysWithinItsBuffer) {
  log_capture cap;
  std::string long_arg(2000, 'a');
  char *argv[] = {const_cast<char *>("/bin/true"), const_cast<char *>("short"),
                  long_arg.data(), const_cast<char *>("tail"), nullptr};
  int status = -1;
  page_output(argv, &status);
  // arguments are shown as long as they fit; the first that does not ends the line
  EXPECT_EQ(cap.at(LOG_INFO)[0], "cmd: /bin/true short");
  std::string long_path = "/" + std::string(1500, 'p');
  char *argv2[] = {long_path.data(), nullptr};
  cap.clear();
  page_output(argv2, &status);
  EXPECT_EQ(cap.at(LOG_INFO)[0].size(), std::string("cmd: ").size() + 1023);
  EXPECT_EQ(status, 1);  // the child could not exec
}

// A page that goes away ends the program and everything it started. The runner leads its
// own process group, as the cmd action's child does.
TEST(RunCommand, APageThatGoesAwayEndsTheWholeGroup) {
  temp_dir dir;
  std::string pidfile = dir.file("pids");
  socket_pair sp;
  pid_t child = fork();
  if (child == 0) {
    close(sp.client);  // the page's end lives only in the test
    setsid();
    current_connection = sp.server;
    std::string script = "sleep 300 & echo $! > " + pidfile + "; echo started; wait";
    char *argv[] = {const_cast<char *>("/bin/bash"), const_cast<char *>("-c"), script.data(), nullptr};
    run_command(argv);
    _exit(0);
  }
  close(sp.server);
  sp.server = -1;
  char buf[64];
  ASSERT_GT(read(sp.client, buf, sizeof buf), 0);  // "started" arrived
  close(sp.client);
  sp.client = -1;
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  pid_t grandchild = std::stoi(temp_dir::read(pidfile));
  // ended means gone, or a zombie its new parent has not reaped yet
  auto ended = [&] {
    std::string stat = temp_dir::read("/proc/" + std::to_string(grandchild) + "/stat");
    return stat.empty() || stat.find(") Z ") != std::string::npos;
  };
  for (int i = 0; i < 200 && !ended(); i++) usleep(10000);
  EXPECT_TRUE(ended());
}

TEST(Dump, UnknownTablesWriteNothing) {
  EXPECT_EQ(dump("dump", "other"), 0);
  EXPECT_EQ(dump("dump", ""), 0);
}

TEST(RunCmd, PathsOutsideTheTreeAreRefusedAndInputsDeleted) {
  log_capture cap;
  const char *values[] = {"../../../bin/true", "/bin/true", "/usr/local/orvan/../../../bin/true",
                          "missing-script"};
  for (const char *v : values) {
    SCOPED_TRACE(v);
    cap.clear();
    put_var("arg1=x");
    put_var("arg2=y");
    put_var("arg4=z");
    put_var("title=t");
    EXPECT_EQ(run_cmd("cmd", v), 0);
    auto errors = cap.at(LOG_ERR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find(std::string("): invalid cmd: ") + v), std::string::npos) << errors[0];
    EXPECT_EQ(errors[0].rfind("error: run_cmd, ", 0), 0u);
    EXPECT_TRUE(cap.at(LOG_INFO).empty());  // nothing ran
    EXPECT_EQ(get_var("arg1"), nullptr);
    EXPECT_EQ(get_var("arg2"), nullptr);
    EXPECT_STREQ(get_var("arg4"), "z");
    EXPECT_EQ(get_var("title"), nullptr);
  }
}

}  // namespace
