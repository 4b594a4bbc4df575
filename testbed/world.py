"""A world: one simulated NAS host in a throw-away bubblewrap sandbox.

A world is a set of host directories under a private temporary directory, bound into a
bubblewrap sandbox that runs as root in its own mount, UTS, IPC and PID namespaces:

    /boot /etc /var /mnt /root /run /tmp /usr/local    world-owned host directories
                                                       (/etc starts as a copy of the host's)
    /usr                                               the host's, read-only
    /bin /sbin /lib /lib64 ...                         the host's links into /usr
    /dev                                               world-owned, bound with device access,
                                                       so nodes made inside can be opened;
                                                       /dev/log is the test bed's syslog socket
    /proc                                              world-owned: links into a real procfs
                                                       (mounted at /.world/proc) beside files
                                                       the world provides, such as cmdline
    /sys                                               world-owned, empty for now

Because the directories live on the host, a test reads and seeds a world's files through
`World.path()` without entering it. The sandbox's first process is bwrap's reaper (pid 1);
its command, the keeper, does the little setup that needs the world's namespaces and then
sleeps. The world lives exactly as long as the keeper: everything else, the daemon
included, may come and go. Killing pid 1 ends the PID namespace, which kills every process
in it, and with the last process the mount namespace and its mounts disappear.

Only the Python standard library is used; run with /usr/bin/python3.
"""

from __future__ import annotations

import atexit
import collections
import functools
import json
import os
import pathlib
import re
import select
import shutil
import signal
import socket
import stat
import subprocess
import tempfile
import threading
import time
import urllib.parse
import weakref
from typing import Callable, Iterable, Mapping, Sequence

REPO = pathlib.Path(__file__).resolve().parent.parent
WEBGUI = pathlib.Path(__file__).resolve().parent / "webgui"

DEFAULT_CMDLINE = "BOOT_IMAGE=/bzimage initrd=/bzroot"
DEFAULT_HOSTNAME = "zarvo"
DEFAULT_VERSION = "6.12.0"

DAEMON = "/usr/local/sbin/orvand"
SOCKET = "/var/run/orvand.socket"

# Directories whose content lives on the host and belongs to one world.
OWNED = ("boot", "etc", "var", "mnt", "root", "run", "tmp", "usr/local", "dev", "proc", "sys")

# The world's PID namespace gets its own pid_max, so a fixed set of /proc/<pid> links
# covers every pid that can exist in it.
PID_MAX = 4096

# The real procfs, where the links in the world's /proc point.
PROCFS = "/.world/proc"

# Files /proc gets from the world instead of from the kernel.
PROC_PROVIDED = ("cmdline",)

WORLD_ENV = {
    "PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
    "HOME": "/root",
    "USER": "root",
    "LOGNAME": "root",
    "SHELL": "/bin/bash",
    "LANG": "C",
}

PREFIX = "orvan-world-"

PRIORITY_NAMES = ("emerg", "alert", "crit", "err", "warning", "notice", "info", "debug")


def _mount_of(path: str) -> tuple[str, set[str]]:
    """(file system type, mount options) of the host mount that holds path."""
    best, fstype, options = "", "", set()
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            point = fields[4]
            inside = path == point or path.startswith(point.rstrip("/") + "/")
            if inside and len(point) >= len(best):
                sep = fields.index("-")
                best, fstype, options = point, fields[sep + 1], set(fields[5].split(","))
    return fstype, options


def worlds_base() -> pathlib.Path:
    """Where worlds are made: a roomy tmpfs when the host has one, since a world is
    thousands of small files made and removed in a moment, and a disk makes that slow.
    Device nodes and the daemon live there, so it must allow both."""
    override = os.environ.get("ORVAN_WORLDS")
    if override:
        return pathlib.Path(override)
    try:
        fstype, options = _mount_of("/dev/shm")
        st = os.statvfs("/dev/shm")
        if (fstype == "tmpfs" and not options & {"nodev", "noexec"}
                and st.f_bavail * st.f_frsize >= 1 << 30):
            return pathlib.Path("/dev/shm")
    except OSError:
        pass
    return pathlib.Path(tempfile.gettempdir())


class WorldError(RuntimeError):
    """A world could not be built, started or used."""


class WorldUnavailable(WorldError):
    """This machine lacks something every world needs; the message says what."""


def default_orvand() -> pathlib.Path:
    """The daemon a world runs unless told otherwise: $ORVAND_BUILD/orvand."""
    build = os.environ.get("ORVAND_BUILD") or str(REPO / "build" / "release")
    return pathlib.Path(build) / "orvand"


@functools.cache
def unavailable() -> str | None:
    """Why no world can run on this machine, or None when worlds work. Checked once."""
    if os.geteuid() != 0:
        return f"worlds run as root, and this process runs as uid {os.geteuid()}"
    for tool, package in (("bwrap", "bubblewrap"), ("nsenter", "util-linux")):
        if shutil.which(tool) is None:
            return f"{tool} is not installed (Debian package {package}; scripts/setup installs it)"
    base = worlds_base()
    _, options = _mount_of(str(base.resolve()))
    if options & {"nodev", "noexec"}:
        return (f"worlds are made in {base}, which is mounted "
                f"{','.join(sorted(options & {'nodev', 'noexec'}))}; set ORVAN_WORLDS to a "
                "directory whose file system allows device nodes and programs")
    probe = ["bwrap", "--unshare-pid", "--unshare-uts", "--unshare-ipc", "--cap-add", "ALL",
             "--ro-bind", "/usr", "/usr", *_host_links(), "--proc", "/proc", "--",
             "/usr/bin/true"]
    try:
        r = subprocess.run(probe, capture_output=True, text=True, timeout=10,
                           stdin=subprocess.DEVNULL)
    except (OSError, subprocess.TimeoutExpired) as e:
        return f"bwrap cannot start a sandbox here: {e}"
    if r.returncode != 0:
        return ("bwrap cannot make a sandbox with private PID, UTS and IPC namespaces here: "
                + (r.stderr.strip() or f"exit status {r.returncode}"))
    return None


def _host_links() -> list[str]:
    """bwrap arguments that give the world the host's top-level links into /usr."""
    args = []
    for name in ("bin", "sbin", "lib", "lib32", "lib64", "libx32"):
        host = "/" + name
        if os.path.islink(host):
            args += ["--symlink", os.readlink(host), host]
        elif os.path.isdir(host):
            args += ["--ro-bind", host, host]
    return args


# ---------------------------------------------------------------------------------------
# System log


class _SyslogReceiver:
    """The world's /dev/log: a datagram socket whose messages are kept in arrival order.

    A thread drains the socket so a sender never blocks on a full queue; readers drain it
    too, under the same lock, so a message sent before a read is always part of it.
    """

    # glibc: "<PRI>Mmm dd hh:mm:ss ident[pid]: message"; util-linux logger sends the same.
    HEADER = re.compile(rb"<(\d{1,3})>(?:[A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d )?")
    IDENT = re.compile(rb"([^\s\[\]:]*)(?:\[(\d+)\])?: ")

    def __init__(self, path: pathlib.Path):
        self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self._sock.bind(str(path))
        os.chmod(path, 0o666)
        self._sock.setblocking(False)
        self._cond = threading.Condition()
        self.entries: list[tuple[int, str, str, int | None]] = []
        self._closed = False
        self._wake_r, self._wake_w = os.pipe()
        self._thread = threading.Thread(target=self._run, name=f"syslog {path}", daemon=True)
        self._thread.start()

    @classmethod
    def parse(cls, data: bytes) -> tuple[int, str, str, int | None]:
        """(priority, text, ident, pid) of one datagram; text is kept byte for byte."""
        m = cls.HEADER.match(data)
        if not m:
            return 6, data.decode("utf-8", "surrogateescape"), "", None
        priority = int(m.group(1)) & 7
        rest = data[m.end():]
        ident, pid = "", None
        im = cls.IDENT.match(rest)
        if im:
            ident = im.group(1).decode("utf-8", "surrogateescape")
            pid = int(im.group(2)) if im.group(2) else None
            rest = rest[im.end():]
        return priority, rest.decode("utf-8", "surrogateescape"), ident, pid

    def _drain(self) -> None:
        with self._cond:
            got = False
            while not self._closed:
                try:
                    data = self._sock.recv(1 << 18)
                except (BlockingIOError, InterruptedError):
                    break
                except OSError:
                    break
                self.entries.append(self.parse(data))
                got = True
            if got:
                self._cond.notify_all()

    def _run(self) -> None:
        while not self._closed:
            try:
                ready, _, _ = select.select([self._sock, self._wake_r], [], [])
            except (OSError, ValueError):
                return
            if self._sock in ready:
                self._drain()

    def snapshot(self) -> list[tuple[int, str, str, int | None]]:
        self._drain()
        with self._cond:
            return list(self.entries)

    def wait(self, timeout: float) -> None:
        """Waits until more messages may have arrived or the timeout passes."""
        with self._cond:
            self._cond.wait(timeout)

    def close(self) -> None:
        """Stops receiving; the messages received so far stay readable."""
        if self._closed:
            return
        self._drain()
        with self._cond:
            self._closed = True
            self._cond.notify_all()
        os.write(self._wake_w, b"x")
        self._thread.join(2)
        self._sock.close()
        os.close(self._wake_r)
        os.close(self._wake_w)


def format_entry(priority: int, text: str, ident: str = "") -> str:
    """One log entry as a line for people: "err     orvand: text"."""
    name = PRIORITY_NAMES[priority] if 0 <= priority < 8 else str(priority)
    who = f"{ident}: " if ident else ""
    return f"{name:<7} {who}{text.rstrip(chr(13) + chr(10))}"


# ---------------------------------------------------------------------------------------
# HTTP over the daemon's socket


def parse_response(raw: bytes) -> tuple[str, list[tuple[str, str]], bytes]:
    """(status line, [(name, value)] in order, body) of one raw HTTP response."""
    head, sep, body = raw.partition(b"\r\n\r\n")
    if not sep:
        raise ValueError(f"no complete response header in {raw!r}")
    lines = head.decode("latin-1").split("\r\n")
    headers = []
    for line in lines[1:]:
        name, colon, value = line.partition(":")
        if not colon:
            raise ValueError(f"malformed header line {line!r} in {raw!r}")
        headers.append((name, value.strip()))
    return lines[0], headers, body


def read_settings(path: os.PathLike | str) -> dict[str, str] | None:
    """The keys of a settings or state file (key="value" lines), or None if it is missing."""
    try:
        text = pathlib.Path(path).read_text(errors="surrogateescape")
    except FileNotFoundError:
        return None
    keys = {}
    for line in text.splitlines():
        line = line.rstrip("\r")
        if not line or line[0] in "#;[":
            continue
        key, eq, value = line.partition("=")
        if not eq:
            continue
        value = value.strip()
        if len(value) >= 2 and value[0] == value[-1] == '"':
            value = value[1:-1]
        keys[key.strip()] = value
    return keys


# ---------------------------------------------------------------------------------------
# Leftovers of worlds whose owner died without tearing them down


def _start_time(pid: int) -> str | None:
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rpartition(")")[2].split()[19]
    except (OSError, IndexError):
        return None


def _mounts_under(directory: pathlib.Path) -> list[str]:
    """Host mount points at or below directory (there should never be any)."""
    prefix = str(directory).rstrip("/") + "/"
    found = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            point = line.split()[4].encode().decode("unicode_escape")
            if point == prefix[:-1] or point.startswith(prefix):
                found.append(point)
    return found


def _remove_tree(directory: pathlib.Path) -> None:
    """Removes a world's directory, refusing to descend into anything mounted there."""
    mounts = _mounts_under(directory)
    for point in sorted(mounts, reverse=True):
        subprocess.run(["umount", "-l", point], capture_output=True)
    if _mounts_under(directory):
        raise WorldError(f"{directory} still has mounts {mounts}; not removing it")

    def vanished(_function, _path, exc_info):
        # Another process clearing the same leftovers may remove entries under us.
        if not issubclass(exc_info[0], FileNotFoundError):
            raise exc_info[1]

    shutil.rmtree(directory, onerror=vanished)


def reap_stale() -> list[pathlib.Path]:
    """Removes the directories of worlds whose owning process is gone."""
    removed = []
    base = worlds_base()
    for d in base.glob(PREFIX + "*"):
        try:
            info = json.loads((d / "world.json").read_text())
        except (OSError, ValueError):
            # Half-made: only remove it once it is clearly not being made right now.
            try:
                if time.time() - d.stat().st_mtime < 60:
                    continue
            except OSError:
                continue
            info = {}
        owner = info.get("owner")
        if owner and _start_time(owner) == info.get("owner_start"):
            continue
        sandbox = info.get("sandbox_pid")
        if sandbox and _start_time(sandbox) == info.get("sandbox_start"):
            try:
                os.kill(sandbox, signal.SIGKILL)
            except ProcessLookupError:
                pass
        # Renamed first, so a world start in another process that reaps at the same time
        # finds it gone instead of half removed.
        trash = d if ".removing-" in d.name else d.with_name(f"{d.name}.removing-{os.getpid()}")
        try:
            if trash != d:
                d.rename(trash)
            removed.append(d)
            _remove_tree(trash)
        except (WorldError, OSError):
            pass
    return removed


_live: "weakref.WeakSet[World]" = weakref.WeakSet()


@atexit.register
def _stop_all() -> None:
    for w in list(_live):
        w.stop()


# ---------------------------------------------------------------------------------------


class World:
    """One simulated NAS host. Use as `with World() as w:` or start() / stop().

    The sandbox is bound to the thread that starts it (bwrap's --die-with-parent follows
    the thread), so start and stop a world from a thread that outlives it.
    """

    def __init__(self, orvand: os.PathLike | str | None = None,
                 seeds: Mapping[str, str | bytes | None] | None = None,
                 cmdline: str | None = None,
                 machine: Mapping | os.PathLike | str | None = None,
                 hostname: str | None = None):
        """
        orvand: the daemon binary to install at /usr/local/sbin/orvand
            (default: $ORVAND_BUILD/orvand, ORVAND_BUILD defaulting to build/release).
        seeds: world path -> content (str or bytes, written as is) written before start;
            None removes a file the world would otherwise have (e.g. /etc/zarvo-version).
        cmdline: the kernel command line in /proc/cmdline
            (default "BOOT_IMAGE=/bzimage initrd=/bzroot"; a newline is added as the kernel does).
        machine: a machine description, a mapping or a JSON file, with any of the keys
            "hostname", "cmdline" and "seeds"; the arguments above win over it.
        hostname: the world's host name (default "zarvo").
        """
        desc = self._load_machine(machine)
        self.orvand_explicit = orvand is not None
        self.orvand = pathlib.Path(orvand) if orvand is not None else default_orvand()
        self.cmdline = cmdline if cmdline is not None else desc.get("cmdline", DEFAULT_CMDLINE)
        self.hostname = hostname or desc.get("hostname", DEFAULT_HOSTNAME)
        self.seeds = {**desc.get("seeds", {}), **(seeds or {})}
        self.dir: pathlib.Path | None = None
        self._bwrap: subprocess.Popen | None = None
        self._sandbox_pid: int | None = None
        self._pidns: str | None = None
        self._syslog: _SyslogReceiver | None = None
        self._launchers: list[subprocess.Popen] = []

    @staticmethod
    def _load_machine(machine) -> dict:
        if machine is None:
            return {}
        if not isinstance(machine, Mapping):
            machine = json.loads(pathlib.Path(machine).read_text())
        unknown = set(machine) - {"hostname", "cmdline", "seeds"}
        if unknown:
            raise WorldError(f"machine description keys not supported yet: {sorted(unknown)}")
        return dict(machine)

    # -- life cycle ----------------------------------------------------------------------

    def __enter__(self) -> "World":
        if not self.running:
            self.start()
        return self

    def __exit__(self, *exc) -> None:
        self.stop()

    def __repr__(self) -> str:
        return f"<World {self.id or '(not started)'}>"

    @property
    def id(self) -> str | None:
        return self.dir.name[len(PREFIX):] if self.dir else None

    @property
    def root(self) -> pathlib.Path:
        """The host directory that holds the world's own directories."""
        if self.dir is None:
            raise WorldError("the world is not started")
        return self.dir / "root"

    @property
    def running(self) -> bool:
        return self._bwrap is not None and self._bwrap.poll() is None

    def start(self, daemon: bool = True, timeout: float = 10) -> "World":
        """Builds the world's tree, starts the sandbox and, with daemon=True, orvand in it."""
        if self.dir is not None:
            raise WorldError(f"{self!r} was already started")
        reason = unavailable()
        if reason:
            raise WorldUnavailable(reason)
        reap_stale()
        self.dir = pathlib.Path(tempfile.mkdtemp(prefix=PREFIX, dir=worlds_base()))
        _live.add(self)
        try:
            self._build()
            self._syslog = _SyslogReceiver(self.root / "dev" / "log")
            self._launch(timeout)
            if daemon:
                self.start_daemon(timeout=timeout)
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self) -> None:
        """Kills everything in the world and removes it; nothing of it is left afterwards."""
        if self._sandbox_pid is not None:
            try:
                # pid 1 of the world's PID namespace: the kernel kills the rest with it.
                os.kill(self._sandbox_pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        if self._bwrap is not None:
            if self._bwrap.poll() is None and self._sandbox_pid is None:
                self._bwrap.kill()
            try:
                self._bwrap.wait(10)
            except subprocess.TimeoutExpired:
                self._bwrap.kill()
                self._bwrap.wait()
        for p in self._launchers:
            if p.poll() is None:
                p.kill()
            p.wait()
        self._launchers.clear()
        if self._syslog is not None:
            self._syslog.close()
        if self.dir is not None and self.dir.exists():
            _remove_tree(self.dir)
        _live.discard(self)
        # Namespace inode numbers are reused by later worlds: forget ours.
        self._sandbox_pid = self._pidns = None
        self._bwrap = None

    # -- building ------------------------------------------------------------------------

    def _build(self) -> None:
        r = self.root
        for d in ("boot/config", "mnt", "run/lock", "usr/local/bin", "usr/local/sbin",
                  "usr/local/lib", "usr/local/share", "usr/local/orvan/webGui/scripts",
                  "var/log", "var/tmp", "var/lib", "var/local", "var/cache", "var/spool/mail",
                  "dev/pts", "dev/shm", "dev/mqueue", "sys", "proc"):
            (r / d).mkdir(parents=True, exist_ok=True)
        (r / "root").mkdir(mode=0o700)
        (r / "tmp").mkdir()
        os.chmod(r / "tmp", 0o1777)
        os.chmod(r / "var/tmp", 0o1777)
        # Relative, so the links resolve the same on the host side as inside.
        os.symlink("../run", r / "var/run")
        os.symlink("../run/lock", r / "var/lock")

        shutil.copytree("/etc", r / "etc", symlinks=True)
        (r / "etc/hostname").write_text(self.hostname + "\n")
        (r / "etc/hosts").write_text(f"127.0.0.1\t{self.hostname} localhost\n"
                                     "::1\tlocalhost ip6-localhost ip6-loopback\n")
        (r / "etc/zarvo-version").write_text(f'version="{DEFAULT_VERSION}"\n')

        self._build_dev(r / "dev")
        self._build_proc(r / "proc")

        gui = r / "usr/local/orvan"
        for page in WEBGUI.glob("*.htm"):
            shutil.copy(page, gui / page.name)
        if self.orvand.is_file():
            shutil.copy(self.orvand, r / DAEMON.lstrip("/"))
            os.chmod(r / DAEMON.lstrip("/"), 0o755)
        elif self.orvand_explicit:
            raise WorldError(f"the daemon to install, {self.orvand}, does not exist")

        for world_path, content in self.seeds.items():
            self._seed(world_path, content)

    @staticmethod
    def _build_dev(dev: pathlib.Path) -> None:
        for name, major, minor in (("null", 1, 3), ("zero", 1, 5), ("full", 1, 7),
                                   ("random", 1, 8), ("urandom", 1, 9), ("tty", 5, 0)):
            os.mknod(dev / name, stat.S_IFCHR | 0o666, os.makedev(major, minor))
            os.chmod(dev / name, 0o666)  # mknod's mode is masked by the umask
        for name, target in (("fd", "/proc/self/fd"), ("stdin", "/proc/self/fd/0"),
                             ("stdout", "/proc/self/fd/1"), ("stderr", "/proc/self/fd/2"),
                             ("ptmx", "pts/ptmx")):
            os.symlink(target, dev / name)

    def _build_proc(self, proc: pathlib.Path) -> None:
        for name in os.listdir("/proc"):
            if not name[0].isdigit() and name not in PROC_PROVIDED:
                os.symlink(f"{PROCFS}/{name}", proc / name)
        # tmpfs lists the newest entry first; made from the top down, pids list in order.
        for pid in range(PID_MAX - 1, 0, -1):
            os.symlink(f"{PROCFS}/{pid}", proc / str(pid))
        text = self.cmdline if self.cmdline.endswith("\n") else self.cmdline + "\n"
        (proc / "cmdline").write_text(text)

    def _seed(self, world_path: str, content: str | bytes | None) -> None:
        target = self.path(world_path, follow=False)
        if content is None:
            if target.is_dir() and not target.is_symlink():
                shutil.rmtree(target)
            else:
                target.unlink(missing_ok=True)
            return
        target.parent.mkdir(parents=True, exist_ok=True)
        if target.is_symlink():
            target.unlink()
        if isinstance(content, str):
            content = content.encode()
        target.write_bytes(content)

    def _bwrap_args(self) -> list[str]:
        r = self.root
        args = ["bwrap", "--unshare-pid", "--unshare-uts", "--unshare-ipc",
                "--cap-add", "ALL", "--die-with-parent", "--hostname", self.hostname,
                "--ro-bind", "/usr", "/usr", "--bind", str(r / "usr/local"), "/usr/local",
                *_host_links(),
                "--proc", PROCFS,
                "--bind", str(r / "proc"), "/proc",
                "--dev-bind", str(r / "dev"), "/dev",
                "--perms", "1777", "--tmpfs", "/dev/shm",
                "--mqueue", "/dev/mqueue",
                "--bind", str(r / "sys"), "/sys"]
        for d in ("boot", "etc", "var", "mnt", "root", "run", "tmp"):
            args += ["--bind", str(r / d), "/" + d]
        return args + ["--chdir", "/"]

    def _launch(self, timeout: float) -> None:
        ready_r, ready_w = os.pipe()
        info_r, info_w = os.pipe()
        # The keeper: what needs the world's own namespaces, then a sleep that is the
        # world's life. pid_max is per PID namespace, which bounds the /proc/<pid> links;
        # /proc/sys is made read-only because most of it is the host kernel's, not ours.
        keeper = (
            "set -e\n"
            f"echo {PID_MAX} > {PROCFS}/sys/kernel/pid_max\n"
            f"mount --bind -o ro {PROCFS}/sys {PROCFS}/sys\n"
            "mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts /dev/pts\n"
            f"echo ready >&{ready_w}\n"
            f"exec {ready_w}>&-\n"
            "exec sleep infinity\n")
        out = open(self.dir / "world.out", "wb")
        try:
            self._bwrap = subprocess.Popen(
                [*self._bwrap_args(), "--info-fd", str(info_w), "/bin/bash", "-c", keeper],
                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                pass_fds=(ready_w, info_w), env=WORLD_ENV,
                # Ctrl-C in a terminal belongs to the owner, who tears the world down.
                start_new_session=True)
        finally:
            out.close()
            os.close(ready_w)
            os.close(info_w)
        try:
            ready = _read_with_timeout(ready_r, timeout)
            info = _read_with_timeout(info_r, 1) if ready else b""
        finally:
            os.close(ready_r)
            os.close(info_r)
        if ready != b"ready\n" or not info:
            self._bwrap.kill()
            self._bwrap.wait()
            raise WorldError("the world's sandbox did not start:\n"
                             + (self.dir / "world.out").read_text(errors="replace"))
        info = json.loads(info)
        self._sandbox_pid = info["child-pid"]
        self._pidns = os.readlink(f"/proc/{self._sandbox_pid}/ns/pid")
        record = {"owner": os.getpid(), "owner_start": _start_time(os.getpid()),
                  "sandbox_pid": self._sandbox_pid,
                  "sandbox_start": _start_time(self._sandbox_pid),
                  "root": str(self.root), "hostname": self.hostname}
        tmp = self.dir / "world.json.new"
        tmp.write_text(json.dumps(record, indent=1) + "\n")
        tmp.rename(self.dir / "world.json")

    # -- the daemon ----------------------------------------------------------------------

    def start_daemon(self, args: Sequence[str] = (), timeout: float = 10) -> None:
        """Runs /usr/local/sbin/orvand and waits until it has its socket and has detached."""
        self._require_running()
        if not self.path(DAEMON).is_file():
            raise WorldError(f"no daemon in the world: {self.orvand} is missing "
                             "(build it, or start the world with daemon=False)")
        socket_file = pathlib.Path(self.socket_path)
        out_path = self.dir / "daemon.out"
        with open(out_path, "ab") as out:
            p = subprocess.Popen(self._enter_argv([DAEMON, *args]), stdin=subprocess.DEVNULL,
                                 stdout=out, stderr=subprocess.STDOUT, env=WORLD_ENV,
                                 start_new_session=True)
        self._launchers.append(p)
        deadline = time.monotonic() + timeout
        while True:
            status = p.poll()
            if status is not None and status != 0:
                problem = f"orvand exited with status {status} during start-up"
                break
            if status == 0 and _is_socket(socket_file):
                self._launchers.remove(p)
                return
            if time.monotonic() > deadline:
                if status is None:
                    problem = (f"orvand did not detach within {timeout} s"
                               + ("" if _is_socket(socket_file) else f" and made no {SOCKET}"))
                else:
                    problem = f"orvand detached but made no {SOCKET} within {timeout} s"
                break
            time.sleep(0.01)
        output = out_path.read_text(errors="replace").strip() or "(none)"
        log = "\n".join(format_entry(p_, t, i) for p_, t, i, _ in self._syslog.snapshot())
        raise WorldError(f"{problem}\n--- its output:\n{output}\n--- system log:\n"
                         f"{log or '(empty)'}")

    def daemon_pids(self) -> list[int]:
        """Host pids of the orvand processes in the world."""
        return self.pids("orvand")

    def pids(self, name: str | None = None) -> list[int]:
        """Host pids of the world's processes (with a name: those whose comm is name)."""
        if self._pidns is None:
            return []
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                if os.readlink(f"/proc/{entry}/ns/pid") != self._pidns:
                    continue
                if name is not None:
                    with open(f"/proc/{entry}/comm") as f:
                        if f.read().rstrip("\n") != name[:15]:
                            continue
            except OSError:
                continue
            found.append(int(entry))
        return sorted(found)

    # -- inside the world ----------------------------------------------------------------

    def _require_running(self) -> None:
        if not self.running or self._sandbox_pid is None:
            raise WorldError(f"{self!r} is not running")

    def _enter_argv(self, argv: Sequence[str]) -> list[str]:
        return ["nsenter", "-t", str(self._sandbox_pid), "-m", "-u", "-i", "-p", "-r", "-w",
                "--", *argv]

    def enter_argv(self, cmd: str | Sequence[str] = ("/bin/bash", "-l")) -> list[str]:
        """The host command line that runs cmd inside the world (for a shell, say)."""
        self._require_running()
        return self._enter_argv(["/bin/bash", "-c", cmd] if isinstance(cmd, str) else cmd)

    def run(self, cmd: str | Sequence[str], check: bool = False, timeout: float = 30,
            input: str | bytes | None = None) -> subprocess.CompletedProcess:
        """Runs a command inside the world as root (a str through bash -c), output as text.

        The command's stdout and stderr are captured until they close: a process it leaves
        in the background must redirect them, or the call waits for it.
        """
        argv = self.enter_argv(cmd)
        # Bytes in and out, decoded here: text mode would turn CR LF into LF, and line
        # endings are part of what the tests look at.
        p = subprocess.Popen(argv, stdin=subprocess.PIPE if input is not None else
                             subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=WORLD_ENV, start_new_session=True)
        data = input.encode() if isinstance(input, str) else input
        try:
            out, err = p.communicate(data, timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            out, err = p.communicate()
            raise subprocess.TimeoutExpired(cmd, timeout, _text(out), _text(err)) from None
        result = subprocess.CompletedProcess(cmd, p.returncode, _text(out), _text(err))
        if check and p.returncode != 0:
            raise subprocess.CalledProcessError(p.returncode, cmd, result.stdout,
                                                result.stderr)
        return result

    # -- files ---------------------------------------------------------------------------

    def path(self, p: str, follow: bool = True) -> pathlib.Path:
        """The host path of a world path in one of the world-owned directories.

        Links are resolved as the world sees them; with follow=False a last component that
        is a link is returned itself. Mounts made inside the world are not seen here.
        """
        if not p.startswith("/"):
            raise ValueError(f"world paths are absolute: {p!r}")
        parts = collections.deque(pathlib.PurePosixPath(p).parts[1:])
        resolved: list[str] = []
        hops = 0
        while parts:
            part = parts.popleft()
            if part == "..":
                if resolved:
                    resolved.pop()
                continue
            if part == ".":
                continue
            host = self.root.joinpath(*resolved, part)
            if host.is_symlink() and (follow or parts):
                hops += 1
                if hops > 40:
                    raise ValueError(f"too many levels of links in {p!r}")
                target = pathlib.PurePosixPath(os.readlink(host))
                if target.is_absolute():
                    resolved = []
                    parts.extendleft(reversed(target.parts[1:]))
                else:
                    parts.extendleft(reversed(target.parts))
                continue
            resolved.append(part)
        inside = "/".join(resolved)
        if not any(inside == d or inside.startswith(d + "/") for d in OWNED):
            raise ValueError(f"{p!r} is /{inside} in the world, which is not in a "
                             f"world-owned directory ({', '.join('/' + d for d in OWNED)})")
        return self.root / inside

    @property
    def socket_path(self) -> str:
        """The host path of the daemon's socket /var/run/orvand.socket."""
        return str(self.path(SOCKET))

    def settings(self, world_path: str) -> dict[str, str] | None:
        """The keys of a settings or state file of the world, or None if it is missing."""
        return read_settings(self.path(world_path))

    def csrf_token(self) -> str | None:
        """The daemon's CSRF token as published in /var/local/orvan/var.ini, if it is."""
        return (self.settings("/var/local/orvan/var.ini") or {}).get("csrf_token")

    # -- system log ----------------------------------------------------------------------

    def _entries(self, ident: str | None):
        if self._syslog is None:
            return []
        return [e for e in self._syslog.snapshot() if ident is None or e[2] == ident]

    def log(self, ident: str | None = None) -> list[tuple[int, str]]:
        """Every syslog message so far as (priority, text); ident keeps one program's."""
        return [(p, t) for p, t, _, _ in self._entries(ident)]

    def log_texts(self, priority: int | None = None, ident: str | None = None) -> list[str]:
        """The texts of the messages so far, those of one priority if given."""
        return [t for p, t, _, _ in self._entries(ident) if priority is None or p == priority]

    def log_lines(self) -> list[str]:
        """The log as lines for people, to put in an assertion's message."""
        return [format_entry(p, t, i) for p, t, i, _ in self._entries(None)]

    def wait_log(self, what: str | Callable[[int, str], bool], timeout: float = 5,
                 since: int = 0) -> tuple[int, str]:
        """Waits for a message whose text contains what (a str) or for which
        what(priority, text) is true, among the messages from index since on; returns it."""
        match = (lambda p, t: what in t) if isinstance(what, str) else what
        deadline = time.monotonic() + timeout
        while True:
            for p, t in self.log()[since:]:
                if match(p, t):
                    return p, t
            left = deadline - time.monotonic()
            if left <= 0:
                log = "\n".join(self.log_lines()) or "(empty)"
                raise AssertionError(f"no log message matching {what!r} within {timeout} s;"
                                     f" the log:\n{log}")
            self._syslog.wait(min(left, 0.1))

    # -- requests ------------------------------------------------------------------------

    def request(self, raw: bytes, timeout: float = 10) -> bytes:
        """Sends raw bytes to the daemon's socket and returns all it answers until it closes."""
        deadline = time.monotonic() + timeout
        got = []
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(timeout)
            s.connect(self.socket_path)
            try:
                s.sendall(raw)
            except (BrokenPipeError, ConnectionResetError):
                pass  # it stopped reading, as it may on a refused request: read its answer
            while True:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(f"orvand did not close the connection within "
                                       f"{timeout} s; it sent {b''.join(got)!r}")
                s.settimeout(left)
                try:
                    data = s.recv(65536)
                except socket.timeout:
                    continue
                except ConnectionResetError:
                    break
                if not data:
                    break
                got.append(data)
        return b"".join(got)

    def http(self, method: str, path: str, body: str | bytes | Mapping | Iterable | None = None,
             headers: Mapping[str, str] | Iterable[tuple[str, str]] | None = None,
             timeout: float = 10) -> tuple[str, list[tuple[str, str]], bytes]:
        """A well-formed request; returns (status line, [(name, value)], body).

        body may be text, bytes, or fields (a mapping or (name, value) pairs) to encode.
        A POST gets Content-Type application/x-www-form-urlencoded and a Content-Length
        unless headers name them.
        """
        header_list = list(headers.items() if isinstance(headers, Mapping) else headers or [])
        named = {n.lower() for n, _ in header_list}
        if body is not None and not isinstance(body, (str, bytes)):
            body = urllib.parse.urlencode(list(body.items() if isinstance(body, Mapping)
                                               else body))
        data = body.encode() if isinstance(body, str) else body
        if data is None and method.upper() == "POST":
            data = b""
        lines = [f"{method} {path} HTTP/1.1", "Host: localhost"]
        if data is not None:
            if "content-type" not in named:
                lines.append("Content-Type: application/x-www-form-urlencoded")
            if "content-length" not in named:
                lines.append(f"Content-Length: {len(data)}")
        lines += [f"{n}: {v}" for n, v in header_list]
        raw = ("\r\n".join(lines) + "\r\n\r\n").encode() + (data or b"")
        return parse_response(self.request(raw, timeout))


def _text(data: bytes) -> str:
    return data.decode("utf-8", "surrogateescape")


def _read_with_timeout(fd: int, timeout: float) -> bytes:
    ready, _, _ = select.select([fd], [], [], timeout)
    return os.read(fd, 65536) if ready else b""


def _is_socket(p: pathlib.Path) -> bool:
    try:
        return stat.S_ISSOCK(p.stat().st_mode)
    except OSError:
        return False
