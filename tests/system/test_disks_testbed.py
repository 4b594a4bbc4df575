"""The test bed's disks as the world's programs see them: nodes, partition table and file
system, the kernel's sysfs shapes for every transport, udev's links and records,
/proc/partitions, live I/O counters; partition tables re-read on `udevadm settle`; disks
plugged in and out while the world runs."""

import json
import struct
import subprocess

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
    ({"serial": "  "}, "the serial is empty"),
    ({"colour": "red"}, "unknown keys ['colour']"),
    ({"name": "sda1"}, "not the kernel's name of a usb disk (like sdb)"),
    ({"transport": "nvme"}, "not the kernel's name of a nvme disk (like nvme0n1)"),
    ({"transport": "sata"}, "transport 'sata' is none of"),
    ({"controller": "usb1"}, "the controller of a usb disk is like host3, not 'usb1'"),
    ({"name": "vda", "transport": "virtio"}, "the controller of a virtio disk is like virtio2"),
    ({"wwn": "0x5000c500a1b2c3d4"}, "is not 16 lower-case hex digits"),
    ({"sector_size": 1024}, "sector size 1024"),
    ({"size": "1000"}, "not a positive number of sectors"),
    ({"size": "lots"}, "not a size"),
    ({"partition": {"table": "bsd"}}, "partition table 'bsd' is not dos or gpt"),
    ({"partition": {"fs": "xfs"}}, "'xfs' is not made by the test bed"),
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


MIXED = testbed.MACHINES / "mixed.json"
FLASH = json.loads(testbed.DEFAULT_MACHINE.read_text())["disks"]
SAS = "/sys/devices/pci0000:00/0000:00:01.0/0000:01:00.0/host0"


def test_every_transport_has_the_kernels_sysfs_shape_and_udevs_links(make_world):
    w = make_world(daemon=False, machine=MIXED)
    devices = {
        "sdb": "/sys/devices/pci0000:00/0000:00:17.0/ata2/host1/target1:0:0/1:0:0:0",
        "sdc": f"{SAS}/port-0:0/end_device-0:0/target0:0:0/0:0:0:0",
        "sdd": f"{SAS}/port-0:1/end_device-0:1/target0:0:1/0:0:1:0",
        "sde": f"{SAS}/port-0:2/end_device-0:2/target0:0:2/0:0:2:0",
        "sdf": "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host7/target7:0:0/7:0:0:0",
        "nvme0n1": "/sys/devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0",
        "vda": "/sys/devices/pci0000:00/0000:00:06.0/virtio2",
    }
    blocks = {name: f"{d}/{name}" if name == "nvme0n1" else f"{d}/block/{name}"
              for name, d in devices.items()}
    script = "; ".join(f"realpath /sys/block/{n} /sys/dev/block/$(cat /sys/block/{n}/dev)"
                       f" /sys/block/{n}/device" for n in devices)
    assert w.run(script, check=True).stdout.split() == [
        path for n in devices for path in (blocks[n], blocks[n], devices[n])]
    # what the SCSI layer, the NVMe controller and virtio report of the drive
    got = read_all(w, ["/sys/block/sdb/device/vendor", "/sys/block/sdb/device/model",
                       "/sys/block/sde/device/vendor", "/sys/block/nvme0n1/device/model",
                       "/sys/block/vda/serial", "/sys/block/sdd/queue/logical_block_size"])
    assert list(got.values()) == ["ATA     \n", "WDC WD40EFRX-68N\n", "SEAGATE \n",
                                  "Samsung SSD 970 EVO Plus 1TB\n", "VIRT-0001", "4096\n"]
    assert w.run("ls /dev/disk/by-id").stdout.split() == [
        "ata-WDC_WD40EFRX-68N32N0_WD-WCC7K1234567",
        "nvme-Samsung_SSD_970_EVO_Plus_1TB_S4EWNX0R123456A",
        "scsi-1ATA_HGST_HUS726T4TALA6L4_V6G1ABCD",
        "scsi-35000c500a1b2c3d4",
        # the SCSI model is the first 16 characters of the ATA one
        "scsi-SATA_ST4000VN008-2DR1_ZDH1ABCD",
        "usb-SanDisk_Cruzer_Fit_4C530001230101115432-0:0",
        "usb-SanDisk_Cruzer_Fit_4C530001230101115432-0:0-part1",
        "usb-WD_My_Passport_25E2_575833314141-0:0",
        "virtio-VIRT-0001",
        "wwn-0x5000c500a1b2c3d4", "wwn-0x5000c500b1c2d3e4", "wwn-0x5000cca097c1d2e3",
        "wwn-0x50014ee2b5a1c2d3"]
    assert [line.split()[3] for line in w.run("cat /proc/partitions").stdout.splitlines()[2:]] \
        == ["sda", "sda1", "sdb", "sdc", "sdd", "sde", "sdf", "nvme0n1", "vda"]


def test_udevadm_info_answers_as_udev_would(make_world):
    w = make_world(daemon=False, machine=MIXED)
    nvme = "/dev/disk/by-id/nvme-Samsung_SSD_970_EVO_Plus_1TB_S4EWNX0R123456A"
    answers = {
        "/dev/sdb": {"DEVNAME": "/dev/sdb", "DEVTYPE": "disk", "ID_BUS": "ata",
                     "ID_MODEL": "WDC_WD40EFRX-68N32N0", "ID_SERIAL_SHORT": "WD-WCC7K1234567",
                     "ID_SERIAL": "WDC_WD40EFRX-68N32N0_WD-WCC7K1234567",
                     "ID_WWN": "0x50014ee2b5a1c2d3"},
        # the SAS drive's by-id name has no model: the daemon asks udev for these two
        "sde": {"ID_BUS": "scsi", "ID_VENDOR": "SEAGATE", "ID_MODEL": "ST4000NM0023",
                "ID_SCSI_SERIAL": "Z1Z2ABCD0000C123XYZ0", "ID_SERIAL": "35000c500a1b2c3d4"},
        nvme: {"DEVNAME": "/dev/nvme0n1", "ID_MODEL": "Samsung SSD 970 EVO Plus 1TB",
               "ID_SERIAL_SHORT": "S4EWNX0R123456A", "ID_WWN": "eui.0025385b71b12345"},
        "/dev/vda": {"ID_SERIAL": "VIRT-0001", "ID_BUS": None, "ID_MODEL": None},
        "/dev/sda1": {"DEVTYPE": "partition", "ID_BUS": "usb", "ID_MODEL": "Cruzer_Fit",
                      "ID_FS_TYPE": "vfat", "ID_FS_LABEL": "ZARVO", "ID_PART_TABLE_TYPE": "dos",
                      "ID_PART_ENTRY_NUMBER": "1", "ID_PART_ENTRY_OFFSET": "2048",
                      "ID_PART_ENTRY_SIZE": "33552384"},
    }
    for node, expected in answers.items():
        out = w.run(["/sbin/udevadm", "info", "-q", "property", "-n", node], check=True).stdout
        props = dict(line.split("=", 1) for line in out.splitlines())
        assert {k: props.get(k) for k in expected} == expected, node
    assert w.run("udevadm info -q symlink -n sda1").stdout.split() == [
        "disk/by-id/usb-SanDisk_Cruzer_Fit_4C530001230101115432-0:0-part1",
        "disk/by-label/ZARVO", f"disk/by-uuid/{props['ID_FS_UUID']}"]
    assert w.run("udevadm info -q path /sys/block/vda").stdout == \
        "/devices/pci0000:00/0000:00:06.0/virtio2/block/vda\n"
    missing = w.run("udevadm info -q property -n /dev/sdz")
    assert (missing.returncode, missing.stderr) == (1, 'Unknown device "/dev/sdz": No such device\n')
    assert [e["argv"][1:3] for e in w.journal("udevadm")][-2:] == [["info", "-q"]] * 2


def test_the_daemon_identifies_every_transport(make_world, probe):
    w = make_world(daemon=False, machine=MIXED)
    devices = {line.split()[1]: line.split()[2:4] for line in probe(w, "inventory", "1")
               if line.startswith("device=")}
    assert devices == {
        "sda": ["usb", "SanDisk_Cruzer_Fit_4C530001230101115432-0:0"],
        "sdb": ["ata", "WDC_WD40EFRX-68N32N0_WD-WCC7K1234567"],
        "sdc": ["scsi-SATA", "ST4000VN008-2DR1_ZDH1ABCD"],
        "sdd": ["scsi-1ATA", "HGST_HUS726T4TALA6L4_V6G1ABCD"],
        # rebuilt from udev's model and unit serial around the WWN name
        "sde": ["scsi", "ST4000NM0023_Z1Z2ABCD0000C123XYZ0_35000c500a1b2c3d4"],
        "sdf": ["usb", "WD_My_Passport_25E2_575833314141-0:0"],
        "nvme0n1": ["nvme", "Samsung_SSD_970_EVO_Plus_1TB_S4EWNX0R123456A"],
        "vda": ["virtio", "VIRT-0001"],
    }


SCRATCH = {"name": "sdb", "transport": "ata", "model": "Scratch Disk", "serial": "SCR1",
           "size": "64M", "controller": "host1"}
SCRATCH_4K = {"name": "nvme0n1", "transport": "nvme", "model": "Scratch  NVMe", "serial": "N1",
              "size": "64M", "sector_size": 4096, "controller": "nvme0"}


def partition_facts(w, disk, part):
    """What the world shows of a partition: /proc/partitions #blocks, sysfs start and size,
    the node's size, where the -part1 link leads, and udev's offset and size."""
    by_id = w.disks[disk].by_id
    return w.run(f"grep ' {part}$' /proc/partitions | awk '{{print $3}}';"
                 f" cat /sys/block/{disk}/{part}/start /sys/block/{disk}/{part}/size;"
                 f" blockdev --getsize64 /dev/{part}; realpath /dev/disk/by-id/{by_id}-part1;"
                 f" udevadm info -q property -n {part} | grep -E '^ID_PART_ENTRY_(OFFSET|SIZE)='",
                 check=True).stdout.split()


@pytest.mark.parametrize("disk, write, size", [
    # an MBR as sfdisk writes it: 64 sectors in, 32 MiB
    (SCRATCH, "printf 'label: dos\\nstart=64, size=65536, type=83\\n' | sfdisk -q /dev/sdb",
     32 << 20),
    # the GPT the daemon writes on a 4 KiB disk: to the end, less the backup table
    (SCRATCH_4K, "sgdisk -o -a 8 -n 1:32K:0 /dev/nvme0n1", ((64 << 20) // 4096 - 13) * 4096),
])
def test_settle_shows_partition_1_of_a_new_table_and_drops_it_with_the_table(
        make_world, disk, write, size):
    w = make_world(daemon=False, machine={"disks": FLASH + [disk]})
    name, part = disk["name"], testbed.partition_name(disk["name"])
    w.run(write, check=True)
    assert w.run(f"test -e /dev/{part}").returncode == 1  # nothing before udev has settled
    w.run("udevadm settle", check=True)
    assert w.journal("udevadm")[-1]["argv"][1:] == ["settle"]
    assert partition_facts(w, name, part) == [
        str(size // 1024), "64", str(size // 512), str(size), f"/dev/{part}",
        "ID_PART_ENTRY_OFFSET=64", f"ID_PART_ENTRY_SIZE={size // 512}"]
    # the partition's bytes are the disk's from 32 KiB on
    w.run(f"printf marker | dd of=/dev/{part} conv=fsync status=none", check=True)
    assert w.run(f"dd if=/dev/{name} bs=4096 skip=8 count=1 iflag=direct status=none"
                 " | head -c 6", check=True).stdout == "marker"

    w.run(f"sgdisk -Z /dev/{name} >/dev/null && udevadm settle", check=True)
    gone = w.run(f"ls -d /dev/{part} /sys/block/{name}/{part} /sys/class/block/{part}"
                 f" /dev/disk/by-id/*-part1; grep -c {part} /proc/partitions;"
                 f" udevadm info -n {part}")
    assert gone.stdout.split() == ["/dev/disk/by-id/usb-SanDisk_Cruzer_Fit_"
                                   "4C530001230101115432-0:0-part1", "0"]
    assert f'Unknown device "{part}"' in gone.stderr


def test_settle_keeps_a_mounted_partition_and_follows_its_file_system(make_world):
    w = make_world(daemon=False, machine={"disks": FLASH + [SCRATCH]})
    w.run("printf 'start=2048, type=83\\n' | sfdisk -q /dev/sdb && udevadm settle"
          " && mkfs.ext4 -q -L scratch /dev/sdb1 && udevadm settle", check=True)
    assert w.run("realpath /dev/disk/by-label/scratch; udevadm info -q property -n sdb1"
                 " | grep ID_FS_TYPE=").stdout.split() == ["/dev/sdb1", "ID_FS_TYPE=ext4"]
    size = w.run("cat /sys/block/sdb/sdb1/size").stdout
    w.run("mkdir /mnt/scratch && mount /dev/sdb1 /mnt/scratch && echo kept > /mnt/scratch/f"
          " && printf 'start=4096, type=83\\n' | sfdisk -q /dev/sdb && udevadm settle", check=True)
    # in use: the kernel keeps partition 1 as it was
    assert w.run("cat /sys/block/sdb/sdb1/size /mnt/scratch/f").stdout == size + "kept\n"
    w.run("umount /mnt/scratch && udevadm settle", check=True)
    assert w.run("cat /sys/block/sdb/sdb1/start; ls /dev/disk/by-label").stdout.split() == [
        "4096", "ZARVO"]


def test_disks_come_and_go_while_the_world_runs(make_world):
    w = make_world(daemon=False)
    disk = {**SCRATCH, "partition": {"start": "1M"}}
    w.add_disk(disk)
    by_id = "ata-Scratch_Disk_SCR1"
    wwn = "wwn-0x" + w.disks["sdb"].wwn
    assert set(w.run("ls /dev/disk/by-id").stdout.split()) >= {
        by_id, by_id + "-part1", wwn, wwn + "-part1"}
    assert w.run("udevadm info -q property -n sdb1 | grep ^ID_SERIAL_SHORT=").stdout == \
        "ID_SERIAL_SHORT=SCR1\n"
    w.run("printf returning | dd of=/dev/sdb1 conv=fsync status=none", check=True)
    assert len(testbed.loops_backed_by(w.dir)) == 4  # sda, sda1, sdb, sdb1

    w.remove_disk("sdb")
    assert w.run("ls -d /dev/sdb* /sys/block/sdb /sys/class/block/sdb*"
                 " /sys/devices/pci0000:00/0000:00:17.0/ata2/host1/*").stdout == ""
    assert w.run("ls /dev/disk/by-id; grep -o 'sd.*' /proc/partitions;"
                 " readlink /sys/dev/block/* | grep -c sdb").stdout.split() == [
        "usb-SanDisk_Cruzer_Fit_4C530001230101115432-0:0",
        "usb-SanDisk_Cruzer_Fit_4C530001230101115432-0:0-part1", "sda", "sda1", "0"]
    assert 'Unknown device "sdb"' in w.run("udevadm info -n sdb").stderr
    assert len(testbed.loops_backed_by(w.dir)) == 2

    # the same drive back in another bay, under another name, with what it held
    w.add_disk({**disk, "name": "sdd"})
    assert w.run(f"realpath /dev/disk/by-id/{by_id} /dev/disk/by-id/{by_id}-part1;"
                 " head -c 9 /dev/sdd1; echo; grep -o 'sd.*' /proc/partitions",
                 check=True).stdout.split() == [
        "/dev/sdd", "/dev/sdd1", "returning", "sda", "sda1", "sdd", "sdd1"]
    with pytest.raises(testbed.WorldError, match="has a disk sdd already"):
        w.add_disk({**disk, "name": "sdd", "serial": "OTHER"})
    w.remove_disk("sdd")
    with pytest.raises(testbed.WorldError, match="had 67108864 bytes"):
        w.add_disk({**disk, "name": "sde", "size": "128M"})


def test_a_3t_disk_costs_nothing_and_takes_the_daemons_gpt(make_world, probe):
    big = {**SCRATCH, "model": "WDC WD30EFRX-68EUZN0", "size": "3T"}
    w = make_world(daemon=False, machine={"disks": FLASH + [big]})
    sectors = (3 << 40) // 512
    assert sectors > 0xFFFFFFFF
    # mkmbr writes the GPT with sgdisk and runs udevadm settle; ckmbr then measures the
    # partition that appeared
    out = probe(w, "layout", "sdb", "5")
    kib = (sectors - 2048 - 33) // 2
    assert out[:2] == ["mkmbr=0", f"ckmbr=0 5 2048 {kib // 4 * 4}"]
    assert w.run("grep sdb1 /proc/partitions").stdout.split()[2:] == [str(kib), "sdb1"]
    assert w.disks["sdb"].image.stat().st_blocks * 512 < 1 << 20


def mbr(entry_1, flags=0):
    """A first sector with partition 1 at (type, start, count) and a disk signature."""
    sector = bytearray(512)
    kind, start, count = entry_1
    sector[440:444] = struct.pack("<I", 0x1234ABCD)
    sector[446] = flags
    sector[450] = kind
    sector[454:462] = struct.pack("<II", start, count)
    sector[510:512] = b"\x55\xaa"
    return bytes(sector)


def test_partition_tables_are_read_as_the_kernel_reads_them(tmp_path):
    sectors = 8192
    image = tmp_path / "disk.img"
    image.write_bytes(bytes(sectors * 512))
    subprocess.run(["sgdisk", "-o", "-n", "1:2048:0", str(image)], check=True,
                   capture_output=True)
    gpt = bytearray(image.read_bytes())

    def part1(data):
        table = testbed.read_partition_table(
            lambda offset, length: bytes(data[offset:offset + length]), 512, sectors)
        return table and (table.scheme, table.part1 and table.part1[:3])

    whole_gpt = ("gpt", (2048 * 512, (sectors - 2048 - 33) * 512, testbed.GPT_LINUX.lower()))
    assert part1(gpt) == whole_gpt
    gpt[512 + 16] ^= 1  # the primary header's checksum no longer fits: the backup serves
    assert part1(gpt) == whole_gpt
    gpt[-512 + 16] ^= 1  # neither: an EE entry without a GPT means no partitions
    assert part1(gpt) is None
    assert part1(mbr((0x83, 2048, 4096))) == ("dos", (2048 * 512, 4096 * 512, "0x83"))
    # past the end of the disk: cut there; starting past it: not registered
    assert part1(mbr((0x83, 6144, 10000))) == ("dos", (6144 * 512, 2048 * 512, "0x83"))
    assert part1(mbr((0x83, sectors, 10))) == ("dos", None)
    assert part1(mbr((0x83, 2048, 0))) == ("dos", None)
    assert part1(mbr((0x83, 2048, 4096), flags=0x12)) is None  # a boot sector, no MBR
    assert part1(bytes(512)) is None
