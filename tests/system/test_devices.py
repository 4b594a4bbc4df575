"""Devices as the daemon's own routines see them on simulated machines, through the probe:
the boot device's slot, the guard of the boot device, partition layouts."""

import json
import pathlib

from helpers import ini_sections, post, variables

REPO = pathlib.Path(__file__).resolve().parents[2]
PROBE = "/usr/local/libexec/orvan_probe"
STATE = "/var/local/orvan"
MIXED = json.loads((REPO / "testbed/machines/mixed.json").read_text())


def test_the_boot_device_is_bound_to_the_flash_slot(make_world, probe):
    w = make_world(daemon=False)
    got = variables(probe(w, "flash"))
    disk = w.disks["sda"]
    expected = {
        "diskIdent.0": "flash", "diskType.0": "Flash", "diskName.0": "sda1",
        "diskNameMapped.0": "sda1", "rdevName.0": "sda", "rdevId.0": "Cruzer_Fit",
        "rdevStatus.0": "DISK_OK", "rdevTransport.0": "usb", "rdevRemovable.0": "1",
        # a FAT partition's type is not the layout's 83: unknown, with the default layout
        "rdevFormat.0": "4", "rdevFormatString.0": "unknown",
        "rdevOffset.0": str(disk.part_start // 512), "rdevSize.0": str(disk.part_size // 1024),
        "diskSize.0": str(disk.part_size // 1024), "diskFsType.0": "vfat",
        "diskFsStatus.0": "Mounted", "diskExportable.0": "yes", "diskLuksState.0": "0",
        "diskComment.0": "Zarvo OS boot device",
    }
    assert {k: got.get(k) for k in expected} == expected
    assert "import 0 flash device: (sda)" in w.log_texts(6, ident="orvan_probe")


def test_danger_guards_the_boot_device_and_its_partition(make_world, probe):
    w = make_world(daemon=False)
    probe(w, "boot_device")  # installs the probe
    for target, refused in (("sda", True), ("sda1", True), ("sdb", False), ("sda2", False),
                            ("sdaa", False)):
        r = w.run([PROBE, "danger", target])
        if refused:
            assert (r.returncode, r.stdout) == (1, ""), target
            assert f"BUG: invalid target: {target}" in w.log_texts(6, ident="orvan_probe")
        else:
            assert (r.returncode, r.stdout) == (0, f"passed={target}\n"), target


def test_every_disk_of_a_mixed_machine_is_found_as_it_is(make_world):
    extra = [
        # a model padded with two spaces: udev doubles the underscore, the id does not
        {"name": "nvme1n1", "transport": "nvme", "model": "KINGSTON  SNV2S1000G",
         "serial": "50026B7686AB1234", "size": "1G", "rotational": 0, "discard": 1,
         "controller": "nvme1"},
        {"name": "vdb", "transport": "virtio", "model": "", "serial": "VIRT-0002",
         "size": "400M", "rotational": 1, "controller": "virtio3"},
    ]
    w = make_world(daemon=False, machine={"disks": MIXED["disks"] + extra})
    # a virtio disk in use as a whole is the machine's own, never offered
    w.run("mkfs.ext4 -q /dev/vdb && mkdir -p /mnt/v && mount /dev/vdb /mnt/v", check=True)
    w.start_daemon()
    devs = {d["device"]: d for d in ini_sections(w.path(f"{STATE}/devs.ini")).values()}
    G = 2 ** 30
    expected = {  # device: transport, id, sectors, sector size, rotational, discard
        "sdb": ("ata", "WDC_WD40EFRX-68N32N0_WD-WCC7K1234567", 2 * G // 512, 512, 1, 0),
        "sdc": ("scsi-SATA", "ST4000VN008-2DR1_ZDH1ABCD", 2 * G // 512, 512, 1, 0),
        "sdd": ("scsi-1ATA", "HGST_HUS726T4TALA6L4_V6G1ABCD", 2 * G // 4096, 4096, 1, 0),
        # plain scsi: udev's model and serial with the old id; the wwn link is never used
        "sde": ("scsi", "ST4000NM0023_Z1Z2ABCD0000C123XYZ0_35000c500a1b2c3d4", G // 512, 512, 1, 0),
        "sdf": ("usb", "WD_My_Passport_25E2_575833314141-0:0", G // 512, 512, 1, 0),
        "nvme0n1": ("nvme", "Samsung_SSD_970_EVO_Plus_1TB_S4EWNX0R123456A", G // 512, 512, 0, 1),
        "nvme1n1": ("nvme", "KINGSTON_SNV2S1000G_50026B7686AB1234", G // 512, 512, 0, 1),
        "vda": ("virtio", "VIRT-0001", G // 512, 512, 1, 0),
    }
    got = {name: (d["transport"], d["id"], int(d["sectors"]), int(d["sector_size"]),
                  int(d["rotational"]), int(d["discard"])) for name, d in devs.items()}
    assert got == expected
    assert sorted(d["name"] for d in devs.values()) == sorted(f"dev{i}" for i in range(1, 9))
    flash = ini_sections(w.path(f"{STATE}/disks.ini"))["flash"]
    assert (flash["device"], flash["id"], flash["status"]) == ("sda", "Cruzer_Fit", "DISK_OK")


def usb_disk(i):
    return {"name": "sd" + "bcdefgh"[i], "transport": "usb", "vendor": "Generic",
            "model": "Disk", "serial": f"HOT{i:04d}", "size": "256M", "rotational": 1,
            "controller": f"host{4 + i}"}


def test_hot_plug_keeps_each_record_in_its_place(make_world):
    default = json.loads((REPO / "testbed/machines/default.json").read_text())
    w = make_world(machine={"disks": default["disks"] + [usb_disk(i) for i in range(3)]})

    def unassigned():
        return [d["device"] for d in ini_sections(w.path(f"{STATE}/devs.ini")).values()]

    def lines(prefix):
        return [t for t in w.log_texts(6, ident="orvand") if t.startswith(prefix)]

    before = unassigned()
    first, second = before[0], before[1]
    # Gone: offline, its record left free where it was; the others keep their order.
    spec = w.disks[first].spec
    w.remove_disk(first)
    post(w, "debug=")
    assert unassigned() == before[1:]
    assert [t for t in lines("offline: ") if f"({first})" in t]
    # Back after that: a new record, after the others.
    w.add_disk({**spec, "name": "sdh"})
    post(w, "debug=")
    assert unassigned() == before[1:] + ["sdh"]
    # Renamed between two scans (unplugged and back under another name at once): the same
    # record, now under the name the kernel gave, with no line of its going or coming.
    spec = w.disks[second].spec
    online, offline = len(lines("online: ")), len(lines("offline: "))
    w.remove_disk(second)
    w.add_disk({**spec, "name": "sdg"})
    post(w, "debug=")
    assert unassigned() == ["sdg"] + before[2:] + ["sdh"]
    assert (len(lines("online: ")), len(lines("offline: "))) == (online, offline)


def layout_size_kib(code, sectors, sector_size=512):
    """Partition 1's size in KiB for a layout, as the daemon computes it."""
    start = {1: 63, 2: 64, 3: 64, 4: 2048, 5: 2048}[code] * 512 // sector_size
    end = sectors - (33 if code in (3, 5) and sector_size == 512 else
                     5 if code in (3, 5) else 0)
    kib = (end - start) * sector_size // 1024
    return kib // 4 * 4


def ckmbr(out):
    (line,) = [l for l in out if l.startswith("ckmbr=")]
    return tuple(int(x) for x in line[len("ckmbr="):].split())


def test_each_layout_is_written_and_recognised(make_world, probe):
    default = json.loads((REPO / "testbed/machines/default.json").read_text())
    # Sparse, so size costs nothing; beyond what CHS can address (8 GiB of 512-byte sectors,
    # 63 GiB of 4 KiB ones) a protective MBR's CHS end reads FE FF FF, which the layout
    # check must accept.
    disks = [{**usb_disk(0), "size": "16G"},
             {**usb_disk(1), "size": "3T", "rotational": 1},
             {**usb_disk(2), "size": "100G", "sector_size": 4096, "rotational": 0}]
    w = make_world(daemon=False, machine={"disks": default["disks"] + disks})
    sectors = w.disks["sdb"].size // 512
    # blank: unknown, with the default layout (a rotational disk below 2 TiB: MBR at 64)
    assert ckmbr(probe(w, "layout", "sdb")) == (2, 2, 64, layout_size_kib(2, sectors))
    for code, start in ((1, 63), (2, 64), (4, 2048), (3, 64), (5, 2048)):
        out = probe(w, "layout", "sdb", str(code))
        assert "mkmbr=0" in out, code
        assert ckmbr(out) == (0, code, start, layout_size_kib(code, sectors)), code
        # the partition the kernel (the udev stand-in) now shows starts where the layout says
        part = w.path("/sys/class/block/sdb1")
        assert int((part / "start").read_text()) == start, code
    # a 3 TB disk takes GPT even when rotational; a 4Kn SSD GPT at 1 MiB
    big = w.disks["sdc"].size // 512
    assert ckmbr(probe(w, "layout", "sdc")) == (2, 3, 64, layout_size_kib(3, big))
    small = w.disks["sdd"].size // 4096
    out = probe(w, "layout", "sdd", "5")
    assert ckmbr(out) == (0, 5, 2048, layout_size_kib(5, small, 4096))


def test_first_sectors_that_are_no_layout(make_world, probe):
    default = json.loads((REPO / "testbed/machines/default.json").read_text())
    w = make_world(daemon=False, machine={"disks": default["disks"] + [{**usb_disk(0), "size": "16G"}]})
    sectors = w.disks["sdb"].size // 512
    default_layout = (2, 64, layout_size_kib(2, sectors))

    def first_sector(data):
        w.run(["dd", "of=/dev/sdb", "bs=512", "conv=notrunc,fsync", "status=none"],
              input=data, check=True)
        return ckmbr(probe(w, "layout", "sdb"))

    assert first_sector(bytes(512)) == (2, *default_layout)  # all zero: unknown
    erased = bytearray(512)
    erased[454:458] = (64).to_bytes(4, "little")
    erased[458:462] = (sectors - 64).to_bytes(4, "little")
    erased[510:512] = b"\x55\xaa"
    assert first_sector(bytes(erased)) == (1, *default_layout)  # factory-erased
    # a GPT made by another tool: partition 1 not the computed size is unknown
    w.run("sgdisk -Z /dev/sdb >/dev/null; sgdisk -o -n 1:2048:+100M /dev/sdb >/dev/null && "
          "udevadm settle", check=True)
    assert ckmbr(probe(w, "layout", "sdb")) == (2, *default_layout)


def test_a_disk_whose_flags_cannot_be_read_is_left_out_and_goes_offline(make_world):
    default = json.loads((REPO / "testbed/machines/default.json").read_text())
    w = make_world(machine={"disks": default["disks"] + [usb_disk(0), usb_disk(1)]})
    assert sorted(d["device"] for d in ini_sections(w.path(f"{STATE}/devs.ini")).values()) \
        == ["sdb", "sdc"]
    w.path("/sys/block/sdb/removable").unlink()
    post(w, "debug=")
    assert [d["device"] for d in ini_sections(w.path(f"{STATE}/devs.ini")).values()] == ["sdc"]
    texts = w.log_texts(6, ident="orvand")
    # the line as written ends in a line feed of its own
    assert [t for t in texts if t.rstrip("\n") == "device /dev/sdb problem reading removable"]
    assert [t for t in texts if t.startswith("offline: ") and "(sdb)" in t]
