"""End-to-end: unpacking parts with the system's tar.exe (Windows' own tar in
the prefix; the tar double for the faults only it can play): a missing or
failing tar, its error output in the message, and the rename of an archive's
top folder."""

from __future__ import annotations

import dataclasses
import json
import os
import time
from pathlib import Path

import pytest

import make_release as mr
from conftest import DOUBLES, E2E, fresh_dir, node_folder_name, unix_processes
from test_install import (builder_spec, custom_release, err, files, install_statuses, names, part_path,
                          unpacked)

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


# ---------------------------------------------------------------- beside the next download, side by side
# tar of part 1 runs while part 2 downloads; a failure is still the failure of
# the part it belongs to. "await" holds tar 1 until part 2's archive is in
# place, which only a download made beside it can bring about. The tar
# double's marks tell when a tar started and ended: "side" holds tar 1 until
# tar 2 has started, "later-wins" until tar 2 has ended (part 2 writes into
# part 1's folder, and its file must win all the same), "3-fails" and
# "2-and-3-fail" hold tar 2 until tar 3 has failed: the failure reported is
# part 2's when it fails too, else part 3's, once part 2 has ended;
# "kinds-win" as "later-wins", with part 2's folder where part 1 left a file
# and its file where part 1 left a folder.
OVERLAP = "StonewakeBuilder/" + mr.BUILDER_FILES[0]
KINDS = ({"kinds/a": b"a file", "kinds/b/x": b"in a folder"},     # in the Builder's top folder
         {"StonewakeBuilder/kinds/a/y": b"now in a folder", "StonewakeBuilder/kinds/b": b"now a file"})


def side_by_side_env(rel, marks: str, row: str) -> dict[str, str]:
    sha = [p.sha256 for p in rel.parts]
    held, until, mark = {"side": (0, 1, "started"), "later-wins": (0, 1, "ended"), "kinds-win": (0, 1, "ended"),
                         "3-fails": (1, 2, "ended"), "2-and-3-fail": (1, 2, "ended")}[row]
    env = {"STONEWAKE_TAR_MARK": marks,
           "STONEWAKE_TAR_AWAIT_" + sha[held][:12]: "%s\\%s.zip.%s" % (marks, sha[until], mark)}
    for failing in {"3-fails": [2], "2-and-3-fail": [1, 2]}.get(row, []):
        env["STONEWAKE_TAR_FAIL_" + sha[failing][:12]] = "3"
    return env


def part_paths(home_win: str, rel: mr.Release, n: int) -> tuple[str, str]:
    """The archive of part n and the destination that messages name for it."""
    part = rel.parts[n - 1]
    dest = home_win + "\\versions\\" + rel.tag + ".part"
    if part.dir != ".":
        dest += "\\" + part.dir.replace("/", "\\").rstrip("\\")
    return home_win + "\\downloads\\" + part.sha256 + ".zip", dest


@pytest.mark.parametrize("tar_env, part2_fault, failed", [
    ("await", None, None),
    ({"STONEWAKE_TAR_FAIL": "3"}, "slow:200", 1),
    ({}, 404, "download"),
    ({"STONEWAKE_TAR_FAIL": "3"}, 404, 1),
    ({"STONEWAKE_TAR_FAIL": "3"}, 503, 1),        # not after part 2's retries
    ("side", None, None),
    ("later-wins", None, None),
    ("kinds-win", None, None),
    ("3-fails", None, 3),
    ("2-and-3-fail", None, 2),
], ids=["overlap", "tar-fails-while-next-downloads", "next-download-fails", "both-fail", "tar-fails-while-next-503s",
        "two-tars-at-once", "later-part-file-wins", "later-part-kind-wins", "part-3-fails-beside-part-2",
        "parts-2-and-3-fail"])
def test_the_next_part_downloads_while_tar_unpacks(publish, run_setup, wine, home, host, tar_double, tar_env,
                                                   part2_fault, failed):
    if tar_env == "later-wins":
        over = mr.PartSpec("StonewakeBuilder-over.zip", {OVERLAP: b"the later part's\n", "over/x": b"x"})
        rel = custom_release(host, "v1.0.0", [builder_spec("v1.0.0"), over])
    elif tar_env == "kinds-win":
        rel = custom_release(host, "v1.0.0", [builder_spec("v1.0.0", extra_files=KINDS[0]),
                                              mr.PartSpec("StonewakeBuilder-kinds.zip", KINDS[1])])
    else:
        rel = publish("v1.0.0")
    count = len(rel.parts)
    log = run_setup.dir / "tar.log"
    env = {"STONEWAKE_TAR_LOG": wine.to_win(log)}
    if tar_env == "await":
        env["STONEWAKE_TAR_AWAIT"] = home.win + "\\downloads\\" + rel.parts[1].sha256 + ".zip"
    elif isinstance(tar_env, str):
        (run_setup.dir / "marks").mkdir()
        env.update(side_by_side_env(rel, wine.to_win(run_setup.dir / "marks"), tar_env))
    else:
        env.update(tar_env)
    if part2_fault:
        host.always(part_path(rel.parts[1]), part2_fault)
    r = run_setup("--cli", env=env)
    # Never more than the one request of the download made ahead.
    assert len(host.requests_for(part_path(rel.parts[1]))) == 1
    if not failed:
        assert r.rc == 0, r.stderr
        assert r.texts == install_statuses(count)
        archives = [line.split('"')[3].rsplit("\\", 1)[-1] for line in log.read_text().splitlines()]
        # Every part by one tar; tars side by side log in the order they got going.
        assert sorted(archives) == sorted(p.sha256 + ".zip" for p in rel.parts)
        got = files(home.path / "versions" / "v1.0.0")
        assert {k: v for k, v in got.items() if k not in ("installed.txt", "parts.txt")} == unpacked(rel.parts)
        if tar_env == "later-wins":
            assert got[OVERLAP] == b"the later part's\n"
        if tar_env == "kinds-win":
            assert {k: v for k, v in got.items() if "/kinds/" in k} == KINDS[1]
        return
    assert r.rc == 1
    if failed != "download":
        head = TAR_HEAD.replace("part 1 of", "part %d of" % failed)
        assert r.stderr == err(head % ((3,) + part_paths(home.win, rel, failed)) + "tar.exe: simulated failure\n")
    else:
        assert r.stderr == err("Downloading part 2 of 4 failed. Check your connection and free space, then try "
                               "again.")
        # Part 1 was unpacked to its end, its top folder renamed, before that was reported.
        staging = home.path / "versions" / "v1.0.0.part"
        assert files(staging) == unpacked(rel.parts[:1])
    retried = ["Part 2 of 4: the download server didn't answer (503). Trying again in 3 s..."] * (part2_fault == 503)
    shown = 8 if failed in (2, 3) else 4       # tar 3 started, part 4 downloading when it failed
    assert r.texts == install_statuses(4)[:shown] + retried


def running_tars(wine) -> list[int]:
    """The prefix's tar.exe processes."""
    return unix_processes(b"tar.exe", "WINEPREFIX=%s" % wine.env["WINEPREFIX"])


@pytest.mark.parametrize("moment", ["running", "created", "destroyed", "destroyed-cli"])
def test_closing_the_window_ends_the_running_tar(publish, run_setup, wine, tar_double, probe, moment):
    """Closed while tar runs, or held between tar's creation and its entry into
    the job (the process waits for the entry, so no held tar is left behind).
    A window Windows takes away unasked (its desktop closed) ends the run as a
    failure, never as success: exit code 1 and the message, in a box or (CLI)
    on standard error."""
    publish("v1.0.0")
    pause = run_setup.dir / "pause"
    env = {"STONEWAKE_TAR_SLOW_MS": "600000"}
    if moment == "created":
        env.update(STONEWAKE_TEST_PAUSE="child-created", STONEWAKE_TEST_PAUSE_FILE=wine.to_win(pause))
    run = run_setup("--cli" if moment == "destroyed-cli" else "", env=env, background=True)
    run.wait_for_status(lambda t: t == "Unpacking part 1 of 4...")
    deadline = time.monotonic() + 60
    while not running_tars(wine) or (moment == "created" and not pause.exists()):
        assert time.monotonic() < deadline, "tar never started"
        time.sleep(0.05)
    how = "destroy" if moment.startswith("destroyed") else "close"
    closed = wine.run([DOUBLES / "winprobe.exe", how, "StonewakeSetup", "Stonewake Builder setup", "20000"])
    assert closed.stdout, "winprobe said nothing (rc %d): %r" % (closed.returncode, closed.stderr[-800:])
    assert json.loads(closed.stdout.decode())["closed" if how == "close" else "found"]
    if moment == "created":
        time.sleep(0.5)   # the close is under way while the start is held
        pause.unlink()
    said = "The setup was stopped before the Builder started. Run the setup again."
    if moment == "destroyed":
        box = probe("msgbox", "Stonewake Builder setup", 20000, "press").json
        assert (box["text"], box["closed"]) == (said, True)
    ended = run.wait()
    if moment.startswith("destroyed"):
        assert (ended.rc, ended.errors, ended.records) == (1, [said] if moment == "destroyed-cli" else [], [])
    else:
        assert ended.rc == 1223 & 0xFF    # ERROR_CANCELLED, as the Unix side sees it
    # The tar double would sleep on for ten minutes: the setup's end ended it.
    deadline = time.monotonic() + 60
    while running_tars(wine):
        assert time.monotonic() < deadline, "tar still runs after the setup ended"
        time.sleep(0.05)


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
