"""Part reuse on update: parts whose digest the installed version lists are
taken over from it (their files hard-linked, never moved out of it) instead of
being downloaded again; everything else is downloaded as usual. The lists
here have no index line, as lists made before the index: an update with them
goes exactly as it did then (the delta road has test_delta.py)."""

from __future__ import annotations

import dataclasses
import functools
import os
import shutil
import subprocess
import time
import urllib.parse
from pathlib import Path

import pytest

import make_release as mr
from test_install import SIGNED

LIST_PATH = "/Stonewake/Stonewake/releases/latest/download/tarnwick-setup.txt"
MARKER = b"Stonewake Builder portable home v1\n"
KEPT = "Part %d of %d unchanged: kept from the installed version"
PYTHON = Path("StonewakeBuilder/tools/python")
EMSDK = Path("StonewakeBuilder/tools/emsdk")
ENGINE = Path("StonewakeBuilder/runtimes/engine")


@pytest.fixture
def publish(publish):
    return functools.partial(publish, index=False)


def asset_path(part: mr.Part) -> str:
    return urllib.parse.urlsplit(part.url).path


def fetched(host) -> list[str]:
    return [r.path for r in host.requests]


def tree(folder: Path) -> dict[str, bytes]:
    """Every file below folder: relative path -> content."""
    return {p.relative_to(folder).as_posix(): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def part_lines(texts: list[str], count: int) -> list[str]:
    return [t for t in texts if (" of %d" % count) in t]


def install_a(home, publish, run_setup, portable: bool, **kw) -> mr.Release:
    """Installs release A into the test's home through the setup itself."""
    if portable:
        (home.path / ".tarnwick-portable").write_bytes(MARKER)
    a = publish("A", **kw)
    r = run_setup("--cli")
    assert (r.rc, r.errors) == (0, []), r.stderr
    assert (home.path / "versions" / "A" / "installed.txt").exists()
    return a


def assert_builder_started(r, home, tag: str) -> None:
    exe = home.path / "versions" / tag / "StonewakeBuilder" / "StonewakeBuilder.exe"
    assert [rec["exe"] for rec in r.records][-1:] == [home.win + "\\versions\\%s\\StonewakeBuilder\\StonewakeBuilder.exe" % tag]
    assert exe.exists()
    dll = exe.parent / "StonewakeBuilder.dll"
    assert dll.read_bytes() == ("StonewakeBuilder.dll of Stonewake Builder %s\n" % tag).encode()


@pytest.mark.parametrize("portable", [False, True], ids=["non-portable", "portable"])
def test_update_takes_over_unchanged_parts(host, home, publish, run_setup, portable):
    install_a(home, publish, run_setup, portable)
    va = home.path / "versions" / "A"
    inodes = {p: (va / p).stat().st_ino for p in (va / "StonewakeBuilder" / "tools").rglob("*") if p.is_file()}
    # A file that only the installed copy has: it shows where B's folder came from.
    (va / PYTHON / "kept-from-A.txt").write_bytes(b"A\n")
    os.chmod(va / PYTHON / "kept-from-A.txt", 0o444)   # read-only, which links share
    a_tools = {k: v for k, v in tree(va / "StonewakeBuilder").items() if "/" in k}

    b = publish("B")
    host.clear()
    r = run_setup("--cli")

    assert (r.rc, r.errors) == (0, [])
    assert fetched(host) == [LIST_PATH, asset_path(b.parts[0])]
    assert part_lines(r.texts, 4) == [
        "Downloading part 1 of 4 (0 MB)...", "Unpacking part 1 of 4...",
        KEPT % (2, 4), KEPT % (3, 4), KEPT % (4, 4)]
    vb = home.path / "versions" / "B"
    b_tools = {k: v for k, v in tree(vb / "StonewakeBuilder").items() if "/" in k}
    assert b_tools == a_tools
    # The files are linked, not copied: the very files of A, in both home kinds.
    assert len(inodes) >= 3
    for p, ino in inodes.items():
        assert (vb / p.relative_to(va)).stat().st_ino == ino, p
    assert not va.exists()
    assert (vb / PYTHON / "kept-from-A.txt").stat().st_mode & 0o777 == 0o444, "removing A changed B's file"
    assert {x.name for x in (home.path / "versions").iterdir()} == {"B", "current.txt", "previous.txt"} | SIGNED
    assert (home.path / "versions" / "current.txt").read_bytes() == b"B"
    assert (home.path / "versions" / "previous.txt").read_bytes() == b"A"
    assert (vb / "parts.txt").read_bytes() == "".join(p.sha256 + "\n" for p in b.parts[1:]).encode()
    assert_builder_started(r, home, "B")


def test_repair_of_the_current_tag_reuses_nothing(host, home, publish, run_setup):
    # A portable home keeps the installed copy until publishing, so the old
    # folders are still there to be (wrongly) taken from while parts are fetched.
    a = install_a(home, publish, run_setup, portable=True)
    host.clear()
    r = run_setup("--cli --repair")
    assert (r.rc, r.errors) == (0, [])
    assert fetched(host) == [LIST_PATH] + [asset_path(p) for p in a.parts]
    assert not [t for t in r.texts if "unchanged" in t]
    assert (home.path / "versions" / "current.txt").read_bytes() == b"A"
    assert not (home.path / "versions" / "previous.txt").exists()
    assert_builder_started(r, home, "A")


@pytest.mark.parametrize("case", ["folder-gone", "link-inside"])
def test_part_that_cannot_be_taken_over_is_downloaded(host, home, publish, run_setup, case):
    install_a(home, publish, run_setup, portable=(case == "link-inside"))
    emsdk_a = tree(home.path / "versions" / "A" / EMSDK)
    if case == "folder-gone":
        shutil.rmtree(home.path / "versions" / "A" / EMSDK)
    else:
        # A link inside the old folder fails the copy; the partial copy goes.
        elsewhere = home.path / "elsewhere"
        elsewhere.mkdir()
        (elsewhere / "own.txt").write_bytes(b"not a part\n")
        os.symlink(elsewhere, home.path / "versions" / "A" / EMSDK / "linked")
    # Only the first line of current.txt names the installed version.
    (home.path / "versions" / "current.txt").write_bytes(b"A\r\nolder\r\n")
    b = publish("B")
    host.clear()
    r = run_setup("--cli")
    assert (r.rc, r.errors) == (0, [])
    assert fetched(host) == [LIST_PATH, asset_path(b.parts[0]), asset_path(b.parts[2])]
    assert [t for t in r.texts if "unchanged" in t] == [KEPT % (2, 4), KEPT % (4, 4)]
    assert tree(home.path / "versions" / "B" / EMSDK) == emsdk_a
    assert not os.path.lexists(home.path / "versions" / "B" / EMSDK / "linked")
    if case == "link-inside":
        assert tree(home.path / "elsewhere") == {"own.txt": b"not a part\n"}
    assert (home.path / "versions" / "previous.txt").read_bytes() == b"A"
    assert_builder_started(r, home, "B")


# A second part that unpacks into the python tool's folder: both parts map to
# StonewakeBuilder\tools\python, so the installed folder holds both.
ADDON = mr.PartSpec(asset="StonewakeBuilder-python-addon-1.zip",
                    files={"python/addon/extra.txt": b"addon 1\n"}, dir="StonewakeBuilder/tools")


@pytest.mark.parametrize("portable", [False, True], ids=["non-portable", "portable"])
def test_second_part_of_a_taken_over_folder_is_downloaded(host, home, publish, run_setup, portable):
    install_a(home, publish, run_setup, portable, extra_parts=[ADDON])
    python_a = tree(home.path / "versions" / "A" / PYTHON)
    assert "addon/extra.txt" in python_a and "bin/python.exe" in python_a
    b = publish("B", extra_parts=[ADDON])
    host.clear()
    r = run_setup("--cli")
    assert (r.rc, r.errors) == (0, [])
    # The addon's folder is already in place (taken over with part 2): it
    # cannot be taken over again, and what part 2 brought must stay.
    assert fetched(host) == [LIST_PATH, asset_path(b.parts[0]), asset_path(b.parts[4])]
    assert [t for t in r.texts if "unchanged" in t] == [KEPT % (n, 5) for n in (2, 3, 4)]
    assert tree(home.path / "versions" / "B" / PYTHON) == python_a
    assert_builder_started(r, home, "B")


def test_part_without_part_folder_is_never_reused(host, home, publish, run_setup):
    # Both the Builder part and a tool part whose archive name spells the
    # prefix in other letter case have no part folder; their digests are the
    # same under both tags.
    odd = mr.PartSpec(asset="StonewakeBuilder-Python-odd-1.zip", files={"odd/x.txt": b"odd\n"},
                      dir="StonewakeBuilder/tools")
    a = install_a(home, publish, run_setup, False, builder_version="1", extra_parts=[odd])
    parts_txt = home.path / "versions" / "A" / "parts.txt"
    assert parts_txt.read_bytes() == "".join(p.sha256 + "\n" for p in a.parts[1:4]).encode()
    # Even listed by hand they are not taken over.
    with open(parts_txt, "ab") as f:
        f.write((a.parts[0].sha256 + "\n" + a.parts[4].sha256 + "\n").encode())
    b = publish("B", builder_version="1", extra_parts=[odd])
    assert (b.parts[0].sha256, b.parts[4].sha256) == (a.parts[0].sha256, a.parts[4].sha256)
    host.clear()
    r = run_setup("--cli")
    assert (r.rc, r.errors) == (0, [])
    assert fetched(host) == [LIST_PATH, asset_path(b.parts[0]), asset_path(b.parts[4])]
    assert [t for t in r.texts if "unchanged" in t] == [KEPT % (n, 5) for n in (2, 3, 4)]
    vb = home.path / "versions" / "B"
    assert (vb / "StonewakeBuilder" / "tools" / "odd" / "x.txt").read_bytes() == b"odd\n"
    assert (vb / "StonewakeBuilder" / "hostfxr.dll").exists()
    assert [rec["exe"] for rec in r.records][-1:] == [home.win + "\\versions\\B\\StonewakeBuilder\\StonewakeBuilder.exe"]


# current.txt edited by hand; the decoy sits where the text would lead
# (relative to the home), with the parts list and part folders of release B.
@pytest.mark.parametrize("current, decoy, portable", [
    ("..\\x", "x", False),
    ("..", ".", True),
    ("A\\..\\..\\x", "x", True),
    ("a/b", "versions/a/b", False),
    (".hidden", "versions/.hidden", True),
])
def test_hand_edited_current_tag_takes_nothing(host, home, publish, run_setup, current, decoy, portable):
    if portable:
        (home.path / ".tarnwick-portable").write_bytes(MARKER)
    b = publish("B")
    versions = home.path / "versions"
    versions.mkdir()
    (versions / "current.txt").write_bytes(current.encode() + b"\r\n")
    d = home.path / decoy
    for folder in (PYTHON, EMSDK, ENGINE):
        (d / folder).mkdir(parents=True)
        (d / folder / "decoy.txt").write_bytes(b"not from the versions folder\n")
    (d / "parts.txt").write_bytes("".join(p.sha256 + "\n" for p in b.parts).encode())

    def decoy_files() -> dict[str, bytes]:
        return {k: v for k, v in tree(d).items() if not k.startswith(("versions/", "downloads/"))}
    before = decoy_files()

    r = run_setup("--cli")

    assert (r.rc, r.errors) == (0, [])
    assert fetched(host) == [LIST_PATH] + [asset_path(p) for p in b.parts]
    assert not [t for t in r.texts if "unchanged" in t]
    vb = versions / "B"
    assert not [k for k in tree(vb) if k.endswith("decoy.txt")]
    assert (vb / PYTHON / "VERSION").read_bytes() == b"3.12.4\n"
    if not decoy.startswith("versions/"):   # outside the versions folder: left alone
        assert decoy_files() == before
    assert_builder_started(r, home, "B")


def test_parts_are_copied_where_links_are_refused(host, home, publish, run_setup):
    # The installed version on a volume of its own (a tmpfs mounted over its
    # folder): a hard link cannot cross to the staging folder, as on a FAT
    # stick none can be made at all, so the kept parts are copied.
    install_a(home, publish, run_setup, portable=False)
    va = home.path / "versions" / "A"
    keep = home.path / "A-files"
    shutil.copytree(va, keep)
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16m", "tmpfs", str(va)], capture_output=True)
    if mounted.returncode:
        pytest.skip("cannot mount a tmpfs here: %s" % mounted.stderr.decode(errors="replace"))
    try:
        shutil.copytree(keep, va, dirs_exist_ok=True)
        a_tools = {k: v for k, v in tree(va / "StonewakeBuilder").items() if "/" in k}
        b = publish("B")
        host.clear()
        r = run_setup("--cli")
        assert (r.rc, r.errors) == (0, []), r.stderr
        assert fetched(host) == [LIST_PATH, asset_path(b.parts[0])]
        assert [t for t in r.texts if "unchanged" in t] == [KEPT % (n, 4) for n in (2, 3, 4)]
        vb = home.path / "versions" / "B"
        assert {k: v for k, v in tree(vb / "StonewakeBuilder").items() if "/" in k} == a_tools
        assert tree(va / "StonewakeBuilder") == tree(keep / "StonewakeBuilder")   # A untouched
        assert_builder_started(r, home, "B")
    finally:
        subprocess.run(["umount", str(va)], check=False)
        if os.path.ismount(va):
            subprocess.run(["umount", "-l", str(va)], check=False)


@pytest.mark.parametrize("portable, over_kept", [(False, False), (True, False), (False, True)],
                         ids=["non-portable", "portable", "tar-over-a-kept-folder"])
def test_failed_update_leaves_the_installed_version_whole(host, home, publish, run_setup, portable, over_kept):
    install_a(home, publish, run_setup, portable, extra_parts=[ADDON] if over_kept else [])
    va = home.path / "versions" / "A"
    before = tree(va)
    if over_kept:
        # Part 5 changes a file in the python folder that part 2 keeps (its
        # files linked to A's): Windows' tar unpacks it there, replacing the
        # link rather than writing through it; then part 6 fails for good.
        addon = dataclasses.replace(ADDON, files={"python/addon/extra.txt": b"addon 2\n"})
        b = publish("B", extra_parts=[addon, mr.tool_part("cpm", "0.40")])
        failing, kept = 6, [KEPT % (n, 6) for n in (2, 3, 4)]
    else:
        # B changes the engine, the last part: the tools are taken over first,
        # then the engine's download fails for good.
        b = publish("B", engine="9.9.9")
        failing, kept = 4, [KEPT % (2, 4), KEPT % (3, 4)]
    host.always(asset_path(b.parts[failing - 1]), 503)
    r = run_setup("--cli")
    assert r.rc == 1
    assert r.errors[0].startswith("Downloading part %d of %d failed" % (failing, failing))
    assert [t for t in r.texts if "unchanged" in t] == kept
    if over_kept:
        staged = home.path / "versions" / "B.part" / PYTHON / "addon" / "extra.txt"
        assert staged.read_bytes() == b"addon 2\n"
    assert tree(va) == before
    assert (home.path / "versions" / "current.txt").read_bytes() == b"A"
    host.stop()   # offline, the installed Builder still starts at once
    r = run_setup("--cli --launch")
    deadline = time.monotonic() + 15
    while not r.records[-1:] or "\\versions\\A\\" not in r.records[-1]["exe"]:
        assert time.monotonic() < deadline, r.records
        time.sleep(0.05)
        r.records = run_setup.records()
    assert r.rc == 0
