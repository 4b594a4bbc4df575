// One HTTP/1.1 request per connection: reading it, choosing the response, closing.
#pragma once

#include <cstddef>

// The only status lines the daemon sends.
inline constexpr char http_200[] = "HTTP/1.1 200 OK\r\n";
inline constexpr char http_400[] = "HTTP/1.1 400 Bad Request\r\n";
inline constexpr char http_404[] = "HTTP/1.1 404 Not found\r\n";
inline constexpr char http_413[] = "HTTP/1.1 413 Request Entity Too Large\r\n";
inline constexpr char http_500[] = "HTTP/1.1 500 Internal Server Error\r\n";
inline constexpr char http_501[] = "HTTP/1.1 501 Not Implemented\r\n";

// Request and header lines are read into buffers of this size, so a line holds at most
// 8191 characters; bodies must be shorter than max_body.
constexpr size_t line_capacity = 8192;
constexpr long long max_body = 0x20000;

// Where the two pages are served from.
inline constexpr char page_dir[] = "/usr/local/orvan";

// One line ending in CR LF, NUL-terminated in place of the CR. Returns its length, or -1
// when the peer closed, a CR lacked its LF, or the line was too long (413 sent).
int read_line(int fd, char *buf, size_t capacity);

// Serves one request: -1 when reading it failed, 0 when it was answered.
int handle_request(int fd);

struct request_target {
  char *path;   // decoded, without leading slashes
  char *query;  // still encoded; empty without a '?'
};
// Splits the text after the method in place.
request_target get_filename(char *text);

// Chooses and writes the response for a path; body is nullptr for a GET.
void send_file(int fd, const char *path, char *query, char *body);

// The status line and the fixed header block; Content-Length only when length >= 0.
// Returns what write returned.
int send_header(int fd, const char *status, int length);
// A complete error response whose body is the status text.
void send_status(int fd, const char *status);

// Orderly close: no more output, drain what the peer still sends, close. Returns 0.
int close_connection(int fd);
