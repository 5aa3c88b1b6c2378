"""End-to-end: the versions folder: the sweep, links, the completeness check
before publishing, publishing over an older copy in a portable home, and the
start of the Builder after an install."""

from __future__ import annotations

import contextlib
import os
import re
import subprocess
import time

import pytest

import make_release as mr
from test_launch import wait_records
from test_install import (LIST_PATH, LOOKING, STARTING, assert_installed, builder_exe, builder_spec,
                          custom_release, err, files, make_portable, names, unpacked, SIGNED)

PUBLISH_FAILED = ("Could not finish installing into %s (Windows error %d). A preserved repair backup, if "
                  "restoration was blocked, is beside it as .rollback-*.")


def fill(folder, content=b"x"):
    (folder / "sub").mkdir(parents=True, exist_ok=True)
    (folder / "sub" / "file.bin").write_bytes(content)
    return folder


def chattr(flag, path):
    return subprocess.run(["chattr", flag, str(path)], capture_output=True)


@contextlib.contextmanager
def immutable(path, moved_to=None):
    """Makes `path` impossible to rename or delete (chattr +i) while inside;
    `moved_to()` names the places where it may be afterwards."""
    done = chattr("+i", path)
    if done.returncode:
        pytest.skip("chattr +i is not available here: %s" % done.stderr.decode(errors="replace"))
    try:
        yield
    finally:
        for p in [path] + (moved_to() if moved_to else []):
            if os.path.lexists(p):
                chattr("-i", p)


# ---------------------------------------------------------------- the sweep
def test_sweep_leaves_only_the_version_and_the_records(publish, run_setup, home):
    rel = publish("B")
    versions = home.path / "versions"
    for name in ("A", "C.part", "A.rollback-100-200", "X.gone", "X.GONE"):
        fill(versions / name)
    (versions / "X.GONE" / "sub" / "ro.txt").write_bytes(b"read-only")
    os.chmod(versions / "X.GONE" / "sub" / "ro.txt", 0o444)
    (versions / "current.txt").write_bytes(b"A")
    (versions / "previous.txt").write_bytes(b"Z")
    (versions / "notes.txt").write_bytes(b"a file is left alone")
    r = run_setup("--cli")
    assert r.rc == 0, r.stderr
    assert names(versions) == {"B", "current.txt", "previous.txt", "notes.txt"} | SIGNED
    assert (versions / "previous.txt").read_bytes() == b"A"
    assert_installed(home, rel, rel.parts[1:])


def test_version_folder_in_other_letter_case_is_kept(publish, run_setup, home, host):
    # Installed under an earlier tag spelt "V1.0.0": the file system finds it
    # under the tag's name, so it is the version that is started, not swept.
    rel = publish("V1.0.0")
    assert run_setup("--cli").rc == 0
    publish("v1.0.0")
    host.clear()
    r = run_setup("--cli")
    assert r.rc == 0, r.stderr
    assert [q.path for q in host.requests] == [LIST_PATH]
    assert names(home.path / "versions") == {"V1.0.0", "current.txt", "previous.txt"} | SIGNED
    assert files(home.path / "versions" / "V1.0.0")["StonewakeBuilder/coreclr.dll"] == \
        unpacked(rel.parts)["StonewakeBuilder/coreclr.dll"]
    assert r.records[-1]["exe"].lower() == builder_exe(home.win, "v1.0.0").lower()


def test_links_are_never_entered(publish, run_setup, home, host):
    outside = home.path / "outside"
    targets = {name: fill(outside / name, name.encode()) for name in ("direct", "inner", "staged", "download")}
    versions = home.path / "versions"
    versions.mkdir()
    os.symlink(targets["direct"], versions / "Linked")                 # directly in versions
    fill(versions / "Old")
    os.symlink(targets["inner"], versions / "Old" / "sub" / "link")   # inside a swept tree
    (versions / "v1.0.0.part").mkdir()
    os.symlink(targets["staged"], versions / "v1.0.0.part" / "link")  # in a staging folder left behind
    (home.path / "downloads").mkdir()
    os.symlink(targets["download"], home.path / "downloads" / "link")
    rel = publish("v1.0.0")

    r = run_setup("--cli")
    assert r.rc == 0, r.stderr
    for name, target in targets.items():
        assert files(target) == {"sub/file.bin": name.encode()}, name
    # Wine cannot unlink a Unix link to a folder (RemoveDirectoryW follows it
    # and finds the target not empty), so the links stay; all else is gone.
    assert names(versions) == {"v1.0.0", "current.txt", "Linked", "Old.gone"} | SIGNED
    assert files(versions / "Old.gone") == {}
    assert names(home.path / "downloads") == {"link"}
    got = files(versions / "v1.0.0")
    assert got["installed.txt"] == b"v1.0.0"
    assert {k: v for k, v in got.items() if k.startswith("StonewakeBuilder/")} == unpacked(rel.parts)


# ---------------------------------------------------------------- publishing
def test_incomplete_builder_is_not_published(run_setup, home, host):
    rel = custom_release(host, "v1.0.0", [builder_spec("v1.0.0", drop=("coreclr.dll",)), mr.engine_part()])
    r = run_setup("--cli")
    staging = home.win + "\\versions\\v1.0.0.part"
    assert r.rc == 1
    assert r.stderr == err(
        "The Builder or its self-contained .NET runtime is incomplete after unpacking (%s\\StonewakeBuilder\\"
        "StonewakeBuilder.exe). Your antivirus may have quarantined files from %s. Check its quarantine/"
        "history, then run the setup again. No complete installation was published." % (staging, staging))
    versions = home.path / "versions"
    assert names(versions) == {"v1.0.0.part"}
    assert files(versions / "v1.0.0.part") == unpacked(rel.parts)
    assert r.records == []


@pytest.mark.parametrize("portable", [False, True], ids=["per-user", "portable"])
def test_a_file_holding_the_version_name_is_set_aside(publish, run_setup, home, portable):
    if portable:
        make_portable(home.path)
    rel = publish("v1.0.0")
    versions = home.path / "versions"
    versions.mkdir()
    (versions / "v1.0.0").write_bytes(b"a file, not a folder")
    r = run_setup("--cli")
    assert (r.rc, r.errors) == (0, [])
    assert names(versions) == {"v1.0.0", "current.txt"} | SIGNED
    assert_installed(home, rel, rel.parts[1:])


@pytest.fixture
def portable_v1(publish, run_setup, home):
    """A portable home with v1.0.0 installed (a list without an index: a
    repair installs it whole), and a file that marks this copy."""
    make_portable(home.path)
    rel = publish("v1.0.0", index=False)
    r = run_setup("--cli")
    assert r.rc == 0, r.stderr
    assert r.records[-1]["env"]["TARNWICK_BUILDER_PORTABLE"] == "1"
    old = home.path / "versions" / "v1.0.0" / "StonewakeBuilder" / "old-copy.txt"
    old.write_bytes(b"old")
    return rel, old


def test_portable_repair_keeps_the_old_copy_until_publishing(portable_v1, run_setup, home, tar_double):
    rel, old = portable_v1
    run = run_setup("--cli --repair", env={"STONEWAKE_TAR_SLOW_MS": "400"}, background=True)
    run.wait_for_status(lambda t: t == "Unpacking part 4 of 4...")
    assert old.read_bytes() == b"old"
    r = run.wait()
    assert r.rc == 0, r.stderr
    assert not old.exists()
    assert names(home.path / "versions") == {"v1.0.0", "current.txt"} | SIGNED
    assert_installed(home, rel, rel.parts[1:])


def test_portable_repair_sets_the_old_copy_aside_under_a_backup_name(portable_v1, run_setup, home):
    _, old = portable_v1
    # A file that cannot be deleted keeps the backup, and then its .gone
    # name, in sight after the run.
    versions = home.path / "versions"
    with immutable(old, lambda: list(versions.glob("*/StonewakeBuilder/old-copy.txt"))):
        r = run_setup("--cli --repair")
        left = sorted(names(versions) - SIGNED)
        kept = [p.parts[-3] for p in versions.glob("*/StonewakeBuilder/old-copy.txt")]
    assert r.rc == 0, r.stderr
    assert len(left) == 3 and left[:2] == ["current.txt", "v1.0.0"]
    assert re.fullmatch(r"v1\.0\.0\.rollback-\d+-\d+\.gone", left[-1]), left
    assert kept == [left[-1]]
    # A later run's sweep removes what was left.
    r = run_setup("--cli")
    assert r.rc == 0, r.stderr
    assert names(home.path / "versions") == {"v1.0.0", "current.txt"} | SIGNED


def test_portable_publish_failure_puts_the_old_copy_back(portable_v1, run_setup, home, tar_double):
    _, old = portable_v1
    staging = home.path / "versions" / "v1.0.0.part"
    run = run_setup("--cli --repair", env={"STONEWAKE_TAR_SLOW_MS": "300"}, background=True)
    run.wait_for_status(lambda t: t == "Unpacking part 4 of 4...")
    with immutable(staging):
        r = run.wait()
        left = names(home.path / "versions")
    assert r.rc == 1
    assert r.stderr == err(PUBLISH_FAILED % (home.win + "\\versions\\v1.0.0", 5))
    assert left == {"v1.0.0", "v1.0.0.part", "current.txt"} | SIGNED
    assert old.read_bytes() == b"old"


IN_USE = ("The Stonewake Builder in %s is in use, so it cannot be replaced (Windows error %d). "
          "Close the Stonewake Builder and run the setup again.")


@pytest.mark.parametrize("portable", [False, True], ids=["per-user", "portable"])
def test_repair_of_a_builder_in_use_leaves_it_untouched(publish, run_setup, home, portable):
    if portable:
        make_portable(home.path)
    rel = publish("v1.0.0", index=False)
    assert run_setup("--cli").rc == 0
    version = home.path / "versions" / "v1.0.0"
    before = files(version)
    with immutable(version):   # what a running Builder does to its folder on Windows
        r = run_setup("--cli --repair")
        assert files(version) == before
    assert r.rc == 1
    assert r.stderr == err(IN_USE % (home.win + "\\versions\\v1.0.0", 5))
    r = run_setup("--cli --repair")   # the Builder closed: the repair goes through
    assert r.rc == 0, r.stderr
    assert names(home.path / "versions") == {"v1.0.0", "current.txt"} | SIGNED
    assert_installed(home, rel, rel.parts[1:])


def test_a_repair_ended_after_setting_the_old_copy_aside_puts_it_back(publish, run_setup, home, host, wine):
    """Ended right after the old copy went under its backup name, before the
    new one was moved into place: the next start, even offline, puts the old
    copy back and starts it."""
    publish("v1.0.0", index=False)
    assert run_setup("--cli").rc == 0
    versions = home.path / "versions"
    before = files(versions / "v1.0.0")
    pause = run_setup.dir / "paused"
    run = run_setup("--cli --repair", background=True,
                    env={"STONEWAKE_TEST_PAUSE": "set-aside", "STONEWAKE_TEST_PAUSE_FILE": wine.to_win(pause)})
    end = time.monotonic() + 60
    while not pause.exists() and time.monotonic() < end and run.proc.poll() is None:
        time.sleep(0.02)
    assert pause.exists(), "the repair never reached the moment after setting the old copy aside"
    wine.restart_server()   # ends every process of the prefix
    run.proc.wait(60)
    assert "v1.0.0" not in names(versions) and any(".rollback-" in n for n in names(versions))
    host.stop()
    r = run_setup("--cli --launch")
    assert r.rc == 0, r.stderr
    wait_records(run_setup, 2)   # the fast start does not wait for the Builder
    assert files(versions / "v1.0.0") == before
    assert not any(".rollback-" in n for n in names(versions))


def test_deep_portable_repair_removes_its_backup(run_setup, home, host):
    # A file that fits below the version (and its staging folder) but not
    # below the longer backup name the repair sets the old copy aside under.
    pad = 150 - len(home.win) - 1
    deep, deep_win = home.path / ("p" * pad), home.win + "\\" + "p" * pad
    make_portable(deep)
    inside = "StonewakeBuilder/tools/deep/"
    name = "n" * (250 - len(deep_win + "\\versions\\v1.0.0\\" + inside))
    spec = mr.PartSpec(asset="StonewakeBuilder-deep-1.zip", files={"deep/" + name: b"deep\n"},
                       dir="StonewakeBuilder/tools")
    rel = custom_release(host, "v1.0.0", [builder_spec("v1.0.0"), spec])
    env = {"TARNWICK_SETUP_BASE": deep_win}
    assert run_setup("--cli", env=env).rc == 0
    r = run_setup("--cli --repair", env=env)
    assert r.rc == 0, r.stderr
    assert names(deep / "versions") == {"v1.0.0", "current.txt"} | SIGNED
    assert files(deep / "versions" / "v1.0.0")[inside + name] == b"deep\n"
    assert (deep / "versions" / "v1.0.0" / "installed.txt").read_bytes() == b"v1.0.0"


# ---------------------------------------------------------------- starting the Builder
@pytest.mark.parametrize("code", [0, 3])
def test_cli_mode_hands_back_the_builders_exit_code(publish, run_setup, home, code):
    publish("v1.0.0")
    r = run_setup("--cli", env={"STONEWAKE_RECORD_EXIT": str(code)})
    assert r.rc == code
    assert r.stdout == b"recorder: stdout line\n"
    assert r.stderr == b"recorder: stderr line\n"


def test_window_mode_returns_without_waiting(publish, run_setup, home, wine):
    publish("v1.0.0")
    assert run_setup("--cli").rc == 0
    start = time.monotonic()
    r = run_setup("", env={"STONEWAKE_RECORD_SLEEP_MS": "6000", "STONEWAKE_RECORD_EXIT": "5"}, no_stdio=True)
    took = time.monotonic() - start
    end = time.monotonic() + 20
    while len(run_setup.records()) < 2 and time.monotonic() < end:
        time.sleep(0.05)
    r.records = run_setup.records()
    try:
        assert r.rc == 0
        assert took < 5, took
        (_, second) = r.records
        assert second["cmdline"] == '"%s" ' % builder_exe(home.win, "v1.0.0")
        assert second["env"]["TARNWICK_SETUP_BASE"] == home.win
        assert r.texts == [LOOKING, STARTING]
    finally:
        for rec in r.records[1:]:
            wine.run(["taskkill", "/f", "/pid", str(rec["pid"])], timeout=30)


def test_builder_removed_before_its_start(publish, run_setup, home):
    publish("v1.0.0")
    # Many files in the downloads folder make its removal, the last step
    # before the start, long enough to take the Builder away meanwhile.
    downloads = home.path / "downloads"
    downloads.mkdir()
    for i in range(6000):
        (downloads / ("junk%05d" % i)).write_bytes(b"")
    run = run_setup("--cli", background=True)
    version = home.path / "versions" / "v1.0.0"
    end = time.monotonic() + 60
    while not (version / "parts.txt").exists() and time.monotonic() < end:
        time.sleep(0.005)
    (version / "StonewakeBuilder" / "StonewakeBuilder.exe").unlink()
    r = run.wait()
    assert r.rc == 1
    assert r.stderr == err("Could not start %s." % builder_exe(home.win, "v1.0.0"))
    assert r.texts[-1] == STARTING
