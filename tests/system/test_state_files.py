"""The state files after start-up, read the way the web GUI reads them: with PHP's
parse_ini_file, sections included."""

import json
import shutil
import subprocess

import pytest

STATE = "/var/local/orvan"
FILES = ("var", "disks", "devs", "users", "shares", "sec", "sec_nfs")

VAR_KEYS = """
version MAX_ARRAYSZ MAX_CACHESZ NAME timeZone COMMENT SECURITY WORKGROUP DOMAIN DOMAIN_SHORT
hideDotFiles localMaster serverMultiChannel enableFruit USE_NETBIOS USE_WSD WSD_OPT WSD2_OPT
USE_NTP NTP_SERVER1 NTP_SERVER2 NTP_SERVER3 NTP_SERVER4 DOMAIN_LOGIN SYS_MODEL SYS_ARRAY_SLOTS
SYS_FLASH_SLOTS USE_SSL PORT PORTSSL LOCAL_TLD BIND_MGT USE_TELNET PORTTELNET USE_SSH PORTSSH
USE_UPNP START_PAGE startArray spindownDelay spinupGroups defaultFsType shutdownTimeout
luksKeyfile poll_attributes poll_attributes_default poll_attributes_status queueDepth
nr_requests nr_requests_default nr_requests_status md_scheduler md_scheduler_default
md_scheduler_status md_num_stripes md_num_stripes_default md_num_stripes_status md_queue_limit
md_queue_limit_default md_queue_limit_status md_sync_limit md_sync_limit_default
md_sync_limit_status md_write_method md_write_method_default md_write_method_status shareDisk
shareUser shareUserInclude shareUserExclude shareUserExclusive shareSMBEnabled shareNFSEnabled
shareInitialOwner shareInitialGroup shareCacheEnabled shareCacheFloor shareShuttleSchedule
shareShuttleLogging fuse_remember fuse_remember_default fuse_remember_status fuse_directio
fuse_directio_default fuse_directio_status fuse_useino shareAvahiEnabled shareAvahiSMBName
shareAvahiSMBModel safeMode startMode joinStatus sbClean sbName sbVersion sbUpdated sbEvents
sbState sbSynced sbSyncErrs sbSynced2 sbSyncExit sbNumDisks mdColor mdNumDisks mdNumDisabled
mdNumInvalid mdNumMissing mdNumNew mdNumErased mdResync mdResyncCorr mdResyncPos mdResyncDb
mdResyncDt mdResyncAction mdResyncSize mdState mdVersion fsState fsProgress fsCopyPrcnt
fsNumMounted fsNumUnmountable fsUnmountableMask shareCount shareSMBCount shareNFSCount
shareShuttleActive reservedNames csrf_token
""".split()

RESERVED = ("flash,boot,user,user0,dev,remotes,RecycleBin,rootshare,disks,addons,mirror,raidz,"
            "raidz1,raidz2,raidz3,draid,spare,log,disk,parity,parity2,parity3,diskP,diskQ,diskR,"
            + ",".join(f"disk{i}" for i in range(32)))


def php_ini(path):
    """What PHP's parse_ini_file makes of a file, sections kept, as the web GUI reads it."""
    if not shutil.which("php"):
        pytest.skip("php is missing (Debian php-cli)")
    code = ("$r = parse_ini_file($argv[1], true); if ($r === false) exit(3);"
            "echo json_encode($r, JSON_FORCE_OBJECT);")
    out = subprocess.run(["php", "-r", code, str(path)], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout)


def test_var_ini_after_start(world):
    path = world.path(f"{STATE}/var.ini")
    lines = path.read_text().split("\n")
    assert lines[-1] == ""  # LF ended
    assert [l.split("=", 1)[0] for l in lines[:-1]] == VAR_KEYS
    var = php_ini(path)
    assert list(var) == VAR_KEYS
    assert (var["version"], var["MAX_ARRAYSZ"], var["MAX_CACHESZ"]) == ("6.12.0", "30", "120")
    assert var["reservedNames"] == RESERVED
    assert var["csrf_token"] == world.csrf_token()
    assert 1 <= len(var["csrf_token"]) <= 16 and var["csrf_token"] == var["csrf_token"].upper()
    int(var["csrf_token"], 16)
    assert (var["fsState"], var["fsProgress"], var["startMode"]) == ("Stopped", "", "Normal")
    assert (var["NAME"], var["SYS_FLASH_SLOTS"], var["fuse_remember_status"]) == ("Tower", "1", "default")
    assert var["mdState"] == "STOPPED"  # the md driver loaded, with no array disks
    for name in FILES:
        assert world.path(f"{STATE}/{name}.ini").is_file(), name
        php_ini(world.path(f"{STATE}/{name}.ini"))
    assert not list(world.path(STATE).glob("*.new"))


def test_users_ini_lists_root_and_regular_accounts(make_world):
    w = make_world(accounts=[
        {"name": "alice", "uid": 1000, "password": "secret", "desc": "Alice Smith"},
        {"name": "bob", "uid": 1001, "password": None, "desc": ""},
        {"name": "svc", "uid": 999, "password": "x", "desc": "system account"},
    ])
    users = php_ini(w.path(f"{STATE}/users.ini"))
    assert list(users) == ["root", "alice", "bob"]
    assert users["alice"] == {"idx": "1", "name": "alice", "desc": "Alice Smith", "passwd": "yes"}
    assert users["bob"]["passwd"] == "no"
    assert users["root"]["idx"] == "0"


def test_awkward_values_as_php_reads_them(make_world):
    # ident.cfg values the daemon passes through to var.ini unescaped
    w = make_world(seeds={"/boot/config/ident.cfg":
                          'NAME="a b  c"\r\n'
                          'COMMENT="x ; y # z = w"\r\n'
                          "WORKGROUP=\"it's\"\r\n"
                          'LOCAL_TLD="back\\slash"\r\n'
                          'SYS_MODEL="$HOME {x}"\r\n'})
    raw = w.path(f"{STATE}/var.ini").read_text()
    for line in ('NAME="a b  c"', 'COMMENT="x ; y # z = w"', "WORKGROUP=\"it's\"",
                 'LOCAL_TLD="back\\slash"', 'SYS_MODEL="$HOME {x}"'):
        assert line + "\n" in raw
    var = php_ini(w.path(f"{STATE}/var.ini"))
    assert var["NAME"] == "a b  c"
    assert var["COMMENT"] == "x ; y # z = w"
    assert var["WORKGROUP"] == "it's"
    assert var["LOCAL_TLD"] == "back\\slash"
    assert var["SYS_MODEL"] == "$HOME {x}"
