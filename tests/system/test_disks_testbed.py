"""The test bed's disks as the world's programs see them: nodes, partition table and file
system, the kernel's sysfs shapes, udev's links, /proc/partitions, live I/O counters."""

import json

import pytest

from testbed import world as testbed

USB_DEVICE = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host3/target3:0:0/3:0:0:0"
BY_ID = "/dev/disk/by-id/usb-SanDisk_Cruzer_Fit_4C530001230101115432-0:0"


def read_all(w, paths):
    """{path: content} of world files, read inside the world in one call."""
    script = "for f in " + " ".join(paths) + "; do cat \"$f\"; printf '\\0'; done"
    out = w.run(script, check=True).stdout.split("\0")
    return dict(zip(paths, out))


def test_the_boot_flash_looks_like_a_usb_stick(make_world):
    w = make_world(daemon=False)
    probe = w.run("blkid -p -o export /dev/sda1", check=True).stdout.splitlines()
    tags = dict(line.split("=", 1) for line in probe)
    assert (tags["TYPE"], tags["VERSION"], tags["LABEL"]) == ("vfat", "FAT32", "ZARVO")
    # blkid found the partition's place in the disk's real table through the sysfs entries
    assert (tags["PART_ENTRY_NUMBER"], tags["PART_ENTRY_OFFSET"]) == ("1", "2048")
    assert w.run("blkid -o value -s PTTYPE /dev/sda").stdout == "dos\n"

    links = w.run("realpath /dev/disk/by-label/ZARVO " + BY_ID + " " + BY_ID + "-part1"
                  " /sys/block/sda /sys/dev/block/$(cat /sys/block/sda/dev)"
                  " /sys/dev/block/$(cat /sys/block/sda/sda1/dev) /sys/block/sda/device",
                  check=True).stdout.split()
    assert links == ["/dev/sda1", "/dev/sda", "/dev/sda1", f"{USB_DEVICE}/block/sda",
                     f"{USB_DEVICE}/block/sda", f"{USB_DEVICE}/block/sda/sda1", USB_DEVICE]
    assert w.run("readlink /sys/dev/block/$(cat /sys/block/sda/dev)").stdout == \
        f"../..{USB_DEVICE[4:]}/block/sda\n"

    sys_block = {"size": "33554432", "removable": "1", "queue/rotational": "0",
                 "queue/logical_block_size": "512", "queue/hw_sector_size": "512",
                 "queue/discard_max_hw_bytes": "0", "sda1/partition": "1",
                 "sda1/start": "2048", "sda1/size": "33552384",
                 # SCSI inquiry fields, padded as the kernel shows them
                 "device/vendor": "SanDisk ", "device/model": "Cruzer Fit      "}
    paths = [f"/sys/block/sda/{name}" for name in sys_block]
    assert read_all(w, paths) == {p: v + "\n" for p, v in zip(paths, sys_block.values())}

    # the nodes carry the numbers sysfs and /proc/partitions give them
    numbers = w.run("stat -c '%Hr:%Lr' /dev/sda /dev/sda1; cat /sys/block/sda/dev"
                    " /sys/block/sda/sda1/dev", check=True).stdout.split()
    assert numbers[:2] == numbers[2:]
    partitions = w.run("cat /proc/partitions").stdout.splitlines()
    assert partitions[:2] == ["major minor  #blocks  name", ""]
    assert [line.split() for line in partitions[2:]] == [
        numbers[0].split(":") + ["16777216", "sda"], numbers[1].split(":") + ["16776192", "sda1"]]
    assert w.run("blockdev --getss --getsize64 /dev/sda").stdout.split() == ["512", "17179869184"]


def test_stat_counts_the_disks_real_io(make_world):
    w = make_world(daemon=False)
    reads = "awk '{print $1}' /sys/block/sda/stat /sys/block/sda/sda1/stat"
    before = [int(n) for n in w.run(reads, check=True).stdout.split()]
    w.run("dd if=/dev/sda1 of=/dev/null bs=4k count=8 iflag=direct status=none", check=True)
    after = [int(n) for n in w.run(reads, check=True).stdout.split()]
    assert after[0] == before[0] and after[1] > before[1]


def test_a_4k_disk_without_file_system(make_world):
    disk = {"name": "sdc", "transport": "usb", "vendor": "WD", "model": "My Passport 25E2",
            "serial": "575833314141", "size": "1G", "sector_size": 4096, "rotational": 1,
            "discard": 1, "controller": "host7",
            "partition": {"start": "1M", "size": "512M"}}
    w = make_world(daemon=False, machine={"disks": [disk]})
    assert w.run("blockdev --getss --getsize64 /dev/sdc /dev/sdc1").stdout.split() == [
        "4096", str(1 << 30), "4096", str(512 << 20)]
    got = read_all(w, [f"/sys/block/sdc/{n}" for n in (
        "size", "queue/logical_block_size", "queue/discard_max_hw_bytes", "sdc1/start",
        "sdc1/size", "device/model")])
    assert list(got.values()) == ["2097152\n", "4096\n", f"{testbed.DISCARD_MAX_BYTES}\n",
                                  "2048\n", "1048576\n", "My Passport 25E2\n"]
    # the table is real and counts 4 KiB sectors; partition 1 has no file system
    table = json.loads(w.run("sfdisk -J /dev/sdc", check=True).stdout)["partitiontable"]
    assert (table["sectorsize"], table["partitions"][0]["start"]) == (4096, 256)
    assert w.run("blkid -p -s TYPE -o value /dev/sdc1").stdout == ""
    by_id = "usb-WD_My_Passport_25E2_575833314141-0:0"
    assert w.run("ls /dev/disk/by-id").stdout.split() == [by_id, by_id + "-part1"]
    assert w.run("test -e /dev/disk/by-label").returncode == 1


@pytest.mark.parametrize("change, complaint", [
    ({"serial": None}, "missing serial"),
    ({"colour": "red"}, "unknown keys ['colour']"),
    ({"name": "sda1"}, "not a kernel disk name"),
    ({"transport": "sata"}, "transport 'sata' is none of"),
    ({"transport": "nvme"}, "nvme disks are not simulated yet"),
    ({"controller": "usb1"}, "controller is a SCSI host"),
    ({"sector_size": 1024}, "sector size 1024"),
    ({"size": "1000"}, "not a positive number of sectors"),
    ({"size": "lots"}, "not a size"),
    ({"partition": {"fs": "xfs"}}, "'xfs' is not made yet"),
    ({"partition": {"start": 1000}}, "partition start is not a whole number of sectors"),
])
def test_bad_disk_descriptions_are_refused(change, complaint):
    disk = {**json.loads(testbed.DEFAULT_MACHINE.read_text())["disks"][0], **change}
    disk = {k: v for k, v in disk.items() if v is not None}
    with pytest.raises(testbed.WorldError) as refused:
        testbed.World(machine={"disks": [disk]})
    assert complaint in str(refused.value)


def test_a_machine_takes_what_it_leaves_out_from_the_default_machine(tmp_path):
    machine = tmp_path / "tower.json"
    machine.write_text('{"hostname": "tower"}')
    w = testbed.World(machine=machine)
    assert (w.hostname, [d["name"] for d in w.disk_specs]) == ("tower", ["sda"])
    assert testbed.World(machine={"disks": []}).disk_specs == []
    assert testbed.World().stand_ins["rc.zarvo-api"] is None
