#!/usr/bin/python3 -IS
"""A stand-in for a platform tool inside a test bed world.

A copy of this program sits at each simulated tool's own path (/usr/sbin/modprobe,
/etc/rc.d/rc.nginx, ...). A call appends one line to the world's journal, then does what
the test asked for in the tool's control file: write files, print text, exit with a status.
Without a control file the tool prints nothing and succeeds.

    journal   /run/testbed/journal.jsonl, one JSON object a line:
              {"seq": 1, "tool": "modprobe", "argv": ["/sbin/modprobe", "zfs"],
               "orvand_pid": 7}
    control   /run/testbed/stand-ins/<tool>.json:
              {"exit": 0, "stdout": "", "stderr": "", "files": {"/world/path": "content"},
               "pause": 0}
              with a pause (seconds) the tool waits before each line of stdout and once
              more before it exits, flushing each line: a slow tool that reports progress

orvand_pid is the pid (as the world numbers it) of the nearest ancestor process named
orvand, or null: it tells a tool that the daemon ran in its foreground, before the detach,
from one that the detached daemon ran. Scripts of the world that are not tools, such as the
user's start-up hook, record through the same program by its own name:
`/.world/bin/stand-in NAME ARGS...` records a call of NAME with argv [NAME, ARGS...]. A
real script of the world that is journaled all the same (rc.nginx) records itself with its
path: `/.world/bin/stand-in "$0" "$@"` records a call of the path's last component with
argv ["$0", ARGS...].

Standard library only, started with -I -S: a tool call should cost little more than the
interpreter's start. So the journal line is encoded with json's C helper alone, and the
json module, whose import costs more than the rest of a call, is loaded only for a tool
that has a control file.
"""

import fcntl
import os
import sys
import time
from _json import encode_basestring_ascii as json_string

RUN = "/run/testbed"
JOURNAL = RUN + "/journal.jsonl"
CONTROL = RUN + "/stand-ins/{}.json"
RECORDER = "stand-in"


def nearest_orvand() -> int | None:
    pid = os.getppid()
    # A process entered from the host has a parent outside the world: getppid() is 0.
    while pid > 0:
        try:
            with open(f"/proc/{pid}/stat") as f:
                stat = f.read()
        except OSError:
            return None
        # "pid (comm) state ppid ...", and comm may itself hold ") ".
        head, _, rest = stat.rpartition(")")
        if head.partition("(")[2] == "orvand":
            return pid
        pid = int(rest.split()[1])
    return None


def record(tool: str, argv: list[str]) -> None:
    pid = nearest_orvand()
    rest = (f'"tool": {json_string(tool)}, "argv": [{", ".join(map(json_string, argv))}], '
            f'"orvand_pid": {"null" if pid is None else pid}}}\n')
    fd = os.open(JOURNAL, os.O_RDWR | os.O_APPEND | os.O_CREAT, 0o644)
    try:
        # The lock makes counting and appending one step for concurrent callers.
        fcntl.flock(fd, fcntl.LOCK_EX)
        seq = os.pread(fd, os.fstat(fd).st_size, 0).count(b"\n") + 1
        os.write(fd, f'{{"seq": {seq}, {rest}'.encode())
    finally:
        os.close(fd)


def behave(tool: str) -> int:
    try:
        with open(CONTROL.format(tool)) as f:
            text = f.read()
    except FileNotFoundError:
        return 0
    import json
    control = json.loads(text)
    for path, content in control.get("files", {}).items():
        os.makedirs(os.path.dirname(path) or "/", exist_ok=True)
        with open(path, "wb") as f:
            f.write(content.encode("utf-8", "surrogateescape"))
    pause = float(control.get("pause", 0))
    sys.stderr.buffer.write(control.get("stderr", "").encode("utf-8", "surrogateescape"))
    sys.stderr.flush()
    out = control.get("stdout", "").encode("utf-8", "surrogateescape")
    # Line by line, so a reader sees each line when it is printed, not when the tool ends.
    for line in out.splitlines(keepends=True) if pause else [out]:
        time.sleep(pause)
        sys.stdout.buffer.write(line)
        sys.stdout.flush()
    time.sleep(pause)
    return int(control.get("exit", 0))


def main() -> int:
    argv = sys.argv
    tool = os.path.basename(argv[0])
    if tool == RECORDER:
        if len(argv) < 2:
            print(f"usage: {argv[0]} NAME [ARG ...]", file=sys.stderr)
            return 2
        argv = argv[1:]
        tool = os.path.basename(argv[0])
    record(tool, argv)
    return behave(tool)


if __name__ == "__main__":
    sys.exit(main())
