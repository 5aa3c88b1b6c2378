"""End-to-end: a first install and the later starts, the install decision,
part downloads with their checksum and their resumption, and homes whose paths are long or not
ASCII. The helpers at the top are shared with test_unpack.py and
test_store.py."""

from __future__ import annotations

import dataclasses
import hashlib
import re
import urllib.parse
import zipfile
from pathlib import Path

import pytest

import make_release as mr
from conftest import DOUBLES, RELEASE_HOST, SETUP_EXE

LIST_PATH = "/Stonewake/Stonewake/releases/latest/download/tarnwick-setup.txt"
LOOKING = "Looking for the latest Stonewake Builder..."
STARTING = "Starting the Stonewake Builder..."
MARKER = b"Stonewake Builder portable home v1\n"
BUILDER_RUN = "StonewakeBuilder\\StonewakeBuilder.exe"


# ---------------------------------------------------------------- helpers
def err(message: str) -> bytes:
    """What CLI mode writes to standard error for one fatal message."""
    return b"error " + message.encode("utf-8") + b"\n"


def part_path(part: mr.Part) -> str:
    return urllib.parse.urlsplit(part.url).path


def files(folder: Path) -> dict[str, bytes]:
    """Every file below `folder`: relative path with '/' -> content."""
    return {f.relative_to(folder).as_posix(): f.read_bytes()
            for f in sorted(folder.rglob("*")) if f.is_file() and not f.is_symlink()}


# The record a signed list leaves beside current.txt: the highest serial used.
SIGNED = {"serial.txt"} if mr.signing_key() else set()


def names(folder: Path) -> set[str]:
    return {p.name for p in folder.iterdir()} if folder.exists() else set()


def unpacked(parts: list[mr.Part]) -> dict[str, bytes]:
    """The files that these parts put into a version folder: each zip member
    below its part's dir, the top entry renamed from `frm` to `to`; as one
    tar after the other writes them, a later entry replaces an earlier one of
    the other kind at its name or along its path."""
    out = {}
    for p in parts:
        with zipfile.ZipFile(p.path) as z:
            for info in z.infolist():
                name = info.filename.rstrip("/")
                top, _, rest = name.partition("/")
                if p.frm != "-" and p.to != "-" and top == p.frm:
                    name = p.to + ("/" + rest if rest else "")
                name = name if p.dir == "." else p.dir + "/" + name
                steps = name.split("/")
                for n in range(1, len(steps) + info.is_dir()):
                    out.pop("/".join(steps[:n]), None)
                if info.is_dir():
                    continue
                for below in [k for k in out if k.startswith(name + "/")]:
                    del out[below]
                out[name] = z.read(info)
    return out


def builder_exe(home_win: str, tag: str) -> str:
    return "%s\\versions\\%s\\%s" % (home_win, tag, BUILDER_RUN)


def install_statuses(count: int, sizes_mb: list[int] | None = None) -> list[str]:
    out = [LOOKING]
    for n in range(1, count + 1):
        mb = sizes_mb[n - 1] if sizes_mb else 0
        out += ["Downloading part %d of %d (%d MB)..." % (n, count, mb), "Unpacking part %d of %d..." % (n, count)]
    return out + [STARTING]


def make_portable(folder: Path) -> None:
    folder.mkdir(parents=True, exist_ok=True)
    (folder / ".tarnwick-portable").write_bytes(MARKER)


def custom_release(host, tag: str, specs: list[mr.PartSpec], **kw) -> mr.Release:
    """A release of hand-made parts, published as the latest."""
    kw.setdefault("latest", True)
    return mr.write_release(host.root, tag, specs, host=RELEASE_HOST, **kw)


def builder_spec(tag: str, drop: tuple[str, ...] = (), **kw) -> mr.PartSpec:
    spec = mr.builder_part(tag, DOUBLES / "recorder.exe", **kw)
    spec.files = {k: v for k, v in spec.files.items() if k.rsplit("/", 1)[-1] not in drop}
    return spec


def assert_installed(home, rel: mr.Release, with_folder: list[mr.Part]) -> None:
    """versions holds exactly this version, complete, and its records."""
    version = home.path / "versions" / rel.tag
    expected = unpacked(rel.parts)
    expected["installed.txt"] = rel.tag.encode()
    expected["parts.txt"] = b"".join(p.sha256.encode() + b"\n" for p in with_folder)
    assert files(version) == expected
    assert (home.path / "versions" / "current.txt").read_bytes() == rel.tag.encode()
    assert not (home.path / "downloads").exists()


# ---------------------------------------------------------------- a first install
def test_first_install_layout_records_and_start(publish, run_setup, home, host):
    cpm = mr.tool_part("cpm", "0.40", size=2 * 1024 * 1024 + 5)
    rel = publish("v1.0.0", extra_parts=[cpm])
    tail = '--cli  "a b" --unknown x'
    r = run_setup(tail)

    assert r.rc == 0, r.stderr
    assert r.texts == install_statuses(5, [0, 0, 0, 0, 2])
    assert [(q.path, q.accept) for q in host.requests] == \
        [(LIST_PATH, None)] + [(part_path(p), None) for p in rel.parts]
    # Every part has a part folder except the Builder's own (unpacked into ".").
    assert_installed(home, rel, rel.parts[1:])
    assert names(home.path / "versions") == {"v1.0.0", "current.txt"} | SIGNED

    (rec,) = r.records
    exe = builder_exe(home.win, "v1.0.0")
    assert rec["cmdline"] == '"%s" %s' % (exe, tail)
    assert rec["cwd"] == exe.rsplit("\\", 1)[0]
    assert rec["env"]["TARNWICK_SETUP_BASE"] == home.win
    assert rec["env"]["TARNWICK_BUILDER_PORTABLE"] is None
    assert (rec["handles"]["stdout"], rec["handles"]["stderr"]) == ("disk", "disk")
    assert r.stdout == b"recorder: stdout line\n"
    assert r.stderr == b"recorder: stderr line\n"


@pytest.mark.parametrize("remove, current, want_current, want_previous", [
    (None, None, b"v1.0.0", None),
    ("v1.0.0/parts.txt", None, b"v1.0.0", None),    # written again from the list
    (None, b"v1.0.0\r\nmore\n", b"v1.0.0\r\nmore\n", None),  # its first line is the tag: left alone
    (None, b"v0.9.0", b"v1.0.0", b"v0.9.0"),
], ids=["unchanged", "no-parts.txt", "current-crlf", "current-other"])
def test_second_start_fetches_only_the_list(publish, run_setup, home, host, remove, current,
                                            want_current, want_previous):
    publish("v1.0.0")
    assert run_setup("--cli").rc == 0
    versions = home.path / "versions"
    before = files(versions / "v1.0.0")
    if remove:
        (versions / remove).unlink()
    if current:
        (versions / "current.txt").write_bytes(current)
    host.clear()

    r = run_setup("--cli again")
    assert r.rc == 0, r.stderr
    assert [q.path for q in host.requests] == [LIST_PATH]
    assert r.texts == [LOOKING, STARTING]
    assert r.records[-1]["cmdline"] == '"%s" --cli again' % builder_exe(home.win, "v1.0.0")
    assert files(versions / "v1.0.0") == before
    assert (versions / "current.txt").read_bytes() == want_current
    assert (versions / "previous.txt").read_bytes() == want_previous if want_previous else \
        not (versions / "previous.txt").exists()


def test_update_moves_the_records_and_removes_the_old_version(publish, run_setup, home):
    publish("v1.0.0")
    assert run_setup("--cli").rc == 0
    rel = publish("v2.0.0", engine="2.4.0")
    r = run_setup("--cli")
    assert r.rc == 0, r.stderr
    versions = home.path / "versions"
    assert names(versions) == {"v2.0.0", "current.txt", "previous.txt"} | SIGNED
    assert (versions / "previous.txt").read_bytes() == b"v1.0.0"
    assert_installed(home, rel, rel.parts[1:])


# ---------------------------------------------------------------- install decision
def _drop(name):
    return lambda v: (v / "StonewakeBuilder" / name).unlink()


def _empty(name):
    return lambda v: (v / "StonewakeBuilder" / name).write_bytes(b"")


@pytest.mark.parametrize("damage, args", [
    (_drop("coreclr.dll"), "--cli"),
    (_empty("hostfxr.dll"), "--cli"),
    (lambda v: (v / "installed.txt").unlink(), "--cli"),
    (lambda v: None, "--cli --repair x"),
], ids=["no-coreclr", "empty-runtime-file", "no-installed.txt", "repair"])
def test_damaged_or_repaired_version_is_installed_again(publish, run_setup, home, host, damage, args):
    """Without an index the list's version is installed again whole (with
    one, it is healed: test_delta)."""
    rel = publish("v1.0.0", index=False)
    assert run_setup("--cli").rc == 0
    version = home.path / "versions" / "v1.0.0"
    damage(version)
    (version / "StonewakeBuilder" / "stray.txt").write_bytes(b"left by someone")
    host.clear()

    r = run_setup(args)
    assert r.rc == 0, r.stderr
    assert r.texts == install_statuses(4)
    assert [q.path for q in host.requests] == [LIST_PATH] + [part_path(p) for p in rel.parts]
    # The old folder was removed first, not merged into: the stray file is gone.
    assert_installed(home, rel, rel.parts[1:])
    # The first --repair is taken out of the line; the blanks around it stay.
    tail = "--cli  x" if "--repair" in args else "--cli"
    assert r.records[-1]["cmdline"] == '"%s" %s' % (builder_exe(home.win, "v1.0.0"), tail)


def test_repair_keeps_the_installed_copy_until_publishing(publish, run_setup, home, host):
    rel = publish("v1.0.0", index=False)
    assert run_setup("--cli").rc == 0
    version = home.path / "versions" / "v1.0.0"
    before = files(version)
    host.script(part_path(rel.parts[0]), ["delay:1500"])
    run = run_setup("--cli --repair", background=True)
    run.wait_for_status(lambda t: t.startswith("Downloading part 1 of 4"))
    assert files(version) == before   # whole and startable while the new copy is fetched
    assert (home.path / "versions" / "v1.0.0.part").is_dir()
    r = run.wait()
    assert r.rc == 0, r.stderr
    assert_installed(home, rel, rel.parts[1:])
    assert names(home.path / "versions") == {"v1.0.0", "current.txt"} | SIGNED


# ---------------------------------------------------------------- downloads
def test_matching_archive_in_downloads_is_used_without_a_request(publish, run_setup, home, host):
    rel = publish("v1.0.0")
    downloads = home.path / "downloads"
    downloads.mkdir()
    (downloads / (rel.parts[2].sha256 + ".zip")).write_bytes(rel.parts[2].path.read_bytes())
    r = run_setup("--cli")
    assert r.rc == 0, r.stderr
    assert part_path(rel.parts[2]) not in [q.path for q in host.requests]
    i = r.texts.index("Unpacking part 2 of 4...")
    assert r.texts[i + 1] == "Unpacking part 3 of 4..."
    assert_installed(home, rel, rel.parts[1:])


def test_corrupt_archive_in_downloads_is_downloaded_again_and_replaced(publish, run_setup, home, host):
    rel = publish("v1.0.0")
    downloads = home.path / "downloads"
    downloads.mkdir()
    archive = downloads / (rel.parts[0].sha256 + ".zip")
    archive.write_bytes(rel.parts[1].path.read_bytes())   # a real zip, but not this one
    host.always(part_path(rel.parts[1]), 404)             # stop the run while downloads stays
    r = run_setup("--cli")
    assert r.rc == 1
    assert [q.path for q in host.requests][:2] == [LIST_PATH, part_path(rel.parts[0])]
    assert archive.read_bytes() == rel.parts[0].path.read_bytes()
    assert names(downloads) == {archive.name}


def test_final_refusal_deletes_the_partial_archive(publish, run_setup, home, host):
    rel = publish("v1.0.0")
    host.always(part_path(rel.parts[0]), 404)
    r = run_setup("--cli")
    assert r.rc == 1
    assert r.stderr == err("Downloading part 1 of 4 failed. Check your connection and free space, then try again.")
    assert len(host.requests_for(part_path(rel.parts[0]))) == 1
    assert r.texts == [LOOKING, "Downloading part 1 of 4 (0 MB)..."]
    assert names(home.path / "downloads") == set()
    assert r.records == []


def test_server_errors_on_every_attempt(publish, run_setup, home, host):
    rel = publish("v1.0.0")
    part = part_path(rel.parts[0])
    host.always(part, 503)
    r = run_setup("--cli")
    assert r.rc == 1
    assert r.stderr == err(
        "Downloading part 1 of 4 failed: GitHub's download servers are failing right now (tried 8 times "
        "over 3 minutes). This is on GitHub's side. The parts already downloaded are kept: run "
        "StonewakeBuilder.exe again in a few minutes and it carries on from here.")
    # Every second attempt asks the release API for the asset's link first.
    seen = [(q.path, q.accept) for q in host.requests[1:]]
    api = ("/api/v1/repos/Stonewake/Stonewake/releases/tags/v1.0.0", "application/vnd.github+json")
    assert seen == [(part, None), api, (part, "application/octet-stream")] * 4
    waits = [3, 6, 12, 20, 30, 45, 60]
    downloading = "Downloading part 1 of 4 (0 MB)..."
    expected = [LOOKING, downloading]
    for w in waits:
        expected += ["Part 1 of 4: the download server didn't answer (503). Trying again in %d s..." % w, downloading]
    assert r.texts == expected
    assert names(home.path / "downloads") == set()


@pytest.mark.parametrize("fault", ["short", "truncated", "long", "long:%d" % (256 << 20)])
def test_broken_transfer_is_retried(publish, run_setup, home, host, fault):
    rel = publish("v1.0.0")
    part = part_path(rel.parts[1])
    host.script(part, [fault])
    r = run_setup("--cli")
    assert r.rc == 0, r.stderr
    # Reading stops once the body passes its length: what the host got out
    # is at most the part and what the sockets between them buffer.
    assert host.requests_for(part)[0].sent < rel.parts[1].size + (32 << 20)
    i = r.texts.index("Downloading part 2 of 4 (0 MB)...")
    assert r.texts[i:i + 3] == ["Downloading part 2 of 4 (0 MB)...",
                                "Part 2 of 4: the download server didn't answer (200). Trying again in 3 s...",
                                "Downloading part 2 of 4 (0 MB)..."]
    assert [q.accept for q in host.requests_for(part)] == [None, "application/octet-stream"]
    assert_installed(home, rel, rel.parts[1:])


def test_checksum_mismatch_is_not_retried(publish, run_setup, home, host):
    def wrong_digest(parts):
        p = parts[1]
        parts[1] = dataclasses.replace(p, sha256=hashlib.sha256(b"other " + p.path.read_bytes()).hexdigest())
        return parts
    rel = publish("v1.0.0", edit_parts=wrong_digest)
    r = run_setup("--cli")
    assert r.rc == 1
    assert r.stderr == err("Part 2 of 4 did not download correctly (its checksum differs). Try again.")
    assert len(host.requests_for(part_path(rel.parts[1]))) == 1
    assert r.texts[-1] == "Downloading part 2 of 4 (0 MB)..."
    assert names(home.path / "downloads") == {rel.parts[0].sha256 + ".zip"}


def test_an_archive_held_by_another_program_is_moved_into_place_with_the_renames_retries(publish, wine, home):
    """downloads\\<sha256>.zip held by another program (here a broken older
    copy that cannot be replaced): the verified download's move onto it is
    tried 80 times, as every rename is, before the run gives up."""
    from test_store import immutable
    rel = publish("v1.0.0")
    downloads = home.path / "downloads"
    downloads.mkdir()
    held = downloads / (rel.parts[0].sha256 + ".zip")
    held.write_bytes(b"an older copy that breaks off")
    with immutable(held):
        # Wine traces each rename attempt; the setup's own error line comes along.
        done = wine.run([SETUP_EXE, "--cli"], timeout=120,
                        env={"TARNWICK_SETUP_BASE": home.win, "WINEDEBUG": "-all,trace+file"})
    moves = [l for l in done.stderr.splitlines() if b":MoveFileWithProgressW " in l and b".zip.part" in l]
    assert len(moves) == 80
    own = re.sub(rb"[0-9a-f]{4}:trace:[^\n]*\n", b"", done.stderr)   # trace lines come between its writes
    assert (done.returncode, own) == (1, err("Could not place part 1 of 4 in %s\\downloads (Windows error 5)."
                                             % home.win))
    assert names(downloads) == {held.name}


# ---------------------------------------------------------------- resumed downloads
HELD = "held"     # "bytes=<what the earlier answers delivered>-"
GAVE_UP = ("Downloading part 5 of 5 failed: GitHub's download servers are failing right now (tried 8 times "
           "over 3 minutes). This is on GitHub's side. The parts already downloaded are kept: run "
           "StonewakeBuilder.exe again in a few minutes and it carries on from here.")


def big_part_statuses(shown: list[int], complete: bool, again: bool) -> list[str]:
    """A release of four small parts and one of 1 MiB whose attempts were
    retried after the statuses `shown`; `again`: the small ones were
    downloaded by an earlier run."""
    downloading = "Downloading part 5 of 5 (1 MB)..."
    full = [t for t in install_statuses(5, [0, 0, 0, 0, 1])
            if not (again and t.startswith("Downloading") and t != downloading)]
    i = full.index(downloading) + 1
    retries = []
    for code, wait in zip(shown, [3, 6, 12, 20, 30, 45, 60]):
        retries += ["Part 5 of 5: the download server didn't answer (%d). Trying again in %d s..." % (code, wait),
                    downloading]
    return full[:i] + retries + (full[i:] if complete else [])


@pytest.mark.parametrize("ranges, faults, partial, runs", [
    # dropped at 90 %: the retry, through the API's link and a redirect, asks for the rest
    (True, ["drop:0.9", "redirect"], None, [([(None, 200), (HELD, 302), (HELD, 206)], [200], None)]),
    # a host without ranges sends the whole body again
    (False, ["drop:0.9"], None, [([(None, 200), (None, 200)], [200], None)]),
    # ranges announced, but a 200 answers the range: the whole body again
    (True, ["drop:0.9", "whole"], None, [([(None, 200), (HELD, 200)], [200], None)]),
    # an earlier run left the archive's first bytes
    (True, [], "head", [([(HELD, 206)], [], None)]),
    # ... or wrong ones (zeros a power cut left): once resumed the checksum differs, so it starts afresh
    (True, [], "zeros", [([(HELD, 206), (None, 200)], [], None)]),
    # every attempt broken mid-body: what arrived is kept, and the next run carries on from it
    (True, "drop:0.1", None, [([(None, 200)] + [(HELD, 206)] * 7, [200] + [206] * 6, GAVE_UP),
                              ([(HELD, 206)], [], None)]),
], ids=["drop-then-range", "no-ranges", "200-to-a-range", "earlier-partial", "zeroed-partial",
        "eight-breaks-keep-it"])
def test_broken_downloads_carry_on_from_what_arrived(publish, run_setup, home, host, ranges, faults,
                                                      partial, runs):
    rel = publish("v1.0.0", extra_parts=[mr.tool_part("cpm", "1.0", size=(1 << 20) + 4321, stored=True)])
    big = rel.parts[4]
    path = part_path(big)
    kept = home.path / "downloads" / (big.sha256 + ".zip.part")
    host.ranges = ranges
    if isinstance(faults, str):
        host.always(path, faults)
    else:
        host.script(path, ["redirect:" + host.url(path + "?moved") if f == "redirect" else f for f in faults])
    if partial:
        kept.parent.mkdir()
        kept.write_bytes(big.path.read_bytes()[:700000] if partial == "head" else bytes(40))
    for again, (asked, shown, message) in enumerate(runs):
        held = kept.stat().st_size if kept.exists() else 0
        host.clear()
        r = run_setup("--cli")
        seen = [q for q in host.requests if q.path.startswith(path)]
        want = []
        for q, (start, status) in zip(seen, asked):
            want.append(("bytes=%d-" % held if start == HELD else None, status))
            held = q.sent if q.status == 200 else held + q.sent
        assert [(q.range, q.status) for q in seen] == want and len(seen) == len(asked)
        assert r.texts == big_part_statuses(shown, message is None, again > 0)
        if message:
            assert (r.rc, r.stderr) == (1, err(message))
            # what the host sent is what the partial holds, or it is gone
            assert (kept.stat().st_size if kept.exists() else None) == (held if message == GAVE_UP else None)
            host.always(path, None)
        else:
            assert r.rc == 0, r.stderr
            assert_installed(home, rel, rel.parts[1:])


# ---------------------------------------------------------------- a full disk
@pytest.mark.parametrize("phase", ["download", "unpack"])
def test_a_full_disk_ends_the_run_at_once_and_the_next_run_completes(run_setup, host, small_disk, phase):
    """A home on a volume of 4 MiB: an incompressible first part of 6 MiB
    fills it while it downloads; a first part of 16 KiB that unpacks to
    12 MiB, while tar writes it out (first, so that the part reported is the
    same whichever tar beside it the full disk fails too)."""
    disk = small_disk(4)
    if phase == "download":
        # The first part is the big one, so that no tar unpacks beside its
        # download (a tar that the full disk failed first would be reported).
        big = builder_spec("v1")
        big.files["StonewakeBuilder-win-x64/data.bin"] = mr.filler("big", 6 << 20)
        big.stored = True
        rel = custom_release(host, "v1", [big])
    else:
        # Beside the Builder's folder, so that the Builder part's rename still finds its name free.
        big = mr.PartSpec("zeros.zip", {"zeros/zeros.bin": bytes(12 << 20)}, dir=".")
        rel = custom_release(host, "v1", [big, builder_spec("v1")])
    base = disk.win + "\\home"
    home = disk.path / "home"
    r = run_setup("--cli", env={"TARNWICK_SETUP_BASE": base})

    assert r.rc == 1 and r.records == []
    assert names(home / "versions") == {"v1.part"}     # nothing published
    if phase == "download":
        assert r.stderr == err("Could not write to %s\\downloads." % base)
        assert len(host.requests_for(part_path(rel.parts[0]))) == 1
        assert names(home / "downloads") == set()   # the partial is gone
    else:
        archive = "%s\\downloads\\%s.zip" % (base, rel.parts[0].sha256)
        head = ("Unpacking part 1 of 2 failed: Windows' tar.exe exited with code 1.\nArchive: %s\n"
                "Destination: %s\\versions\\v1.part\n"
                "Tar stderr excerpt (up to 511 bytes captured):\n" % (archive, base))
        text = r.stderr.decode("utf-8")
        assert text.startswith("error " + head) and len(text) > len("error " + head) + 1, text

    disk.resize(64)
    again = run_setup("--cli", env={"TARNWICK_SETUP_BASE": base})
    assert again.rc == 0, again.stderr
    assert again.records[-1]["exe"] == builder_exe(base, "v1")
    got = files(home / "versions" / "v1")
    assert {k: v for k, v in got.items() if k in unpacked(rel.parts)} == unpacked(rel.parts)


# ---------------------------------------------------------------- awkward homes
@pytest.mark.parametrize("portable", [False, True], ids=["per-user", "portable"])
def test_path_too_long_is_never_used_shortened(publish, run_setup, home, portable):
    rel = publish("v1.0.0")
    # A home of 200 characters: the downloads and versions folders fit, an
    # archive path (downloads\<64 hex digits>.zip) does not.
    pad = 200 - len(home.win) - 1
    deep = home.path / ("p" * pad)
    deep_win = home.win + "\\" + "p" * pad
    assert len(deep_win) == 200
    if portable:
        make_portable(deep)
    r = run_setup("--cli", env={"TARNWICK_SETUP_BASE": deep_win})
    assert r.rc == 1
    if portable:
        assert r.stderr == err("A path in this portable installation is too long for the Windows setup. "
                               "Use a shorter Builder home.")
    else:
        archive = deep_win + "\\downloads\\" + rel.parts[0].sha256 + ".zip"
        assert r.stderr == err("A path in the Builder home is too long for the Windows setup (%s...). "
                               "Use a shorter Builder home." % archive[:259])
    assert names(deep / "downloads") == set()
    assert names(deep / "versions") == {"v1.0.0.part"}
    assert names(deep / "versions" / "v1.0.0.part") == set()


@pytest.mark.parametrize("folder, relative", [("构建器", True), ("Bücher", False)], ids=["chinese", "latin1"])
def test_first_install_below_a_non_ascii_folder(publish, run_setup, home, wine, tar_double, folder, relative):
    rel = publish("v1.0.0")
    base = home.path / folder / "home"
    base_win = home.win + "\\" + folder + "\\home"
    log = home.path / "tar.log"
    r = run_setup("--cli", env={"TARNWICK_SETUP_BASE": base_win, "STONEWAKE_TAR_LOG": wine.to_win(log)})
    assert r.rc == 0, r.stderr
    assert r.records[-1]["exe"] == builder_exe(base_win, "v1.0.0")
    assert files(base / "versions" / "v1.0.0")["StonewakeBuilder/coreclr.dll"] == \
        unpacked(rel.parts)["StonewakeBuilder/coreclr.dll"]

    tar = '"C:\\windows\\system32\\tar.exe"'
    staging = base_win + "\\versions\\v1.0.0.part"
    # The tar double logs its command line as it got it: in the ANSI code page.
    seen = [line.split("\t")[0] for line in log.read_bytes().decode("cp1252", "replace").splitlines()]
    expected = []
    for n, p in enumerate(rel.parts, 1):
        archive = "downloads\\%s.zip" % p.sha256
        # Each part unpacks into a folder of its own, then goes to its dir.
        dest = staging + "\\%s~%d.unpacking" % (p.sha256[:16], n)
        if relative:
            # tar runs in the destination and gets both paths relative to it.
            depth = dest.count("\\") - base_win.count("\\")
            expected.append('%s -xf "%s%s" -C "."' % (tar, "..\\" * depth, archive))
        else:
            expected.append('%s -xf "%s\\%s" -C "%s"' % (tar, base_win, archive, dest))
    # Tars side by side log in the order they got going, not always the order they were started.
    assert sorted(seen) == sorted(expected)


def test_a_deep_dir_below_a_non_ascii_folder_installs(run_setup, home, host):
    # Below a Chinese folder both paths are given to tar relative to the part's
    # own folder: a destination sixty folders deep no longer lengthens them.
    deep = "/".join(["a"] * 60)
    rel = custom_release(host, "v1.0.0", [builder_spec("v1.0.0"),
                                          mr.PartSpec("deep.zip", {"x/y.txt": b"y"}, dir=deep)])
    base = home.path / "构建器"
    r = run_setup("--cli", env={"TARNWICK_SETUP_BASE": home.win + "\\构建器"})
    assert r.rc == 0, r.stderr
    got = files(base / "versions" / "v1.0.0")
    assert {k: v for k, v in got.items() if k not in ("installed.txt", "parts.txt")} == unpacked(rel.parts)
