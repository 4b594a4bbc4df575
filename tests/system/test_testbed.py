"""The test bed world itself: isolation, its /proc, /dev and log, daemon start, teardown."""

import json
import os
import signal
import socket
import subprocess
import sys
import textwrap
import time

import pytest

from testbed import world as testbed

# Behaves like orvand at start-up: makes its socket, then detaches with a double fork
# (as daemon(0, 0) does) and answers each connection with the request it read.
STAND_IN_DAEMON = textwrap.dedent("""\
    #!/usr/bin/python3
    import os, socket, syslog
    path = "/var/run/orvand.socket"
    if os.path.exists(path):
        os.unlink(path)
    s = socket.socket(socket.AF_UNIX)
    s.bind(path)
    s.listen(10)
    if os.fork():
        os._exit(0)
    os.setsid()
    null = os.open("/dev/null", os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(null, fd)
    syslog.openlog("orvand", syslog.LOG_PID)
    syslog.syslog(syslog.LOG_INFO, "stand-in ready")
    while True:
        c, _ = s.accept()
        data = b""
        while b"\\r\\n\\r\\n" not in data:
            data += c.recv(4096)
        head, _, body = data.partition(b"\\r\\n\\r\\n")
        length = next((int(l.split(b":")[1]) for l in head.split(b"\\r\\n")
                       if l.lower().startswith(b"content-length:")), 0)
        while len(body) < length:
            body += c.recv(4096)
        c.sendall(b"HTTP/1.1 200 OK\\r\\nServer: stand-in\\r\\n\\r\\n" + head + b"|" + body)
        c.shutdown(socket.SHUT_WR)
        while c.recv(1):
            pass
        c.close()
    """)


def stand_in(tmp_path, text, name="orvand"):
    path = tmp_path / name
    path.write_text(text)
    path.chmod(0o755)
    return path


def process_ids(host_pids):
    """(pid, start time) of each process: what names a process across pid reuse."""
    return [(pid, testbed._start_time(pid)) for pid in host_pids]


def still_running(processes):
    """Those of the processes that have not exited (zombies wait for the host's init,
    which is not ours to hurry)."""
    running = []
    for pid, started in processes:
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rpartition(")")[2].split()
        except OSError:
            continue
        if fields[19] == started and fields[0] != "Z":
            running.append(pid)
    return running


def test_syslog_keeps_priority_and_exact_text(make_world):
    w = make_world(daemon=False)
    senders = [
        ("logger -p user.err hello", (3, "hello")),
        ("logger -p daemon.debug -t orvand 'request 1: GET /  x'", (7, "request 1: GET /  x")),
        # glibc's own syslog(3), with its [pid] and a newline the caller put in
        ("python3 -c 'import syslog; syslog.openlog(\"probe\", syslog.LOG_PID);"
         " syslog.syslog(syslog.LOG_WARNING, \"two words\\n\")'", (4, "two words\n")),
    ]
    for command, _ in senders:
        w.run(command, check=True)
    assert w.log() == [entry for _, entry in senders]
    assert w.log_texts(priority=3) == ["hello"]
    assert w.log(ident="probe") == [(4, "two words\n")]
    assert w.wait_log(lambda priority, text: priority == 7) == senders[1][1]
    w.run("logger -p user.notice late &", check=True)
    assert w.wait_log("late", since=len(senders)) == (5, "late")


def test_proc_has_world_files_and_live_processes(make_world):
    w = make_world(daemon=False, cmdline="BOOT_IMAGE=/bzimage initrd=/bzroot safemode")
    assert w.run("cat /proc/cmdline").stdout == "BOOT_IMAGE=/bzimage initrd=/bzroot safemode\n"
    # /proc/self is the reader's own entry, numbered in the world's PID namespace.
    pid, shell = w.run("read -r pid _ < /proc/self/stat; echo $pid $$").stdout.split()
    assert pid == shell and int(pid) < testbed.PID_MAX
    w.run("sleep 300 >/dev/null 2>&1 &", check=True)
    assert len(w.run("pgrep -fx 'sleep 300'").stdout.split()) == 1
    assert "sleep 300" in w.run("ps -eo args").stdout
    mounted = w.run("mkdir /mnt/scratch && mount -t tmpfs scratch /mnt/scratch"
                    " && findmnt -no FSTYPE /mnt/scratch && grep -c ' /mnt/scratch ' /proc/mounts"
                    " && umount /mnt/scratch && ! mountpoint -q /mnt/scratch")
    assert mounted.stdout.split() == ["tmpfs", "1"], mounted.stderr
    assert w.run("echo 1 > /proc/sys/vm/drop_caches").returncode != 0


def test_changes_inside_stay_in_the_world(make_world):
    host_name = socket.gethostname()
    host_passwd = open("/etc/passwd").read()
    w = make_world(daemon=False, seeds={"/boot/config/ident.cfg": 'NAME="nas"\r\n',
                                        "/etc/zarvo-version": None})
    assert w.run("hostname").stdout == "zarvo\n"
    w.run("hostname nas2 && useradd -M probeuser && echo hi > /var/run/probe"
          " && echo '10.0.0.9 elsewhere' >> /etc/hosts", check=True)
    assert w.run("hostname").stdout == "nas2\n"
    assert socket.gethostname() == host_name
    assert "probeuser:" in w.path("/etc/passwd").read_text()
    assert open("/etc/passwd").read() == host_passwd
    assert "elsewhere" in w.path("/etc/hosts").read_text()
    assert w.path("/var/run/probe") == w.root / "run/probe"
    assert w.path("/var/run/probe").read_text() == "hi\n"
    assert w.run("cat /boot/config/ident.cfg").stdout == 'NAME="nas"\r\n'
    assert w.run("test -e /etc/zarvo-version").returncode == 1
    assert "update page" in w.run("cat /usr/local/orvan/update.htm").stdout
    # /dev takes device nodes made inside, as the disk and md simulators will need.
    assert w.run("mknod /dev/probe-zero c 1 5 && head -c 3 /dev/probe-zero | od -An -tx1"
                 ).stdout.split() == ["00", "00", "00"]
    with pytest.raises(ValueError):
        w.path("/usr/bin/bash")


def test_daemon_detaches_and_the_world_stays(make_world, tmp_path):
    w = make_world(orvand=stand_in(tmp_path, STAND_IN_DAEMON))
    [pid] = w.daemon_pids()
    w.wait_log("stand-in ready")
    # Its parent has exited: the world's reaper adopted it, and it still serves.
    assert w.run(["ps", "-o", "ppid=", "-C", "orvand"]).stdout.split() == ["1"]
    status, headers, body = w.http("POST", "/update", {"a": "x&y", "csrf_token": "T"})
    assert (status, headers) == ("HTTP/1.1 200 OK", [("Server", "stand-in")])
    assert body == (b"POST /update HTTP/1.1\r\nHost: localhost\r\n"
                    b"Content-Type: application/x-www-form-urlencoded\r\n"
                    b"Content-Length: 20|a=x%26y&csrf_token=T")
    assert w.request(b"GET /logging.htm HTTP/1.1\r\n\r\n").endswith(b"|")
    assert w.daemon_pids() == [pid]


@pytest.mark.parametrize("script, timeout, expected", [
    ("#!/bin/sh\necho 'bind: Address in use' >&2\nlogger -t orvand 'socket: failed'\nexit 1\n",
     10, ["exited with status 1", "bind: Address in use", "socket: failed"]),
    ("#!/bin/sh\nexec sleep 300\n", 0.3, ["did not detach", "made no /var/run/orvand.socket"]),
])
def test_daemon_that_fails_to_start_is_reported(world_host, tmp_path, script, timeout, expected):
    w = testbed.World(orvand=stand_in(tmp_path, script))
    with pytest.raises(testbed.WorldError) as failure:
        w.start(timeout=timeout)
    for text in expected:
        assert text in str(failure.value)
    assert not w.dir.exists()


def test_stop_leaves_nothing_behind(make_world, tmp_path):
    w = make_world(orvand=stand_in(tmp_path, STAND_IN_DAEMON))
    w.run("sleep 300 >/dev/null 2>&1 & mkdir /mnt/disk1 && mount -t tmpfs d1 /mnt/disk1",
          check=True)
    directory, processes = w.dir, process_ids(w.pids())
    assert len(processes) >= 4  # reaper, keeper, daemon, sleep
    w.stop()
    assert still_running(processes) == []
    assert not directory.exists()
    assert testbed._mounts_under(directory) == []
    w.stop()  # a second stop is harmless


def test_world_of_a_killed_owner_dies_and_is_cleared(world_host):
    owner = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(f"""\
            import json, sys, time
            sys.path.insert(0, {str(testbed.REPO)!r})
            from testbed.world import World
            w = World().start(daemon=False)
            w.run("sleep 300 >/dev/null 2>&1 &")
            print(json.dumps([str(w.dir), w.pids()]), flush=True)
            time.sleep(300)
            """)], stdout=subprocess.PIPE, text=True)
    directory, pids = json.loads(owner.stdout.readline())
    processes = process_ids(pids)
    owner.send_signal(signal.SIGKILL)
    owner.wait()
    deadline = time.monotonic() + 10
    while still_running(processes) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert still_running(processes) == []
    testbed.reap_stale()  # any world start does this; another test run may have done it
    assert not os.path.exists(directory)
