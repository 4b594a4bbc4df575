// The built-in actions: `cmd` runs a program of the web GUI's tree with its output streamed
// into the page, `dump` writes a table to a file.
#pragma once

#include <sys/types.h>

inline constexpr char webgui_dir[] = "/usr/local/orvan/";

// Registers `cmd` and `dump` in the action table.
void register_builtin_actions();

// The `cmd` action: value is the program's path inside the web GUI's tree.
int run_cmd(const char *name, const char *value);
// Runs argv[0] with argv and sends each line of its output to the page; the exit status,
// or -1 when it could not start or the page went away (the process group is then ended).
int run_command(char *const argv[]);
// The `dump` action: "act" or "var".
int dump(const char *name, const char *value);
