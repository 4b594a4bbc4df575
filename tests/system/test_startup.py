"""Start-up as a user of the machine sees it: the banner, the boot hooks before the daemon
goes to the background, safe mode, unclean shutdowns, the settings files written back, the
web server's scripts, and the boot device."""


import pytest

from testbed.world import WorldError

INFO = 6
VERSION = "6.12.0"

STARTUP_HOOK = "#!/bin/bash\nlogger -p user.info -t startup-hook \"hook ran as $0\"\n"


def journal_tools(world):
    return [e["tool"] for e in world.journal()]


def variables(probe, world, *args):
    """The variables the probe printed after running a routine in the world."""
    return dict(line.split("=", 1) for line in probe(world, *args))


def test_banner_hooks_and_the_detach(make_world):
    w = make_world(seeds={"/boot/config/startup": STARTUP_HOOK})
    texts = w.log_texts(INFO, ident="orvand")
    assert texts[0] == f"Zarvo(tm) System Management Utility version {VERSION}"
    assert texts[1].startswith("Copyright")
    # the user's hook ran through bash, logged as a command
    assert any(t.startswith("shcmd (") and t.endswith("): /usr/bin/bash /boot/config/startup")
               for t in texts)
    assert "hook ran as /boot/config/startup" in w.log_texts(INFO, ident="startup-hook")
    assert w.path("/tmp/orvan/dev").is_dir() and w.path("/tmp/orvan/mnt").is_dir()

    daemon = w.daemon_world_pid()
    by_tool = {e["tool"]: e for e in w.journal()}
    modprobe = [e["argv"][1:] for e in w.journal("modprobe")]
    # The boot preparation and the access script ran in the foreground process, before
    # the detach; the web server's scripts ran in the daemon that stayed.
    for tool in ("bootprep", "apply_access"):
        assert by_tool[tool]["orvand_pid"] not in (None, daemon), tool
    for tool in ("modprobe", "rmmod", "rc.php-fpm", "rc.nginx"):
        assert by_tool[tool]["orvand_pid"] == daemon, tool
    # zfs first; the md driver is unloaded, then loaded by the first status refresh
    assert modprobe == [["zfs"], ["md-mod", "super=/boot/config/super.dat"]]
    assert [e["argv"][1:] for e in w.journal("rmmod")][0] == ["md-mod"]
    assert by_tool["rc.php-fpm"]["argv"][1:] == ["start"]
    assert by_tool["rc.nginx"]["argv"][1:] == ["start"]
    order = journal_tools(w)
    assert order.index("bootprep") < order.index("apply_access") < order.index("rc.nginx")


@pytest.mark.parametrize("cmdline, marker, expected", [
    ("BOOT_IMAGE=/bzimage initrd=/bzroot", False, "no"),
    ("BOOT_IMAGE=/bzimage zarvosafemode initrd=/bzroot", False, "yes"),
    ("BOOT_IMAGE=/bzimage notzarvosafemode", False, "no"),
    ("BOOT_IMAGE=/bzimage initrd=/bzroot", True, "yes"),
])
def test_safe_mode(make_world, cmdline, marker, expected):
    seeds = {"/boot/zarvosafemode": ""} if marker else {}
    w = make_world(cmdline=cmdline, seeds=seeds)
    assert w.settings("/var/local/orvan/var.ini")["safeMode"] == expected
    assert not w.path("/boot/zarvosafemode").exists()  # one boot only
    assert ("safe mode indicated" in w.log_texts(INFO, ident="orvand")) == marker


@pytest.mark.parametrize("forcesync", [True, False])
def test_unclean_shutdown(make_world, forcesync):
    w = make_world(seeds={"/boot/config/forcesync": ""} if forcesync else {})
    assert w.settings("/var/local/orvan/var.ini")["sbClean"] == ("no" if forcesync else "yes")
    assert ("unclean shutdown detected" in w.log_texts(INFO, ident="orvand")) == forcesync


def test_ident_settings_are_written_back_normalised(make_world):
    w = make_world(seeds={"/boot/config/ident.cfg":
                          "# written by hand\n"
                          "NAME=\"My Tower\" # the server's name\n"
                          "timeZone=Europe/Berlin\r\n"
                          "UNKNOWN=\"dropped\"\n"
                          "broken line\n"
                          "PORT=\"8080\n"})
    text = w.path("/boot/config/ident.cfg").read_bytes().decode()
    lines = text.split("\r\n")
    assert lines[0] == "# Generated settings:"
    assert lines[1:4] == ['NAME="My Tower"', 'timeZone="Europe/Berlin"', 'COMMENT=""']
    assert 'PORT="8080"' in lines and 'START_PAGE="Main"' in lines
    assert "UNKNOWN" not in text and "\n" not in text.replace("\r\n", "")
    assert len(lines) == 1 + 35 + 1  # header, every key, the empty rest after the last CR LF
    assert not w.path("/boot/config/ident.cfg.new").exists()
    var = w.settings("/var/local/orvan/var.ini")
    assert (var["NAME"], var["timeZone"], var["PORT"]) == ("My Tower", "Europe/Berlin", "8080")
    assert [e["argv"] for e in w.journal("apply_access")] == [
        ["/usr/local/orvan/webGui/scripts/apply_access"]]


@pytest.mark.parametrize("mode, runs", [(None, False), (0o644, False), (0o755, True)])
def test_optional_web_scripts_run_only_when_executable(make_world, mode, runs):
    spec = None if mode is None else {"mode": mode}
    w = make_world(stand_ins={"rc.zarvo-api": spec, "rc.bootvol_backup": spec})
    assert [e["argv"][1:] for e in w.journal("rc.zarvo-api")] == ([["install"]] if runs else [])
    assert [e["argv"][1:] for e in w.journal("rc.bootvol_backup")] == ([["start"]] if runs else [])
    if runs:
        order = journal_tools(w)
        assert order.index("rc.php-fpm") < order.index("rc.zarvo-api") < order.index("rc.nginx") \
            < order.index("rc.bootvol_backup")


def test_nginx_ini_keys_become_variables(make_world, probe):
    w = make_world()
    w.path("/var/local/orvan/nginx.ini").write_text(
        'NGINX_LANNAME="tower.local"\nNGINX_CERTPATH="/boot/config/ssl/certs/tower.pem"\n')
    found = variables(probe, w, "signal_nginx", "reload")
    assert found["NGINX_LANNAME"] == "tower.local"
    assert found["NGINX_CERTPATH"] == "/boot/config/ssl/certs/tower.pem"
    assert [e["argv"][1:] for e in w.journal("rc.nginx")][-1] == ["reload"]


def test_boot_device_is_found_by_its_label(world, probe):
    assert "boot device: sda (Cruzer_Fit)" in world.log_texts(INFO, ident="orvand")
    found = variables(probe, world, "boot_device")
    assert (found["flashDevice"], found["flashProduct"]) == ("sda", "Cruzer_Fit")


def test_without_a_boot_device_start_up_stops(make_world):
    w = make_world(daemon=False, machine={"disks": []})
    with pytest.raises(WorldError):
        w.start_daemon()
    assert "no boot device: no disk has partition 1 mounted at /boot or labelled ZARVO" \
        in w.log_texts(INFO, ident="orvand")
    assert w.daemon_pids() == []


def test_a_version_file_without_version_stops_start_up(make_world):
    w = make_world(daemon=False, seeds={"/etc/zarvo-version": 'release="6.12.0"\n'})
    with pytest.raises(WorldError):
        w.start_daemon()
    fatal = [t for t in w.log_texts(INFO, ident="orvand") if t.endswith("version not found")]
    assert len(fatal) == 1 and fatal[0].startswith("content_init ")
    assert w.daemon_pids() == []
