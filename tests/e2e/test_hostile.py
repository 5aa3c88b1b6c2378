"""End-to-end: hostile input from outside, one table. Setup lists with names
Windows rewrites or that leave their folder, too many or short part lines,
zip entries that climb out, release API answers that point elsewhere, and
bytes put into current.txt, parts.txt, a game's pointer file and the
portable marker. After each: nothing is written outside the Builder home,
the user gets a clear message (or the run goes on safely), and no Builder
is started from a refused list.

The Builder home lies three folders deep inside the test's own folder, so
that an escape lands where the test can see it; names that point at a drive
or a rooted path point into that same folder."""

from __future__ import annotations

import dataclasses
import shutil
from pathlib import Path
from typing import Callable

import pytest

import make_release as mr
from conftest import DOUBLES, RELEASE_HOST, SETUP_EXE
from test_fetch import (API_LATEST, FAILING, LATEST, NO_FILES, REFUSED, TAG, UNREADABLE, error_line,
                        seen)
from test_startup import HOME_MESSAGE, MARKER

TOO_MANY = ("The release's setup list has more than 16 parts, which this setup cannot install. "
            "Get the newest setup from the releases page: https://%s/Stonewake/Stonewake/releases/latest"
            % RELEASE_HOST)
TAR_FAILED = "Unpacking part %d of %d failed: Windows' tar.exe exited with code "


@dataclasses.dataclass
class Case:
    """One hostile input: `make` prepares it and returns the command-line
    tail and environment; `expect` names what the user must get."""
    id: str
    make: Callable
    expect: str = "installs"  # or "refused:<message>", "tar", "home"


@dataclasses.dataclass
class Ctx:
    box: Path                 # the test's folder: everything outside the home is watched
    home: Path                # the Builder home
    home_win: str
    box_win: str
    publish_release: Callable
    host: object
    rel: object = None

    def publish(self, tag: str, **kw):
        self.rel = self.publish_release(tag, **kw)
        return self.rel


# ---------------------------------------------------------------- setup lists
def edit(field: str, value: str, part: int = 0) -> Callable:
    """The standard release with one value of its list replaced."""
    def make(c: Ctx):
        rel = c.publish("v1")
        lines = rel.lines()
        if field == "tag":
            lines[0] = "tag " + value
        elif field == "run":
            lines[1] = "run " + value
        else:
            p = dataclasses.replace(rel.parts[part], **{field: value})
            lines[2 + part] = p.line()
        rel.rewrite_list(lines)
        return "--cli", {}
    return make


def list_lines(change: Callable) -> Callable:
    def make(c: Ctx):
        rel = c.publish("v1")
        rel.rewrite_list(change(c, rel))
        return "--cli", {}
    return make


def seventeen(c: Ctx, rel):
    extra = [mr.write_part(c.host.root, "v1", mr.tool_part("x%02d" % i, "1"), RELEASE_HOST)
             for i in range(17 - len(rel.parts))]
    return rel.lines() + [p.line() for p in extra]


def short_line(c: Ctx, rel):
    p = rel.parts[1]
    return rel.lines()[:3] + ["part %s %d %s %s" % (p.sha256, p.size, p.dir, p.url)] + rel.lines()[3:]


NAMES = [
    # (field, value, part): every value here must be refused before anything is fetched.
    ("tag", "2.4."), ("tag", "..."), ("tag", "CON"), ("tag", "nul.txt"), ("tag", "Com1"),
    ("tag", "v1:stream"), ("tag", ".."), ("tag", "C:v1"),
    ("run", "StonewakeBuilder/StonewakeBuilder.exe."), ("run", "StonewakeBuilder/CON"),
    ("run", "StonewakeBuilder./StonewakeBuilder.exe"), ("run", "../StonewakeBuilder.exe"),
    ("run", "/StonewakeBuilder/StonewakeBuilder.exe"), ("run", "C:/StonewakeBuilder.exe"),
    ("run", "StonewakeBuilder/StonewakeBuilder.exe:evil"),
    ("dir", "StonewakeBuilder/CON", 1), ("dir", "StonewakeBuilder/tools.", 1),
    ("dir", "StonewakeBuilder/AUX.zip", 1), ("dir", "StonewakeBuilder/lpt9/x", 1),
    ("dir", "../../../..", 1), ("dir", "StonewakeBuilder\\..\\..", 1), ("dir", "\\rooted", 1),
    ("dir", "C:/drive", 1), ("dir", "StonewakeBuilder/tools:ads", 1), ("dir", "...", 1),
    ("frm", "StonewakeBuilder-win-x64."), ("frm", "CON"), ("frm", ".."), ("frm", "a:b"),
    ("frm", "../StonewakeBuilder-win-x64"),
    ("to", "StonewakeBuilder."), ("to", "LPT1"), ("to", "COM3.txt"), ("to", ".."),
    ("to", "x:y"), ("to", "..."),
]

CASES = [Case("%s=%s" % (n[0], n[1]), edit(*n), "refused:" + REFUSED) for n in NAMES]
CASES += [
    Case("17-parts", list_lines(seventeen), "refused:" + TOO_MANY),
    Case("short-part-line", list_lines(short_line), "refused:" + UNREADABLE),
]


# ---------------------------------------------------------------- zip entries
def hostile_zip(name_of: Callable[[Ctx], str]) -> Callable:
    """An extra part unpacked into the staging folder itself whose only entry
    tries to land beside the home."""
    def make(c: Ctx):
        spec = mr.PartSpec(asset="StonewakeBuilder-evil-1.zip", files={name_of(c): b"escaped\n"},
                           dir=".", dir_entries=False)
        c.publish("v1", extra_parts=[spec])
        return "--cli", {}
    return make


def box_unix(c: Ctx) -> str:
    return str(c.box).lstrip("/")


CASES += [
    Case("zip-dotdot", hostile_zip(lambda c: "../../../../escaped.txt"), "tar"),
    Case("zip-dotdot-inside", hostile_zip(lambda c: "a/../../../../../escaped.txt"), "tar"),
    Case("zip-backslash-dotdot", hostile_zip(lambda c: "..\\..\\..\\..\\escaped.txt"), "tar"),
    Case("zip-rooted", hostile_zip(lambda c: "/" + box_unix(c) + "/escaped.txt"), "tar"),
    Case("zip-drive", hostile_zip(lambda c: "Z:/" + box_unix(c) + "/escaped.txt"), "tar"),
    Case("zip-drive-relative", hostile_zip(lambda c: "Z:escaped.txt"), "tar"),
]


# ---------------------------------------------------------------- release API answers
def api_answer(link_of: Callable[[Ctx], str]) -> Callable:
    """The direct list fails with 503; the API's answer names a hostile link."""
    def make(c: Ctx):
        c.publish("v1")
        link = link_of(c).replace("/", "\\/")
        body = '{"name":"v1","assets":[{"name":"tarnwick-setup.txt","browser_download_url":"%s"}]}' % link
        c.host.always(LATEST, 503)
        c.host.always(API_LATEST, "body:" + body)
        return "--cli", {}
    return make


BASE = "https://%s/" % RELEASE_HOST
CASES += [
    Case("api-other-host", api_answer(lambda c: "https://example.invalid/tarnwick-setup.txt"),
         "refused:" + FAILING),
    Case("api-plain-http", api_answer(lambda c: "http://%s/x" % RELEASE_HOST), "refused:" + FAILING),
    Case("api-climbs", api_answer(lambda c: BASE + "Stonewake/Stonewake/releases/download/../../../../x"),
         "refused:" + FAILING),
    Case("api-unclosed", lambda c: (c.publish("v1"), c.host.always(LATEST, 503),
                                    c.host.always(API_LATEST, 'body:{"name":"tarnwick-setup.txt",'
                                                  '"browser_download_url":"' + BASE), ("--cli", {}))[-1],
         "refused:" + FAILING),
]


# ---------------------------------------------------------------- records in the home
def ready_version(version: Path) -> None:
    """A complete Builder (the recorder) in a version folder."""
    folder = version / "StonewakeBuilder"
    folder.mkdir(parents=True)
    shutil.copy(DOUBLES / "recorder.exe", folder / "StonewakeBuilder.exe")
    for name in mr.BUILDER_FILES:
        (folder / name).write_bytes(name.encode() + b"\n")
    (version / "installed.txt").write_bytes(b"v0")


def current(data: bytes, ready: str | None = None) -> Callable:
    """current.txt holds hostile bytes; a ready Builder outside the versions
    folder (or under a name Windows would rewrite to) must not be started.
    The fast start declines and the run installs v1."""
    def make(c: Ctx):
        c.publish("v1")
        ready_version(c.home.parent / "v0")          # what versions\..\..\v0 reaches
        if ready:
            ready_version(c.home / "versions" / ready)
        (c.home / "versions").mkdir(exist_ok=True)
        (c.home / "versions" / "current.txt").write_bytes(data)
        return "--cli --launch", {}
    return make


def parts_txt(data: Callable[[object], bytes], tag: bytes = b"v0") -> Callable:
    """parts.txt of the current version names every digest, but is hostile:
    nothing may be taken over from a folder it does not have."""
    def make(c: Ctx):
        rel = c.publish("v1")
        old = c.home / "versions" / "v0"
        old.mkdir(parents=True)
        (c.home / "versions" / "current.txt").write_bytes(tag)
        (old / "parts.txt").write_bytes(data(rel))
        return "--cli", {}
    return make


def digests(rel) -> bytes:
    return b"".join(p.sha256.encode() + b"\n" for p in rel.parts)


CASES += [
    Case("current-climbs", current(b"..\\..\\v0"), "installs"),
    Case("current-climbs-slash", current(b"../../v0\r\n"), "installs"),
    Case("current-trailing-dot", current(b"v0.", ready="v0"), "installs"),
    Case("current-trailing-space", current(b"v0 ", ready="v0"), "installs"),
    Case("current-device", current(b"CON"), "installs"),
    Case("current-stream", current(b"v0:x", ready="v0")),
    Case("current-dots", current(b"...")),
    Case("current-bad-utf8", current(b"\xff\xfe\x00v\x000")),
    Case("current-rooted", current(b"\\v0")),
    Case("parts-garbage", parts_txt(lambda rel: b"\x00" + digests(rel) + b"\xff" * 9000), "installs"),
    Case("parts-no-folders", parts_txt(digests), "installs"),
    Case("parts-current-climbs", parts_txt(digests, b"..\\..\\deep"), "installs"),
]


# ---------------------------------------------------------------- the game's pointer file, the marker
def pointer(data: bytes) -> Callable:
    """A game folder whose pointer file names a marked folder in a hostile
    way; the launcher, started as the setup (--cli), settles no home."""
    def make(c: Ctx):
        c.publish("v1")
        (c.home / "StonewakeBuilder").mkdir()        # what ..\..\StonewakeBuilder names
        (c.home / "StonewakeBuilder" / ".tarnwick-portable").write_bytes(MARKER)
        game = c.home / "games" / "demo"
        game.mkdir(parents=True)
        shutil.copyfile(SETUP_EXE, game / "stonewake.exe")
        (game / ".tarnwick_builder_home").write_bytes(data)
        return "--cli", {"TARNWICK_SETUP_BASE": None, "exe": game / "stonewake.exe"}
    return make


def marker(data: bytes | None) -> Callable:
    def make(c: Ctx):
        c.publish("v1")
        if data is None:
            (c.home / ".tarnwick-portable").mkdir()
        else:
            (c.home / ".tarnwick-portable").write_bytes(data)
        return "--cli", {}
    return make


CASES += [
    Case("pointer-trailing-dot", pointer(b"..\\..\\StonewakeBuilder."), "home"),
    Case("pointer-trailing-space", pointer(b"..\\..\\StonewakeBuilder \r\n"), "home"),
    Case("pointer-dot-folder", pointer(b"..\\..\\.\\StonewakeBuilder.\\"), "home"),
    Case("pointer-dots", pointer(b"..\\..\\...\\StonewakeBuilder"), "home"),
    Case("pointer-device", pointer(b"..\\..\\CON"), "home"),
    Case("pointer-device-ext", pointer(b"..\\..\\nul.txt"), "home"),
    Case("pointer-stream", pointer(b"..\\..\\StonewakeBuilder:x"), "home"),
    Case("pointer-drive", pointer(b"Z:\\StonewakeBuilder"), "home"),
    Case("pointer-rooted", pointer(b"\\StonewakeBuilder"), "home"),
    Case("pointer-nul", pointer(b"..\\..\\StonewakeBuilder\x00x"), "home"),
    Case("pointer-bad-utf8", pointer(b"..\\..\\Stonewake\xc0\xafBuilder"), "home"),
    Case("marker-three-line-feeds", marker(MARKER + b"\n\n"), "home"),
    Case("marker-nul", marker(MARKER[:-1] + b"\x00"), "home"),
    Case("marker-utf16", marker("Stonewake Builder portable home v1".encode("utf-16")), "home"),
    Case("marker-folder", marker(None), "home"),
]


# ---------------------------------------------------------------- --tag
def tag_value(value: str) -> Callable:
    def make(c: Ctx):
        c.publish("v1")
        return "--cli --tag " + value, {}
    return make


CASES += [
    Case("tag-slash", tag_value("2.4/1"), "refused:" + TAG % "2.4/1"),
    Case("tag-climbs", tag_value("..\\..\\v1"), "refused:" + TAG % "..\\..\\v1"),
    Case("tag-empty", tag_value('""'), "refused:" + TAG % ""),
    Case("tag-non-ascii", tag_value("v1\u00e9"), "refused:" + TAG % "v1\u00e9"),
]


# ---------------------------------------------------------------- the one driver
def tree_of(folder: Path, skip: Path | None = None) -> dict[str, bytes | None]:
    out = {}
    for p in sorted(folder.rglob("*")):
        if skip is not None and (p == skip or skip in p.parents):
            continue
        out[str(p.relative_to(folder))] = p.read_bytes() if p.is_file() else None
    return out


@pytest.mark.parametrize("case", CASES, ids=[c.id for c in CASES])
def test_hostile_input(case, home, wine, host, publish, run_setup):
    box = home.path
    real = box / "deep" / "er" / "home"
    real.mkdir(parents=True)
    c = Ctx(box, real, wine.to_win(real), home.win, publish, host)
    tail, env = case.make(c)
    exe = env.pop("exe", None)
    outside_before = tree_of(box, real)
    drive_c_before = sorted(p.name for p in wine.drive_c.iterdir())
    env.setdefault("TARNWICK_SETUP_BASE", c.home_win)

    parts = len(c.rel.parts)
    r = run_setup(tail, env=env, exe=exe, timeout=90)

    assert tree_of(box, real) == outside_before, "written outside the Builder home"
    assert sorted(p.name for p in wine.drive_c.iterdir()) == drive_c_before
    kind, _, message = case.expect.partition(":")
    if kind == "refused":
        assert (r.rc, r.stderr) == (1, error_line(message)), r.texts
        assert r.records == [], "a Builder was started from a refused list"
        assert not (real / "versions").exists(), "something was installed"
        if case.id.startswith("tag-"):
            assert host.requests == []
        elif not case.id.startswith("api-"):
            assert seen(host) == [(LATEST, 200)], "fetched more than the list"
    elif kind == "tar":
        # Any tar that refuses an escape: it fails the part, or leaves the
        # entry inside the home and the install goes on.
        if r.rc:
            assert r.stderr.startswith(error_line(TAR_FAILED % (parts, parts))[:-1]), r.stderr
            assert r.records == [] and not (real / "versions" / "v1").exists()
        else:
            assert len(r.records) == 1 and r.stderr.count(b"error ") == 0
    elif kind == "home":
        assert (r.rc, r.stderr, r.records) == (1, error_line(HOME_MESSAGE), [])
        assert host.requests == []
    else:  # installs: the hostile record is passed over and v1 is installed as usual
        assert (r.rc, r.stderr.count(b"error ")) == (0, 0), r.stderr
        [rec] = r.records
        assert rec["exe"] == c.home_win + "\\versions\\v1\\StonewakeBuilder\\StonewakeBuilder.exe"
        assert (real / "versions" / "v1" / "installed.txt").read_bytes() == b"v1"
        assert all(q.status == 200 for q in host.requests)
        assert len(host.requests) == 1 + parts, "a part was taken over from a folder it may not come from"
