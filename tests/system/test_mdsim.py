"""mdsim, the test bed's md driver, on its own: real parity on real (loop) disks in a world.

Each test builds a world without the daemon, loads md-mod with the world's modprobe and
talks to /proc/mdcmd and /proc/mdstat as the daemon would. Members are whole disks used
from sector 64 on. Parity is checked independently, from the disks' image files.
"""

import time

import pytest

from testbed import world as testbed

FIRST = 64  # sectors before each member's contents


def disk(name: str, serial: str, size: str) -> dict:
    return {"name": name, "transport": "usb", "vendor": "Test", "model": "Disk",
            "serial": serial, "size": size, "controller": "host4"}


class Md:
    """The md driver of one world, as the daemon sees it."""

    # One write of the whole line; prints the errno's name when the driver refuses it.
    WRITE = ("import errno, os, sys\n"
             "fd = os.open('/proc/mdcmd', os.O_WRONLY | os.O_SYNC)\n"
             "try:\n"
             "    os.write(fd, sys.argv[1].encode())\n"
             "except OSError as e:\n"
             "    print(errno.errorcode[e.errno]); sys.exit(1)\n")

    def __init__(self, w: testbed.World, serials: dict[str, str]):
        self.w = w
        self.serials = serials  # disk name -> the id its imports give

    def cmd(self, line: str) -> str:
        """"" when the driver took the command, else the errno name (EINVAL, EBUSY)."""
        r = self.w.run(["/usr/bin/python3", "-c", self.WRITE, line])
        return r.stdout.strip()

    def ok(self, *lines: str) -> None:
        for line in lines:
            assert self.cmd(line) == "", f"{line!r} refused; mdstat: {self.stat()}"

    def stat(self) -> dict[str, str]:
        text = self.w.run(["cat", "/proc/mdstat"], check=True).stdout
        return dict(line.split("=", 1) for line in text.splitlines())

    def sh(self, cmd: str) -> str:
        r = self.w.run(cmd, timeout=120)
        assert r.returncode == 0, f"{cmd}: {r.stdout}{r.stderr}"
        return r.stdout

    def import_disk(self, slot: int, name: str) -> None:
        d = self.w.disks[name]
        self.ok(f"import {slot} {name} {FIRST} {d.size // 1024 - FIRST // 2} 0 "
                f"{self.serials[name]}")

    def start(self, expected_state: str) -> None:
        assert self.stat()["mdState"] == expected_state
        self.ok(f"start {expected_state}")
        assert self.stat()["mdState"] == "STARTED"

    def sync(self, option: str = "") -> dict[str, str]:
        """Runs a sync to its end; the status after it."""
        self.ok(f"check {option}".strip())
        deadline = time.monotonic() + 120
        while True:
            s = self.stat()
            if s["mdResyncPos"] == "0" and s["sbSynced2"] != "0":
                return s
            assert time.monotonic() < deadline, f"sync did not end: {s}"
            time.sleep(0.05)


def member(w: testbed.World, name: str, size: int | None = None, at: int = 0) -> bytes:
    """A member's contents straight from its disk's image file."""
    d = w.disks[name]
    with open(d.image, "rb") as f:
        f.seek(FIRST * 512 + at)
        return f.read(size if size is not None else d.size - FIRST * 512 - at)


def gf_tables() -> list[bytes]:
    """mul[c] maps each byte b to c * b in GF(2^8) with the polynomial 0x11d."""
    def mul(a: int, b: int) -> int:
        r = 0
        while b:
            if b & 1:
                r ^= a
            a = (a << 1) ^ (0x11d if a & 0x80 else 0)
            b >>= 1
        return r
    return [bytes(mul(c, b) for b in range(256)) for c in range(256)]


def xor(buffers: list[bytes], size: int) -> bytes:
    acc = 0
    for b in buffers:
        acc ^= int.from_bytes(b.ljust(size, b"\0")[:size], "little")
    return acc.to_bytes(size, "little")


def expected_parity(w: testbed.World, data: dict[int, str], size: int) -> tuple[bytes, bytes]:
    """P and Q over the first size bytes, computed here from the data members."""
    mul = gf_tables()
    contents = {slot: member(w, name, size) for slot, name in data.items()}
    p = xor(list(contents.values()), size)
    g = [1]
    for _ in range(30):
        g.append(mul[2][g[-1]])
    q = xor([c.translate(mul[g[slot - 1]]) for slot, c in contents.items()], size)
    return p, q


@pytest.fixture
def md_world(make_world):
    """md_world(*disks) -> Md of a fresh world with those disks and md-mod loaded."""
    mdsim = testbed.default_orvand().parent / "testbed" / "mdsim" / "mdsim"
    if not mdsim.is_file():
        pytest.skip(f"mdsim is missing: there is no {mdsim} (build the mdsim target, or point "
                    "ORVAND_BUILD at a build directory that has it)")

    def make(*disks: dict) -> Md:
        w = make_world(daemon=False, machine={"disks": list(disks)})
        w.run(["modprobe", "md-mod", "super=/boot/config/super.dat"], check=True)
        return Md(w, {d["name"]: d["serial"] for d in disks})

    return make


def test_parity_is_real_and_a_check_finds_and_fixes_a_flipped_byte(md_world):
    md = md_world(disk("sdb", "PAR1", "40M"), disk("sdc", "DATA1", "24M"),
                  disk("sdd", "DATA2", "40M"), disk("sde", "PAR2", "40M"))
    for slot, name in ((0, "sdb"), (1, "sdc"), (2, "sdd"), (29, "sde")):
        md.import_disk(slot, name)
    md.start("NEW_ARRAY")
    assert md.stat()["mdResyncAction"] == "recon P Q"
    assert md.sync()["sbSyncExit"] == "0"
    assert md.stat()["mdResyncAction"] == "check P Q"
    # unaligned writes, and some beyond the end of the shorter data disk
    md.sh("dd if=/dev/urandom of=/dev/md1p1 bs=1M count=3 status=none && "
          "dd if=/dev/urandom of=/dev/md2p1 bs=1000 seek=1500 count=2100 status=none && "
          "dd if=/dev/urandom of=/dev/md2p1 bs=1M seek=30 count=2 status=none && sync")
    size = 40 * 1024 * 1024 - FIRST * 512
    data = {1: "sdc", 2: "sdd"}
    p, _ = expected_parity(md.w, data, size)
    assert member(md.w, "sdb") == p
    _, q = expected_parity(md.w, data, 4 << 20)
    assert member(md.w, "sde", 4 << 20) == q
    assert md.sync("nocorrect")["sbSyncErrs"] == "0"

    # A byte that changes behind the driver's back: both parities disagree with it, in
    # one 4 KiB block each.
    d = md.w.disks["sdd"]
    with open(d.image, "r+b") as f:
        f.seek(FIRST * 512 + 2_000_123)
        b = f.read(1)
        f.seek(-1, 1)
        f.write(bytes([b[0] ^ 0x5a]))
    assert md.sync("nocorrect")["sbSyncErrs"] == "2"
    assert md.sync("nocorrect")["sbSyncErrs"] == "2"  # a read-only check left it
    assert md.sync("correct")["sbSyncErrs"] == "2"
    assert md.sync("nocorrect")["sbSyncErrs"] == "0"
    p, q = expected_parity(md.w, data, 4 << 20)
    assert member(md.w, "sdb", 4 << 20) == p and member(md.w, "sde", 4 << 20) == q


def test_a_pulled_disk_is_served_from_parity_and_rebuilt_onto_a_new_one(md_world):
    md = md_world(disk("sdb", "PAR1", "512M"), disk("sdc", "DATA1", "512M"),
                  disk("sdd", "DATA2", "384M"), disk("sde", "SPARE", "512M"))
    for slot, name in ((0, "sdb"), (1, "sdc"), (2, "sdd")):
        md.import_disk(slot, name)
    md.start("NEW_ARRAY")
    md.sync()
    md.sh("mkfs.xfs -q /dev/md1p1 && mkdir -p /mnt/disk1 && mount /dev/md1p1 /mnt/disk1 && "
          "head -c 20000000 /dev/urandom > /mnt/disk1/big && echo hello > /mnt/disk1/small")
    want = md.sh("cd /mnt/disk1 && sha256sum big small")
    # busy while mounted, like a kernel's array
    assert md.cmd("stop") == "EBUSY"
    r = md.w.run(["rmmod", "md-mod"])
    assert r.returncode == 1 and "Module md_mod is in use" in r.stderr
    md.sh("umount /mnt/disk1")
    md.ok("stop")

    md.ok("import 1")
    s = md.stat()
    assert (s["rdevStatus.1"], s["mdState"]) == ("DISK_NP_MISSING", "DISABLE_DISK")
    md.start("DISABLE_DISK")
    s = md.stat()
    assert (s["rdevStatus.1"], s["diskName.1"]) == ("DISK_NP_DSBL", "md1p1")
    md.sh("mount /dev/md1p1 /mnt/disk1 && echo written-while-emulated > /mnt/disk1/later")
    assert md.sh("cd /mnt/disk1 && sha256sum big small") == want
    md.sh("umount /mnt/disk1")
    md.ok("stop")

    md.import_disk(1, "sde")
    s = md.stat()
    assert (s["rdevStatus.1"], s["mdState"], s["mdResyncAction"]) == \
        ("DISK_DSBL_NEW", "RECON_DISK", "recon D1")
    md.start("RECON_DISK")
    assert md.stat()["rdevStatus.1"] == "DISK_INVALID"
    assert md.sync()["sbSyncExit"] == "0"
    assert md.stat()["rdevStatus.1"] == "DISK_OK"
    assert member(md.w, "sde", 4).startswith(b"XFSB")  # the file system is on the new disk
    md.sh("mount /dev/md1p1 /mnt/disk1")
    assert md.sh("cd /mnt/disk1 && sha256sum big small") == want
    assert md.sh("cat /mnt/disk1/later") == "written-while-emulated\n"
    md.sh("umount /mnt/disk1")
    assert md.sync("nocorrect")["sbSyncErrs"] == "0"
    md.ok("stop")


def test_a_parity_swap_moves_old_parity_into_the_disabled_slot(md_world):
    md = md_world(disk("sdb", "PAR1", "24M"), disk("sdc", "DATA1", "24M"),
                  disk("sdd", "DATA2", "16M"), disk("sde", "BIGPAR", "48M"))
    for slot, name in ((0, "sdb"), (1, "sdc"), (2, "sdd")):
        md.import_disk(slot, name)
    md.start("NEW_ARRAY")
    md.sync()
    md.sh("dd if=/dev/urandom of=/dev/md1p1 bs=1M count=20 status=none")
    want = md.sh("sha256sum < /dev/md1p1")
    md.ok("stop", "import 1")
    md.start("DISABLE_DISK")
    md.ok("stop")
    # The disabled disk's slot gets the old parity disk, parity a new, larger disk.
    md.import_disk(0, "sde")
    md.import_disk(1, "sdb")
    s = md.stat()
    assert (s["mdState"], s["mdSwapP"], s["mdSwapQ"]) == ("SWAP_DSBL", "1", "0")
    # What the daemon's copy does: the old parity onto the new disk, zeros beyond it.
    start = FIRST * 512
    md.sh(f"dd if=/dev/sdb of=/dev/sde bs=1M iflag=skip_bytes oflag=seek_bytes "
          f"skip={start} seek={start} count=24 status=none conv=fsync")
    md.start("SWAP_DSBL")
    s = md.stat()
    assert (s["rdevStatus.0"], s["rdevStatus.1"], s["mdResyncAction"]) == \
        ("DISK_OK", "DISK_INVALID", "recon D1")
    assert md.sh("sha256sum < /dev/md1p1") == want  # served from the copied parity
    md.sync()
    assert md.stat()["rdevStatus.1"] == "DISK_OK"
    assert md.sync("nocorrect")["sbSyncErrs"] == "0"
    md.ok("stop")
    assert member(md.w, "sdb", 20 << 20) == member(md.w, "sdc", 20 << 20)


def test_statuses_and_start_states_follow_the_disks(md_world):
    md = md_world(disk("sdb", "PAR1", "16M"), disk("sdc", "DATA1", "8M"),
                  disk("sdd", "DATA2", "8M"), disk("sde", "OTHER", "16M"),
                  disk("sdf", "SMALL", "4M"))
    md.import_disk(0, "sdb")
    md.import_disk(1, "sdc")
    md.import_disk(2, "sdd")
    assert md.stat()["mdNumNew"] == "3"
    assert md.cmd("start STOPPED") == "EINVAL"  # not what the driver would do
    assert md.stat()["mdState"] == "NEW_ARRAY"
    md.start("NEW_ARRAY")
    assert md.cmd("import 3 sde 64 16352 0 OTHER") == "EBUSY"
    md.sync()
    md.ok("stop")

    cases = [  # imports over the recorded array -> statuses of slots 0-3, state
        ({}, ("DISK_OK", "DISK_OK", "DISK_OK", "DISK_NP"), "STOPPED"),
        ({2: None}, ("DISK_OK", "DISK_OK", "DISK_NP_MISSING", "DISK_NP"), "DISABLE_DISK"),
        ({2: "sde"}, ("DISK_OK", "DISK_OK", "DISK_WRONG", "DISK_NP"), "RECON_DISK"),
        ({3: "sde"}, ("DISK_OK", "DISK_OK", "DISK_OK", "DISK_NEW"), "STOPPED"),
        ({1: None, 2: None}, ("DISK_OK", "DISK_NP_MISSING", "DISK_NP_MISSING", "DISK_NP"),
         "ERROR:TOO_MANY_MISSING_DISKS"),
        ({2: "sdf"}, ("DISK_OK", "DISK_OK", "DISK_WRONG", "DISK_NP"), "ERROR:DISK_TOO_SMALL"),
        ({0: "sdf"}, ("DISK_WRONG", "DISK_OK", "DISK_OK", "DISK_NP"), "ERROR:PARITY_TOO_SMALL"),
    ]
    for change, statuses, state in cases:
        for slot, name in ((0, "sdb"), (1, "sdc"), (2, "sdd")):
            md.import_disk(slot, name)
        md.ok("import 3")
        for slot, name in change.items():
            md.ok(f"import {slot}") if name is None else md.import_disk(slot, name)
        s = md.stat()
        assert tuple(s[f"rdevStatus.{i}"] for i in range(4)) == statuses, change
        assert s["mdState"] == state, change
        if state.startswith("ERROR:"):
            assert md.cmd(f"start {state}") == "EINVAL"
    assert md.stat()["diskId.2"] == "DATA2"  # the record stays what it was

    refused = ["import 30", "import 1 ../sdc 64 100 0 X", "import 1 sdz 64 100 0 X",
               "import 1 sdc 64 999999 0 X", "set md_num_stripes lots", "set md_sync_limit 0",
               "set md_write_method 2", "set invalidslot 0 30", "set nothing 1",
               "check bogus", "nocheck now", "start", "frobnicate", "x" * 128]
    assert {line[:30]: md.cmd(line) for line in refused} == \
        {line[:30]: ("ENOENT" if "sdz" in line else "ENOSPC" if "999999" in line else "EINVAL")
         for line in refused}
    md.ok("set md_num_stripes 1280", "set md_queue_limit 80", "set md_sync_limit 5",
          "set md_write_method", "set md_write_method 1", "set invalidslot 99 29")


def test_sync_pauses_resumes_and_cancels(md_world):
    md = md_world(disk("sdb", "PAR1", "24M"), disk("sdc", "DATA1", "24M"))
    md.import_disk(0, "sdb")
    md.import_disk(1, "sdc")
    md.ok("set invalidslot 99 99")  # trust the zeros: parity of a blank disk is blank
    md.start("NEW_ARRAY")
    assert md.stat()["mdResyncAction"] == "check P"
    md.ok("set md_sync_speed 4096", "check nocorrect")
    deadline = time.monotonic() + 30
    while int(md.stat()["mdResyncPos"]) == 0:
        assert time.monotonic() < deadline
        time.sleep(0.05)
    md.ok("nocheck pause")
    paused = md.stat()
    assert paused["mdResync"] == "0" and paused["mdResyncPos"] != "0"
    assert paused["mdResyncAction"] == "check P"
    time.sleep(0.5)
    assert md.stat()["mdResyncPos"] == paused["mdResyncPos"]
    md.ok("check resume")
    while md.stat()["mdResyncPos"] == paused["mdResyncPos"]:
        assert time.monotonic() < deadline
        time.sleep(0.05)
    running = md.stat()
    assert running["mdResync"] == running["mdResyncSize"] == str(24 * 1024 - FIRST // 2)
    assert md.cmd("check") == "EBUSY"
    md.ok("nocheck cancel")
    s = md.stat()
    assert (s["sbSyncExit"], s["mdResync"], s["mdResyncPos"]) == ("-4", "0", "0")
    md.ok("check resume")  # nothing paused: nothing starts
    assert md.stat()["mdResyncPos"] == "0"
    md.ok("set md_sync_speed 0")
    assert md.sync()["sbSyncExit"] == "0"


def test_modprobe_and_rmmod_load_and_unload_the_driver(md_world):
    md = md_world(disk("sdb", "PAR1", "8M"), disk("sdc", "DATA1", "8M"))
    w = md.w
    pid = w.pids("mdsim")
    w.run(["modprobe", "md-mod", "super=/boot/config/super.dat"], check=True)
    assert w.pids("mdsim") == pid and len(pid) == 1  # a second load changes nothing
    md.import_disk(0, "sdb")
    md.import_disk(1, "sdc")
    md.start("NEW_ARRAY")
    r = w.run(["rmmod", "md-mod"])
    assert (r.returncode, r.stderr) == (1, "rmmod: ERROR: Module md_mod is in use\n")
    md.ok("stop")
    w.run(["rmmod", "md-mod"], check=True)
    assert w.pids("mdsim") == []
    assert w.run(["cat", "/proc/mdstat"]).returncode != 0  # the daemon's mdstatus fails
    r = w.run(["rmmod", "md-mod"])
    assert (r.returncode, r.stderr) == \
        (1, "rmmod: ERROR: Module md_mod is not currently loaded\n")
    # loaded again, the superblock says what the array is before any import
    w.run(["/sbin/modprobe", "md-mod", "super=/boot/config/super.dat"], check=True)
    s = md.stat()
    assert (s["diskId.0"], s["diskId.1"], s["rdevStatus.1"], s["sbNumDisks"]) == \
        ("PAR1", "DATA1", "DISK_NP_MISSING", "3")
    # SIGTERM stops a started array and ends the driver
    md.import_disk(0, "sdb")
    md.import_disk(1, "sdc")
    md.start("RECON_DISK")  # parity was never synced
    w.run("kill -TERM $(cat /run/mdsim.pid)", check=True)
    deadline = time.monotonic() + 10
    while w.pids("mdsim"):
        assert time.monotonic() < deadline
        time.sleep(0.01)
    sb = w.path("/boot/config/super.dat").read_text()
    assert "\nstate=0\n" in sb and "\nslot.1=DATA1 8160 ok\n" in sb
    # a new configuration sets the superblock aside; the driver never writes it back
    w.run("mv /boot/config/super.dat /boot/config/super.old && "
          "modprobe md-mod super=/boot/config/super.dat && rmmod md-mod && "
          "modprobe md-mod super=/boot/config/super.dat", check=True)
    s = md.stat()
    assert (s["diskId.1"], s["rdevStatus.1"], s["sbNumDisks"]) == ("", "DISK_NP", "0")
    assert not w.path("/boot/config/super.dat").exists()
    # other modules are the generic stand-in's
    assert w.run(["modprobe", "zfs"]).returncode == 0
    assert [e["argv"][1:] for e in w.journal("modprobe")] == [
        ["md-mod", "super=/boot/config/super.dat"]] * 5 + [["zfs"]]
    assert [e["argv"][1:] for e in w.journal("rmmod")] == [["md-mod"]] * 4
