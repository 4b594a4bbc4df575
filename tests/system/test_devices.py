"""Devices as the daemon's own routines see them on simulated machines, through the probe:
the boot device's slot, the guard of the boot device, partition layouts."""

PROBE = "/usr/local/libexec/orvan_probe"


def variables(lines):
    return dict(line.split("=", 1) for line in lines if "=" in line)


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
