// The command table: the named commands a form field can run, all through one dispatcher.
#pragma once

// A command routine takes the field value: 0 done (the dispatcher refreshes the state
// files), 1 work handed to a thread (answered after a pause, no refresh), else refused.
using command_routine = int (*)(const char *value);

struct command {
  const char *name;
  command_routine routine;
};

// Registers every command name as an action bound to orvan_cmd.
void register_commands();
// The dispatcher bound to every command name.
int orvan_cmd(const char *name, const char *value);
// The command of that name, or nullptr.
const command *find_command(const char *name);

// What the dispatcher runs after a command that succeeded: the status refresh and a
// rewrite of every state file. A variable so the dispatcher can be tried on its own,
// without a machine to refresh.
extern void (*refresh_after_command)();
