#include "daemon/listener.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "daemon/query.h"
#include "log_capture.h"
#include "socket_pair.h"
#include "state/var.h"
#include "temp_dir.h"

namespace {

int connect_to(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST(Listener, SocketReplacesAnOldFileAndServesOneRequest) {
  temp_dir dir;
  std::string path = dir.path() + "/orvand.socket";
  std::ofstream(path) << "stale\n";
  mode_t old_mask = umask(077);
  int lfd = open_request_socket(path.c_str());
  umask(old_mask);
  ASSERT_GE(lfd, 0);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0666u);

  // the client's request waits in the backlog until the loop accepts it
  int c = connect_to(path);
  ASSERT_GE(c, 0);
  const char req[] = "GET /nothing HTTP/1.1\r\n\r\n";
  ASSERT_EQ(write(c, req, sizeof req - 1), static_cast<ssize_t>(sizeof req - 1));
  shutdown(c, SHUT_WR);
  serve_connection(lfd);
  EXPECT_EQ(current_connection, -1);
  std::string response = socket_pair::read_all(c);
  EXPECT_EQ(response.rfind("HTTP/1.1 404 Not found\r\n", 0), 0u) << response;
  EXPECT_EQ(response.substr(response.size() - 13), "404 Not found");
  close(c);
  close(lfd);
}

// A command that takes the connection over leaves it open for its new owner.
int taken = -1;
int take_over(const char *, const char *) {
  taken = current_connection.exchange(-1);
  return 0;
}

TEST(Listener, ConnectionTakenOverIsNotClosed) {
  temp_dir dir;
  std::string path = dir.path() + "/s";
  int lfd = open_request_socket(path.c_str());
  ASSERT_GE(lfd, 0);
  ASSERT_EQ(make_csrf_token(), 0);
  register_action("takeOver", take_over);
  int c = connect_to(path);
  std::string body = std::string("takeOver=1&csrf_token=") + csrf_token();
  std::string req = "POST /update HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                    "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  ASSERT_EQ(write(c, req.data(), req.size()), static_cast<ssize_t>(req.size()));
  // without shutting the client's side: a close_connection would wait for it forever
  serve_connection(lfd);
  EXPECT_EQ(current_connection, -1);
  char buf[512];
  ssize_t n = read(c, buf, sizeof buf);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  // still open: the new owner's output reaches the client
  ASSERT_GE(taken, 0);
  ASSERT_EQ(write(taken, "more", 4), 4);
  EXPECT_EQ(read(c, buf, sizeof buf), 4);
  close(taken);
  close(c);
  close(lfd);
}

TEST(Listener, FailuresAreMainsErrorLines) {
  log_capture cap;
  EXPECT_EQ(open_request_socket("/nonexistent-dir/orvand.socket"), -1);
  EXPECT_EQ(open_request_socket(("/tmp/" + std::string(120, 'x')).c_str()), -1);
  std::vector<std::string> e = cap.at(LOG_ERR);
  ASSERT_EQ(e.size(), 2u);
  EXPECT_TRUE(std::regex_match(e[0], std::regex(R"(error: main, \d+: No such file or directory \(2\): bind)")))
      << e[0];
  EXPECT_TRUE(std::regex_match(e[1], std::regex(R"(error: main, \d+: File name too long \(36\): bind)")))
      << e[1];
}

}  // namespace
