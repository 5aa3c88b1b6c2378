"""The fast start (--launch): the version that current.txt names starts at
once, with no request to the release host; anything doubtful about it makes
the setup go its normal way."""

from __future__ import annotations

import shutil
import time
from pathlib import Path

import pytest

import make_release as mr
from conftest import DOUBLES

LIST_PATH = "/Stonewake/Stonewake/releases/latest/download/tarnwick-setup.txt"
MARKER = b"Stonewake Builder portable home v1\n"
HOME_MESSAGE = (b"The Builder home is unavailable or its portable marker is invalid. For a new portable "
                b"install, put this setup in a writable folder and start it with --portable.")
# The Builder double outlives the setup by this much; a setup that waited for
# it would take at least as long.
BUILDER_SLEEP = {"STONEWAKE_RECORD_SLEEP_MS": "5000", "STONEWAKE_RECORD_EXIT": "5"}


def ready_builder(version: Path, run: str = "StonewakeBuilder/StonewakeBuilder.exe",
                  missing: str | None = None) -> Path:
    """A Builder as an install leaves it: the exe (the recorder) and its runtime files."""
    exe = version / run
    exe.parent.mkdir(parents=True)
    shutil.copy(DOUBLES / "recorder.exe", exe)
    for name in mr.BUILDER_FILES:
        if name != missing:
            (exe.parent / name).write_bytes(name.encode() + b"\n")
    (version / "installed.txt").write_bytes(version.name.encode())
    return exe


def wait_records(run_setup, count: int, timeout: float = 10) -> list[dict]:
    """The Builder may still be starting when the setup has already ended."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        records = run_setup.records()
        if len(records) >= count:
            return records
        time.sleep(0.05)
    raise AssertionError("expected %d records, got %r" % (count, run_setup.records()))


def files_of(folder: Path) -> dict[str, bytes]:
    return {p.relative_to(folder).as_posix(): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


@pytest.mark.parametrize("tail, portable", [
    ("--launch", False),
    ("--cli --launch", False),
    ('open "Z:\\games\\x --launch y" --launcher', True),
])
def test_fast_start_runs_the_current_version_at_once(host, home, run_setup, tail, portable):
    if portable:
        (home.path / ".tarnwick-portable").write_bytes(MARKER)
    ready_builder(home.path / "versions" / "1.4.0")
    ready_builder(home.path / "versions" / "0.9.0")
    (home.path / "versions" / "current.txt").write_bytes(b"1.4.0\r\n0.9.0\r\n")
    before = files_of(home.path)

    started = time.monotonic()
    r = run_setup(tail, env=BUILDER_SLEEP)
    took = time.monotonic() - started

    assert (r.rc, r.errors, r.status) == (0, [], [])
    assert took < 4, "the setup waited for the Builder (%.1f s)" % took
    [rec] = wait_records(run_setup, 1)
    folder = home.win + "\\versions\\1.4.0\\StonewakeBuilder"
    assert rec["cmdline"] == '"%s\\StonewakeBuilder.exe" %s' % (folder, tail)
    assert rec["cwd"] == folder
    assert rec["env"]["TARNWICK_SETUP_BASE"] == home.win
    assert rec["env"]["TARNWICK_BUILDER_PORTABLE"] == ("1" if portable else None)
    assert host.requests == []
    assert files_of(home.path) == before


def builder_at(path: str, **kw):
    return lambda versions: ready_builder(versions / path, **kw)


@pytest.mark.parametrize("current, arrange", [
    (None, builder_at("B")),
    (b"", builder_at("B")),
    (b".B", builder_at(".B")),
    (b"x/B", builder_at("x/B")),
    (b"x\\B\r\n", builder_at("x/B")),
    (b"B", builder_at("B", missing="coreclr.dll")),
    (b"B", builder_at("B", run="Builder/StonewakeBuilder.exe")),
    (b"B", lambda versions: versions.mkdir(parents=True)),
], ids=["no-current", "empty", "leading-dot", "slash", "backslash", "incomplete",
        "other-run", "folder-gone"])
def test_doubtful_current_version_leads_to_the_normal_run(host, home, publish, run_setup, current, arrange):
    versions = home.path / "versions"
    arrange(versions)
    if current is not None:
        (versions / "current.txt").write_bytes(current)
    c = publish("C")
    r = run_setup("--launch", timeout=60)
    assert (r.rc, r.errors) == (0, [])
    # The fast start asked nothing; the normal run begins with the setup list.
    assert [q.path for q in host.requests][:1] == [LIST_PATH]
    assert len(host.requests) == 1 + len(c.parts)
    # Only the freshly installed Builder ran, never the one current.txt hinted at.
    exe = home.win + "\\versions\\C\\StonewakeBuilder\\StonewakeBuilder.exe"
    records = wait_records(run_setup, 1)
    assert [(rec["exe"], rec["cmdline"]) for rec in records] == [(exe, '"%s" --launch' % exe)]
    assert (versions / "current.txt").read_bytes() == b"C"


def test_launch_without_a_home_gives_the_home_message(host, home, run_setup):
    # The relative home, resolved against the working folder, would hold a
    # ready Builder: it must not be used.
    relative = run_setup.dir / "rel" / "home"
    ready_builder(relative / "versions" / "B")
    (relative / "versions" / "current.txt").write_bytes(b"B")
    r = run_setup("--cli --launch", env={"TARNWICK_SETUP_BASE": "rel\\home"})
    assert r.rc == 1
    assert r.stderr == b"error " + HOME_MESSAGE + b"\n"
    assert (r.records, host.requests, r.status) == ([], [], [])
