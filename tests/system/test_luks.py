"""Disk encryption: the test bed's cryptsetup, real where the kernel allows and mapping
volumes of its own where it needs device-mapper, and the daemon's cmdCryptsetup command
driving it with the web GUI's passphrase or the key file."""

import base64
import json
import os
import time
import urllib.parse

import pytest

from testbed import world as testbed

INFO, ERR = 6, 3
TOOL = "/usr/sbin/cryptsetup"
DATA_DISK = {"name": "sdb", "transport": "ata", "model": "WDC WD40EFRX-68N32N0",
             "serial": "WD-WCC7K7654321", "size": "128M", "controller": "host1",
             "partition": {"start": "1M"}}
# Quotes, a variable, a backslash and command substitution: all reach the tool as typed.
# Its base64url form differs from the standard one (- and _).
PASSPHRASE = "it's a $HOME \\ `pass` ~~~???"


def machine():
    boot = json.loads(testbed.DEFAULT_MACHINE.read_text())["disks"][0]
    return {"disks": [boot, DATA_DISK]}


@pytest.fixture(autouse=True)
def host_cryptsetup():
    if not os.path.isfile(TOOL):
        pytest.skip(f"the host has no {TOOL} for the test bed to run "
                    "(Debian package cryptsetup-bin; scripts/setup installs it)")


@pytest.fixture
def bare(make_world):
    """A world with a data disk and no daemon: the tool on its own."""
    return make_world(daemon=False, machine=machine())


def tool(w, *args, key=None):
    """Runs the world's cryptsetup; the key, when given, on its standard input."""
    p = w.run([TOOL, *args], input=None if key is None else key + "\n")
    return p.returncode, p.stderr


def loop_cleared(number, timeout=5):
    deadline = time.monotonic() + timeout
    while os.path.exists(f"/sys/block/loop{number}/loop/backing_file"):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def mapping(w, name):
    return json.loads(w.path(f"/run/testbed/cryptsetup/{name}.json").read_text())


def test_format_open_write_close_reopen(bare):
    w = bare
    assert tool(w, "isLuks", "/dev/sdb1")[0] == 1
    assert tool(w, "luksFormat", "/dev/sdb1", key=PASSPHRASE)[0] == 0
    assert tool(w, "isLuks", "/dev/sdb1")[0] == 0
    assert tool(w, "luksOpen", "/dev/sdb1", "sdb1", "--allow-discards", key=PASSPHRASE)[0] == 0
    assert os.readlink(w.path("/dev/mapper/sdb1", follow=False)) == "../dm-0"
    first = mapping(w, "sdb1")

    w.run("printf 'through the mapping' | dd of=/dev/mapper/sdb1 bs=512 conv=notrunc,fsync "
          "status=none", check=True)
    # the data lands behind the LUKS header, where the real mapping would put it
    offset = first["offset"]
    dump = w.run([TOOL, "luksDump", "/dev/sdb1"], check=True).stdout
    assert f"offset: {offset} [bytes]" in dump
    on_disk = w.run(f"dd if=/dev/sdb1 bs=512 skip={offset // 512} count=1 status=none "
                    "| head -c 19", check=True).stdout
    assert on_disk == "through the mapping"

    assert tool(w, "luksClose", "sdb1") == (0, "")
    assert not w.path("/dev/mapper/sdb1", follow=False).is_symlink()
    assert not w.path("/dev/dm-0").exists()
    assert loop_cleared(first["loop"])
    assert w.run(f"kill -0 {first['holder']}").returncode != 0

    assert tool(w, "luksOpen", "/dev/sdb1", "sdb1", key=PASSPHRASE)[0] == 0
    assert w.run("head -c 19 /dev/mapper/sdb1", check=True).stdout == "through the mapping"
    # a mapping still open when the world ends leaves no loop device behind
    number = mapping(w, "sdb1")["loop"]
    w.stop()
    assert loop_cleared(number)


def test_exit_statuses_as_the_real_tool_gives_them(bare):
    w = bare
    assert tool(w, "luksOpen", "/dev/sdb1", "sdb1", key=PASSPHRASE)[0] == 1  # no LUKS volume
    assert tool(w, "luksFormat", "/dev/sdb1", key=PASSPHRASE)[0] == 0
    cases = [
        (("luksOpen", "/dev/sdb1", "sdb1"), "it's wrong", 2, "No key available"),
        (("luksOpen", "/dev/sdb1", "sdb1"), PASSPHRASE[:-1], 2, "No key available"),
        (("luksOpen", "/dev/sdb1", "sdb1"), PASSPHRASE, 0, ""),
        (("luksOpen", "/dev/sdb1", "sdb1"), PASSPHRASE, 5, "already exists"),
        (("open", "--type", "luks", "/dev/sdb1", "sdb1"), PASSPHRASE, 5, "already exists"),
        (("luksClose", "other"), None, 4, "is not active"),
        (("status", "sdb1"), None, 0, ""),
    ]
    for args, key, status, message in cases:
        rc, err = tool(w, *args, key=key)
        assert (rc, message in err) == (status, True), (args, key, err)

    w.run("mkdir -p /mnt/v && mkfs.ext4 -q /dev/mapper/sdb1 && mount /dev/mapper/sdb1 /mnt/v",
          check=True)
    rc, err = tool(w, "luksClose", "sdb1")
    assert (rc, "still in use" in err) == (5, True)
    w.run("umount /mnt/v", check=True)
    assert tool(w, "luksClose", "sdb1")[0] == 0
    assert tool(w, "luksClose", "sdb1")[0] == 4
    assert tool(w, "status", "sdb1")[0] == 4


def test_a_key_file_opens_the_volume(bare):
    w = bare
    w.path("/root/keyfile").write_bytes(b"\x00binary\nkey'")
    assert tool(w, "luksFormat", "/dev/sdb1", "/root/keyfile")[0] == 0
    assert tool(w, "luksOpen", "/dev/sdb1", "sdb1", key=PASSPHRASE)[0] == 2
    assert tool(w, "luksOpen", "/dev/sdb1", "sdb1", "--key-file=/root/keyfile")[0] == 0
    assert w.path("/dev/mapper/sdb1", follow=False).is_symlink()


# -- the daemon's cmdCryptsetup ----------------------------------------------------------

def post(w, **fields):
    body = urllib.parse.urlencode({**fields, "csrf_token": w.csrf_token()})
    status, _, _ = w.http("POST", "/update", body=body)
    assert status == "HTTP/1.1 200 OK"


def encoded(passphrase):
    return base64.urlsafe_b64encode(passphrase.encode()).decode()


def files_holding(w, needles):
    """World files (everything the world's directories hold, its journal and stand-ins
    included, not the disk images) that contain any of the byte strings."""
    found = []
    for top, dirs, files in os.walk(w.dir):
        if top == str(w.dir):
            dirs[:] = [d for d in dirs if d != "disks"]
        for name in files:
            path = os.path.join(top, name)
            if not os.path.isfile(path) or os.path.islink(path):
                continue
            try:
                with open(path, "rb") as f:
                    data = f.read()
            except OSError:
                continue
            if any(n in data for n in needles):
                found.append(path)
    return found


@pytest.fixture
def daemon_world(make_world):
    """The daemon on the default machine, and a data disk plugged in once it runs: the
    command needs no more of the daemon than a device node."""
    w = make_world()
    w.add_disk(DATA_DISK)
    return w


def calls(w):
    return [e["argv"][1:] for e in w.journal("cryptsetup")]


def test_cmdCryptsetup_formats_and_opens_with_the_passphrase_and_never_shows_it(daemon_world):
    w = daemon_world
    post(w, luksKey=encoded(PASSPHRASE), cmdCryptsetup="luksFormat /dev/sdb1")
    post(w, luksKey=encoded(PASSPHRASE), cmdCryptsetup="luksOpen /dev/sdb1 sdb1 --allow-discards")
    assert w.path("/dev/mapper/sdb1", follow=False).is_symlink()
    assert calls(w)[-2:] == [["luksFormat", "/dev/sdb1"],
                             ["luksOpen", "/dev/sdb1", "sdb1", "--allow-discards"]]
    texts = w.log_texts(INFO, ident="orvand")
    shown = [t.split(": ", 1)[1] for t in texts if t.startswith("shcmd (") and TOOL in t]
    assert shown == [f"{TOOL} luksFormat /dev/sdb1",
                          f"{TOOL} luksOpen /dev/sdb1 sdb1 --allow-discards"]
    post(w, cmdCryptsetup="luksClose sdb1")
    assert not w.path("/dev/mapper/sdb1", follow=False).is_symlink()

    # the tool got the passphrase exactly as typed
    assert tool(w, "luksOpen", "/dev/sdb1", "sdb1", key=PASSPHRASE)[0] == 0
    # as typed, and as quoted in the command line
    secret = [PASSPHRASE.encode(), PASSPHRASE.replace("'", "'\\''").encode()]
    assert not [t for _, t in w.log() if any(s.decode() in t for s in secret)]
    assert files_holding(w, secret) == []
    # the encoded key is no state file's either
    assert not [p for p in files_holding(w, [encoded(PASSPHRASE).encode()])
                if "/var/local/orvan/" in p]


def test_cmdCryptsetup_uses_the_key_file_without_a_passphrase(daemon_world):
    w = daemon_world
    w.path("/root/keyfile").write_text("from the key file")
    post(w, luksKey="", cmdCryptsetup="luksFormat /dev/sdb1")
    post(w, cmdCryptsetup="luksOpen /dev/sdb1 sdb1")
    assert calls(w)[-2:] == [["luksFormat", "/dev/sdb1", "--key-file=/root/keyfile"],
                             ["luksOpen", "/dev/sdb1", "sdb1", "--key-file=/root/keyfile"]]
    assert w.path("/dev/mapper/sdb1", follow=False).is_symlink()

    # with neither key, nothing runs
    w.path("/root/keyfile").unlink()
    before = len(calls(w))
    post(w, luksKey="", cmdCryptsetup="luksClose sdb1")  # needs no key
    post(w, luksKey="", cmdCryptsetup="luksOpen /dev/sdb1 sdb1")
    assert calls(w)[before:] == [["luksClose", "sdb1"]]
    assert "cmdCryptsetup: Missing encryption key" in w.log_texts(INFO, ident="orvand")


def test_cmdCryptsetup_refuses_shell_syntax(daemon_world):
    w = daemon_world
    marker = "/tmp/escaped"
    values = [f"isLuks /dev/sdb1; touch {marker}", f"isLuks $(touch {marker})",
              f"isLuks /dev/sdb1 && touch {marker}", f"isLuks /dev/sdb1 > {marker}"]
    for value in values:
        post(w, cmdCryptsetup=value)
    assert not w.path(marker).exists()
    assert calls(w) == []
    refused = [t for t in w.log_texts(ERR, ident="orvand") if "cmdCryptsetup" in t]
    assert len(refused) == len(values)
    # a plain argument list runs as given
    post(w, cmdCryptsetup="isLuks /dev/sdb1")
    assert calls(w) == [["isLuks", "/dev/sdb1"]]
