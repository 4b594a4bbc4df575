"""The array as a user sees it after the daemon loads the md driver (the test bed's
mdsim): which disk sits in which slot, what the driver says of each, what a start would
do, and the events the load posts."""

import json
import pathlib
import re

from helpers import ini_sections, post, variables

STATE = "/var/local/orvan"
DEFAULT = json.loads((pathlib.Path(__file__).resolve().parents[2]
                      / "testbed/machines/default.json").read_text())


def disk_spec(i, size="512M", **kw):
    name = "sd" + "bcdefghij"[i]
    return {"name": name, "transport": "usb", "vendor": "Generic", "model": "Disk",
            "serial": f"SER{i:04d}", "size": size, "sector_size": 512, "rotational": 1,
            "discard": 0, "removable": 0, "controller": f"host{4 + i}", **kw}


def disk_id(w, name):
    return w.disks[name].by_id.split("-", 1)[1]


def machine(count, discard=(), **kw):
    """The boot flash and count blank disks sdb, sdc, ...; those named in discard offer it."""
    disks = [disk_spec(i) for i in range(count)]
    for d in disks:
        d["discard"] = int(d["name"] in discard)
    return {"disks": DEFAULT["disks"] + disks, **kw}


def seeded_slots(ids, array_slots=5):
    """disk.cfg with the number of array slots shown and a device id per slot."""
    return f'SYS_ARRAY_SLOTS="{array_slots}"\r\n' + "".join(
        f'diskIdSlot.{slot}="{i}"\r\n' for slot, i in ids.items())


def start_with_slots(make_world, count, slots, discard=(), **kw):
    """A world of count disks whose disk.cfg puts the disk named slots[n] into slot n."""
    w = make_world(daemon=False, machine=machine(count, discard), **kw)
    ids = {slot: disk_id(w, name) for slot, name in slots.items()}
    w.path("/boot/config/disk.cfg").write_text(seeded_slots(ids))
    w.start_daemon()
    return w, ids


def test_a_fresh_machine_loads_the_driver_and_imports_its_slots(make_world):
    # sdc and sde offer discard: an array slot never does, an unassigned disk shows it
    w, ids = start_with_slots(make_world, 4, {0: "sdb", 1: "sdc", 2: "sdd"}, discard=("sdc", "sde"))
    modprobe = [e["argv"][1:] for e in w.journal("modprobe")]
    assert ["md-mod", "super=/boot/config/super.dat"] in modprobe
    var = w.settings(f"{STATE}/var.ini")
    assert var["mdState"] == "NEW_ARRAY"
    disks = ini_sections(w.path(f"{STATE}/disks.ini"))
    # blank disks: the default layout for a small rotational disk starts at sector 64
    size_kib = str((w.disks["sdb"].size // 512 - 64) // 2 // 4 * 4)
    for ident, name in (("parity", "sdb"), ("disk1", "sdc"), ("disk2", "sdd")):
        d = disks[ident]
        assert (d["device"], d["id"], d["status"], d["color"], d["size"]) == \
            (name, ids[{"parity": 0, "disk1": 1, "disk2": 2}[ident]], "DISK_NEW", "blue-on",
             size_kib), ident
        assert (d["discard"], d["format"]) == ("0", "unknown")  # blank: nothing written yet
    assert disks["disk3"]["status"] == "DISK_NP" and disks["disk3"]["color"] == "grey-off"
    assert disks["flash"]["device"] == "sda" and disks["flash"]["status"] == "DISK_OK"
    devs = ini_sections(w.path(f"{STATE}/devs.ini"))
    assert list(devs) == ["dev1"] and devs["dev1"]["device"] == "sde"
    assert devs["dev1"]["discard"] == "1"
    assert [e["argv"][1:] for e in w.journal("orvan_event")] == [["driver_loaded"]]


def erased_first_sector(sectors, start=64):
    """The first sector of a factory-erased disk: one partition entry of type 0."""
    sector = bytearray(512)
    sector[454:458] = start.to_bytes(4, "little")
    sector[458:462] = min(sectors - start, 0xFFFFFFFF).to_bytes(4, "little")
    sector[510:512] = b"\x55\xaa"
    return bytes(sector)


def md_commands(w):
    return [t[len("mdcmd: "):] for t in w.log_texts(6, ident="mdsim") if t.startswith("mdcmd: ")]


def test_an_erased_disk_is_imported_as_erased_and_counted(make_world):
    w = make_world(daemon=False, machine=machine(4))
    disk = w.disks["sde"]
    w.run(["dd", "of=/dev/sde", "bs=512", "conv=notrunc,fsync", "status=none"],
          input=erased_first_sector(disk.size // 512), check=True)
    ids = {0: disk_id(w, "sdb"), 3: disk_id(w, "sde")}
    w.path("/boot/config/disk.cfg").write_text(seeded_slots(ids))
    w.start_daemon()
    disks = ini_sections(w.path(f"{STATE}/disks.ini"))
    assert disks["disk3"]["format"] == "factory-erased"
    assert w.settings(f"{STATE}/var.ini")["mdNumErased"] == "1"
    size = (disk.size // 512 - 64) // 2 // 4 * 4
    assert f"import 3 sde 64 {size} 1 {ids[3]}" in md_commands(w)
    assert f"import 0 sdb 64 {size} 0 {ids[0]}" in md_commands(w)


def test_invalidslot_names_the_parity_slots_without_a_disk(make_world, probe):
    for slots, expected in (({0: "sdb", 1: "sdc", 29: "sdd"}, "set invalidslot 99 99"),
                            ({1: "sdc", 2: "sdd"}, "set invalidslot 0 29")):
        w = make_world(daemon=False, machine=machine(3))
        ids = {slot: disk_id(w, name) for slot, name in slots.items()}
        w.path("/boot/config/disk.cfg").write_text(seeded_slots(ids))
        out = probe(w, "md_start", "md_invalidslot=yes")
        assert "start=0" in out and "mdState=STARTED" in out, out
        assert expected in md_commands(w)
        w.run("printf stop > /proc/mdcmd", check=True)  # the world goes; its driver with it
        w.stop()


def test_the_event_hook_lines_become_the_progress_text(make_world):
    w, _ = start_with_slots(make_world, 2, {0: "sdb", 1: "sdc"})
    w.set_stand_in("orvan_event", stdout="one\ntwo\nthree\n", pause=0.2)
    w.run("/sbin/rmmod md-mod", check=True)  # the next refresh finds the driver gone
    with w.subscriber("var") as sub:
        post(w, "debug=")
        progress = []
        sub.wait(lambda m: (progress.append(re.search(r'^fsProgress="(.*)"$', m, re.M).group(1))
                            or progress[-1] == "three"), timeout=10)
    assert [p for p in progress if p] == ["one", "two", "three"]
    assert w.settings(f"{STATE}/var.ini")["fsProgress"] == "three"
    assert [e["argv"][1:] for e in w.journal("orvan_event")] == [["driver_loaded"]] * 2
    for line in ("one", "two", "three"):
        assert line in w.log_texts(6, ident="orvand")


def test_removed_and_replaced_disks_while_stopped(make_world):
    w, ids = start_with_slots(make_world, 3, {0: "sdb", 1: "sdc", 2: "sdd"})
    # A first start records the disks in the superblock; then the array stops again.
    w.run("printf 'start NEW_ARRAY' > /proc/mdcmd && printf stop > /proc/mdcmd", check=True)

    w.remove_disk("sdc")
    post(w, "debug=")  # the refresh sees the device set change and imports afresh
    disks = ini_sections(w.path(f"{STATE}/disks.ini"))
    assert (disks["disk1"]["status"], disks["disk1"]["color"]) == ("DISK_NP_MISSING", "red-off")
    assert disks["disk2"]["status"] == "DISK_OK"
    assert any(t.startswith(f"offline: {ids[1]} (sdc)") for t in w.log_texts(6, ident="orvand"))
    assert "import 1" in md_commands(w)

    stranger = w.add_disk(disk_spec(5))
    post(w, f"slotId.1={disk_id(w, stranger.name)}&debug=")
    disks = ini_sections(w.path(f"{STATE}/disks.ini"))
    assert (disks["disk1"]["device"], disks["disk1"]["status"]) == (stranger.name, "DISK_WRONG")
    assert disks["disk1"]["idSb"] == ids[1]  # the superblock still names the disk it had


def test_an_id_is_matched_by_its_serial_and_one_device_fills_one_slot(make_world):
    w = make_world(daemon=False, machine=machine(2))
    sdc = disk_id(w, "sdc")
    other_name = "Another_Name_" + sdc.rsplit("_", 1)[1]  # same serial, other model text
    w.path("/boot/config/disk.cfg").write_text(seeded_slots({1: other_name, 2: sdc}))
    w.start_daemon()
    disks = ini_sections(w.path(f"{STATE}/disks.ini"))
    assert disks["disk1"]["device"] == "sdc" and disks["disk1"]["id"] == sdc
    assert disks["disk2"]["status"] == "DISK_NP"
    assert any(t.endswith(": disk2: already assigned") for t in w.log_texts(3, ident="orvand"))


def test_a_start_the_driver_refuses_changes_nothing(make_world, probe):
    w = make_world(daemon=False, machine=machine(2))
    ids = {0: disk_id(w, "sdb"), 1: disk_id(w, "sdc")}
    w.path("/boot/config/disk.cfg").write_text(seeded_slots(ids))
    out = variables(probe(w, "md_start", "startState=STOPPED"))  # the driver says NEW_ARRAY
    assert (out["start"], out["mdState"], out["fsProgress"]) == ("-1", "NEW_ARRAY", "Start error")
    assert any(t.endswith(": write: start STOPPED retval: -1")
               for t in w.log_texts(3, ident="orvan_probe"))


def test_luks_on_a_data_slot(make_world, probe):
    import base64
    w = make_world(daemon=False, machine=machine(2))
    ids = {0: disk_id(w, "sdb"), 1: disk_id(w, "sdc")}
    w.path("/boot/config/disk.cfg").write_text(seeded_slots(ids))
    passphrase = "it's a 'secret' $HOME"
    key = base64.urlsafe_b64encode(passphrase.encode()).decode()
    out = variables(probe(w, "luks", key))
    assert out["start"] == "0"
    assert out["format"] == "1 mapped=mapper/md1p1"
    assert out["open_again"] == "1 mapped=mapper/md1p1"  # the mapping exists: still open
    assert out["close"] == "1 mapped=md1p1"
    assert out["open_wrong_key"] == "3 mapped=md1p1"  # "Wrong encryption key"
    calls = len(w.journal("cryptsetup"))
    assert out["open_without_key"] == "2 mapped=md1p1"
    # without a key only the header was looked at; nothing was opened
    assert [e["argv"][1] for e in w.journal("cryptsetup")[calls - 1:]] == ["isLuks"]
    # the passphrase reached the tool unchanged: it opens the volume
    check = w.run(["/usr/sbin/cryptsetup", "luksOpen", "--test-passphrase", "/dev/md1p1"],
                  input=passphrase)
    assert check.returncode == 0, check.stderr
    assert not [t for t in w.log_lines() if "secret" in t or key in t]


def test_the_state_lock_is_free_while_the_event_hook_runs(make_world, probe):
    w = make_world(daemon=False)
    w.set_stand_in("orvan_event", stdout="one\ntwo\nthree\n", pause=0.5)
    out = variables(probe(w, "event", "array_started"))
    # another thread took the lock while the hook still printed its lines
    assert out["locked_while_hook_runs"] == "1"
    assert out["fsProgress"] == "three"
    assert w.journal("orvan_event")[-1]["argv"][1:] == ["array_started"]
