// Running shell command lines and programs.
//
// Command lines run under bash (they use `set -o pipefail`, `|&` and other bash syntax).
// shcmd logs the line under a sequence number and sends the command's output to the
// system logger; shcmd_test runs quietly and only returns the status. The sequence numbers
// are shared by both and advance atomically, since a few threads run commands without the
// state lock.
//
// Every value that did not come from a constant must reach a command line through
// shell_quote (util/text.h) inside single quotes, or be validated first.
#pragma once

#include <sys/types.h>

// The shell every command line runs under.
inline constexpr const char *shell_path = "/bin/bash";

// Runs the command line; returns its exit status (0-255), or -1 when the shell could not
// be started.
int shcmd(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int shcmd_test(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Takes the next sequence number of the counter both runners share, for a caller that logs
// a command line of its own before running it quietly (one that carries a secret).
int next_command_number();

// Runs `line` under bash -c with the given standard output (or inherited, when -1).
// Returns the child's pid or -1. The low-level piece shared by the runners and streams.
pid_t spawn_shell(const char *line, int stdout_fd);
// Waits for a child; returns its wait status, or -1.
int wait_child(pid_t pid);
// A wait status as a shell reports it: the exit status, or 128 + the signal.
int exit_status(int wait_status);

// Starts argv[0] with argv, its standard input and output connected to pipes. The parent
// keeps the input's write end in *to_child and the output's read end in *from_child when
// they are given, and closes them otherwise. Returns the child's pid, -1 when a pipe
// cannot be made, or the negative fork result.
pid_t spawn_piped(char *const argv[], int *to_child, int *from_child);
