"""The delta road, one table: on an update from an installed release A to
B, a part whose files partly changed is assembled from the installed files
and the changed entries' records, fetched by byte ranges of the part's own
zip; on a repair, or a start that finds A's Builder incomplete, A is healed
the same way from its own installed files. Whatever goes wrong on that road
brings the part whole, silently. Each row asserts the status lines, that no
message is shown, the requests with their ranges, and that the version
equals a fresh install of its release (and a repair's line on standard
output)."""

from __future__ import annotations

import dataclasses
import hashlib
import struct
import time
import zipfile
import zlib
from pathlib import Path
from typing import Callable

import pytest

import make_release as mr
from test_install import LIST_PATH, part_path

KEPT = "Part %d of 4 unchanged: kept from the installed version"
BIG = mr.filler("unchanged", 300 * 1024)   # keeps the changed records more than 64 KiB apart


def python_part(tag: str, many: bool = False) -> mr.PartSpec:
    """The part that changes from A to B: a.txt changes, gone.txt goes,
    new/new.txt comes in a folder of its own; big.bin, same.txt and lib/ stay. With `many`, 65 changed files
    each sit beyond an unchanged 70 KiB one: 65 ranges."""
    files = {"python/a.txt": (b"a.txt of %s\n" % tag.encode()) * 400, "python/big.bin": BIG,
             "python/same.txt": b"same\n", "python/lib/x.py": b"x\n", "python/lib/y.py": b"y\n"}
    files["python/gone.txt" if tag == "A" else "python/new/new.txt"] = b"only in %s\n" % tag.encode()
    if many:
        files = {}
        for i in range(65):
            files["python/f%03d/big.bin" % i] = mr.filler("many-%d" % i, 70 * 1024)
            files["python/f%03d/x.txt" % i] = b"x %d of %s\n" % (i, tag.encode())
    return mr.PartSpec(asset="StonewakeBuilder-python-%s.zip" % tag, files=files, dir="StonewakeBuilder/tools")


def publish_release(publish, tag: str, many: bool) -> mr.Release:
    """The Builder (the same files under both tags, but no part folder, so
    never taken over whole), emsdk and the engine unchanged, and the python
    part that changes."""
    return publish(tag, tools=(("emsdk", "3.1.64"),), builder_version="1", extra_parts=[python_part(tag, many)])


def spans(part: mr.Part) -> dict[str, tuple[int, int]]:
    """Each member's local record (first and last byte), read from the zip itself."""
    with zipfile.ZipFile(part.path) as z:
        infos = sorted(z.infolist(), key=lambda i: i.header_offset)
        ends = [i.header_offset for i in infos[1:]] + [z.start_dir]
        return {i.filename: (i.header_offset, end - 1) for i, end in zip(infos, ends)}


def records(part: mr.Part, *runs: str) -> list[str]:
    """The Range of each run of adjacent members' records ("first..last", or one name)."""
    s = spans(part)
    return ["bytes=%d-%d" % (s[run.split("..")[0]][0], s[run.split("..")[-1]][1]) for run in runs]


def without_section(index: bytes, sha256: str) -> bytes:
    """The index without the part's section."""
    lines = index.split(b"\n")
    at = lines.index(next(l for l in lines if l.startswith(b"part " + sha256.encode())))
    count = int(lines[at].split(b" ")[2])
    return b"\n".join(lines[:at] + lines[at + 1 + count:])


def tree(folder: Path) -> dict[str, bytes | None]:
    """Every file (its content) and folder (None) below `folder`."""
    return {p.relative_to(folder).as_posix(): None if p.is_dir() else p.read_bytes() for p in folder.rglob("*")}


@dataclasses.dataclass
class Row:
    name: str
    bend: Callable          # (host, rel): how the host or the release differs
    statuses: list[str]     # the status lines that name a part, and the check's
    requests: Callable      # (rel) -> [(path, Range)] after the list's and the index's
    many: bool = False
    meanwhile: Callable | None = None   # (home): done while the update holds after part 4's first range
    damage: Callable | None = None      # (A's version folder): done to the installed A first
    heal: str | None = None             # A is run again with these arguments (no update to B)
    fetched: int | None = None          # the files a --repair says it fetched


def changes(n: int) -> str:
    return "Downloading the changes to part %d of 4 (0 MB)..." % n


def whole(n: int, mb: int = 0) -> str:
    return "Downloading part %d of 4 (%d MB)..." % (n, mb)


def unpacking(n: int) -> str:
    return "Unpacking part %d of 4..." % n


def damage_index(host, b):
    data = bytearray(b.asset(mr.INDEX).read_bytes())
    data[-2] ^= 1   # the same size, another digest
    host.script("/Stonewake/Stonewake/releases/download/%s/%s" % (b.tag, mr.INDEX), [("body", bytes(data))])


def drop_from_index(host, b):
    index = without_section(b.asset(mr.INDEX).read_bytes(), b.parts[3].sha256)
    b.asset(mr.INDEX).write_bytes(index)
    line = "index %s %d %s" % (hashlib.sha256(index).hexdigest(), len(index), b.parts[0].url.rsplit("/", 1)[0]
                               + "/" + mr.INDEX)
    b.rewrite_list(b.lines() + [line])


def changed(b) -> list[tuple[str, str]]:
    return [(part_path(b.parts[3]), r) for r in records(b.parts[3], "python/a.txt", "python/new/..python/new/new.txt")]


# ---- ranges answered from another copy of the part, a whole request with the real one
def record(name: str, data: bytes, method: int = 0, flags: int = 0, version: int = 10, extra: bytes = b"",
           descriptor: bool = False) -> bytes:
    """A local record as any zip writer may form it."""
    packer = zlib.compressobj(6, zlib.DEFLATED, -15)
    body = packer.compress(data) + packer.flush() if method == 8 else data
    crc, sizes = zlib.crc32(data), (len(body), len(data))
    head = struct.pack("<IHHHHHIII", 0x04034B50, version, flags | (8 if descriptor else 0), method, 0, 0x2821,
                       0 if descriptor else crc, *((0, 0) if descriptor else sizes))
    tail = struct.pack("<IIII", 0x08074B50, crc, *sizes) if descriptor else b""
    return head + struct.pack("<HH", len(name), len(extra)) + name.encode() + extra + body + tail


def xl(mode: int) -> bytes:
    """The 'xl' extra field: made on Unix, with these file mode bits."""
    return struct.pack("<HHBHI", 0x6C78, 7, 5, 0x0314, mode << 16)


def served_from(name: str, make: Callable[[mr.Release], bytes]):
    """bend: part 4's ranges come from a copy whose record of `name` is another one."""
    def bend(host, b):
        zip_bytes = b.parts[3].path.read_bytes()
        first, last = spans(b.parts[3])[name]
        host.always(part_path(b.parts[3]), ("ranges", zip_bytes[:first] + make(b) + zip_bytes[last + 1:]))
    return bend


def changed_at_the_same_size(home):
    """meanwhile: a kept file of the installed version changes, its size the same."""
    big = home.path / "versions" / "A" / "StonewakeBuilder" / "tools" / "python" / "big.bin"
    big.write_bytes(bytes(b ^ 0xFF for b in big.read_bytes()))


def update(*statuses: str) -> list[str]:
    """An update's lines: parts 2 and 3 are kept between part 1's and part 4's."""
    return list(statuses[:2]) + [KEPT % 2, KEPT % 3] + list(statuses[2:])


CHECKING = "Checking the installed files..."
CORECLR = "StonewakeBuilder-win-x64/coreclr.dll"


def installed(version: Path, name: str) -> Path:
    return version / "StonewakeBuilder" / name


def flipped(path: Path) -> None:
    path.write_bytes(bytes(b ^ 0xFF for b in path.read_bytes()))


def ranges_of(n: int, *runs: str):
    """requests: part n's ranges of these records."""
    return lambda rel: [(part_path(rel.parts[n - 1]), r) for r in records(rel.parts[n - 1], *runs)]


DELTA = update(changes(1), unpacking(1), changes(4), unpacking(4))
REFUSED = update(changes(1), unpacking(1), changes(4), whole(4), unpacking(4))   # the changes never reach tar
A_TXT = "python/a.txt"


def first_range_then_whole(b):
    return changed(b)[:1] + [(part_path(b.parts[3]), None)]


def ranges_then_whole(b):
    return changed(b) + [(part_path(b.parts[3]), None)]


ROWS = [
    Row("delta", lambda host, b: None, DELTA, changed),
    Row("through-a-redirect", lambda host, b: setattr(host, "storage", True), DELTA,
        lambda b: [q for p, r in changed(b) for q in ((p, r), ("/storage/B/" + b.parts[3].asset, r))]),
    Row("host-ignores-range", lambda host, b: setattr(host, "ranges", False), REFUSED,
        lambda b: changed(b)[:1]),
    Row("tampered-range-bytes", lambda host, b: host.script(part_path(b.parts[3]), ["tamper"]), REFUSED,
        first_range_then_whole),
    Row("damaged-index", damage_index, update(whole(1), unpacking(1), whole(4), unpacking(4)),
        lambda b: [(part_path(b.parts[0]), None), (part_path(b.parts[3]), None)]),
    Row("index-without-the-part", drop_from_index, update(changes(1), unpacking(1), whole(4), unpacking(4)),
        lambda b: [(part_path(b.parts[3]), None)]),
    Row("too-many-ranges", lambda host, b: None, update(changes(1), unpacking(1), whole(4, 4), unpacking(4)),
        lambda b: [(part_path(b.parts[3]), None)], many=True),
    Row("record-names-an-unlisted-path", served_from(A_TXT, lambda b: record("python/z.txt", b"planted\n")),
        REFUSED, first_range_then_whole),
    Row("record-names-another-parts-file", served_from(A_TXT, lambda b: record("emsdk/VERSION", b"planted\n")),
        REFUSED, first_range_then_whole),
    Row("new-folder-made-an-empty-file",
        served_from("python/new/", lambda b: record("emsdk/VERSION", b"", version=0x0314, extra=xl(0o100644))),
        REFUSED, ranges_then_whole),
    Row("record-with-other-method-sizes-flags",
        served_from(A_TXT, lambda b: record(A_TXT, b"planted\n", method=0, flags=0x800)), REFUSED,
        first_range_then_whole),
    Row("record-with-a-data-descriptor",
        served_from(A_TXT, lambda b: record(A_TXT, b"a.txt of B\n" * 400, method=8, descriptor=True)),
        REFUSED, first_range_then_whole),
    Row("record-made-a-symbolic-link",
        served_from(A_TXT, lambda b: record("python/link", b"../emsdk", version=0x0314, extra=xl(0o120777))),
        REFUSED, first_range_then_whole),
    Row("kept-file-changed-meanwhile", lambda host, b: None, REFUSED, ranges_then_whole,
        meanwhile=changed_at_the_same_size),
    # A kept part with a truncated file is healed, not carried into B.
    Row("kept-part-truncated-then-update", lambda host, b: None,
        [changes(1), unpacking(1), changes(2), unpacking(2), KEPT % 3, changes(4), unpacking(4)],
        lambda b: ranges_of(2, "emsdk/VERSION")(b) + changed(b),
        damage=lambda v: installed(v, "tools/emsdk/VERSION").write_bytes(b"3")),
    # Healing A itself: only what is damaged is fetched.
    Row("repair-a-damaged-runtime-file", lambda host, a: None, [CHECKING, changes(1), unpacking(1)],
        ranges_of(1, CORECLR), damage=lambda v: flipped(installed(v, "coreclr.dll")), heal="--cli --repair",
        fetched=1),
    Row("a-deleted-file-healed-by-a-plain-start", lambda host, a: None, [CHECKING, changes(1), unpacking(1)],
        ranges_of(1, CORECLR), damage=lambda v: installed(v, "coreclr.dll").unlink(), heal="--cli"),
    Row("a-listed-folder-emptied", lambda host, a: None, [CHECKING, changes(4), unpacking(4)],
        ranges_of(4, "python/lib/x.py..python/lib/y.py"), heal="--cli --repair", fetched=2,
        damage=lambda v: [f.unlink() for f in installed(v, "tools/python/lib").iterdir()]),
    Row("an-unlisted-file-left-out", lambda host, a: None, [CHECKING], lambda a: [], heal="--cli --repair",
        fetched=0, damage=lambda v: installed(v, "tools/python/extra.txt").write_bytes(b"not listed\n")),
    Row("every-file-intact", lambda host, a: None, [CHECKING], lambda a: [], heal="--cli --repair", fetched=0),
]

FRESH: dict[tuple[str, ...], dict] = {}   # a release's parts -> the tree a fresh install of it gives


def repaired(rel: mr.Release, fetched: int, requests: list) -> bytes:
    """What a --repair says: the files fetched of the index's, their bytes."""
    files = sum(1 for line in rel.asset(mr.INDEX).read_bytes().split(b"\n") if line.startswith(b"f "))
    spans_ = [tuple(map(int, r[6:].split("-"))) for _, r in requests]
    got = sum(last + 1 - first for first, last in spans_)
    return b"Repaired: %d files of %d fetched (%d bytes); %d were intact.\n" % (fetched, files, got, files - fetched)


@pytest.mark.parametrize("row", ROWS, ids=[r.name for r in ROWS])
def test_update_roads(host, home, publish, run_setup, row):
    a = publish_release(publish, "A", row.many)
    r = run_setup("--cli")
    assert (r.rc, r.errors) == (0, []), r.stderr
    if row.damage:
        row.damage(home.path / "versions" / "A")
    rel = a if row.heal else publish_release(publish, "B", row.many)
    row.bend(host, rel)
    host.clear()
    folder = (home.path / "versions" / "A").stat().st_ino

    args = row.heal or "--cli"
    if row.meanwhile:
        pause = run_setup.dir / "paused"
        run = run_setup(args, background=True, env={"STONEWAKE_TEST_PAUSE": "changes-range",
                                                     "STONEWAKE_TEST_PAUSE_FILE": run_setup.wine.to_win(pause)})
        end = time.monotonic() + 60
        while not pause.exists() and time.monotonic() < end and run.proc.poll() is None:
            time.sleep(0.02)
        row.meanwhile(home)
        pause.unlink()
        r = run.wait()
    else:
        r = run_setup(args)

    assert (r.rc, r.errors) == (0, []), r.stderr
    assert [t for t in r.texts if " of 4" in t or t == CHECKING] == row.statuses
    stored = ["/storage/%s/%s" % (rel.tag, name) for name in (mr.SETUP_LIST, mr.INDEX)] if host.storage else []
    index_path = "/Stonewake/Stonewake/releases/download/%s/%s" % (rel.tag, mr.INDEX)
    assert [(q.path, q.range) for q in host.requests] == \
        [(p, None) for p in [LIST_PATH] + stored[:1] + [index_path] + stored[1:]] + row.requests(rel)
    if row.fetched is not None:
        assert r.stdout.startswith(repaired(rel, row.fetched, row.requests(rel))), r.stdout
    if row.heal and not row.damage:   # nothing to heal: nothing is published anew
        assert (home.path / "versions" / "A").stat().st_ino == folder
    assert not (home.path / "downloads").exists()
    key = tuple(p.sha256 for p in rel.parts)
    if key not in FRESH:
        fresh = run_setup.dir / "fresh"
        done = run_setup("--cli", env={"TARNWICK_SETUP_BASE": run_setup.wine.to_win(fresh)})
        assert (done.rc, done.errors) == (0, [])
        FRESH[key] = tree(fresh / "versions" / rel.tag)
    assert tree(home.path / "versions" / rel.tag) == FRESH[key]
