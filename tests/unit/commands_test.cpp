#include "daemon/commands.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log_capture.h"
#include "state/var.h"

namespace {

TEST(Commands, EveryNameDispatchesThroughOrvanCmd) {
  register_commands();
  for (const char *name : {"cmdStatus", "cmdStart", "cmdStop", "changeDevice", "cmdStopShuttle", "debug"}) {
    EXPECT_EQ(find_action(name), &orvan_cmd) << name;
    ASSERT_NE(find_command(name), nullptr) << name;
  }
  EXPECT_EQ(find_command("cmdstart"), nullptr);
  EXPECT_EQ(orvan_cmd("cmdNope", ""), -1);
}

TEST(Commands, UnsupportedCommandsRefuseNamingThemselves) {
  log_capture cap;
  put_var("fsProgress=working");
  EXPECT_EQ(orvan_cmd("cmdStart", "Start"), -1);
  EXPECT_EQ(cap.at(LOG_INFO), std::vector<std::string>{"cmdStart: not supported yet"});
  EXPECT_STREQ(get_var("fsProgress"), "working");  // no refresh after a refusal
}

int refreshes = 0;

TEST(Commands, DebugSelectsAndASuccessClearsTheProgressText) {
  log_capture cap;
  auto saved = refresh_after_command;
  refresh_after_command = [] { refreshes++; };
  put_var("fsProgress=working");
  EXPECT_EQ(orvan_cmd("debug", "orvan_cmd,put_record"), 0);
  EXPECT_EQ(debug_enabled("orvan_cmd"), 1);
  EXPECT_STREQ(get_var("fsProgress"), "");
  EXPECT_EQ(refreshes, 1);
  cap.clear();
  EXPECT_EQ(orvan_cmd("debug", ""), 0);
  EXPECT_EQ(debug_enabled(nullptr), 0);
  // the dispatcher's own debug line was written while it was still selected
  EXPECT_EQ(cap.at(LOG_DEBUG).front(), "debug: orvan_cmd: debug\n");
  EXPECT_EQ(refreshes, 2);
  refresh_after_command = saved;
}

}  // namespace
