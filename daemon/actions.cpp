// The built-in actions. See actions.h.
//
// `cmd` is a security boundary: any local client may post it, and the program runs as
// root. The path is resolved completely (symbolic links, "..") before it is checked, so
// nothing outside the web GUI's tree can be reached by any route.
#include "daemon/actions.h"

#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "daemon/query.h"
#include "daemon/request.h"
#include "daemon/script.h"
#include "state/var.h"
#include "util/log.h"
#include "util/shell.h"

namespace {

constexpr size_t display_max = 1024;  // the log line of a command, terminator included
constexpr size_t line_max = 1024;     // an output line sent to the page, terminator included
constexpr int max_args = 9;

// The program and as many arguments as fit in the log line.
std::string display_line(char *const argv[]) {
  std::string line(argv[0], strnlen(argv[0], display_max - 1));
  for (int i = 1; argv[i]; i++) {
    size_t n = strlen(argv[i]);
    if (line.size() + n > display_max - 3) break;
    line += ' ';
    line += argv[i];
  }
  return line;
}

// The resolved program path, when it lies inside the web GUI's tree.
bool resolve_program(const char *value, std::string *out) {
  std::string path = strncmp(value, webgui_dir, strlen(webgui_dir)) == 0
                         ? std::string(value)
                         : std::string(webgui_dir) + value;
  char resolved[PATH_MAX];
  if (!realpath(path.c_str(), resolved)) return false;
  if (strncmp(resolved, webgui_dir, strlen(webgui_dir)) != 0) return false;
  *out = resolved;
  return true;
}

void end_program(pid_t pid) {
  // The runner leads its own process group: end it with the program and its children.
  // Anywhere else only the program itself goes.
  if (getpgrp() == getpid())
    kill(0, SIGTERM);
  else
    kill(pid, SIGTERM);
}

}  // namespace

void register_builtin_actions() {
  register_action("dump", dump);
  register_action("cmd", run_cmd);
}

int run_command(char *const argv[]) {
  INFO("cmd: %s", display_line(argv).c_str());
  int to = -1, from = -1;
  pid_t pid = spawn_piped(argv, &to, &from);
  if (pid < 0) {
    ERR("popen: %s", argv[0]);
    return -1;
  }
  close(to);  // the program reads end of file

  char line[line_max];
  size_t used = 0;
  bool failed = false;
  int conn = current_connection;
  for (;;) {
    pollfd fds[2] = {{from, POLLIN, 0}, {conn, POLLIN | POLLPRI, 0}};
    int n = poll(fds, conn >= 0 ? 2 : 1, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (conn >= 0 && fds[1].revents)) {
      // the browser sent something or went away
      failed = true;
      break;
    }
    char c;
    ssize_t r = read(from, &c, 1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      failed = true;
      break;
    }
    if (r == 0) break;
    line[used++] = c;
    if (c == '\n' || c == '\r' || c == '\b' || used == line_max - 1) {
      line[used] = '\0';
      used = 0;
      if (write_log(line) == -1) {
        failed = true;
        break;
      }
    }
  }
  close(from);
  if (failed) {
    end_program(pid);
    wait_child(pid);
    return -1;
  }
  int status = wait_child(pid);
  return status < 0 ? -1 : exit_status(status);
}

int run_cmd(const char *, const char *value) {
  const char *title = get_var("title");
  write_title(title);

  std::string program;
  if (!resolve_program(value, &program)) {
    ERR("invalid cmd: %s", value);
  } else {
    std::vector<std::string> args{program};
    for (int i = 1; i <= max_args; i++) {
      const char *a = get_var("arg%d", i);
      if (!a) break;
      args.emplace_back(a);
    }
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    bool background = title != nullptr;

    pid_t pid = fork();
    if (pid == 0) {
      if (background) {
        if (daemon(0, 0) < 0) _exit(1);
        umask(0);
      } else {
        setsid();
      }
      run_command(argv.data());
      close_connection(current_connection);
      _exit(0);
    }
    if (pid < 0) {
      // nothing runs; the connection stays with the request
      ERR("fork");
    } else {
      wait_child(pid);
      // the child owns the connection now
      close(current_connection);
      current_connection = -1;
    }
  }

  put_var("cmd");
  for (int i = 1; i <= max_args && put_var("arg%d", i) == 0; i++) {
  }
  put_var("title");
  return 0;
}

int dump(const char *, const char *value) {
  const record_table *t = nullptr;
  const char *path = nullptr;
  if (strcmp(value, "act") == 0) {
    t = &act;
    path = "/root/dump_act";
  } else if (strcmp(value, "var") == 0) {
    t = &var;
    path = "/root/dump_var";
  } else {
    return 0;
  }
  if (FILE *f = fopen(path, "we")) {
    dump_records(f, t);
    fclose(f);
  }
  return 0;
}
