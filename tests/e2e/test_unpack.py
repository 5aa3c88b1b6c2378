"""End-to-end: unpacking parts with the system's tar.exe (Windows' own tar in
the prefix; the tar double for the faults only it can play): a missing or
failing tar, its error output in the message, and the rename of an archive's
top folder."""

from __future__ import annotations

import dataclasses

import pytest

import make_release as mr
from conftest import E2E, fresh_dir, node_folder_name
from test_install import builder_spec, custom_release, err, files, names, unpacked

TAR_HEAD = ("Unpacking part 1 of 4 failed: Windows' tar.exe exited with code %d.\nArchive: %s\n"
            "Destination: %s\nTar stderr excerpt (up to 511 bytes captured):\n")


def part1_paths(home_win: str, rel: mr.Release) -> tuple[str, str]:
    """The archive and the destination of the first (the Builder's) part."""
    return (home_win + "\\downloads\\" + rel.parts[0].sha256 + ".zip",
            home_win + "\\versions\\" + rel.tag + ".part")


@pytest.fixture
def no_tar(wine):
    """The prefix without tar.exe for one test; it is always put back."""
    tar = wine.system32 / "tar.exe"
    away = wine.system32 / "tar.exe.away-e2e-install"
    tar.rename(away)
    try:
        yield
    finally:
        away.rename(tar)


def test_missing_tar_names_the_windows_repair(publish, run_setup, home, no_tar):
    rel = publish("v1.0.0")
    r = run_setup("--cli")
    archive, dest = part1_paths(home.win, rel)
    assert r.rc == 1
    assert r.stderr == err(
        "Windows' tar.exe was not found (Windows error 2).\nOpen Command Prompt as administrator and run:\n"
        "DISM /Online /Cleanup-Image /RestoreHealth\nAfter DISM succeeds, run:\nsfc /scannow\n"
        "Then restart Windows and run setup again.\nArchive: %s\nDestination: %s" % (archive, dest))
    # The verified archive stays for the next run.
    assert names(home.path / "downloads") == {rel.parts[0].sha256 + ".zip"}


def flood_text(size: int) -> bytes:
    """What the tar double writes for STONEWAKE_TAR_FLOOD=size."""
    out = b""
    line = 0
    while len(out) < size:
        out += b"%s line %06d: the quick brown fox jumps over the lazy dog\n" % (
            b"flood-start" if line == 0 else b"flood", line)
        line += 1
    return out[:size]


@pytest.mark.parametrize("control, code, output, home_length", [
    ({"STONEWAKE_TAR_FAIL": "3"}, 3, b"tar.exe: simulated failure\n", 0),
    ({"STONEWAKE_TAR_FLOOD": "5000"}, 2, flood_text(5000), 0),
    ({"STONEWAKE_TAR_FLOOD": "5000"}, 2, flood_text(5000), 170),
], ids=["fail", "flood", "flood-long-home"])
def test_tar_failure_shows_the_start_of_its_error_output(publish, run_setup, home, tar_double, control, code,
                                                         output, home_length):
    rel = publish("v1.0.0")
    base, base_win = home.path, home.win
    if home_length:
        pad = home_length - len(home.win) - 1
        base, base_win = home.path / ("h" * pad), home.win + "\\" + "h" * pad
    r = run_setup("--cli", env=dict(control, TARNWICK_SETUP_BASE=base_win))
    assert r.rc == 1
    head = TAR_HEAD % ((code,) + part1_paths(base_win, rel))
    message = head + output[:511].decode()
    # The head always comes whole; the excerpt is cut so that the message
    # stays within 1023 characters.
    message = message[:1023]
    assert r.stderr == err(message)
    if home_length:
        assert len(message) == 1023 and len(head) > 512
    assert (base / "versions" / "v1.0.0.part").is_dir()
    assert not (base / "versions" / "v1.0.0").exists()


def test_tar_output_that_is_not_utf8_still_gives_a_message(publish, run_setup, home, tar_double):
    rel = publish("v1.0.0")
    r = run_setup("--cli", env={"STONEWAKE_TAR_BADUTF8": "1"})
    assert r.rc == 1
    text = r.stderr.decode("utf-8")        # still valid UTF-8 on the way out
    head = TAR_HEAD % ((2,) + part1_paths(home.win, rel))
    assert text.startswith("error " + head + "tar.exe: bad ")
    assert " utf8 " in text and text.endswith("\n") and text.count("\n") == head.count("\n") + 1


def test_rename_onto_an_existing_folder_is_skipped(run_setup, home, host):
    old = mr.engine_part("2.3.1")
    new = mr.engine_part("9.0")              # engine-9.0/, also to be renamed to engine
    rel = custom_release(host, "v1.0.0", [builder_spec("v1.0.0"), old, new])
    r = run_setup("--cli")
    assert r.rc == 0, r.stderr
    got = files(home.path / "versions" / "v1.0.0")
    # The first part took the name; the second stays under its own top folder.
    want = unpacked(rel.parts[:2])
    want.update({"StonewakeBuilder/runtimes/" + k: v for k, v in new.files.items()})
    want["installed.txt"] = b"v1.0.0"
    want["parts.txt"] = (rel.parts[1].sha256 + "\n" + rel.parts[2].sha256 + "\n").encode()
    assert got == want


def test_missing_top_folder_fails_the_rename_at_once(publish, run_setup, home):
    def wrong_from(parts):
        parts[3] = dataclasses.replace(parts[3], frm="engine-not-there")
        return parts
    publish("v1.0.0", edit_parts=wrong_from)
    r = run_setup("--cli")
    assert r.rc == 1
    assert r.stderr == err("Could not set up part 4 of 4 (renaming engine-not-there, Windows error 2).")



@pytest.mark.parametrize("folder", ["StonewakeBuilder/tools/", "StonewakeBuilder\\tools\\"])
def test_dir_ending_in_a_separator_unpacks_into_that_folder(run_setup, home, host, folder):
    # A closing backslash inside tar's quoted destination would escape the quote.
    tool = mr.tool_part("python", "3.12.4")
    tool.dir = folder
    custom_release(host, "v1.0.0", [builder_spec("v1.0.0"), tool])
    r = run_setup("--cli")
    assert r.rc == 0, r.stderr
    got = files(home.path / "versions" / "v1.0.0" / "StonewakeBuilder" / "tools")
    assert got == {k: v for k, v in tool.files.items()}


# ---------------------------------------------------------------- Windows' tar itself
@pytest.mark.parametrize("case", ["dot-dot", "cjk-path"])
def test_the_prefixs_tar_behaves_as_windows_tar(request, wine, case):
    """system32\\tar.exe is libarchive's bsdtar: it skips an entry that climbs
    out with '..', and it reads its command line in the ANSI code page, where
    CJK letters become '?'."""
    work = fresh_dir(E2E / "tar" / node_folder_name(request.node))
    folder = work / ("工具" if case == "cjk-path" else "plain")
    folder.mkdir()
    (work / "out").mkdir()
    members = {"ok.txt": b"ok", "../climbed.txt": b"out"} if case == "dot-dot" else {"ok.txt": b"ok"}
    (folder / "a.zip").write_bytes(mr.zip_bytes(members, dir_entries=False))
    tar = wine.run(["C:\\windows\\system32\\tar.exe", "-xf", wine.to_win(folder / "a.zip"),
                    "-C", wine.to_win(work / "out")])
    assert tar.returncode == 1
    text = tar.stderr.decode("utf-8", "replace")
    if case == "dot-dot":
        assert "../climbed.txt: Path contains '..'" in text
        assert names(work / "out") == {"ok.txt"} and names(work) == {"plain", "out"}
    else:
        assert "Failed to open '%s\\??\\a.zip'" % wine.to_win(work) in text
        assert names(work / "out") == set()
