"""The cmd action: web GUI programs run as root with their output streamed into the page,
and nothing outside the web GUI's tree runs by any route."""

import os
import socket
import time
import urllib.parse

INFO, ERR = 6, 3
TREE = "/usr/local/orvan"


def install(world, name, body, mode=0o755):
    """Puts a program into the web GUI's tree and returns its path in the world."""
    path = f"{TREE}/tests/{name}"
    host = world.path(path)
    host.parent.mkdir(parents=True, exist_ok=True)
    host.write_text(body)
    host.chmod(mode)
    return path


def page(world, fields):
    """GET logging.htm with the fields (a dict) and the token; the page then the script."""
    query = urllib.parse.urlencode({**fields, "csrf_token": world.csrf_token()})
    raw = world.request(f"GET /logging.htm?{query} HTTP/1.1\r\n\r\n".encode(), timeout=30)
    head, _, body = raw.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200 OK\r\n")
    page_bytes = world.path(f"{TREE}/logging.htm").read_bytes()
    assert body.startswith(page_bytes)  # the page first, then what the command wrote
    return body[len(page_bytes):].decode()


def add_log(text):
    return f'<script>addLog("{text}");</script>'


def open_page(world, fields):
    """Starts a GET of logging.htm with the fields and the token; returns the open socket."""
    query = urllib.parse.urlencode({**fields, "csrf_token": world.csrf_token()})
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(10)
    s.connect(world.socket_path)
    s.sendall(f"GET /logging.htm?{query} HTTP/1.1\r\n\r\n".encode())
    return s


def read_until(s, text):
    """Reads from the page until `text` arrived; returns all that was read."""
    got = b""
    while text.encode() not in got:
        chunk = s.recv(4096)
        assert chunk, f"the daemon closed before {text!r} arrived"
        got += chunk
    return got


def dumped_vars(world):
    world.http("POST", "/update", body=f"dump=var&csrf_token={world.csrf_token()}")
    text = world.path("/root/dump_var").read_text()
    return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)


def test_output_arrives_as_escaped_log_lines(world):
    prog = install(world, "escape", "#!/bin/bash\n"
                   "printf 'say \"hi\" it'\"'\"'s a\\\\b\\n'\n"
                   "printf 'cr\\rbs\\bend\\n'\n"
                   "printf 'no line end'\n")
    out = page(world, {"cmd": prog})
    assert out == (add_log('say \\"hi\\" it\\\'s a\\\\b\\n') + add_log("cr\\r")
                   + add_log("bs\\b") + add_log("end\\n"))
    assert f"cmd: {prog}" in world.log_texts(INFO, ident="orvand")


def test_long_output_without_line_feed(world):
    prog = install(world, "long", "#!/bin/bash\nprintf 'x%.0s' {1..3000}\n")
    assert page(world, {"cmd": prog}) == add_log("x" * 1023) * 2


def test_arguments_stop_at_the_first_gap(world):
    prog = install(world, "args", '#!/bin/bash\necho "$#"; for a; do echo "[$a]"; done\n')
    out = page(world, {"arg1": "one two", "arg2": "it's", "arg4": "four", "cmd": prog})
    assert out == add_log("2\\n") + add_log("[one two]\\n") + add_log("[it\\'s]\\n")
    variables = dumped_vars(world)
    assert "arg1" not in variables and "arg2" not in variables and "title" not in variables
    assert variables["arg4"] == "four"


def test_a_relative_value_is_taken_inside_the_tree(world):
    install(world, "rel", "#!/bin/bash\necho relative\n")
    assert page(world, {"cmd": "tests/rel"}) == add_log("relative\\n")


def test_every_route_out_of_the_tree_is_refused(world):
    marker = "/tmp/escaped"
    outside = world.path("/usr/local/bin/outside")
    outside.parent.mkdir(parents=True, exist_ok=True)
    outside.write_text(f"#!/bin/bash\ntouch {marker}\n")
    outside.chmod(0o755)
    link = world.path(f"{TREE}/tests/link")
    link.parent.mkdir(parents=True, exist_ok=True)
    os.symlink("/usr/local/bin/outside", link)
    routes = ["../bin/outside", f"{TREE}/../bin/outside", f"{TREE}/tests/link",
              "/usr/local/bin/outside", f"{TREE}/tests/../../bin/outside", f"{TREE}/missing"]
    for value in routes:
        out = page(world, {"cmd": value})
        assert out == "", value
    assert not world.path(marker).exists()
    errors = [t for t in world.log_texts(ERR, ident="orvand") if "invalid cmd: " in t]
    assert [e.split("invalid cmd: ", 1)[1] for e in errors] == routes
    assert all(e.startswith("error: run_cmd, ") for e in errors)
    assert not any(t.startswith("cmd: ") for t in world.log_texts(INFO, ident="orvand"))


def in_world_alive(world, pids):
    out = world.run("for p in " + " ".join(map(str, pids)) +
                    "; do s=$(cut -d' ' -f3 /proc/$p/stat 2>/dev/null); "
                    "[ -n \"$s\" ] && [ \"$s\" != Z ] && echo $p; done").stdout
    return {int(p) for p in out.split()}


def test_a_browser_that_goes_away_ends_the_script_and_its_children(world):
    pids = "/tmp/slow.pids"
    prog = install(world, "slow", "#!/bin/bash\n"
                   f"sleep 300 & echo $$ $! > {pids}\n"
                   "echo started\nwhile :; do sleep 1; done\n")
    with open_page(world, {"cmd": prog}) as s:
        read_until(s, add_log("started\\n"))
    # the page went away: the script and the sleep it started end, and the daemon serves on
    ids = [int(p) for p in world.path(pids).read_text().split()]
    deadline = time.monotonic() + 10
    while in_world_alive(world, ids) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert in_world_alive(world, ids) == set()
    status, _, _ = world.http("GET", "/nothing")
    assert status == "HTTP/1.1 404 Not found"


def test_a_titled_script_runs_on_while_other_requests_are_served(world):
    gate = "/tmp/gate"
    done = "/tmp/titled.done"
    prog = install(world, "titled", "#!/bin/bash\n"
                   "echo first\n"
                   f"while [ ! -e {gate} ]; do sleep 0.05; done\n"
                   f"echo second; touch {done}\n")
    with open_page(world, {"title": "Long job", "cmd": prog}) as s:
        got = read_until(s, add_log("first\\n"))
        # the script waits at its gate; the daemon answers others meanwhile
        assert world.http("GET", "/nothing")[0] == "HTTP/1.1 404 Not found"
        assert not world.path(done).exists()
        world.path(gate).write_text("")
        while True:
            chunk = s.recv(4096)
            if not chunk:
                break
            got += chunk
    text = got.decode()
    assert '<script>document.title="Long job";</script>' in text
    assert text.index("document.title") < text.index(add_log("first\\n")) < text.index(add_log("second\\n"))
    assert world.path(done).exists()
