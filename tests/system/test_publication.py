"""What open browser pages learn: each state file that changes is posted to its channel of
the world's real nginx, and nothing else is."""

import socket
import threading
import time

INFO = 6
STATE = "/var/local/orvan"


def post(world, fields):
    status, _, _ = world.http("POST", "/update",
                              body=f"{fields}&csrf_token={world.csrf_token()}")
    assert status == "HTTP/1.1 200 OK"


def wait_for(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not (result := predicate()) and time.monotonic() < deadline:
        time.sleep(0.05)
    return result


def var_publications(world):
    return [p.length for p in world.publications("var")]


def test_a_change_posts_the_whole_file_and_an_identical_rewrite_posts_nothing(world):
    var_ini = world.path(f"{STATE}/var.ini")
    # Start from a quiet channel: nginx has taken the file as it is now.
    assert wait_for(lambda: var_publications(world)[-1:] == [len(var_ini.read_bytes())])
    start = len(var_publications(world))
    # A command that succeeds rewrites the state files; only var.ini has changed.
    with world.subscriber("var") as sub:
        post(world, "COMMENT=the%20first%20change&debug=")
        message = sub.wait('COMMENT="the first change"')
    assert message == var_ini.read_text()
    first = len(message.encode())

    post(world, "debug=")  # the same content again
    post(world, "COMMENT=second&debug=")
    second = len(var_ini.read_bytes())
    # The daemon publishes one file after the other and nginx logs each before it answers:
    # once the second change is in the log, an identical rewrite before it would be too.
    assert wait_for(lambda: second in var_publications(world)[start:])
    assert var_publications(world)[start:] == [first, second]
    assert 'COMMENT="second"' in world.subscribe("var")


def test_only_files_moved_into_the_directory_are_posted(world):
    world.path(f"{STATE}/written.ini").write_text('a="in place"\n')
    staged = world.path(f"{STATE}/.staged")
    staged.write_text('b="moved"\n')
    staged.rename(world.path(f"{STATE}/foo.bar.ini"))
    # the channel is the name without its last extension
    assert world.wait_message("foo.bar", 'b="moved"') == 'b="moved"\n'

    def ours():
        return [p.channel for p in world.publications() if p.channel.startswith(("written", "foo"))]

    # A subscriber may get the message before nginx logs it; the log follows.
    assert wait_for(lambda: "foo.bar" in ours())
    assert ours() == ["foo.bar"]


def test_with_the_web_server_stopped_a_change_costs_a_debug_line_only(world):
    post(world, "debug=publish")
    world.nginx("stop")
    start = len(world.log())
    post(world, "COMMENT=while%20stopped&debug=publish")
    world.wait_log("debug: publish: connect", since=start)
    assert [(p, t) for p, t in world.log()[start:] if p < INFO] == []
    # Nothing is retried: the channel heals with the next change of the file.
    world.nginx("start")
    post(world, "COMMENT=healed&debug=")
    assert 'COMMENT="healed"' in world.wait_message("var", 'COMMENT="healed"')


class FakeWebServer:
    """Listens on the world's nginx socket in place of nginx, keeps every request whole
    and answers each with a fixed response."""

    def __init__(self, path, response):
        self.requests, self.response = [], response
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.bind(path)
        self.sock.listen(8)
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            with conn:
                data = b""
                while b"\r\n\r\n" not in data:
                    data += conn.recv(65536)
                head = data.split(b"\r\n\r\n", 1)[0].decode()
                length = int(next(line.split(": ")[1] for line in head.split("\r\n")
                                  if line.startswith("Content-Length: ")))
                while len(data) < len(head) + 4 + length:
                    data += conn.recv(65536)
                conn.sendall(self.response)
                self.requests.append(data)

    def close(self):
        self.sock.close()


def test_wire_format_and_an_overlong_response(world):
    world.nginx("stop")
    server = FakeWebServer(world.nginx_socket_path, b"x" * 5000)
    try:
        start = len(world.log())
        post(world, "COMMENT=on%20the%20wire&debug=")
        assert wait_for(lambda: any(b"/pub/var?" in r for r in server.requests))
    finally:
        server.close()
    body = world.path(f"{STATE}/var.ini").read_bytes()
    request = next(r for r in server.requests if b"/pub/var?" in r)
    assert request == (b"POST /pub/var?buffer_length=1 HTTP/1.1\r\nHost: localhost\r\n"
                       b"Accept: */*\r\nContent-Length: %d\r\n"
                       b"Content-Type: application/x-www-form-urlencoded\r\n"
                       b"Connection: close\r\n\r\n" % len(body) + body)
    # too long an answer is logged, and the publication still counts as done
    world.wait_log("response too damn long", since=start)
