#include "daemon/request.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include "daemon/query.h"
#include "log_capture.h"
#include "socket_pair.h"
#include "state/var.h"

namespace {

// The exact bytes of a response from the header block on.
std::string header(const std::string &status, int length) {
  std::string h = status + "\r\nServer: orvan\r\nConnection: close\r\nCache-Control: no-cache\r\n";
  h += status == "HTTP/1.1 200 OK" ? "Content-Type: text/html; charset=utf-8\r\n"
                                   : "Content-Type: text/plain\r\n";
  if (length >= 0) h += "Content-Length: " + std::to_string(length) + "\r\n";
  return h + "X-Frame-Options: SAMEORIGIN\r\n\r\n";
}

// An error response: the status text is the body.
std::string error_response(const std::string &code_and_text) {
  return header("HTTP/1.1 " + code_and_text, static_cast<int>(code_and_text.size())) +
         code_and_text;
}

const std::string ok_empty = header("HTTP/1.1 200 OK", 0);
const std::string r400 = error_response("400 Bad Request");
const std::string r404 = error_response("404 Not found");
const std::string r413 = error_response("413 Request Entity Too Large");
const std::string r500 = error_response("500 Internal Server Error");
const std::string r501 = error_response("501 Not Implemented");

std::string post(const std::string &path, const std::string &type, const std::string &body) {
  return "POST " + path + " HTTP/1.1\r\nHost: localhost\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}
const std::string form = "application/x-www-form-urlencoded";

TEST(SendHeader, ExactBytesInOrder) {
  struct header_case {
    const char *status;
    int length;
  };
  const header_case cases[] = {
      {http_200, -1}, {http_200, 0}, {http_404, 13}, {http_500, -1}, {http_413, 12345}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.status);
    socket_pair sp;
    send_header(sp.server, c.status, c.length);
    shutdown(sp.server, SHUT_WR);
    std::string status = c.status;
    EXPECT_EQ(socket_pair::read_all(sp.client), header(status.substr(0, status.size() - 2),
                                                       c.length));
  }
}

TEST(SendStatus, EveryErrorStatusWithItsTextAsBody) {
  const std::pair<const char *, std::string> cases[] = {
      {http_400, r400}, {http_404, r404}, {http_413, r413}, {http_500, r500}, {http_501, r501}};
  for (const auto &[status, expected] : cases) {
    log_capture cap;
    socket_pair sp;
    send_status(sp.server, status);
    shutdown(sp.server, SHUT_WR);
    EXPECT_EQ(socket_pair::read_all(sp.client), expected);
    EXPECT_EQ(cap.all(), (std::vector<logged_line>{
                             {LOG_INFO, "orvand: " + std::string(status, strlen(status) - 2)}}));
  }
  // the 404 body is the 13 bytes of its text
  EXPECT_NE(r404.find("Content-Length: 13\r\n"), std::string::npos);
  EXPECT_EQ(r404.substr(r404.size() - 13), "404 Not found");
}

TEST(GetFilename, SplitsPathAndQuery) {
  struct target_case {
    const char *text;
    const char *path;
    const char *query;
  };
  const target_case cases[] = {
      {"/update.htm?cmd=x HTTP/1.1", "update.htm", "cmd=x"},
      {"   ///update HTTP/1.1", "update", ""},
      {"/a+b%41?c+d%26e HTTP/1.1", "a bA", "c+d%26e"},
      {"/%2Fupdate.htm HTTP/1.1", "/update.htm", ""},
      {"/update%2Ehtm", "update.htm", ""},
      {"/p?q=1?2 HTTP/1.1", "p", "q=1?2"},
      {"/?x=1", "", "x=1"},
      {"", "", ""},
  };
  for (const auto &c : cases) {
    std::string s = c.text;
    request_target t = get_filename(s.data());
    EXPECT_STREQ(t.path, c.path) << c.text;
    EXPECT_STREQ(t.query, c.query) << c.text;
  }
}

TEST(HandleRequest, Responses) {
  std::string line_8191 = "GET /" + std::string(8186, 'a');
  std::string line_8192 = line_8191 + "a";
  ASSERT_EQ(line_8191.size(), 8191u);
  struct request_case {
    const char *what;
    std::string request;
    std::string response;
    int result;
  };
  const request_case cases[] = {
      {"unknown path", "GET /index.htm HTTP/1.1\r\nHost: x\r\n\r\n", r404, 0},
      {"encoded slash is not skipped", "GET /%2Fupdate.htm HTTP/1.1\r\n\r\n", r404, 0},
      {"GET of update", "GET /update?a=1 HTTP/1.1\r\n\r\n", r501, 0},
      {"empty POST to update", post("/update", form, ""), r501, 0},
      {"POST of fields", post("/update", form, "a=1&b=2"), ok_empty, 0},
      {"charset parameter", post("/update", form + "; charset=UTF-8", "a=1"), ok_empty, 0},
      {"text/plain", post("/update", "text/plain", "a=1"), r501, 0},
      {"no content type",
       "POST /update HTTP/1.1\r\nContent-Length: 3\r\n\r\na=1", r501, 0},
      {"first content type counts",
       "POST /update HTTP/1.1\r\nContent-Type: text/plain\r\nContent-Type: " + form +
           "\r\nContent-Length: 3\r\n\r\na=1",
       r501, 0},
      {"last content length counts",
       "POST /update HTTP/1.1\r\nContent-Length: 100\r\nContent-Type: " + form +
           "\r\nContent-Length: 3\r\n\r\na=1",
       ok_empty, 0},
      {"lower-case header names",
       "POST /update HTTP/1.1\r\ncontent-type: " + form + "\r\ncontent-length: 3\r\n\r\na=1",
       ok_empty, 0},
      {"mixed-case header names",
       "POST /update HTTP/1.1\r\nCONTENT-TYPE: " + form + "\r\ncOnTeNt-LeNgTh: 3\r\n\r\na=1",
       ok_empty, 0},
      {"wrong token", post("/update", form, "a=1&csrf_token=nope"), r500, 0},
      {"other method", "PUT /update HTTP/1.1\r\n\r\n", r501, 0},
      {"empty request line", "\r\n\r\n", r501, 0},
      {"8191-character request line", line_8191 + "\r\n\r\n", r404, 0},
      {"8192-character request line", line_8192 + "\r\n\r\n", r413, -1},
      {"8191-character header", "GET /x HTTP/1.1\r\nX: " + std::string(8188, 'h') + "\r\n\r\n",
       r404, 0},
      {"8192-character header", "GET /x HTTP/1.1\r\nX: " + std::string(8189, 'h') + "\r\n\r\n",
       r413, -1},
      {"lone LF is ordinary", "GET /x\nHTTP/1.1\r\nA\nB: c\r\n\r\n", r404, 0},
      {"CR without LF", "GET /x HTTP/1.1\rX\r\n\r\n", "", -1},
      {"Content-Length: alone", "POST /update HTTP/1.1\r\nContent-Length:\r\n\r\n", r400, 0},
      {"Content-Length: and spaces", "GET /x HTTP/1.1\r\nContent-Length:   \r\n\r\n", r400, 0},
      {"Content-Type: alone", "GET /x HTTP/1.1\r\nContent-Type:\r\n\r\n", r400, 0},
      {"a line of spaces", "GET /x HTTP/1.1\r\n   \r\n\r\n", r400, 0},
      {"negative length refused, POST",
       "POST /update HTTP/1.1\r\nContent-Type: " + form + "\r\nContent-Length: -1\r\n\r\na=1",
       r400, 0},
      {"negative length refused, GET", "GET /update.htm HTTP/1.1\r\nContent-Length: -9\r\n\r\n",
       r400, 0},
      {"length past 64 bits",
       "POST /update HTTP/1.1\r\nContent-Type: " + form +
           "\r\nContent-Length: 99999999999999999999999\r\n\r\n",
       r413, 0},
      {"peer gone in the headers", "GET /x HTTP/1.1\r\nHost: y\r\n", "", -1},
      {"peer gone in the body",
       "POST /update HTTP/1.1\r\nContent-Type: " + form + "\r\nContent-Length: 10\r\n\r\na=1",
       "", -1},
      {"peer gone before a line", "", "", -1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    log_capture cap;
    int result = 99;
    EXPECT_EQ(serve_request(c.request, &result), c.response);
    EXPECT_EQ(result, c.result);
  }
}

TEST(HandleRequest, BodyLimit) {
  std::string value(131069, 'x');
  std::string body = "a=" + value;
  ASSERT_EQ(body.size(), 131071u);
  EXPECT_EQ(serve_request(post("/update", form, body)), ok_empty);
  ASSERT_NE(get_var("a"), nullptr);
  EXPECT_EQ(get_var("a"), value);

  // 131072 bytes are refused without being read: nothing of them is stored
  EXPECT_EQ(serve_request(post("/update", form, "big=" + std::string(131068, 'y'))), r413);
  EXPECT_EQ(get_var("big"), nullptr);
}

TEST(HandleRequest, LogLines) {
  auto errors_end_with = [](const log_capture &cap, const std::string &func,
                            const std::string &msg) {
    std::vector<std::string> e = cap.at(LOG_ERR);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_TRUE(std::regex_match(e[0], std::regex("error: " + func + ", \\d+: .* \\(\\d+\\): " + msg)))
        << e[0];
  };
  {
    log_capture cap;
    serve_request("GET /" + std::string(8187, 'a') + "\r\n\r\n");
    errors_end_with(cap, "read_line", "input line too long");
    EXPECT_EQ(cap.at(LOG_INFO),
              (std::vector<std::string>{"orvand: HTTP/1.1 413 Request Entity Too Large"}));
  }
  {
    log_capture cap;
    serve_request("GET /x HTTP/1.1\rX");
    errors_end_with(cap, "read_line", "CR without LF");
    EXPECT_TRUE(cap.at(LOG_INFO).empty());
  }
  {
    log_capture cap;
    serve_request("GET /x HTTP/1.1\r\nHost: y\r\n");
    EXPECT_EQ(cap.all(), (std::vector<logged_line>{{LOG_INFO, "client closed the connection"}}));
  }
  {
    log_capture cap;
    serve_request("GET /missing HTTP/1.1\r\n\r\n");
    EXPECT_EQ(cap.all(), (std::vector<logged_line>{{LOG_INFO, "orvand: HTTP/1.1 404 Not found"}}));
  }
}

TEST(HandleRequest, DebugLines) {
  log_capture cap;
  init_debugging("handle_request,get_filename,send_file");
  cap.clear();
  serve_request("GET /nope?q=%41 HTTP/1.1\r\nHost: h\r\n\r\n");
  init_debugging("handle_request");
  serve_request(post("/update", form, "k=v"));
  init_debugging("");
  std::vector<std::string> d = cap.at(LOG_DEBUG);
  ASSERT_EQ(d.size(), 9u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(d[0], m, std::regex(R"(debug: handle_request: request (\d+): (.*))")));
  int n = std::stoi(m[1]);
  EXPECT_EQ(m[2], "GET /nope?q=%41 HTTP/1.1");
  EXPECT_EQ(d[1], "debug: handle_request: extra: Host: h");
  EXPECT_EQ(d[2], "debug: get_filename: fname: nope querystring: q=%41");
  EXPECT_EQ(d[3], "debug: send_file: notfound: nope");
  EXPECT_EQ(d[4], "debug: handle_request: request " + std::to_string(n + 1) +
                      ": POST /update HTTP/1.1");
  EXPECT_EQ(d[5], "debug: handle_request: extra: Host: localhost");
  EXPECT_EQ(d[6], "debug: handle_request: extra: Content-Type: " + form);
  EXPECT_EQ(d[7], "debug: handle_request: extra: Content-Length: 3");
  EXPECT_EQ(d[8], "debug: handle_request: postdata 3: k=v");
}

// The pages come from page_dir, which only the system tests provide; without it both
// answer 500, which also shows that update%2Ehtm is decoded to a served name.
TEST(SendFile, MissingPageIs500) {
  struct stat st;
  if (stat(page_dir, &st) == 0) GTEST_SKIP() << page_dir << " exists on this machine";
  for (const char *target : {"/update.htm", "/logging.htm", "/update%2Ehtm", "//logging.htm"}) {
    std::string query = "?csrf_token=wrong";
    EXPECT_EQ(serve_request(std::string("GET ") + target + query + " HTTP/1.1\r\n\r\n"), r500)
        << target;
  }
}

TEST(CloseConnection, DrainsUntilThePeerCloses) {
  socket_pair sp;
  ASSERT_EQ(write(sp.client, "unread bytes", 12), 12);
  shutdown(sp.client, SHUT_WR);
  EXPECT_EQ(close_connection(sp.server), 0);
  sp.server = -1;
  char c;
  EXPECT_EQ(read(sp.client, &c, 1), 0);  // the daemon's side is shut and closed
}

}  // namespace
