"""The test bed world itself: isolation, its /proc, /dev and log, stand-in tools and their
journal, accounts, daemon start, teardown."""

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

# Behaves like orvand at start-up: makes its socket, runs a tool, detaches as daemon(0, 0)
# does (the parent exits, the child goes on), runs another tool through sh as system() does,
# and answers each connection with the request it read.
STAND_IN_DAEMON = textwrap.dedent("""\
    #!/usr/bin/python3
    import os, socket, syslog
    path = "/var/run/orvand.socket"
    if os.path.exists(path):
        os.unlink(path)
    s = socket.socket(socket.AF_UNIX)
    s.bind(path)
    s.listen(10)
    os.system("/usr/local/sbin/bootprep")
    if os.fork():
        os._exit(0)
    os.setsid()
    null = os.open("/dev/null", os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(null, fd)
    os.system("/etc/rc.d/rc.nginx start")
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
    # start_daemon returned once it served: all it did on the way is done
    assert w.log_texts(ident="orvand") == ["stand-in ready"]
    # Its parent has exited: the world's reaper adopted it, and it still serves.
    assert w.run(["ps", "-o", "ppid=", "-C", "orvand"]).stdout.split() == ["1"]
    # A tool run before the detach names the foreground process, one run after the daemon.
    daemon = w.daemon_world_pid()
    assert w.run(["ps", "-o", "pid=", "-C", "orvand"]).stdout.split() == [str(daemon)]
    [before], [after] = w.journal("bootprep"), w.journal("rc.nginx")
    assert before["orvand_pid"] not in (None, daemon)
    assert (after["orvand_pid"], after["argv"]) == (daemon, ["/etc/rc.d/rc.nginx", "start"])
    status, headers, body = w.http("POST", "/update", {"a": "x&y", "csrf_token": "T"})
    assert (status, headers) == ("HTTP/1.1 200 OK", [("Server", "stand-in")])
    assert body == (b"POST /update HTTP/1.1\r\nHost: localhost\r\n"
                    b"Content-Type: application/x-www-form-urlencoded\r\n"
                    b"Content-Length: 20|a=x%26y&csrf_token=T")
    assert w.request(b"GET /logging.htm HTTP/1.1\r\n\r\n").endswith(b"|")
    assert w.daemon_pids() == [pid]


def test_stand_ins_record_calls_and_do_as_told(make_world):
    nginx_ini = 'NGINX_LANNAME="tower"\n'
    w = make_world(daemon=False, stand_ins={
        "rc.nginx": {"exit": 3, "stdout": "out\n", "stderr": "err\n",
                     "files": {"/var/local/orvan/nginx.ini": nginx_ini}},
        "rc.zarvo-api": {"mode": 0o644}, "rc.bootvol_backup": None})
    # /usr/sbin, and /sbin through its link, get the stand-ins from the world's overlay
    assert w.run("findmnt -no FSTYPE /usr").stdout == "overlay\n"
    assert w.run("modprobe zfs && /sbin/rmmod zfs").returncode == 0
    told = w.run("/etc/rc.d/rc.nginx start")
    assert (told.returncode, told.stdout, told.stderr) == (3, "out\n", "err\n")
    assert w.path("/var/local/orvan/nginx.ini").read_text() == nginx_ini
    w.set_stand_in("rc.nginx", stdout="again\n")
    assert w.run("/etc/rc.d/rc.nginx reload").stdout == "again\n"
    # installed but not executable, and not installed: neither runs, nor is recorded
    assert w.run("test -f /etc/rc.d/rc.zarvo-api && ! test -x /etc/rc.d/rc.zarvo-api"
                 " && ! test -e /etc/rc.d/rc.bootvol_backup").returncode == 0
    assert w.run("/etc/rc.d/rc.zarvo-api install").returncode == 126
    # a world script that is no tool records through the recorder under its own name
    w.run(f"{testbed.RECORDER} startup one 'two words'", check=True)
    assert w.journal() == [
        {"seq": 1, "tool": "modprobe", "argv": ["/usr/sbin/modprobe", "zfs"], "orvand_pid": None},
        {"seq": 2, "tool": "rmmod", "argv": ["/sbin/rmmod", "zfs"], "orvand_pid": None},
        {"seq": 3, "tool": "rc.nginx", "argv": ["/etc/rc.d/rc.nginx", "start"],
         "orvand_pid": None},
        {"seq": 4, "tool": "rc.nginx", "argv": ["/etc/rc.d/rc.nginx", "reload"],
         "orvand_pid": None},
        {"seq": 5, "tool": "startup", "argv": ["startup", "one", "two words"],
         "orvand_pid": None}]
    assert [e["seq"] for e in w.journal("rc.nginx")] == [3, 4]
    with pytest.raises(testbed.WorldError):
        w.set_stand_in("rc.bootvol_backup", exit=1)
    # the overlay is the world's alone
    with open("/proc/self/mountinfo") as f:
        assert not [line for line in f if line.split()[4] == "/usr" and " overlay " in line]


def test_accounts_are_added_with_their_passwords(make_world):
    w = make_world(daemon=False, accounts=[
        {"name": "alice", "uid": 1000, "desc": "Alice", "password": "secret"},
        {"name": "bob", "uid": 1001}])
    passwd = w.path("/etc/passwd").read_text().splitlines()
    assert passwd[-2:] == ["alice:x:1000:100:Alice:/:/bin/false", "bob:x:1001:100::/:/bin/false"]
    # of the host's accounts only root and the system ones are there, and nobody is 99
    uids = {line.split(":")[0]: int(line.split(":")[2]) for line in passwd}
    assert [name for name, uid in uids.items() if uid >= 1000] == ["alice", "bob"]
    assert (uids["root"], uids.get("nobody", 99)) == (0, 99)
    shadow = {line.split(":")[0]: line.split(":")[1]
              for line in w.path("/etc/shadow").read_text().splitlines()}
    assert "root" in shadow and shadow["bob"] == "!"
    salt = shadow["alice"].split("$")[2]
    again = subprocess.run(["openssl", "passwd", "-6", "-salt", salt, "secret"],
                           capture_output=True, text=True, check=True).stdout.strip()
    assert shadow["alice"] == again
    # the world's own account tools read them
    assert w.run("id -u alice && passwd -S bob | cut -d' ' -f2").stdout.split() == ["1000", "L"]


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


def host_loops_of(directory):
    """The host's loop devices (losetup's view) backed by a file under directory."""
    out = subprocess.run(["losetup", "--list", "--noheadings", "-O", "NAME,BACK-FILE"],
                         capture_output=True, text=True, check=True).stdout
    return [line.split()[0] for line in out.splitlines() if str(directory) + "/" in line]


SCRATCH_DISK = {"name": "sdb", "transport": "usb", "vendor": "Generic", "model": "Scratch",
                "serial": "0001", "size": "64M", "controller": "host4"}


def test_stop_leaves_nothing_behind(make_world, tmp_path):
    boot = json.loads(testbed.DEFAULT_MACHINE.read_text())["disks"]
    w = make_world(orvand=stand_in(tmp_path, STAND_IN_DAEMON),
                   machine={"disks": boot + [SCRATCH_DISK]})
    # A mounted disk and a disk held open keep their loop devices busy until the end.
    w.run("sleep 300 >/dev/null 2>&1 </dev/sda1 & mkdir /mnt/disk1 && mount -t tmpfs d1 /mnt/disk1"
          " && mkfs.ext4 -q /dev/sdb && mkdir /mnt/disk2 && mount /dev/sdb /mnt/disk2", check=True)
    directory, processes = w.dir, process_ids(w.pids())
    assert len(processes) >= 4  # reaper, keeper, daemon, sleep
    assert len(host_loops_of(directory)) == 3  # sda, sda1, sdb
    w.stop()
    assert still_running(processes) == []
    assert not directory.exists()
    assert testbed._mounts_under(directory) == []
    assert host_loops_of(directory) == []
    w.stop()  # a second stop is harmless


def test_world_of_a_killed_owner_dies_and_is_cleared(world_host):
    owner = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(f"""\
            import json, sys, time
            sys.path.insert(0, {str(testbed.REPO)!r})
            from testbed.world import World
            w = World().start(daemon=False)
            w.run("sleep 300 >/dev/null 2>&1 </dev/sda &")
            print(json.dumps([str(w.dir), w.pids()]), flush=True)
            time.sleep(300)
            """)], stdout=subprocess.PIPE, text=True)
    directory, pids = json.loads(owner.stdout.readline())
    processes = process_ids(pids)
    assert len(host_loops_of(directory)) == 2
    owner.send_signal(signal.SIGKILL)
    owner.wait()
    deadline = time.monotonic() + 10
    while (still_running(processes) or host_loops_of(directory)) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert still_running(processes) == []
    # the loop devices cleared themselves with their last user
    assert host_loops_of(directory) == []
    testbed.reap_stale()  # any world start does this; another test run may have done it
    assert not os.path.exists(directory)
