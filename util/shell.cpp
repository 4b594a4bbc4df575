// Shell command runners. See shell.h.
//
// The runners spawn bash directly rather than going through system(3) and popen(3), whose
// /bin/sh need not understand bash syntax. Children get the default SIGPIPE disposition
// back: the daemon ignores SIGPIPE for its own sockets, and an ignored signal would
// otherwise be inherited by every pipeline it runs (`yes | head` would never end).
#include "util/shell.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "util/log.h"
#include "util/text.h"

extern char **environ;

namespace {

std::atomic<int> command_counter{1};


// Like system(3): the exit status of `line` run by the shell, or -1 when it did not start.
int run_shell(const char *line) {
  pid_t pid = spawn_shell(line, -1);
  if (pid < 0) return -1;
  int status = wait_child(pid);
  return status < 0 ? -1 : exit_status(status);
}

}  // namespace

pid_t spawn_shell(const char *line, int stdout_fd) {
  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_init(&actions);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  if (stdout_fd >= 0) posix_spawn_file_actions_adddup2(&actions, stdout_fd, STDOUT_FILENO);

  char *const argv[] = {const_cast<char *>("bash"), const_cast<char *>("-c"),
                        const_cast<char *>(line), nullptr};
  pid_t pid = -1;
  int rc = posix_spawn(&pid, shell_path, &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  return pid;
}

int wait_child(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

int exit_status(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return 255;
}

int next_command_number() { return command_counter.fetch_add(1); }

int shcmd(const char *fmt, ...) {
  int n = command_counter.fetch_add(1);
  va_list ap;
  va_start(ap, fmt);
  std::string line = vformat(fmt, ap);
  va_end(ap);
  INFO("shcmd (%d): %s", n, line.c_str());

  if (!line.empty() && line.back() == '&') {
    int rc = run_shell(line.c_str());
    if (rc < 0) ERR("system");
    return rc;
  }
  std::string piped = "set -o pipefail ; " + line + " |& logger";
  int rc = run_shell(piped.c_str());
  if (rc < 0) {
    ERR("system");
    return -1;
  }
  if (rc != 0) INFO("shcmd (%d): exit status: %d", n, rc);
  return rc;
}

int shcmd_test(const char *fmt, ...) {
  int n = command_counter.fetch_add(1);
  va_list ap;
  va_start(ap, fmt);
  std::string line = vformat(fmt, ap);
  va_end(ap);
  DBG("(%d): %s", n, line.c_str());
  int rc = run_shell(line.c_str());
  if (rc < 0) ERR("system");
  return rc;
}

pid_t spawn_piped(char *const argv[], int *to_child, int *from_child) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) < 0) return -1;
  if (pipe2(out, O_CLOEXEC) < 0) {
    close(in[0]);
    close(in[1]);
    return -1;
  }
  pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec: other threads may hold locks.
    signal(SIGPIPE, SIG_DFL);
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    execv(argv[0], argv);
    static const char msg[] = "execv: exec failed\n";
    ssize_t ignored = write(STDERR_FILENO, msg, sizeof msg - 1);
    (void)ignored;
    _exit(1);
  }
  close(in[0]);
  close(out[1]);
  if (pid < 0) {
    close(in[1]);
    close(out[0]);
    return pid;
  }
  if (to_child)
    *to_child = in[1];
  else
    close(in[1]);
  if (from_child)
    *from_child = out[0];
  else
    close(out[0]);
  return pid;
}
