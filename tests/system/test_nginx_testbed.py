"""The test bed's web server and the machine's scripts: real nginx with its pub/sub module,
started by the world's rc.nginx, serving only its Unix socket; the event hook stand-in; the
web GUI's scripts for the cmd action."""

import os
import subprocess

import pytest

from testbed import world as testbed
from test_testbed import process_ids, still_running

STATE = "/var/local/orvan"


@pytest.fixture
def nginx_host(world_host):
    reason = testbed.nginx_unavailable()
    if reason:
        pytest.skip(f"this machine cannot run a world's web server: {reason}")


@pytest.fixture
def served(make_world, nginx_host):
    """A world without the daemon whose web server its rc.nginx started."""
    w = make_world(daemon=False)
    w.nginx("start")
    return w


def socket_inodes(host_pid):
    inodes = set()
    fd_dir = f"/proc/{host_pid}/fd"
    for fd in os.listdir(fd_dir):
        try:
            target = os.readlink(f"{fd_dir}/{fd}")
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[len("socket:["):-1])
    return inodes


def net_inodes(*tables):
    """{socket inode: line} of the host network namespace's sockets in /proc/net tables."""
    inodes = {}
    for table in tables:
        with open(f"/proc/net/{table}") as f:
            for line in list(f)[1:]:
                fields = line.split()
                inodes[fields[9 if table != "unix" else 6]] = line
    return inodes


def test_publications_reach_subscribers(served):
    w = served
    assert w.nginx_running()
    # A message published before anyone subscribes is what a late subscriber gets: of two,
    # the newer, since a buffer length of one keeps only that.
    early = ['a="1"\n', 'a="2"\r\nb=""\r\n']
    for body in early:
        assert w.publish("foo.bar", body) == "HTTP/1.1 202 Accepted"
    assert w.subscribe("foo.bar") == early[1]
    assert w.channel_info("foo.bar")["messages"] == 1
    assert w.channel_info("never") is None
    # An open subscriber gets each later message, byte for byte, the empty one included.
    later = ["line\n\nafter a blank line", "", "x" * 70000]
    with w.subscriber("foo.bar") as sub:
        for body in later:
            assert w.publish("foo.bar", body) == "HTTP/1.1 201 Created"
        sub.wait(lambda m: m.startswith("x"))
        assert sub.messages == later
    # every publication is counted, whoever listened
    assert w.publications() == (
        [testbed.Publication("foo.bar", 202, len(body)) for body in early]
        + [testbed.Publication("foo.bar", 201, len(body)) for body in later])
    assert w.publications("other") == []


def test_nginx_serves_only_its_unix_socket(served):
    w = served
    sock = w.path("/var/run/nginx.socket")
    assert oct(os.stat(sock).st_mode & 0o777) == "0o666"
    # Once it has answered, its worker is up. nginx named its master in its pid file; every
    # process of it holds the socket and no TCP or UDP socket at all (the world shares the
    # host's network).
    assert w.publish("ch", "") == "HTTP/1.1 202 Accepted"
    pids = w.pids("nginx")
    assert len(pids) == 2  # master and one worker
    assert int(w.path("/var/run/nginx.pid").read_text()) in {w.world_pid(p) for p in pids}
    inet = net_inodes("tcp", "tcp6", "udp", "udp6")
    unix = net_inodes("unix")
    for pid in pids:
        held = socket_inodes(pid)
        assert not held & inet.keys()
        assert any(unix[i].split()[7:] == ["/var/run/nginx.socket"] for i in held & unix.keys())


def test_stop_start_reload_and_teardown(served):
    w = served
    master = w.path("/var/run/nginx.pid").read_text()
    w.nginx("reload")
    # the same server, serving on
    assert w.publish("ch", "after reload") == "HTTP/1.1 202 Accepted"
    assert w.path("/var/run/nginx.pid").read_text() == master
    processes = process_ids(w.pids("nginx"))
    w.nginx("stop")
    assert (w.nginx_running(), still_running(processes)) == (False, [])
    assert not w.path("/var/run/nginx.socket").exists()
    assert not w.path("/var/run/nginx.pid").exists()
    status = w.nginx("status", check=False)
    assert (status.returncode, status.stdout) == (1, "nginx is not running\n")
    # stopped, a reload is refused and a second stop does nothing
    assert w.nginx("reload", check=False).returncode == 1
    w.nginx("stop")
    with pytest.raises(testbed.WorldError):
        w.publish("ch", "to nobody")
    w.nginx("start")
    assert w.nginx("status").stdout == "nginx is running\n"
    with w.subscriber("ch", current=True) as sub:
        # the messages went with the server
        assert w.publish("ch", "again") == "HTTP/1.1 201 Created"
        assert sub.wait("again") == "again" and sub.messages == ["again"]
        processes = process_ids(w.pids("nginx"))
        w.stop()
    assert still_running(processes) == []


def test_nginx_ini_follows_the_names_and_ports(served):
    w = served
    ini = w.path(f"{STATE}/nginx.ini")
    assert ini.read_text() == (
        'NGINX_LANNAME="zarvo"\nNGINX_LANMDNS="zarvo.local"\nNGINX_LANFQDN=""\n'
        'NGINX_LANFQDN6=""\nNGINX_USESSL="no"\nNGINX_PORT="80"\nNGINX_PORTSSL="443"\n'
        'NGINX_CERTPATH="/boot/config/ssl/certs/zarvo_zarvo_bundle.pem"\n')
    assert [f for f in os.listdir(w.path(STATE)) if "nginx" in f] == ["nginx.ini"]
    # a reload with nothing changed leaves the file as it is, whoever wrote it since
    ini.write_text('NGINX_LANNAME="by hand"\n')
    w.nginx("reload")
    assert ini.read_text() == 'NGINX_LANNAME="by hand"\n'
    cert = "/boot/config/ssl/certs/tower_zarvo_bundle.pem"
    steps = [
        # (ident.cfg, certificate present, expected keys)
        ('PORT="8080"\r\nPORTSSL="8443"\r\nUSE_SSL="yes"\r\nLOCAL_TLD=""\r\n', False,
         {"NGINX_LANNAME": "tower", "NGINX_LANMDNS": "tower", "NGINX_PORT": "8080",
          "NGINX_PORTSSL": "8443", "NGINX_USESSL": "no", "NGINX_CERTPATH": cert}),
        ('USE_SSL="yes"\r\nLOCAL_TLD="lan"\r\n', True,
         {"NGINX_LANMDNS": "tower.lan", "NGINX_PORT": "80", "NGINX_USESSL": "yes"}),
    ]
    w.run("hostname tower", check=True)
    for ident, with_cert, expected in steps:
        w.path("/boot/config/ident.cfg").write_text(ident)
        if with_cert:
            w.path(cert).parent.mkdir(parents=True, exist_ok=True)
            w.path(cert).write_text("certificate\n")
        w.nginx("reload")
        keys = w.settings(f"{STATE}/nginx.ini")
        assert {k: keys[k] for k in expected} == expected


def test_the_daemon_publishes_through_the_world_nginx(make_world, nginx_host):
    w = make_world()
    assert [e["argv"][1:] for e in w.journal("rc.nginx")] == [["start"]]
    assert w.nginx_running()
    # the web server's start published every state file to its channel
    state = {f[:-4] for f in os.listdir(w.path(STATE)) if f.endswith(".ini")}
    assert {"var", "disks", "nginx"} <= state <= {p.channel for p in w.publications()}
    assert w.subscribe("var") == w.path(f"{STATE}/var.ini").read_text()
    # a file moved into the state directory is published by the daemon's watcher
    staged = w.path(f"{STATE}/.foo.bar.ini")
    staged.write_text('a="1"\n')
    staged.rename(w.path(f"{STATE}/foo.bar.ini"))
    assert w.wait_message("foo.bar", 'a="1"') == 'a="1"\n'
    # the web GUI's requests go through to the daemon
    status, _, body = w.nginx_request(b"GET /update.htm HTTP/1.1\r\nHost: localhost\r\n"
                                       b"Connection: close\r\n\r\n")
    assert status == "HTTP/1.1 200 OK" and b"update page" in body


def test_event_hook_prints_as_told(make_world):
    w = make_world(daemon=False)
    hook = "/usr/local/sbin/orvan_event"
    assert w.run([hook, "starting"], check=True).stdout == ""
    w.set_stand_in("orvan_event", stdout="one\ntwo\nthree\n", pause=0.5)
    p = subprocess.Popen(w.enter_argv([hook, "array_started"]), stdout=subprocess.PIPE,
                         env=testbed.WORLD_ENV)
    with p:
        # each line comes as it is printed, while the hook still runs
        assert p.stdout.readline() == b"one\n"
        assert p.poll() is None
        assert p.stdout.read() == b"two\nthree\n"
    assert p.returncode == 0
    assert [e["argv"] for e in w.journal("orvan_event")] == [[hook, "starting"],
                                                             [hook, "array_started"]]


@pytest.mark.parametrize("command, output", [
    (["echo_args", "one two", "", "it's"], "one two\n\nit's\n"),
    (["long_line"], "x" * 3000),
    (["escape"], "say \"hi\" it's a\\b\ncr\rbs\bend\n"),
])
def test_web_gui_scripts(make_world, command, output):
    w = make_world(daemon=False)
    run = w.run([f"/usr/local/orvan/scripts/{command[0]}", *command[1:]], check=True)
    assert run.stdout == output


def test_web_gui_script_material(make_world):
    w = make_world(daemon=False)
    tree = "/usr/local/orvan/scripts"
    # a link in the tree that leads out of it
    assert w.run(f"realpath {tree}/escape_link").stdout == "/usr/bin/echo\n"
    # the long runner names itself and its children, then waits on them
    w.run(f"{tree}/slow /tmp/slow.pids >/dev/null 2>&1 &", check=True)
    w.run("while [ ! -e /tmp/slow.pids ]; do sleep 0.02; done", check=True, timeout=10)
    pids = w.path("/tmp/slow.pids").read_text().split()
    assert len(pids) == 3
    assert w.run(["ps", "-o", "args=", "-p", pids[1]]).stdout == "sleep 300\n"
    # the titled job runs until its gate opens, then records that it finished
    job = subprocess.Popen(w.enter_argv([f"{tree}/titled"]), stdout=subprocess.PIPE,
                           env=testbed.WORLD_ENV)
    with job:
        assert job.stdout.readline() == b"started\n"
        assert not w.path("/tmp/titled.done").exists()
        w.path("/tmp/titled.gate").touch()
        assert job.stdout.read() == b"finished\n"
    assert float(w.path("/tmp/titled.done").read_text()) > 0
