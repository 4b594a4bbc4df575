"""A world: one simulated NAS host in a throw-away bubblewrap sandbox.

A world is a set of host directories under a private temporary directory, bound into a
bubblewrap sandbox that runs as root in its own mount, UTS, IPC and PID namespaces:

    /boot /etc /var /mnt /root /run /tmp /usr/local    world-owned host directories
                                                       (/etc starts as a copy of the host's)
    /usr                                               the host's, read-only, under a
                                                       read-only overlay that adds the
                                                       stand-in tools (/usr/sbin/modprobe ...)
    /bin /sbin /lib /lib64 ...                         the host's links into /usr
    /dev                                               world-owned, bound with device access,
                                                       so nodes made inside can be opened;
                                                       /dev/log is the test bed's syslog socket;
                                                       the disks' nodes and /dev/disk links
    /proc                                              world-owned: links into a real procfs
                                                       (mounted at /.world/proc) beside files
                                                       the world provides (cmdline, partitions)
    /sys                                               world-owned: the disks' entries, shaped
                                                       like the kernel's, whose stat files link
                                                       to the real sysfs at /.world/sys

A disk is a sparse image file outside the world's tree (a 3 TiB disk costs what is written
to it), attached to a host loop device that clears itself when its last user closes it; its
node in the world's /dev (say /dev/sda) carries that loop device's numbers. The machine
description names its transport (ata, scsi-SATA, scsi-1ATA, scsi, usb, nvme, virtio),
controller, model, serial, size and flags; sysfs shows it where the kernel would for that
transport (a SCSI device under its ATA port, SAS phy or USB port; an NVMe namespace under
its controller; a virtio disk under its virtio device), and /dev/disk/by-id has the names
udev would give it (wwn-0x... beside an ATA or SCSI drive's own name, -part1 beside each).

The kernel has no partition tables on loop devices, so partition 1 is a second loop device
over the partition's bytes, with its own node (/dev/sda1). The World object is the kernel
and udev of its world: it reads partition tables itself (MBR and GPT, as the kernel does),
holds every loop device open, and keeps udev's record of each disk and partition in
/run/testbed/udev.json. The world's udevadm (testbed/tools/udevadm) answers `info` from
that record; for `settle` it asks the World object over the socket /run/testbed/udev.socket
to read every table again, which a thread of the World object serves: a partition 1 that
appeared, moved or went gets a new loop device, node, sysfs entry, links and
/proc/partitions line, or loses them. Keeping the loop devices on the host, with the
owner, is what lets them be made, replaced and dropped at any time, lets add_disk and
remove_disk plug disks in and out of a running world through the same code, and means
nothing outlives the owner: when it stops the world, or dies, they clear.

A stand-in tool is a copy of stand_in.py at the tool's path: a call is recorded in the
world's journal (/run/testbed/journal.jsonl, which the daemon never reads) and then does
what the test told it through its control file. Stand-ins under /usr come through the
overlay, which is mounted in a private mount namespace just before bubblewrap starts, so
the host never sees it.

The web server is real nginx with its pub/sub module (nchan), run by the world's own
/etc/rc.d/rc.nginx and /etc/nginx/nginx.conf (from testbed/etc) on the Unix socket
/var/run/nginx.socket and nothing else; the script is journaled like a stand-in. Tests read
channels through `World.subscribe()`, `wait_message()` and `subscriber()`, and count what
was published through `publications()`, nginx's own log of every publication.

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
import errno
import fcntl
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
import struct
import subprocess
import tempfile
import threading
import time
import urllib.parse
import uuid
import weakref
import zlib
from typing import Callable, Iterable, Mapping, NamedTuple, Sequence

REPO = pathlib.Path(__file__).resolve().parent.parent
WEBGUI = pathlib.Path(__file__).resolve().parent / "webgui"
# The machine's own files in /etc, laid over the world's copy of the host's: the web
# server's configuration and init script.
WORLD_ETC = pathlib.Path(__file__).resolve().parent / "etc"
MACHINES = pathlib.Path(__file__).resolve().parent / "machines"
DEFAULT_MACHINE = MACHINES / "default.json"
STAND_IN_PROGRAM = pathlib.Path(__file__).resolve().parent / "stand_in.py"
# Stand-ins that do more than record and obey a control file (a udev that re-reads
# partition tables, a module loader that starts the md simulator): a description names one
# with "program". Inside the world they import stand_in from STAND_IN_LIB to record a call.
TOOLS = pathlib.Path(__file__).resolve().parent / "tools"
STAND_IN_LIB = "/.world/lib"

DEFAULT_CMDLINE = "BOOT_IMAGE=/bzimage initrd=/bzroot"
DEFAULT_HOSTNAME = "zarvo"
DEFAULT_VERSION = "6.12.0"

DAEMON = "/usr/local/sbin/orvand"
# The md driver (testbed/mdsim), found in the daemon's build directory.
MDSIM = "/usr/local/sbin/mdsim"
SOCKET = "/var/run/orvand.socket"

# Directories whose content lives on the host and belongs to one world.
OWNED = ("boot", "etc", "var", "mnt", "root", "run", "tmp", "usr/local", "dev", "proc", "sys")

# The world's PID namespace gets its own pid_max, so a fixed set of /proc/<pid> links
# covers every pid that can exist in it.
PID_MAX = 4096

# The real procfs, where the links in the world's /proc point.
PROCFS = "/.world/proc"

# Files /proc gets from the world instead of from the kernel.
PROC_PROVIDED = ("cmdline", "partitions")

# The real sysfs, where the disks' stat files link for the loop devices' live counters.
SYSFS = "/.world/sys"

# The stand-ins' journal and control files, and the recorder for world scripts that are not
# tools (`/.world/bin/stand-in NAME ARGS...`, for a start-up hook, say).
TESTBED_RUN = "/run/testbed"
JOURNAL = TESTBED_RUN + "/journal.jsonl"
# udev's record of the disks, which the world's udevadm answers `info` from, and the socket
# on which it asks the World object to do what the kernel and udev do for `settle`.
UDEV_DB = TESTBED_RUN + "/udev.json"
UDEV_CHANNEL = TESTBED_RUN + "/udev.socket"
RECORDER = "/.world/bin/stand-in"

# Where the daemon finds each tool the test bed stands in for. A machine description names
# which are installed; a tool not listed here needs a "path" in its description.
STAND_IN_PATHS = {
    "modprobe": "/usr/sbin/modprobe",
    "udevadm": "/usr/sbin/udevadm",
    "rmmod": "/usr/sbin/rmmod",
    "bootprep": "/usr/local/sbin/bootprep",
    "apply_access": "/usr/local/orvan/webGui/scripts/apply_access",
    "rc.php-fpm": "/etc/rc.d/rc.php-fpm",
    "rc.nginx": "/etc/rc.d/rc.nginx",
    "rc.zarvo-api": "/etc/rc.d/rc.zarvo-api",
    "rc.bootvol_backup": "/etc/rc.d/rc.bootvol_backup",
    "orvan_event": "/usr/local/sbin/orvan_event",
    "cryptsetup": "/usr/sbin/cryptsetup",
}
# Stand-in programs that hand part of their work to the host's own tool, which the /usr
# overlay hides from the world: the world keeps a copy of it at /.world/lib/host/<tool>.
WRAPS_HOST_TOOL = {"cryptsetup"}
STAND_IN_KEYS = {"path", "mode", "program", "exit", "stdout", "stderr", "files", "pause"}
CONTROL_KEYS = ("exit", "stdout", "stderr", "files", "pause")

# The web server: real nginx with the nchan module, run by the world's /etc/rc.d/rc.nginx
# (testbed/etc), which journals its calls like a stand-in does. A machine that names
# rc.nginx among its stand-ins gets the stand-in instead (None: no rc.nginx at all).
NGINX = "/usr/sbin/nginx"
NCHAN_MODULE = "/usr/lib/nginx/modules/ngx_nchan_module.so"
NGINX_SOCKET = "/var/run/nginx.socket"
NGINX_PIDFILE = "/var/run/nginx.pid"
# One line per publication nginx received: "<channel> <status> <body bytes>".
PUBLICATIONS_LOG = "/var/log/nginx/publish.log"

MACHINE_KEYS = {"hostname", "cmdline", "seeds", "disks", "stand_ins", "accounts"}

# Host tools that build a world's disks and accounts, found here and not through $PATH.
HOST_TOOL_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"
HOST_TOOLS = (("bwrap", "bubblewrap"), ("nsenter", "util-linux"), ("unshare", "util-linux"),
              ("sfdisk", "fdisk"), ("mkfs.vfat", "dosfstools"), ("blkid", "util-linux"),
              ("openssl", "openssl"),
              # not used by the World object, but the daemon partitions disks with it
              ("sgdisk", "gdisk"))

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
def nginx_unavailable() -> str | None:
    """Why a world here can have no web server, or None when nginx and nchan are there."""
    for path, package in ((NGINX, "nginx"), (NCHAN_MODULE, "libnginx-mod-nchan")):
        if not os.path.exists(path):
            return f"{path} is missing (Debian package {package}; scripts/setup installs it)"
    return None


@functools.cache
def unavailable() -> str | None:
    """Why no world can run on this machine, or None when worlds work. Checked once."""
    if os.geteuid() != 0:
        return f"worlds run as root, and this process runs as uid {os.geteuid()}"
    for tool, package in HOST_TOOLS:
        if shutil.which(tool, path=HOST_TOOL_PATH) is None:
            return f"{tool} is not installed (Debian package {package}; scripts/setup installs it)"
    if not os.path.exists("/dev/loop-control"):
        return "the kernel has no loop devices (no /dev/loop-control), which the disks need"
    with open("/proc/filesystems") as f:
        if "\toverlay\n" not in f.read():
            return "the kernel has no overlay file system, which puts the stand-in tools in /usr"
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


class _UdevChannel:
    """Where the world's udevadm asks the World object for what the kernel and udev do on
    the host's side (loop devices belong to the World object): one request a connection,
    one line each way ("settle" -> "ok", or "error <why>"), served in turn by one thread."""

    def __init__(self, path: pathlib.Path, handle: Callable[[str], str]):
        self._handle = handle
        self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._sock.bind(str(path))
        self._sock.listen(16)
        self._wake_r, self._wake_w = os.pipe()
        self._thread = threading.Thread(target=self._run, name=f"udev {path}", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while True:
            ready, _, _ = select.select([self._sock, self._wake_r], [], [])
            if self._wake_r in ready:
                return
            try:
                conn, _ = self._sock.accept()
            except OSError:
                continue
            with conn:
                try:
                    conn.settimeout(10)
                    request = b""
                    while b"\n" not in request and len(request) < 4096:
                        data = conn.recv(4096)
                        if not data:
                            break
                        request += data
                    try:
                        answer = self._handle(request.decode(errors="replace").strip())
                    except Exception as e:  # the world's udevadm reports it; serving goes on
                        answer = f"error {type(e).__name__}: {e}"
                    conn.sendall(" ".join(answer.split("\n")).encode() + b"\n")
                except OSError:
                    pass  # the asker went away

    def close(self) -> None:
        os.write(self._wake_w, b"x")
        self._thread.join(30)
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


# ---------------------------------------------------------------------------------------
# Disks: sparse images on host loop devices


SIZE_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}

# Kinds of disk a machine may name; the daemon tells them apart by their by-id prefix.
# scsi-SATA and scsi-1ATA are SATA drives behind a SAS host adapter through which udev gets
# no ATA identity, only the SCSI one; scsi is a SAS drive, known there by its WWN alone.
TRANSPORTS = ("ata", "scsi-SATA", "scsi-1ATA", "scsi", "usb", "nvme", "virtio")
SAS_TRANSPORTS = ("scsi-SATA", "scsi-1ATA", "scsi")
ATA_TRANSPORTS = ("ata", "scsi-SATA", "scsi-1ATA")  # the SCSI layer calls their vendor "ATA"
# The kernel's names of each kind of disk and of its controller, with an example of each;
# the kinds not named here are SCSI disks on a SCSI host.
KERNEL_NAMES = {"nvme": (r"nvme\d+n\d+", "nvme0n1"), "virtio": (r"vd[a-z]+", "vda")}
SCSI_NAMES = (r"(sd|hd)[a-z]+", "sdb")
CONTROLLER_NAMES = {"nvme": (r"nvme\d+", "nvme0"), "virtio": (r"virtio\d+", "virtio2")}
SCSI_HOSTS = (r"host\d+", "host3")

DISK_REQUIRED = ("name", "transport", "model", "serial", "size", "controller")
DISK_DEFAULTS = {"vendor": "", "wwn": None, "sector_size": 512, "rotational": 1, "discard": 0,
                 "removable": 0, "temperature": None, "partition": None}
PARTITION_DEFAULTS = {"table": "dos", "fs": None, "label": None, "start": "1M", "size": None}

# What a drive that supports discard reports as its largest discard, in bytes.
DISCARD_MAX_BYTES = 2147450880
# The firmware revision every simulated drive reports.
FIRMWARE = "1.00"
# GPT partition types for the partitions a machine description makes.
GPT_BASIC_DATA = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"
GPT_LINUX = "0FC63DAF-8483-4772-8E79-3D69D8477DE4"

LOOP_CTL_GET_FREE = 0x4C82
LOOP_CONFIGURE = 0x4C0A
LO_FLAGS_AUTOCLEAR = 4
BLKFLSBUF = 0x1261


def parse_size(value: int | str) -> int:
    """Bytes of a size given as a number of bytes or as text like "16G" (binary units)."""
    if isinstance(value, int) and not isinstance(value, bool):
        return value
    m = re.fullmatch(r"\s*(\d+)\s*([KMGT]?)(?:i?B)?\s*", str(value), re.IGNORECASE)
    if not m:
        raise WorldError(f"not a size: {value!r} (bytes, or a number with K, M, G or T)")
    return int(m.group(1)) * SIZE_UNITS[m.group(2).upper()]


def _loop_attach(image: pathlib.Path, offset: int = 0, size: int = 0,
                 block_size: int = 512) -> tuple[int, int]:
    """(loop number, open descriptor) of a free loop device set up over image.

    The device clears itself at its last close: the descriptor returned is what keeps it,
    and it is closed at the latest when this process ends, so nothing outlives its owner.
    """
    info = struct.pack("=5Q4I64s64s32s2Q", 0, 0, 0, offset, size, 0, 0, 0,
                       LO_FLAGS_AUTOCLEAR, str(image).encode()[:63], b"", b"", 0, 0)
    backing = os.open(image, os.O_RDWR)
    try:
        config = struct.pack("=II", backing, block_size) + info + bytes(64)
        control = os.open("/dev/loop-control", os.O_RDWR)
        try:
            for _ in range(100):
                number = fcntl.ioctl(control, LOOP_CTL_GET_FREE)
                fd = os.open(f"/dev/loop{number}", os.O_RDWR)
                try:
                    fcntl.ioctl(fd, LOOP_CONFIGURE, config)
                except OSError as e:
                    os.close(fd)
                    if e.errno == errno.EBUSY:
                        continue  # another process took it between the two calls
                    raise WorldError(f"cannot set up /dev/loop{number} over {image}: {e}")
                return number, fd
        finally:
            os.close(control)
    finally:
        os.close(backing)
    raise WorldError(f"no free loop device for {image}")


def _loop_in_use(number: int) -> bool:
    """Whether something holds a loop device for itself: a mount, a tool writing a file
    system. The kernel re-reads no partition table while a partition is used like that."""
    try:
        os.close(os.open(f"/dev/loop{number}", os.O_RDONLY | os.O_EXCL | os.O_CLOEXEC))
    except OSError as e:
        return e.errno == errno.EBUSY
    return False


def _loop_writes(number: int | None) -> int:
    """Writes a loop device has completed, from its real sysfs counters."""
    if number is None:
        return 0
    try:
        with open(f"/sys/block/loop{number}/stat") as f:
            return int(f.read().split()[4])
    except (OSError, IndexError, ValueError):
        return -1


def loops_backed_by(directory: os.PathLike | str) -> list[str]:
    """The host loop devices whose backing file is in directory (e.g. "/dev/loop3")."""
    prefix = str(directory).rstrip("/") + "/"
    found = []
    for entry in pathlib.Path("/sys/block").glob("loop*"):
        try:
            backing = (entry / "loop" / "backing_file").read_text().rstrip("\n")
        except OSError:
            continue
        if backing.startswith(prefix):
            found.append(f"/dev/{entry.name}")
    return sorted(found)


def _udev_words(text: str) -> str:
    """Text as udev puts it in a device id: trimmed, each run of white space one "_"."""
    return "_".join(text.split())


def _udev_encode(text: str) -> str:
    """Text as udev puts it in a link name: unsafe bytes become \\xNN."""
    safe = set(b"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz#+-.:=@_")
    return "".join(chr(b) if b in safe else f"\\x{b:02x}" for b in text.encode())


# What udev keeps of a device id in a link name; any other character becomes "_".
LINK_SAFE = frozenset("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz#+-.:=@_")


def _link_safe(text: str) -> str:
    return "".join(c if c in LINK_SAFE else "_" for c in text)


def partition_name(disk: str) -> str:
    """The kernel's name of partition 1: sda1, but nvme0n1p1."""
    return disk + ("p1" if disk[-1].isdigit() else "1")


class Partition1(NamedTuple):
    """Partition 1 as the kernel registers it."""
    start: int  # bytes
    size: int  # bytes
    type: str  # "0x83" in an MBR, the type GUID in a GPT
    uuid: str  # what blkid calls its PARTUUID


class PartitionTable(NamedTuple):
    scheme: str  # "dos" or "gpt", as blkid names them
    uuid: str
    part1: Partition1 | None


def read_partition_table(read: Callable[[int, int], bytes], sector: int,
                         sectors: int) -> PartitionTable | None:
    """The partition table the kernel finds on a disk of sectors logical sectors, whose
    bytes read(offset, length) gives; None when there is none.

    As the kernel reads one: an MBR with a protective entry (type EE from sector 1) leads to
    the GPT, tried at its primary place and then at its backup; an MBR with an EE entry but
    no valid GPT has no partitions; a sector with boot flags other than 0 and 80 is no MBR;
    a partition that runs past the end of the disk is cut there, one that starts past it is
    not registered.
    """
    mbr = read(0, 512)
    if len(mbr) < 512 or mbr[510:512] != b"\x55\xaa":
        return None
    entries = [mbr[446 + 16 * i:462 + 16 * i] for i in range(4)]
    if any(e[4] == 0xEE and struct.unpack_from("<I", e, 8)[0] == 1 for e in entries):
        for lba in (1, sectors - 1):
            table = _read_gpt(read, lba, sector, sectors)
            if table is not None:
                return table
    if any(e[0] not in (0, 0x80) or e[4] == 0xEE for e in entries):
        return None
    signature = struct.unpack_from("<I", mbr, 440)[0]
    first, count = struct.unpack_from("<II", entries[0], 8)
    part = None
    if count and first < sectors:
        last = min(first + count, sectors) - 1
        part = Partition1(first * sector, (last - first + 1) * sector, f"0x{entries[0][4]:x}",
                          f"{signature:08x}-01")
    return PartitionTable("dos", f"{signature:08x}", part)


def _read_gpt(read: Callable[[int, int], bytes], lba: int, sector: int,
              sectors: int) -> PartitionTable | None:
    """The GPT whose header is at lba, if header and entries are whole and their checksums
    right."""
    head = read(lba * sector, sector)
    if len(head) < 92 or head[:8] != b"EFI PART":
        return None
    size, crc = struct.unpack_from("<II", head, 12)
    if not 92 <= size <= sector or zlib.crc32(head[:16] + bytes(4) + head[20:size]) != crc:
        return None
    mine, _, first_usable, last_usable = struct.unpack_from("<4Q", head, 24)
    entries_lba, count, entry_size, entries_crc = struct.unpack_from("<QIII", head, 72)
    if (mine != lba or first_usable > last_usable or last_usable >= sectors
            or entry_size != 128 or not 0 < count <= 4096):
        return None
    entries = read(entries_lba * sector, count * entry_size)
    if len(entries) != count * entry_size or zlib.crc32(entries) != entries_crc:
        return None
    kind = entries[:16]
    first, last = struct.unpack_from("<QQ", entries, 32)
    part = None
    if kind != bytes(16) and first <= last < sectors:
        part = Partition1(first * sector, (last - first + 1) * sector,
                          str(uuid.UUID(bytes_le=kind)), str(uuid.UUID(bytes_le=entries[16:32])))
    return PartitionTable("gpt", str(uuid.UUID(bytes_le=head[56:72])), part)


class SysfsPlace(NamedTuple):
    """Where the kernel shows a disk, as paths under /sys."""
    device: str  # the device's directory (the SCSI device, the NVMe controller, ...)
    block: str  # the disk's own directory, where /sys/block/<name> leads
    own: str  # what leaves with the disk on an unplug
    device_link: str  # the target of the disk's "device" link
    files: dict  # the device's attributes
    id_path: str  # udev's ID_PATH


class Disk:
    """One disk of a world: its description, image file, loop devices and what the kernel
    read of its partition table.

    loop and part_loop are host loop numbers (part_loop None without partition 1);
    part_start and part_size are partition 1's place on the disk, in bytes; port tells the
    disk from others on its controller (the USB port, the ATA or SAS target).
    """

    def __init__(self, spec: Mapping, image: pathlib.Path, port: int):
        self.spec = dict(spec)
        self.name: str = spec["name"]
        self.transport: str = spec["transport"]
        self.size: int = parse_size(spec["size"])
        self.sector_size: int = spec["sector_size"]
        self.image = image
        self.port = port
        self.loop: int | None = None
        self.part_loop: int | None = None
        self.part_start = self.part_size = 0
        self.table: PartitionTable | None = None
        self.fs_tags: dict[str, str] = {}  # blkid's tags of what partition 1 holds
        self.rdev = self.part_rdev = 0
        self._fd: int | None = None
        self._part_fd: int | None = None
        self._probed: tuple[int, int] | None = None  # write counters at the last fs probe

    def __repr__(self) -> str:
        return f"<Disk {self.name} on /dev/loop{self.loop}>"

    @property
    def part_name(self) -> str:
        return partition_name(self.name)

    @property
    def wwn(self) -> str:
        """The drive's world wide name (an NVMe drive's EUI-64), 16 hex digits."""
        return self.spec["wwn"] or f"5000c500{zlib.crc32(self.spec['serial'].encode()):08x}"

    @property
    def _scsi_model(self) -> str:
        """The model as the SCSI layer has it: 16 characters, the first of an ATA model."""
        return self.spec["model"][:16]

    @property
    def by_ids(self) -> list[str]:
        """Its /dev/disk/by-id names as udev makes them: first the one that names the drive
        through its transport, then for ATA and SCSI drives the wwn-0x... one."""
        s, kind = self.spec, self.transport
        model, serial = _udev_words(s["model"]), _udev_words(s["serial"])
        if kind == "usb":
            return [_link_safe(f"usb-{_udev_words(s['vendor'])}_{model}_{serial}-0:0")]
        if kind == "nvme":
            # each blank inside the model the controller reports becomes a "_" of its own
            return [_link_safe(f"nvme-{s['model'].strip()}_{s['serial'].strip()}")]
        if kind == "virtio":
            return [_link_safe(f"virtio-{s['serial']}")]
        first = {"ata": f"ata-{model}_{serial}",
                 "scsi-SATA": f"scsi-SATA_{_udev_words(self._scsi_model)}_{serial}",
                 "scsi-1ATA": f"scsi-1ATA_{model}_{serial}",
                 "scsi": f"scsi-3{self.wwn}"}[kind]
        return [_link_safe(first), f"wwn-0x{self.wwn}"]

    @property
    def by_id(self) -> str:
        """Its /dev/disk/by-id name the daemon takes the id from."""
        return self.by_ids[0]

    def sysfs(self) -> SysfsPlace:
        """Where the kernel would show the disk, by its transport and controller."""
        s, kind, name, controller = self.spec, self.transport, self.name, self.spec["controller"]
        if kind == "nvme":
            pci = f"0000:{0x3d + int(controller[4:]):02x}:00.0"
            device = f"devices/pci0000:00/0000:00:1d.0/{pci}/nvme/{controller}"
            files = {"model": f"{s['model'].strip()}\n", "serial": f"{s['serial'].strip()}\n",
                     "firmware_rev": f"{FIRMWARE}\n", "transport": "pcie\n", "state": "live\n"}
            return SysfsPlace(device, f"{device}/{name}", f"{device}/{name}",
                              f"../../{controller}", files,
                              f"pci-{pci}-nvme-{name.rpartition('n')[2]}")
        if kind == "virtio":
            pci = f"0000:00:{0x04 + int(controller[6:]):02x}.0"
            device = f"devices/pci0000:00/{pci}/{controller}"
            files = {"vendor": "0x1af4\n", "device": "0x0002\n", "status": "0x0000000f\n"}
            return SysfsPlace(device, f"{device}/block/{name}", device, f"../../../{controller}",
                              files, f"pci-{pci}")
        host, target = controller[4:], self.port - 1
        if kind == "usb":
            port = f"1-{self.port}"
            scsi = f"{host}:0:0:0"
            own = f"devices/pci0000:00/0000:00:14.0/usb1/{port}"
            device = f"{own}/{port}:1.0/host{host}/target{host}:0:0/{scsi}"
            id_path = f"pci-0000:00:14.0-usb-0:{self.port}:1.0-scsi-0:0:0:0"
        elif kind == "ata":
            scsi = f"{host}:0:{target}:0"
            own = f"devices/pci0000:00/0000:00:17.0/ata{int(host) + 1}/host{host}/target{host}:0:{target}"
            device = f"{own}/{scsi}"
            id_path = f"pci-0000:00:17.0-ata-{int(host) + 1}"
        else:
            scsi = f"{host}:0:{target}:0"
            own = f"devices/pci0000:00/0000:00:01.0/0000:01:00.0/host{host}/port-{host}:{target}"
            device = f"{own}/end_device-{host}:{target}/target{host}:0:{target}/{scsi}"
            id_path = f"pci-0000:01:00.0-sas-phy{target}-lun-0"
        vendor = "ATA" if kind in ATA_TRANSPORTS else s["vendor"][:8]
        files = {"vendor": f"{vendor:<8}\n", "model": f"{self._scsi_model:<16}\n",
                 "rev": f"{FIRMWARE[-4:]:<4}\n", "type": "0\n", "state": "running\n"}
        return SysfsPlace(device, f"{device}/block/{name}", own, f"../../../{scsi}", files,
                          id_path)

    def udev_ids(self, place: SysfsPlace) -> dict[str, str]:
        """The ID_* properties udev gives the disk, which its partition inherits."""
        s, kind = self.spec, self.transport
        model, serial = _udev_words(s["model"]), _udev_words(s["serial"])
        ids = {"ID_PATH": place.id_path, "ID_PATH_TAG": re.sub(r"[^0-9A-Za-z_-]", "_",
                                                                place.id_path)}
        if kind == "virtio":
            return {**ids, "ID_SERIAL": s["serial"]}
        ids.update(ID_TYPE="disk", ID_REVISION=FIRMWARE)
        if kind == "nvme":
            model = s["model"].strip()
            return {**ids, "ID_BUS": "nvme", "ID_MODEL": model,
                    "ID_SERIAL_SHORT": s["serial"].strip(),
                    "ID_SERIAL": f"{model}_{s['serial'].strip()}", "ID_WWN": f"eui.{self.wwn}",
                    "ID_NSID": self.name.rpartition("n")[2]}
        if kind == "ata":
            return {**ids, "ID_ATA": "1", "ID_BUS": "ata", "ID_MODEL": model,
                    "ID_MODEL_ENC": _udev_encode(f"{s['model']:<40}"), "ID_SERIAL_SHORT": serial,
                    "ID_SERIAL": f"{model}_{serial}", "ID_WWN": f"0x{self.wwn}",
                    "ID_WWN_WITH_EXTENSION": f"0x{self.wwn}"}
        vendor = "ATA" if kind in ATA_TRANSPORTS else s["vendor"][:8]
        ids.update(ID_VENDOR=_udev_words(vendor), ID_VENDOR_ENC=_udev_encode(f"{vendor:<8}"),
                   ID_MODEL=_udev_words(self._scsi_model),
                   ID_MODEL_ENC=_udev_encode(f"{self._scsi_model:<16}"))
        if kind == "usb":
            return {**ids, "ID_BUS": "usb", "ID_SERIAL": self.by_id[len("usb-"):],
                    "ID_SERIAL_SHORT": serial, "ID_INSTANCE": "0:0",
                    "ID_USB_DRIVER": "usb-storage", "ID_USB_INTERFACES": ":080650:"}
        # The SCSI identity: the unit serial number as the drive reports it, blanks and all.
        return {**ids, "ID_SCSI": "1", "ID_BUS": "scsi", "ID_SERIAL": self.by_id[len("scsi-"):],
                "ID_SERIAL_SHORT": self.wwn if kind == "scsi" else serial,
                "ID_SCSI_SERIAL": s["serial"], "ID_WWN": f"0x{self.wwn}"}

    def release(self) -> None:
        """Lets go of its loop devices; each clears once the world has closed it too."""
        for fd in (self._fd, self._part_fd):
            if fd is not None:
                os.close(fd)
        self._fd = self._part_fd = None


def _disk_spec(disk: Mapping) -> dict:
    """A disk description checked and completed with the defaults."""
    what = f"disk {disk.get('name', '(no name)')}"
    missing = [k for k in DISK_REQUIRED if k not in disk]
    unknown = set(disk) - set(DISK_REQUIRED) - set(DISK_DEFAULTS)
    if missing or unknown:
        raise WorldError(f"{what}: " + "; ".join(
            ([f"missing {', '.join(missing)}"] if missing else [])
            + ([f"unknown keys {sorted(unknown)}"] if unknown else [])))
    spec = {**DISK_DEFAULTS, **disk}
    kind = spec["transport"]
    if kind not in TRANSPORTS:
        raise WorldError(f"{what}: transport {kind!r} is none of {TRANSPORTS}")
    pattern, example = KERNEL_NAMES.get(kind, SCSI_NAMES)
    if not re.fullmatch(pattern, spec["name"]):
        raise WorldError(f"{what}: not the kernel's name of a {kind} disk (like {example})")
    pattern, example = CONTROLLER_NAMES.get(kind, SCSI_HOSTS)
    if not re.fullmatch(pattern, spec["controller"]):
        raise WorldError(f"{what}: the controller of a {kind} disk is like {example}, "
                         f"not {spec['controller']!r}")
    if not spec["serial"].strip():
        raise WorldError(f"{what}: the serial is empty")
    if spec["wwn"] is not None and not re.fullmatch(r"[0-9a-f]{16}", spec["wwn"]):
        raise WorldError(f"{what}: wwn {spec['wwn']!r} is not 16 lower-case hex digits")
    if spec["sector_size"] not in (512, 4096):
        raise WorldError(f"{what}: sector size {spec['sector_size']} is not 512 or 4096")
    size = parse_size(spec["size"])
    if size <= 0 or size % spec["sector_size"]:
        raise WorldError(f"{what}: size {size} is not a positive number of sectors")
    part = spec["partition"]
    if part is not None:
        unknown = set(part) - set(PARTITION_DEFAULTS)
        if unknown:
            raise WorldError(f"{what}: unknown partition keys {sorted(unknown)}")
        part = spec["partition"] = {**PARTITION_DEFAULTS, **part}
        if part["table"] not in ("dos", "gpt"):
            raise WorldError(f"{what}: partition table {part['table']!r} is not dos or gpt")
        if part["fs"] not in (None, "vfat"):
            raise WorldError(f"{what}: partition file system {part['fs']!r} is not made by "
                             "the test bed (only vfat is)")
        for key in ("start", "size"):
            if part[key] is not None and parse_size(part[key]) % spec["sector_size"]:
                raise WorldError(f"{what}: partition {key} is not a whole number of sectors")
    return spec


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
                 hostname: str | None = None,
                 stand_ins: Mapping[str, Mapping | None] | None = None,
                 accounts: Sequence[Mapping] | None = None):
        """
        orvand: the daemon binary to install at /usr/local/sbin/orvand
            (default: $ORVAND_BUILD/orvand, ORVAND_BUILD defaulting to build/release).
        seeds: world path -> content (str or bytes, written as is) written before start,
            after everything else, so a seed may also replace a stand-in; None removes a
            file the world would otherwise have (e.g. /etc/zarvo-version).
        cmdline: the kernel command line in /proc/cmdline
            (default "BOOT_IMAGE=/bzimage initrd=/bzroot"; a newline is added as the kernel does).
        machine: a machine description, a mapping or a JSON file (see machines/default.json)
            with any of the keys "hostname", "cmdline", "seeds", "disks", "stand_ins" and
            "accounts"; a key it leaves out is taken from the default machine, so
            {"disks": []} is the default machine without disks. The arguments here win.
        hostname: the world's host name (default "zarvo").
        stand_ins: tool -> description, over the machine's: None leaves the tool out,
            a mapping installs it with any of "mode" (default 0o755; 0o644 installs it not
            executable), "exit", "stdout", "stderr", "files" (world path -> content it
            writes when called), "pause" (seconds before each line of stdout and before
            it exits) and, for a tool not in STAND_IN_PATHS, "path". Naming "rc.nginx"
            replaces the world's real web server script with a stand-in (or, with None,
            leaves it out).
        accounts: extra local users appended to /etc/passwd and /etc/shadow, each a mapping
            with "name", "uid" and optionally "desc", "gid" (default 100, users) and
            "password" (None: no password, as useradd leaves it); replaces the machine's.
        """
        desc = self._load_machine(machine)
        self.orvand_explicit = orvand is not None
        self.orvand = pathlib.Path(orvand) if orvand is not None else default_orvand()
        self.cmdline = cmdline if cmdline is not None else desc.get("cmdline", DEFAULT_CMDLINE)
        self.hostname = hostname or desc.get("hostname", DEFAULT_HOSTNAME)
        self.seeds = {**desc.get("seeds", {}), **(seeds or {})}
        self.disk_specs = [_disk_spec(d) for d in desc.get("disks", [])]
        names = [d["name"] for d in self.disk_specs]
        if len(set(names)) != len(names):
            raise WorldError(f"the machine names a disk twice: {names}")
        self.stand_ins = {tool: self._stand_in_spec(tool, spec) for tool, spec in
                          {**desc.get("stand_ins", {}), **(stand_ins or {})}.items()}
        self.accounts = [self._account_spec(a) for a in
                         (accounts if accounts is not None else desc.get("accounts", []))]
        self.disks: dict[str, Disk] = {}
        # Disks are changed by the owner (add_disk, remove_disk) and by the udev channel's
        # thread (settle) alike.
        self._disks_lock = threading.RLock()
        self._unplugged: dict[str, Disk] = {}  # by serial: what a returning disk brings back
        self._images = 0
        self._udev: _UdevChannel | None = None
        self.dir: pathlib.Path | None = None
        self._bwrap: subprocess.Popen | None = None
        self._sandbox_pid: int | None = None
        self._pidns: str | None = None
        self._syslog: _SyslogReceiver | None = None
        self._launchers: list[subprocess.Popen] = []

    @staticmethod
    def _load_machine(machine) -> dict:
        default = json.loads(DEFAULT_MACHINE.read_text())
        if machine is None:
            return default
        if not isinstance(machine, Mapping):
            machine = json.loads(pathlib.Path(machine).read_text())
        unknown = set(machine) - MACHINE_KEYS
        if unknown:
            raise WorldError(f"unknown machine description keys: {sorted(unknown)}")
        return {**default, **machine}

    @staticmethod
    def _stand_in_spec(tool: str, spec: Mapping | None) -> dict | None:
        if spec is None:
            return None
        unknown = set(spec) - STAND_IN_KEYS
        if unknown:
            raise WorldError(f"stand-in {tool}: unknown keys {sorted(unknown)}")
        path = spec.get("path", STAND_IN_PATHS.get(tool))
        if path is None:
            raise WorldError(f"stand-in {tool}: no known path; give it one with \"path\"")
        if not path.startswith("/usr/") and not _world_owned(path):
            raise WorldError(f"stand-in {tool}: {path} is neither under /usr nor in a "
                             "world-owned directory")
        # The journal names a call by the file's name.
        if os.path.basename(path) != tool:
            raise WorldError(f"stand-in {tool}: its path {path} must end in {tool}")
        program = spec.get("program")
        if program is not None and not (TOOLS / program).is_file():
            raise WorldError(f"stand-in {tool}: no program {program} in {TOOLS}")
        mode = spec.get("mode", 0o755)
        return {"path": path, "mode": int(mode, 8) if isinstance(mode, str) else mode,
                "program": program,
                "control": {k: spec[k] for k in CONTROL_KEYS if k in spec}}

    @staticmethod
    def _account_spec(account: Mapping) -> dict:
        unknown = set(account) - {"name", "uid", "gid", "desc", "password"}
        if unknown or "name" not in account or "uid" not in account:
            raise WorldError(f"an account has a name, a uid and optionally gid, desc and "
                             f"password, not {dict(account)}")
        if not re.fullmatch(r"[a-z_][a-z0-9_-]*", account["name"]):
            raise WorldError(f"not an account name: {account['name']!r}")
        return {"gid": 100, "desc": "", "password": None, **account}

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
            self._udev = _UdevChannel(self.path(UDEV_CHANNEL), self._udev_request)
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
        if self._udev is not None:
            self._udev.close()
            self._udev = None
        leaked = self._release_disks()
        if self.dir is not None and self.dir.exists():
            _remove_tree(self.dir)
        _live.discard(self)
        # Namespace inode numbers are reused by later worlds: forget ours.
        self._sandbox_pid = self._pidns = None
        self._bwrap = None
        if leaked:
            raise WorldError(f"loop devices of {self!r} stayed attached after its end: "
                             f"{', '.join(leaked)}")

    def _release_disks(self, timeout: float = 5) -> list[str]:
        """Closes the world's hold on its loop devices and waits until they have cleared;
        returns those that did not. With the world's processes gone, nothing else holds
        them: the mounts inside went with its mount namespace."""
        for disk in [*self.disks.values(), *self._unplugged.values()]:
            disk.release()
        if self.dir is None:
            return []
        deadline = time.monotonic() + timeout
        while (left := loops_backed_by(self.dir)) and time.monotonic() < deadline:
            time.sleep(0.01)
        return left

    # -- building ------------------------------------------------------------------------

    def _build(self) -> None:
        r = self.root
        for d in ("boot/config", "mnt", "run/lock", "usr/local/bin", "usr/local/sbin",
                  "usr/local/lib", "usr/local/share", "usr/local/orvan/webGui/scripts",
                  "var/log", "var/tmp", "var/lib", "var/cache", "var/spool/mail",
                  # the state directory ships with the system; the daemon only writes in it
                  "var/local/orvan/smart",
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
        shutil.copytree(WORLD_ETC, r / "etc", symlinks=True, dirs_exist_ok=True)
        (r / "etc/hostname").write_text(self.hostname + "\n")
        (r / "etc/hosts").write_text(f"127.0.0.1\t{self.hostname} localhost\n"
                                     "::1\tlocalhost ip6-localhost ip6-loopback\n")
        (r / "etc/zarvo-version").write_text(f'version="{DEFAULT_VERSION}"\n')
        (r / "etc/rc.d").mkdir(exist_ok=True)
        self._add_accounts(r / "etc")

        self._build_dev(r / "dev")
        self._build_proc(r / "proc")
        self._build_stand_ins()
        for spec in self.disk_specs:
            self._add_disk(spec)
        self._publish_disks()  # a machine without disks has its empty records too

        # The pages and the scripts the cmd action runs; links stay links, as a test of a
        # link out of the tree needs.
        shutil.copytree(WEBGUI, r / "usr/local/orvan", symlinks=True, dirs_exist_ok=True)
        if self.orvand.is_file():
            shutil.copy(self.orvand, r / DAEMON.lstrip("/"))
            os.chmod(r / DAEMON.lstrip("/"), 0o755)
        elif self.orvand_explicit:
            raise WorldError(f"the daemon to install, {self.orvand}, does not exist")
        # mdsim: the md driver that the world's modprobe md-mod starts, from the same
        # build as the daemon.
        mdsim = self.orvand.parent / "testbed" / "mdsim" / "mdsim"
        if mdsim.is_file():
            shutil.copy(mdsim, r / MDSIM.lstrip("/"))
            os.chmod(r / MDSIM.lstrip("/"), 0o755)

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
        self._write_proc_partitions()  # each disk added or removed rewrites it

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

    def _add_accounts(self, etc: pathlib.Path) -> None:
        """A fresh NAS's accounts: the host's system accounts and root, none of the host's
        own users (uid 1000 and up), and nobody at 99 as such systems number it, not at
        65534 where the daemon would take it for a local user; then the world's accounts."""
        host_users = set()

        def keep(line: str, id_field: int) -> str | None:
            fields = line.split(":")
            if len(fields) > id_field and fields[id_field].isdigit():
                number = int(fields[id_field])
                if 1000 <= number < 65534:
                    host_users.add(fields[0])
                    return None
                if id_field == 2 and fields[0] == "nobody":
                    fields[2] = "99"
            return ":".join(fields)

        def rewrite(name: str, edit) -> str:
            path = etc / name
            if not path.exists():
                return ""
            lines = [edit(line) for line in path.read_text().splitlines()]
            return "".join(line + "\n" for line in lines if line is not None)

        passwd = rewrite("passwd", lambda line: keep(line, 2))
        (etc / "group").write_text(rewrite("group", lambda line: keep(line, 2)))
        shadow = rewrite("shadow", lambda l: None if l.split(":")[0] in host_users else l)
        if (etc / "gshadow").exists():
            (etc / "gshadow").write_text(
                rewrite("gshadow", lambda l: None if l.split(":")[0] in host_users else l))
        # The daemon lists root and tells a set password from an unset one by the shadow
        # entry, so root must have one even if the host's copy lacks it.
        days = int(time.time() // 86400)
        if not any(line.startswith("root:") for line in shadow.splitlines()):
            shadow = f"root:*:{days}:0:99999:7:::\n" + shadow
        for a in self.accounts:
            if a["password"] is None:
                hashed = "!"  # what useradd leaves: locked, no password
            elif a["password"] == "":
                hashed = ""
            else:
                hashed = subprocess.run(
                    [shutil.which("openssl", path=HOST_TOOL_PATH), "passwd", "-6", "-stdin"],
                    input=a["password"], capture_output=True, text=True, check=True
                ).stdout.strip()
            passwd += f"{a['name']}:x:{a['uid']}:{a['gid']}:{a['desc']}:/:/bin/false\n"
            shadow += f"{a['name']}:{hashed}:{days}:0:99999:7:::\n"
        (etc / "passwd").write_text(passwd)
        (etc / "shadow").write_text(shadow)
        os.chmod(etc / "shadow", 0o640)

    # -- stand-in tools ------------------------------------------------------------------

    def _stand_in_host_path(self, world_path: str) -> pathlib.Path:
        """Where a stand-in at world_path lives on the host: in a world-owned directory,
        or, under /usr, in the layer the world's /usr overlay adds to the host's."""
        if _world_owned(world_path):
            return self.path(world_path, follow=False)
        return self.dir / "usr" / pathlib.PurePosixPath(world_path).relative_to("/usr")

    def _build_stand_ins(self) -> None:
        (self.dir / "usr").mkdir()
        (self.root / TESTBED_RUN.lstrip("/") / "stand-ins").mkdir(parents=True)
        program = STAND_IN_PROGRAM.read_bytes()
        recorder = self.dir / "stand-in"
        recorder.write_bytes(program)
        recorder.chmod(0o755)
        (self.dir / "lib").mkdir()
        (self.dir / "lib" / "stand_in.py").write_bytes(program)
        for tool, spec in self.stand_ins.items():
            if spec is None:
                if tool in STAND_IN_PATHS:  # a copy of the host's /etc may have it
                    self._stand_in_host_path(STAND_IN_PATHS[tool]).unlink(missing_ok=True)
                continue
            target = self._stand_in_host_path(spec["path"])
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes((TOOLS / spec["program"]).read_bytes() if spec["program"]
                               else program)
            target.chmod(spec["mode"])
            if tool in WRAPS_HOST_TOOL and os.path.isfile(spec["path"]):
                (self.dir / "lib" / "host").mkdir(exist_ok=True)
                shutil.copy(spec["path"], self.dir / "lib" / "host" / tool)
            if spec["control"]:
                self._write_control(tool, spec["control"])

    def _write_control(self, tool: str, control: Mapping) -> None:
        path = self.path(f"{TESTBED_RUN}/stand-ins/{tool}.json")
        tmp = path.with_name(path.name + ".new")
        tmp.write_text(json.dumps(control))
        tmp.rename(path)  # a call in progress reads the old control or the new, whole

    def set_stand_in(self, tool: str, exit: int = 0, stdout: str = "", stderr: str = "",
                     files: Mapping[str, str] | None = None, pause: float = 0) -> None:
        """From now on the installed stand-in tool prints stdout and stderr, writes files
        (world path -> content) and exits with exit. With a pause it is slow: it waits
        that many seconds before each line of stdout (sent as soon as it is printed) and
        once more before it exits; it has recorded its call in the journal before."""
        if self.dir is None or self.stand_ins.get(tool) is None:
            raise WorldError(f"stand-in {tool} is not installed in {self!r}")
        self._write_control(tool, {"exit": exit, "stdout": stdout, "stderr": stderr,
                                   "files": dict(files or {}), "pause": pause})

    def journal(self, tool: str | None = None) -> list[dict]:
        """The stand-ins' calls so far, in order, each {"seq", "tool", "argv",
        "orvand_pid"}: argv as called, argv[0] the path; orvand_pid the world's pid of the
        calling orvand process (compare daemon_world_pid()), or None. With tool, its calls."""
        if self.dir is None:
            return []
        try:
            lines = self.path(JOURNAL).read_text(errors="surrogateescape").splitlines()
        except FileNotFoundError:
            return []
        entries = [json.loads(line) for line in lines]
        return [e for e in entries if tool is None or e["tool"] == tool]

    # -- disks ---------------------------------------------------------------------------

    def add_disk(self, spec: Mapping) -> Disk:
        """Plugs a disk into the running world: its nodes, links, sysfs entries, udev's
        record and /proc/partitions lines appear at once, as after a hot-plug that udev
        has handled. A disk with the serial of one removed before comes back with its
        contents, under the kernel name spec gives (its "partition" is not written: the
        partition table is read from the disk)."""
        self._require_running()
        with self._disks_lock:
            return self._add_disk(spec)

    def remove_disk(self, name: str) -> None:
        """Unplugs a disk: its nodes, links, sysfs entries, udev's record and
        /proc/partitions lines go, and the world lets go of its loop devices (a loop
        device something inside still has mounted or open lasts until that ends). Its
        contents are kept for a disk with its serial to bring back."""
        self._require_running()
        with self._disks_lock:
            disk = self.disks.get(name)
            if disk is None:
                raise WorldError(f"{self!r} has no disk {name}")
            self._unplug(disk)
            self._unplugged[disk.spec["serial"]] = disk
            self._publish_disks()

    def _add_disk(self, spec: Mapping) -> Disk:
        """Makes a disk (or brings an unplugged one back), attaches it and shows it to the
        world. Works the same before the world starts and while it runs."""
        spec = _disk_spec(spec)
        if spec["name"] in self.disks:
            raise WorldError(f"{self!r} has a disk {spec['name']} already")
        back = self._unplugged.get(spec["serial"])
        if back is not None and (back.size, back.sector_size) != (parse_size(spec["size"]),
                                                                  spec["sector_size"]):
            raise WorldError(f"disk {spec['name']}: the disk with serial {spec['serial']} had "
                             f"{back.size} bytes in sectors of {back.sector_size}")
        images = self.dir / "disks"
        images.mkdir(exist_ok=True)
        self._images += 1
        image = back.image if back else images / f"{self._images}-{spec['name']}.img"
        disk = Disk(spec, image, self._free_port(spec))
        if back is None:
            with open(disk.image, "wb") as f:
                f.truncate(disk.size)  # sparse: only what is written costs memory
        self.disks[disk.name] = disk
        try:
            disk.loop, disk._fd = _loop_attach(disk.image, block_size=disk.sector_size)
            disk.rdev = os.stat(f"/dev/loop{disk.loop}").st_rdev
            if back is None and spec["partition"] is not None:
                self._make_partition(disk, spec["partition"])
            disk.table = self._read_table(disk)
            self._show_disk(disk)
        except BaseException:
            self._unplug(disk)
            if back is None:
                disk.image.unlink(missing_ok=True)
            raise
        self._unplugged.pop(spec["serial"], None)
        self._publish_disks()
        return disk

    def _free_port(self, spec: Mapping) -> int:
        """The first port free on the disk's controller (on USB, of the one USB bus)."""
        def bus(s: Mapping) -> str:
            return "usb" if s["transport"] == "usb" else s["controller"]
        used = {d.port for d in self.disks.values() if bus(d.spec) == bus(spec)}
        return min(set(range(1, len(used) + 2)) - used)

    def _read_table(self, disk: Disk) -> PartitionTable | None:
        """The disk's partition table, read through its loop device, so what a program in
        the world wrote there is seen even before it reached the image file."""
        def read(offset: int, length: int) -> bytes:
            length = min(length, disk.size - offset)
            return os.pread(disk._fd, length, offset) if length > 0 else b""
        return read_partition_table(read, disk.sector_size, disk.size // disk.sector_size)

    def _make_partition(self, disk: Disk, part: Mapping) -> None:
        """Writes an MBR or a GPT with partition 1, and the file system on it, through the
        host's own tools on the disk's loop device, which knows its sector size."""
        sector = disk.sector_size
        tag = zlib.crc32(disk.spec["serial"].encode())
        line = f"start={parse_size(part['start']) // sector}"
        if part["size"] is not None:
            line += f", size={parse_size(part['size']) // sector}"
        if part["table"] == "gpt":
            label = f"label: gpt\nlabel-id: {uuid.UUID(int=tag << 96 | tag)}\n"
            line += f", type={GPT_BASIC_DATA if part['fs'] == 'vfat' else GPT_LINUX}"
        else:
            label = f"label: dos\nlabel-id: 0x{tag:08x}\n"
            line += ", type=c, bootable" if part["fs"] == "vfat" else ", type=83"
        _host_tool([shutil.which("sfdisk", path=HOST_TOOL_PATH), "-q", "--no-reread",
                    "--no-tell-kernel", f"/dev/loop{disk.loop}"], input=label + line + "\n")
        table = self._read_table(disk)
        if table is None or table.part1 is None:
            raise WorldError(f"sfdisk wrote no partition 1 on {disk.name} ({line})")
        first = table.part1
        if part["fs"] == "vfat":
            # On the image file: through a block device mkfs.vfat writes its tables one
            # sector per call, ten times slower. The disk's loop device then forgets what
            # it cached, so it reads what was written behind it.
            label = ["-n", part["label"]] if part["label"] else []
            _host_tool([shutil.which("mkfs.vfat", path=HOST_TOOL_PATH), *label,
                        "-S", str(sector), f"--offset={first.start // sector}",
                        "-i", f"{zlib.crc32(disk.spec['serial'].encode() + b'1'):08X}",
                        str(disk.image), str(first.size // 1024)])
            fcntl.ioctl(disk._fd, BLKFLSBUF)

    def _show_block(self, name: str, loop: int, rdev: int, path: str, size: int,
                    start: int | None) -> None:
        """A disk's or partition's node, sysfs attributes and links to its sysfs entry."""
        dev, sys_ = self.root / "dev", self.root / "sys"
        number = f"{os.major(rdev)}:{os.minor(rdev)}"
        os.mknod(dev / name, stat.S_IFBLK | 0o660, rdev)
        os.chmod(dev / name, 0o660)  # mknod's mode is masked by the umask
        files = {"dev": f"{number}\n", "size": f"{size // 512}\n", "ro": "0\n"}
        if start is not None:
            files.update({"partition": "1\n", "start": f"{start // 512}\n"})
        _write_files(sys_ / path, files)
        # The live I/O counters of the loop device under it.
        os.symlink(f"{SYSFS}/block/loop{loop}/stat", sys_ / path / "stat")
        _link(f"../../{path}", sys_ / "dev/block" / number, replace=True)
        _link(f"../../{path}", sys_ / "class/block" / name, replace=True)

    def _hide_block(self, name: str, rdev: int, path: str) -> None:
        dev, sys_ = self.root / "dev", self.root / "sys"
        node = dev / name
        try:
            st = node.lstat()
            if stat.S_ISBLK(st.st_mode) and st.st_rdev == rdev:
                node.unlink()
        except FileNotFoundError:
            pass  # moved away inside the world, as a started array does with its members
        shutil.rmtree(sys_ / path, ignore_errors=True)
        _unlink_link(sys_ / "dev/block" / f"{os.major(rdev)}:{os.minor(rdev)}",
                     f"../../{path}")
        _unlink_link(sys_ / "class/block" / name, f"../../{path}")

    def _show_disk(self, disk: Disk) -> None:
        """The disk as the kernel and udev would show it: nodes, links and sysfs."""
        sys_ = self.root / "sys"
        s = disk.spec
        place = disk.sysfs()
        _write_files(sys_ / place.device, place.files)
        discard = DISCARD_MAX_BYTES if s["discard"] else 0
        files = {
            "removable": f"{s['removable']}\n", "ext_range": "256\n",
            "queue/rotational": f"{s['rotational']}\n",
            "queue/logical_block_size": f"{disk.sector_size}\n",
            "queue/physical_block_size": f"{disk.sector_size}\n",
            "queue/hw_sector_size": f"{disk.sector_size}\n",
            "queue/discard_max_hw_bytes": f"{discard}\n",
            "queue/discard_max_bytes": f"{discard}\n",
            "queue/discard_granularity": f"{disk.sector_size if discard else 0}\n"}
        if disk.transport == "nvme":
            files.update({"wwid": f"eui.{disk.wwn}\n", "nsid": f"{disk.name.rpartition('n')[2]}\n"})
        elif disk.transport == "virtio":
            files["serial"] = s["serial"][:20]  # the kernel adds no line feed to this one
        _write_files(sys_ / place.block, files)
        os.symlink(place.device_link, sys_ / place.block / "device")
        self._show_block(disk.name, disk.loop, disk.rdev, place.block, disk.size, None)
        _link(f"../{place.block}", sys_ / "block" / disk.name, replace=True)
        for link in disk.by_ids:
            _link(f"../../{disk.name}", self.root / "dev/disk/by-id" / link, replace=True)
        if disk.table is not None and disk.table.part1 is not None:
            self._show_partition(disk)

    def _unplug(self, disk: Disk) -> None:
        """Undoes _show_disk, whatever part of it was done, and lets go of the disk."""
        self._hide_partition(disk)
        sys_ = self.root / "sys"
        place = disk.sysfs()
        if disk.rdev:
            self._hide_block(disk.name, disk.rdev, place.block)
        for link in disk.by_ids:
            _unlink_link(self.root / "dev/disk/by-id" / link, f"../../{disk.name}")
        _unlink_link(sys_ / "block" / disk.name, f"../{place.block}")
        shared = any(d is not disk and d.transport == disk.transport
                     and d.spec["controller"] == disk.spec["controller"]
                     for d in self.disks.values())
        # An NVMe controller or virtio device with another disk on it stays.
        shutil.rmtree(sys_ / (place.block if shared and disk.transport in ("nvme", "virtio")
                              else place.own), ignore_errors=True)
        disk.release()
        if self.disks.get(disk.name) is disk:
            del self.disks[disk.name]

    def _show_partition(self, disk: Disk) -> None:
        """Partition 1 as the kernel registers it from the table: a loop device over its
        bytes, its node and sysfs entry, and udev's links to it."""
        part = disk.table.part1
        # What was written through the disk's loop device reaches the image file, which
        # the partition's loop device reads.
        os.fsync(disk._fd)
        disk.part_loop, disk._part_fd = _loop_attach(disk.image, part.start, part.size,
                                                     block_size=disk.sector_size)
        disk.part_rdev = os.stat(f"/dev/loop{disk.part_loop}").st_rdev
        disk.part_start, disk.part_size = part.start, part.size
        self._show_block(disk.part_name, disk.part_loop, disk.part_rdev,
                         f"{disk.sysfs().block}/{disk.part_name}", part.size, part.start)
        for link in disk.by_ids:
            _link(f"../../{disk.part_name}", self.root / "dev/disk/by-id" / f"{link}-part1",
                  replace=True)
        self._probe_partition(disk)

    def _fs_links(self, disk: Disk) -> list[pathlib.Path]:
        found = []
        for tag, directory in (("LABEL", "by-label"), ("UUID", "by-uuid")):
            if tag in disk.fs_tags:
                found.append(self.root / "dev/disk" / directory / _udev_encode(disk.fs_tags[tag]))
        return found

    def _probe_partition(self, disk: Disk) -> None:
        """Finds what partition 1 holds and points the by-label and by-uuid links at it,
        as udev does when a program that wrote to the disk closes it: done again only when
        the disk or the partition has had writes since the last time."""
        mark = (_loop_writes(disk.loop), _loop_writes(disk.part_loop))
        if mark == disk._probed:
            return
        disk._probed = mark
        probe = _host_tool([shutil.which("blkid", path=HOST_TOOL_PATH), "-p", "-o", "export",
                            f"/dev/loop{disk.part_loop}"], ok=(0, 2))
        target = f"../../{disk.part_name}"
        for link in self._fs_links(disk):
            _unlink_link(link, target)
        disk.fs_tags = dict(line.split("=", 1) for line in probe.splitlines() if "=" in line)
        for link in self._fs_links(disk):
            _link(target, link, replace=True)

    def _hide_partition(self, disk: Disk) -> None:
        """Partition 1 gone, as after a table re-read that no longer finds it."""
        if disk.part_loop is None:
            return
        target = f"../../{disk.part_name}"
        for link in self._fs_links(disk):
            _unlink_link(link, target)
        for link in disk.by_ids:
            _unlink_link(self.root / "dev/disk/by-id" / f"{link}-part1", target)
        self._hide_block(disk.part_name, disk.part_rdev, f"{disk.sysfs().block}/{disk.part_name}")
        os.close(disk._part_fd)
        disk._part_fd = disk.part_loop = disk._probed = None
        disk.part_start = disk.part_size = disk.part_rdev = 0
        disk.fs_tags = {}

    def _settle(self) -> None:
        """What the kernel and udev do for `udevadm settle`: every disk's partition table is
        read again; a partition 1 that appeared, changed or went is shown as the table now
        has it, unless the partition is in use (mounted), when the kernel keeps the old
        one; the file system links follow what partition 1 holds."""
        with self._disks_lock:
            for disk in list(self.disks.values()):
                table = self._read_table(disk)
                new = table.part1[:2] if table is not None and table.part1 else None
                now = (disk.part_start, disk.part_size) if disk.part_loop is not None else None
                if new != now:
                    if disk.part_loop is not None and _loop_in_use(disk.part_loop):
                        continue
                    self._hide_partition(disk)
                    disk.table = table
                    if new is not None:
                        self._show_partition(disk)
                else:
                    disk.table = table
                    if disk.part_loop is not None:
                        self._probe_partition(disk)
            self._publish_disks()

    def _udev_request(self, request: str) -> str:
        """Answers a request of the world's udevadm (see testbed/tools/udevadm)."""
        if request == "settle":
            self._settle()
            return "ok"
        return f"error unknown request {request!r}"

    def _publish_disks(self) -> None:
        self._write_proc_partitions()
        self._write_udev_db()

    def _write_proc_partitions(self) -> None:
        lines = ["major minor  #blocks  name", ""]
        for disk in self.disks.values():
            parts = [(disk.name, disk.rdev, disk.size)]
            if disk.part_loop is not None:
                parts.append((disk.part_name, disk.part_rdev, disk.part_size))
            for name, rdev, size in parts:
                lines.append(f"{os.major(rdev):4d}  {os.minor(rdev):7d} {size // 1024:10d} {name}")
        path = self.root / "proc" / "partitions"
        tmp = path.with_name("partitions.new")
        tmp.write_text("\n".join(lines) + "\n")
        tmp.rename(path)

    def _write_udev_db(self) -> None:
        """udev's record of every disk and partition 1, which the world's udevadm answers
        `udevadm info` from: {"devices": {name: {"devpath", "devnode", "links",
        "properties"}}}, links relative to /dev as udev lists them."""
        devices = {}
        for disk in self.disks.values():
            place = disk.sysfs()
            ids = disk.udev_ids(place)
            if disk.table is not None:
                ids.update(ID_PART_TABLE_TYPE=disk.table.scheme, ID_PART_TABLE_UUID=disk.table.uuid)
            links = [f"disk/by-id/{link}" for link in disk.by_ids]
            devices[disk.name] = _udev_record(disk.name, disk.rdev, place.block, "disk", links,
                                              ids)
            if disk.part_loop is None:
                continue
            part = disk.table.part1
            ids.update(PARTN="1", ID_PART_ENTRY_SCHEME=disk.table.scheme,
                       ID_PART_ENTRY_UUID=part.uuid, ID_PART_ENTRY_TYPE=part.type.lower(),
                       ID_PART_ENTRY_NUMBER="1", ID_PART_ENTRY_OFFSET=str(part.start // 512),
                       ID_PART_ENTRY_SIZE=str(part.size // 512),
                       ID_PART_ENTRY_DISK=f"{os.major(disk.rdev)}:{os.minor(disk.rdev)}")
            for tag, value in disk.fs_tags.items():
                if tag in ("TYPE", "UUID", "UUID_SUB", "LABEL", "VERSION", "USAGE"):
                    ids[f"ID_FS_{tag}"] = value
                    if tag in ("UUID", "LABEL"):
                        ids[f"ID_FS_{tag}_ENC"] = _udev_encode(value)
            links = [f"{link}-part1" for link in links] + [
                str(link.relative_to(self.root / "dev")) for link in self._fs_links(disk)]
            devices[disk.part_name] = _udev_record(disk.part_name, disk.part_rdev,
                                                   f"{place.block}/{disk.part_name}",
                                                   "partition", links, ids)
        path = self.root / UDEV_DB.lstrip("/")
        tmp = path.with_name(path.name + ".new")
        tmp.write_text(json.dumps({"devices": devices}, indent=1) + "\n")
        tmp.rename(path)  # a udevadm that reads it now reads the old or the new, whole

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
                "--bind", str(r / "sys"), "/sys",
                "--dir", SYSFS,
                "--ro-bind", str(self.dir / "stand-in"), RECORDER,
                "--ro-bind", str(self.dir / "lib"), STAND_IN_LIB]
        for d in ("boot", "etc", "var", "mnt", "root", "run", "tmp"):
            args += ["--bind", str(r / d), "/" + d]
        return args + ["--chdir", "/"]

    def _launch_argv(self) -> list[str]:
        """bwrap, started in a private mount namespace in which /usr is first overlaid with
        the world's stand-ins; bwrap's own namespace copies that, and the host never sees
        it. unshare and sh exec, so bwrap stays the child that --die-with-parent needs."""
        overlay = ('mount -t overlay -o "ro,lowerdir=$0:/usr" orvan-usr /usr && exec "$@"')
        return [shutil.which("unshare", path=HOST_TOOL_PATH), "--mount", "--propagation",
                "private", "--", "/bin/sh", "-c", overlay, str(self.dir / "usr"),
                *self._bwrap_args()]

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
            f"mount -t sysfs -o ro,nosuid,nodev,noexec sysfs {SYSFS}\n"
            "mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts /dev/pts\n"
            f"echo ready >&{ready_w}\n"
            f"exec {ready_w}>&-\n"
            "exec sleep infinity\n")
        out = open(self.dir / "world.out", "wb")
        try:
            self._bwrap = subprocess.Popen(
                [*self._launch_argv(), "--info-fd", str(info_w), "/bin/bash", "-c", keeper],
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
        """Runs /usr/local/sbin/orvand and waits until it has detached and serves its socket.

        Serving means its main thread waits in accept(): start-up is over, and what it
        wrote on the way (state files, journal entries) is there to read. A client could
        connect sooner, but would only wait in the backlog."""
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
                daemons = self.daemon_pids()
                if any(_waits_in_accept(pid) for pid in daemons):
                    self._launchers.remove(p)
                    return
                if not daemons:
                    problem = "orvand detached and then ended during start-up"
                    break
            if time.monotonic() > deadline:
                if status is None:
                    problem = (f"orvand did not detach within {timeout} s"
                               + ("" if _is_socket(socket_file) else f" and made no {SOCKET}"))
                elif _is_socket(socket_file):
                    problem = (f"orvand detached but did not come to accept connections "
                               f"within {timeout} s")
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

    def daemon_world_pid(self) -> int:
        """The world's pid of the one running orvand (as a stand-in's orvand_pid names it)."""
        pids = self.daemon_pids()
        if len(pids) != 1:
            raise WorldError(f"{len(pids)} orvand processes run in {self!r}, not one")
        return self.world_pid(pids[0])

    def world_pid(self, host_pid: int) -> int:
        """The pid the world knows a process of it by, from its host pid."""
        try:
            with open(f"/proc/{host_pid}/status") as f:
                for line in f:
                    if line.startswith("NSpid:"):
                        return int(line.split()[-1])
        except OSError:
            pass
        raise WorldError(f"process {host_pid} is gone or not in {self!r}")

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

    # -- the web server ------------------------------------------------------------------

    def nginx(self, action: str, check: bool = True,
              timeout: float = 30) -> subprocess.CompletedProcess:
        """Runs the world's /etc/rc.d/rc.nginx with action (start, stop, restart, reload,
        status), as the machine's own scripts would; the call is journaled."""
        return self.run(["/etc/rc.d/rc.nginx", action], check=check, timeout=timeout)

    def nginx_running(self) -> bool:
        """Whether the nginx master that /var/run/nginx.pid names runs in the world."""
        try:
            pid = int(self.path(NGINX_PIDFILE).read_text())
        except (OSError, ValueError):
            return False
        for host_pid in self.pids("nginx"):
            try:
                if self.world_pid(host_pid) == pid:
                    return True
            except WorldError:
                continue
        return False

    @property
    def nginx_socket_path(self) -> str:
        """The host path of the web server's socket /var/run/nginx.socket."""
        return str(self.path(NGINX_SOCKET))

    def _nginx_connect(self, timeout: float) -> socket.socket:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.settimeout(timeout)
        try:
            s.connect(self.nginx_socket_path)
        except (FileNotFoundError, ConnectionRefusedError) as e:
            s.close()
            raise WorldError(f"nginx does not serve {NGINX_SOCKET} in {self!r} ({e}); "
                             "is it started (rc.nginx start)?") from None
        return s

    def nginx_request(self, raw: bytes,
                      timeout: float = 10) -> tuple[str, list[tuple[str, str]], bytes]:
        """Sends raw bytes to the web server's socket; returns (status line,
        [(name, value)], body) of what it answered until it closed (ask it to close)."""
        with self._nginx_connect(timeout) as s:
            s.sendall(raw)
            got = []
            while data := s.recv(65536):
                got.append(data)
        return parse_response(b"".join(got))

    def publish(self, channel: str, body: str | bytes, buffer_length: int = 1) -> str:
        """Posts body to the channel with orvand's own request, byte for byte; returns
        nginx's status line (201 Created with subscribers, 202 Accepted without)."""
        data = body.encode() if isinstance(body, str) else body
        head = (f"POST /pub/{channel}?buffer_length={buffer_length} HTTP/1.1\r\n"
                "Host: localhost\r\nAccept: */*\r\n"
                f"Content-Length: {len(data)}\r\n"
                "Content-Type: application/x-www-form-urlencoded\r\n"
                "Connection: close\r\n\r\n")
        return self.nginx_request(head.encode() + data)[0]

    def channel_info(self, channel: str) -> dict | None:
        """nchan's account of a channel, {"messages": queued, "requested": seconds since a
        subscriber last asked, "subscribers": open now, "last_message_id": "time:tag"},
        or None when the channel has never had a message."""
        status, _, body = self.nginx_request(
            f"GET /pub/{channel} HTTP/1.1\r\nHost: localhost\r\nAccept: text/json\r\n"
            "Connection: close\r\n\r\n".encode())
        if status.split()[1] == "404":
            return None
        if status.split()[1] != "200":
            raise WorldError(f"nginx answered {status!r} for channel {channel}: {body!r}")
        return json.loads(body)

    def publications(self, channel: str | None = None) -> list["Publication"]:
        """Every publication nginx has received so far, in order (with channel, those to
        it): from the web server's log, so nothing is missed or counted twice, whoever
        subscribes. A publication is logged before nginx closes the publisher's
        connection, and orvand publishes one change after the other: once a later
        publication is here, every earlier one is too."""
        try:
            text = self.path(PUBLICATIONS_LOG).read_text(errors="surrogateescape")
        except FileNotFoundError:
            return []
        found = []
        for line in text.splitlines(keepends=True):
            if not line.endswith("\n"):
                break  # being written
            name, status, length = line.split()
            if channel is None or name == channel:
                found.append(Publication(name, int(status),
                                         0 if length == "-" else int(length)))
        return found

    def subscriber(self, channel: str, current: bool = False,
                   timeout: float = 5) -> "Subscriber":
        """An open subscription that keeps every message published to the channel from
        now on, until it is closed (use it in a with statement). With current=True the
        channel's message of the moment, if any, comes first."""
        after = None
        if not current:
            info = self.channel_info(channel)
            after = info["last_message_id"] if info else None
        return Subscriber(self._nginx_connect(timeout), channel, current, after, timeout)

    def subscribe(self, channel: str, timeout: float = 5) -> str:
        """The channel's current message, as a page that subscribes now gets it; when the
        channel has none yet, the first one published within timeout."""
        with self.subscriber(channel, current=True, timeout=timeout) as sub:
            return sub.wait(lambda message: True, timeout)

    def wait_message(self, channel: str, what: str | Callable[[str], bool],
                     timeout: float = 5) -> str:
        """Waits until the channel's current message, or one published after it within
        timeout, contains what (a str) or satisfies what(message); returns it."""
        with self.subscriber(channel, current=True, timeout=timeout) as sub:
            return sub.wait(what, timeout)


class Publication(NamedTuple):
    """One publication received by a world's nginx."""
    channel: str
    status: int  # 201 Created (someone subscribed), 202 Accepted, 4xx refused
    length: int  # body bytes


class Subscriber:
    """An EventSource subscription to one channel of a world's nginx.

    A thread reads the stream and keeps each message's body, as exactly the text that
    was published, in `messages`. nchan writes a message as one "data: " line per line of
    it (split at line feeds only, so a CR stays where it was) and ends it with an empty
    line; joining the data lines with line feeds gives the body back.
    """

    def __init__(self, sock: socket.socket, channel: str, current: bool, after: str | None,
                 timeout: float):
        self.channel = channel
        self.messages: list[str] = []
        self._sock = sock
        self._cond = threading.Condition()
        self._ended = False
        self._buffer = b""
        request = [f"GET /sub/{channel} HTTP/1.1", "Host: localhost",
                   "Accept: text/event-stream"]
        if after is not None:
            request.append(f"Last-Event-ID: {after}")
        try:
            sock.sendall(("\r\n".join(request) + "\r\n\r\n").encode())
            self._read_head(timeout)
        except BaseException:
            sock.close()
            raise
        sock.settimeout(None)
        self._thread = threading.Thread(target=self._run, name=f"subscriber {channel}",
                                        daemon=True)
        self._thread.start()

    def _read_head(self, timeout: float) -> None:
        """Reads the response header and nchan's first comment, sent once the subscriber
        is in the channel: from then on nothing published is missed."""
        deadline = time.monotonic() + timeout
        while b"\r\n\r\n" not in self._buffer or b"\n\n" not in \
                self._buffer.partition(b"\r\n\r\n")[2]:
            left = deadline - time.monotonic()
            if left <= 0:
                raise WorldError(f"no subscription to {self.channel} within {timeout} s; "
                                 f"nginx sent {self._buffer!r}")
            self._sock.settimeout(left)
            try:
                data = self._sock.recv(65536)
            except socket.timeout:
                continue
            if not data:
                raise WorldError(f"nginx closed the subscription to {self.channel}: "
                                 f"{self._buffer!r}")
            self._buffer += data
        head, _, self._buffer = self._buffer.partition(b"\r\n\r\n")
        status = head.split(b"\r\n", 1)[0].decode("latin-1")
        if status.split()[1:2] != ["200"]:
            raise WorldError(f"nginx refused the subscription to {self.channel}: {status}")
        self._parse()

    def _parse(self) -> None:
        events = self._buffer.split(b"\n\n")
        self._buffer = events.pop()
        bodies = []
        for event in events:
            data = [line[5:].removeprefix(b" ") for line in event.split(b"\n")
                    if line.startswith(b"data:")]
            if data:
                bodies.append(b"\n".join(data).decode("utf-8", "surrogateescape"))
        if bodies:
            with self._cond:
                self.messages.extend(bodies)
                self._cond.notify_all()

    def _run(self) -> None:
        while True:
            try:
                data = self._sock.recv(65536)
            except OSError:
                data = b""
            if not data:
                break
            self._buffer += data
            self._parse()
        with self._cond:
            self._ended = True
            self._cond.notify_all()

    def wait(self, what: str | Callable[[str], bool], timeout: float = 5,
             since: int = 0) -> str:
        """Waits for a message, from index since on, that contains what (a str) or
        satisfies what(message); returns it."""
        match = (lambda m: what in m) if isinstance(what, str) else what
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for message in self.messages[since:]:
                    if match(message):
                        return message
                since = max(since, len(self.messages))
                left = deadline - time.monotonic()
                if left <= 0 or self._ended:
                    why = "the subscription ended" if self._ended else f"within {timeout} s"
                    raise AssertionError(f"no message matching {what!r} on channel "
                                         f"{self.channel} ({why}); it got {self.messages!r}")
                self._cond.wait(left)

    def close(self) -> None:
        try:
            self._sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._thread.join(5)
        self._sock.close()

    def __enter__(self) -> "Subscriber":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def _text(data: bytes) -> str:
    return data.decode("utf-8", "surrogateescape")


def _read_with_timeout(fd: int, timeout: float) -> bytes:
    ready, _, _ = select.select([fd], [], [], timeout)
    return os.read(fd, 65536) if ready else b""


# accept and accept4, by machine: what a server's main thread waits in when it is idle.
ACCEPT_SYSCALLS = {"x86_64": (43, 288), "aarch64": (202, 242)}


def _waits_in_accept(pid: int) -> bool:
    """Whether the main thread of a process is blocked in accept()."""
    try:
        with open(f"/proc/{pid}/syscall") as f:
            number = f.read().split()[0]
    except (OSError, IndexError):
        return False
    return number.isdigit() and int(number) in ACCEPT_SYSCALLS.get(os.uname().machine, ())


def _is_socket(p: pathlib.Path) -> bool:
    try:
        return stat.S_ISSOCK(p.stat().st_mode)
    except OSError:
        return False


def _world_owned(world_path: str) -> bool:
    """Whether a world path lies in a world-owned directory, taken literally (no links)."""
    inside = world_path.lstrip("/")
    return any(inside == d or inside.startswith(d + "/") for d in OWNED)


def _write_files(directory: pathlib.Path, files: Mapping[str, str]) -> None:
    for name, content in files.items():
        path = directory / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(content)


def _link(target: str, path: pathlib.Path, replace: bool = False) -> None:
    """A symbolic link; with replace, one that takes the place of any link there, as
    udev's links of the same name do (the last device to claim a name gets it)."""
    path.parent.mkdir(parents=True, exist_ok=True)
    if not replace:
        os.symlink(target, path)
        return
    tmp = path.with_name(f".{path.name}.new")
    tmp.unlink(missing_ok=True)
    os.symlink(target, tmp)
    tmp.rename(path)


def _unlink_link(path: pathlib.Path, target: str) -> None:
    """Removes a symbolic link if it still points at target (another device may have
    taken its name since)."""
    try:
        if os.readlink(path) == target:
            path.unlink()
    except (FileNotFoundError, OSError):
        pass


def _udev_record(name: str, rdev: int, devpath: str, devtype: str, links: list[str],
                 ids: Mapping[str, str]) -> dict:
    """udev's record of one block device, its properties in the order udevadm lists them."""
    props = {**ids, "DEVNAME": f"/dev/{name}", "DEVPATH": f"/{devpath}", "DEVTYPE": devtype,
             "MAJOR": str(os.major(rdev)), "MINOR": str(os.minor(rdev)), "SUBSYSTEM": "block",
             "DEVLINKS": " ".join(f"/dev/{link}" for link in links), "TAGS": ":systemd:"}
    return {"devpath": f"/{devpath}", "devnode": f"/dev/{name}", "links": links,
            "properties": dict(sorted(props.items()))}


def _host_tool(argv: Sequence[str], input: str | None = None, ok: Sequence[int] = (0,)) -> str:
    """Runs a host tool that builds part of a world; its output, or WorldError."""
    r = subprocess.run(argv, input=input, capture_output=True, text=True)
    if r.returncode not in ok:
        raise WorldError(f"{' '.join(argv)} failed with status {r.returncode}: "
                         f"{(r.stderr or r.stdout).strip()}")
    return r.stdout
