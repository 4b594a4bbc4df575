"""Fixtures for the system tests: the real orvand in fresh test bed worlds."""

import pathlib
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
if str(REPO) not in sys.path:
    sys.path.insert(0, str(REPO))

from testbed import world as testbed  # noqa: E402


@pytest.fixture(scope="session")
def orvand_binary() -> pathlib.Path:
    """The built daemon: $ORVAND_BUILD/orvand, by default build/release/orvand."""
    path = testbed.default_orvand()
    if not path.is_file():
        pytest.skip(f"orvand is missing: there is no {path} (build it with "
                    "cmake -S . -B build/release && cmake --build build/release, "
                    "or point ORVAND_BUILD at a build directory)")
    return path


@pytest.fixture
def world_host():
    """Skips the test when this machine cannot run worlds, saying what it lacks."""
    reason = testbed.unavailable()
    if reason:
        pytest.skip(f"this machine cannot run a test bed world: {reason}")


@pytest.fixture
def make_world(request, world_host):
    """make_world(daemon=True, timeout=10, **World arguments) -> a started World,
    torn down after the test. With daemon=True it runs the built orvand."""
    worlds = []

    def make(daemon=True, timeout=10, **kw):
        if daemon and "orvand" not in kw:
            kw["orvand"] = request.getfixturevalue("orvand_binary")
        w = testbed.World(**kw)
        worlds.append(w)
        request.node.orvan_worlds = worlds
        w.start(daemon=daemon, timeout=timeout)
        return w

    yield make
    for w in worlds:
        w.stop()


@pytest.fixture
def probe(orvand_binary):
    """probe(world, *args) -> stdout lines of the test probe run inside the world."""
    path = orvand_binary.parent / "tests" / "probe" / "orvan_probe"
    if not path.is_file():
        pytest.skip(f"the probe is missing: there is no {path}")

    def run(w, *args):
        target = w.path("/usr/local/libexec/orvan_probe")
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(path.read_bytes())
        target.chmod(0o755)
        return w.run(["/usr/local/libexec/orvan_probe", *args], check=True).stdout.splitlines()

    return run


@pytest.fixture
def world(make_world):
    """A fresh world running the built orvand."""
    return make_world()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    # A failing test shows the system log of each of its worlds.
    outcome = yield
    report = outcome.get_result()
    if report.when == "call" and report.failed:
        for w in getattr(item, "orvan_worlds", []):
            lines = w.log_lines()
            report.sections.append((f"system log of world {w.id}",
                                    "\n".join(lines) if lines else "(empty)"))
