// The script writers. Each builds its fragment whole and hands it to one write(2) on
// whatever current_connection holds at that moment, so a fragment is never interleaved
// with another writer's. Titles and names are written as given; only write_log's text,
// which is a program's raw output, is escaped: the six characters that would end or bend a
// JavaScript string get a backslash, and so does a "/" or "!" right after a "<", which
// could otherwise close the script element the string lives in.
#include "daemon/script.h"

#include <unistd.h>

#include <cstring>
#include <string>

#include "daemon/query.h"
#include "util/log.h"

namespace {

int write_script(int fd, const std::string &s) {
  return static_cast<int>(write(fd, s.data(), s.size()));
}

}  // namespace

int write_title(const char *title) {
  if (!title) return 0;
  DBG("write_title: %s", title);
  return write_script(current_connection,
                      std::string("<script>document.title=\"") + title + "\";</script>");
}

int replace_name_query(const char *text) {
  DBG("replace_name_query: %s", text);
  return write_script(current_connection,
                      std::string("<script>replaceName(\"") + text + "\");</script>");
}

int replace_origin(const char *scheme, const char *host, const char *port) {
  std::string s = std::string("<script>replaceOrigin(\"") + scheme + "://" + host;
  bool default_port = (strcmp(scheme, "http") == 0 && strcmp(port, "80") == 0) ||
                      (strcmp(scheme, "https") == 0 && strcmp(port, "443") == 0);
  if (!default_port) s += std::string(":") + port;
  s += "\");</script>";
  return write_script(current_connection, s);
}

int write_log(const char *line) {
  int fd = current_connection;  // once: another thread may hand the connection on
  if (fd == -1) return -1;
  std::string s = "<script>addLog(\"";
  for (const char *p = line; *p; p++) {
    switch (*p) {
      case '\b': s += "\\b"; break;
      case '\n': s += "\\n"; break;
      case '\r': s += "\\r"; break;
      case '"':
      case '\'':
      case '\\':
        s += '\\';
        s += *p;
        break;
      case '<':
        // "</script" or "<!--" in a program's output would end or derail the script
        // element; "<\/" and "<\!" are the same string to JavaScript.
        s += '<';
        if (p[1] == '/' || p[1] == '!') s += '\\';
        break;
      default: s += *p;
    }
  }
  s += "\");</script>";
  DBG("%s\n", s.c_str());
  return write_script(fd, s);
}
