"""The device scan on a simulated machine, run through the probe inside a world."""

import os
import pathlib

import pytest

PROBE = pathlib.Path(os.environ.get("ORVAND_BUILD", pathlib.Path(__file__).resolve().parents[2]
                                    / "build" / "release")) / "tests" / "probe" / "orvan_probe"


def run_probe(world, *args):
    if not PROBE.is_file():
        pytest.skip(f"the probe is missing: there is no {PROBE}")
    target = world.path("/usr/local/libexec/orvan_probe")
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_bytes(PROBE.read_bytes())
    target.chmod(0o755)
    return world.run(["/usr/local/libexec/orvan_probe", *args], check=True).stdout.splitlines()


def test_the_flash_disk_is_found_with_its_id_size_and_flags(world):
    out = run_probe(world, "inventory", "2")
    assert out[:2] == ["scan=1", "scan=0"]  # the second scan finds nothing new
    devices = [l.split("=", 1)[1].split() for l in out if l.startswith("device=")]
    size = world.disks["sda"].size
    assert devices == [["dev1", "sda", "usb", "SanDisk_Cruzer_Fit_4C530001230101115432-0:0",
                        "512", str(size // 512), "0", devices[0][7], "1", "1"]]
    online = [t for t in world.log_texts(6, ident="orvan_probe") if t.startswith("online: ")]
    assert online == [f"online: SanDisk_Cruzer_Fit_4C530001230101115432-0:0 (sda) 512 {size // 512}"]
