"""Requests over the daemon's socket: the responses, the limits, the pages and the queries
that run after them, and what each leaves in the system log."""

import os
import re
import socket
import stat

INFO, ERR = 6, 3
FORM = "application/x-www-form-urlencoded"
PAGES = ("update.htm", "logging.htm")

STATUS = {
    200: "HTTP/1.1 200 OK",
    400: "HTTP/1.1 400 Bad Request",
    404: "HTTP/1.1 404 Not found",
    413: "HTTP/1.1 413 Request Entity Too Large",
    500: "HTTP/1.1 500 Internal Server Error",
    501: "HTTP/1.1 501 Not Implemented",
}


def headers_for(code, length):
    """The header block every response carries, in its order."""
    h = [("Server", "orvan"), ("Connection", "close"), ("Cache-Control", "no-cache"),
         ("Content-Type", "text/html; charset=utf-8" if code == 200 else "text/plain")]
    if length is not None:
        h.append(("Content-Length", str(length)))
    return h + [("X-Frame-Options", "SAMEORIGIN")]


def raw_error(code):
    """The exact bytes of an error response: its status text is the body."""
    text = STATUS[code][len("HTTP/1.1 "):]
    head = [STATUS[code]] + [f"{n}: {v}" for n, v in headers_for(code, len(text))]
    return ("\r\n".join(head) + "\r\n\r\n" + text).encode()


def assert_error(response, code):
    status, headers, body = response
    text = STATUS[code][len("HTTP/1.1 "):]
    assert (status, headers, body) == (STATUS[code], headers_for(code, len(text)),
                                       text.encode())


def assert_page(world, response, page):
    status, headers, body = response
    assert (status, headers) == (STATUS[200], headers_for(200, None))
    assert body == world.path(f"/usr/local/orvan/{page}").read_bytes()


def post(path, body, content_type=FORM, length=None):
    body = body.encode() if isinstance(body, str) else body
    return (f"POST {path} HTTP/1.1\r\nHost: localhost\r\nContent-Type: {content_type}\r\n"
            f"Content-Length: {len(body) if length is None else length}\r\n\r\n").encode() + body


def status_lines(codes):
    return ["orvand: " + STATUS[c] for c in codes]


def error_line(func, message):
    return re.compile(rf"error: {func}, \d+: .* \(\d+\): {re.escape(message)}")


class daemon_log:
    """The daemon's log lines from the moment this was made: start-up is not the test's."""

    def __init__(self, world):
        self.world = world
        self.start = len(world.log("orvand"))

    def texts(self, priority):
        return [t for p, t in self.world.log("orvand")[self.start:] if p == priority]


def send_and_shut(world, raw):
    """Sends raw bytes, ends the client's output, and returns all the daemon answers."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(10)
        s.connect(world.socket_path)
        s.sendall(raw)
        s.shutdown(socket.SHUT_WR)
        got = b""
        while data := s.recv(65536):
            got += data
        return got


def test_socket_and_background_daemon(world):
    st = os.stat(world.socket_path)
    assert stat.S_ISSOCK(st.st_mode)
    assert stat.S_IMODE(st.st_mode) == 0o666
    assert len(world.daemon_pids()) == 1
    # one request per connection, one after another
    for _ in range(3):
        assert_error(world.http("GET", "/nothing"), 404)


def test_update(world):
    log = daemon_log(world)
    assert_error(world.http("GET", "/update"), 501)
    assert_error(world.http("GET", "/update?a=1"), 501)
    assert_error(world.http("POST", "/update", ""), 501)
    assert world.http("POST", "/update", {"a": "1", "b": "x y"}) == (
        STATUS[200], headers_for(200, 0), b"")
    # a wrong token fails the list even without an action
    assert_error(world.http("POST", "/update", {"a": "2", "csrf_token": "wrong"}), 500)
    assert log.texts(INFO) == (status_lines([501, 501, 501]) + ["error: wrong csrf_token"]
                                     + status_lines([500]))
    assert log.texts(ERR) == []


def test_pages_and_their_names(world):
    log = daemon_log(world)
    for page in PAGES:
        assert_page(world, world.http("GET", f"/{page}"), page)
        assert_page(world, world.http("GET", f"//{page}?"), page)
    # the path is decoded once, after its leading slashes were skipped
    assert_page(world, world.http("GET", "/update%2Ehtm"), "update.htm")
    assert_page(world, world.http("POST", "/logging.htm", ""), "logging.htm")
    assert_error(world.http("GET", "/%2Fupdate.htm"), 404)
    assert log.texts(INFO) == status_lines([404])


def test_queries_run_after_the_page(world):
    log = daemon_log(world)
    # the wrong token is noticed only after the page went out whole
    assert_page(world, world.http("GET", "/update.htm?a=1&csrf_token=bad"), "update.htm")
    assert log.texts(INFO) == ["error: wrong csrf_token"]
    # the query string first, then the body
    assert_page(world, world.http("POST", "/logging.htm?q%3D1=x", "b%3D2=y"), "logging.htm")
    assert log.texts(INFO)[1:] == ["exec_queries: invalid field name: q=1",
                                         "exec_queries: invalid field name: b=2"]


def test_missing_page_answers_500_and_runs_no_query(make_world):
    world = make_world(seeds={"/usr/local/orvan/update.htm": None})
    log = daemon_log(world)
    assert_error(world.http("GET", "/update.htm?csrf_token=bad"), 500)
    assert_page(world, world.http("GET", "/logging.htm"), "logging.htm")
    assert log.texts(INFO) == status_lines([500])


def test_failed_copy_is_logged_and_runs_no_query(make_world):
    world = make_world(seeds={"/usr/local/orvan/update.htm": b"<p>" * (4 << 20)})
    log = daemon_log(world)
    # the browser goes away before the page is through
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.connect(world.socket_path)
        s.sendall(b"GET /update.htm?csrf_token=bad HTTP/1.1\r\n\r\n")
    _, line = world.wait_log("sendfile: ")
    assert error_line("send_file", "sendfile: /usr/local/orvan/update.htm").fullmatch(line)
    # requests are served one at a time: once this one is answered the other is done
    assert_error(world.http("GET", "/x"), 404)
    assert "error: wrong csrf_token" not in log.texts(INFO)


def test_not_found(world):
    log = daemon_log(world)
    for path in ("/index.htm", "/", "/update.html", "/UPDATE.htm", "/update.htm/x",
                 "/../usr/local/orvan/update.htm"):
        assert world.request(f"GET {path} HTTP/1.1\r\n\r\n".encode()) == raw_error(404), path
    assert log.texts(INFO) == status_lines([404] * 6)
    assert log.texts(INFO)[0] == "orvand: HTTP/1.1 404 Not found"


def test_line_limits(world):
    log = daemon_log(world)
    line_8191 = "GET /" + "a" * 8186
    assert len(line_8191) == 8191
    assert world.request((line_8191 + "\r\n\r\n").encode()) == raw_error(404)
    assert world.request((line_8191 + "a\r\n\r\n").encode()) == raw_error(413)
    header_8191 = "X: " + "h" * 8188
    assert world.request(f"GET /x HTTP/1.1\r\n{header_8191}\r\n\r\n".encode()) == raw_error(404)
    assert world.request(f"GET /x HTTP/1.1\r\n{header_8191}h\r\n\r\n".encode()) == raw_error(413)
    assert log.texts(INFO) == status_lines([404, 413, 404, 413])
    errors = log.texts(ERR)
    assert len(errors) == 2
    assert all(error_line("read_line", "input line too long").fullmatch(e) for e in errors)


def test_body_limits(world):
    log = daemon_log(world)
    body = "a=" + "x" * 131069
    assert len(body) == 131071
    assert world.http("POST", "/update", body) == (STATUS[200], headers_for(200, 0), b"")
    # refused from its Content-Length alone, whether or not the bytes follow
    assert world.request(post("/update", "a=" + "x" * 131070)) == raw_error(413)
    assert world.request(post("/update", "", length=131072)) == raw_error(413)
    assert world.request(post("/update", "", length="99999999999999999999999")) == raw_error(413)
    assert log.texts(INFO) == status_lines([413, 413, 413])


def test_header_parsing(world):
    log = daemon_log(world)
    cases = [
        # (request, status)
        (post("/update", "a=1"), 200),
        (post("/update", "a=1", content_type=FORM + "; charset=UTF-8"), 200),
        (b"POST /update HTTP/1.1\r\ncontent-type: " + FORM.encode()
         + b"\r\ncontent-length: 3\r\n\r\na=1", 200),
        (b"POST /update HTTP/1.1\r\nCONTENT-LENGTH: 3\r\nContent-type: " + FORM.encode()
         + b"\r\n\r\na=1", 200),
        # the last length counts, the first type counts
        (b"POST /update HTTP/1.1\r\nContent-Length: 99\r\nContent-Type: " + FORM.encode()
         + b"\r\nContent-Length: 3\r\n\r\na=1", 200),
        (b"POST /update HTTP/1.1\r\nContent-Type: text/plain\r\nContent-Type: " + FORM.encode()
         + b"\r\nContent-Length: 3\r\n\r\na=1", 501),
        (post("/update", "a=1", content_type="text/plain"), 501),
        (b"POST /update HTTP/1.1\r\nContent-Length: 3\r\n\r\na=1", 501),
        (b"PUT /update HTTP/1.1\r\n\r\n", 501),
        (b"get /update.htm HTTP/1.1\r\n\r\n", 501),
        (b"\r\n\r\n", 501),
        (b"POST /update HTTP/1.1\r\nContent-Length:\r\n\r\n", 400),
        (b"GET /update.htm HTTP/1.1\r\nContent-Type:   \r\n\r\n", 400),
        (b"GET /update.htm HTTP/1.1\r\nHost: x\r\n    \r\n\r\n", 400),
        (post("/update", "a=1", length=-1), 400),
        (b"GET /update.htm HTTP/1.1\r\nContent-Length: -5\r\n\r\n", 400),
    ]
    for raw, code in cases:
        response = world.request(raw)
        if code == 200:
            assert response.startswith(b"HTTP/1.1 200 OK\r\n") and response.endswith(
                b"Content-Length: 0\r\nX-Frame-Options: SAMEORIGIN\r\n\r\n"), raw
        else:
            assert response == raw_error(code), raw
    assert log.texts(INFO) == status_lines(c for _, c in cases if c != 200)


def test_broken_requests_end_without_an_answer(world):
    log = daemon_log(world)
    assert send_and_shut(world, b"GET /x HTTP/1.1\rX\r\n\r\n") == b""
    assert send_and_shut(world, b"GET /x HTTP/1.1\r\nHost: y\r\n") == b""
    assert send_and_shut(world, post("/update", "a=1", length=10)) == b""
    assert send_and_shut(world, b"") == b""
    assert log.texts(INFO) == ["client closed the connection"] * 2
    errors = log.texts(ERR)
    assert len(errors) == 1 and error_line("read_line", "CR without LF").fullmatch(errors[0])
    # and the daemon goes on serving
    assert_error(world.http("GET", "/x"), 404)


def test_options_are_refused(make_world):
    world = make_world(daemon=False)
    for args, char in (("-d 1", "d"), ("-d", "?"), ("-x", "?"), ("-d1 extra", "d")):
        r = world.run(f"/usr/local/sbin/orvand {args}")
        assert r.returncode == 1, args
        assert error_line("main", f"invalid option: {char}").fullmatch(
            world.log_texts(ERR, ident="orvand")[-1]), args
    assert not os.path.exists(world.socket_path)
