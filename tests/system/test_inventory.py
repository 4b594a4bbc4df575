"""The device scan on a simulated machine, run through the probe inside a world."""


def test_the_flash_disk_is_found_with_its_id_size_and_flags(world, probe):
    out = probe(world, "inventory", "2")
    assert out[:2] == ["scan=1", "scan=0"]  # the second scan finds nothing new
    devices = [l.split("=", 1)[1].split() for l in out if l.startswith("device=")]
    size = world.disks["sda"].size
    assert devices == [["dev1", "sda", "usb", "SanDisk_Cruzer_Fit_4C530001230101115432-0:0",
                        "512", str(size // 512), "0", devices[0][7], "1", "1"]]
    online = [t for t in world.log_texts(6, ident="orvan_probe") if t.startswith("online: ")]
    assert online == [f"online: SanDisk_Cruzer_Fit_4C530001230101115432-0:0 (sda) 512 {size // 512}"]
