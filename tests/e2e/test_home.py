"""End-to-end: which Builder home a start settles (an explicit one, a marked
folder in or above the setup's folder, the sibling StonewakeBuilder folder, a
new portable home, a game folder's pointer file, the per-user default) and
what the Builder then finds in its environment."""

from __future__ import annotations

import hashlib
import shutil
import subprocess
from pathlib import Path

import pytest

from conftest import E2E, SETUP_EXE, fresh_dir
from test_startup import HOME_MESSAGE, MARKER, err, records_of

SETUP = "StonewakeBuilder-Setup.exe"
NO_BASE = {"TARNWICK_SETUP_BASE": None}


@pytest.fixture
def tree(request) -> Path:
    """An empty folder of this test for setups and homes, with a short path."""
    return fresh_dir(E2E / "trees" / hashlib.sha1(request.node.nodeid.encode()).hexdigest()[:10])


@pytest.fixture
def default_home(wine):
    """The per-user default home of the prefix, empty before and after the test."""
    path = wine.local_appdata / "StonewakeBuilder"
    shutil.rmtree(path, ignore_errors=True)
    yield path
    shutil.rmtree(path, ignore_errors=True)


def place_setup(folder: Path, name: str = SETUP) -> Path:
    folder.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(SETUP_EXE, folder / name)
    return folder / name


def mark(folder: Path, content: bytes = MARKER) -> Path:
    folder.mkdir(parents=True, exist_ok=True)
    (folder / ".tarnwick-portable").write_bytes(content)
    return folder


def settled(r, wine, home: Path, portable: bool) -> None:
    """The run installed into `home` and the Builder found it exported."""
    assert r.rc == 0, r.stderr
    env = records_of(r)[0]["env"]
    assert wine.from_win(env["TARNWICK_SETUP_BASE"]).resolve() == home.resolve()
    assert "/" not in env["TARNWICK_SETUP_BASE"] and not env["TARNWICK_SETUP_BASE"].endswith("\\")
    assert env["TARNWICK_BUILDER_PORTABLE"] == ("1" if portable else None)
    assert (home / "versions" / "current.txt").read_bytes().startswith(b"v1")


def not_settled(r) -> None:
    assert (r.rc, r.stderr, r.records) == (1, err(HOME_MESSAGE), [])


# ---------------------------------------------------------------- explicit home
@pytest.mark.parametrize("marker, form, parent_flag, outcome", [
    (MARKER, "as is", None, "portable"),
    (b"Stonewake Builder portable home v1\r\n", "slashes", "1", "portable"),
    (None, "trailing", None, "ordinary"),
    (None, "as is", "10", "ordinary"),
    (None, "as is", "1", "refused"),
    (b"Stonewake Builder portable home v1\n\n\n", "as is", None, "refused"),
    (None, "too long", None, "refused"),
])
def test_an_explicit_home(run_setup, publish, wine, home, marker, form, parent_flag, outcome):
    publish("v1")
    if marker:
        mark(home.path, marker)
    base = {"as is": home.win, "trailing": home.win + "\\", "slashes": home.win.replace("\\", "/"),
            "too long": home.win + "\\" + "x" * (260 - len(home.win))}[form]
    r = run_setup("--cli", env={"TARNWICK_SETUP_BASE": base, "TARNWICK_BUILDER_PORTABLE": parent_flag},
                  timeout=60)
    if outcome == "refused":
        not_settled(r)
    else:
        settled(r, wine, home.path, outcome == "portable")


# ---------------------------------------------------------------- the setup's own place
@pytest.mark.parametrize("where", ["level 0", "level 1", "level 2", "level 3", "level 4", "sibling",
                                   "sibling unmarked", "damaged level 2", "damaged sibling"])
def test_a_marker_in_or_above_the_setup_folder_or_beside_it(run_setup, publish, wine, tree, default_home,
                                                           where):
    publish("v1")
    folder = tree / "a" / "b" / "c" / "d"
    exe = place_setup(folder)
    above = [folder, folder.parent, folder.parent.parent, folder.parent.parent.parent, tree]
    expected = default_home
    if where.startswith("level"):
        expected = mark(above[int(where[-1])])
        if where == "level 4":
            expected = default_home
    elif where == "sibling":
        expected = mark(folder / "StonewakeBuilder")
    elif where == "sibling unmarked":
        (folder / "StonewakeBuilder").mkdir()
    elif where == "damaged level 2":
        mark(tree / "a" / "b", MARKER[:-2])
        mark(tree / "a")        # an outer home behind a damaged one is not used
    else:
        mark(folder / "StonewakeBuilder", b"")
    r = run_setup("--cli", env=NO_BASE, exe=exe, timeout=60)
    if where.startswith("damaged"):
        not_settled(r)
        assert not default_home.exists()
    else:
        settled(r, wine, expected, expected != default_home)


@pytest.mark.parametrize("parent_flag", [None, "yes"])
def test_the_per_user_default_home_is_exported_as_not_portable(run_setup, publish, wine, tree,
                                                              default_home, parent_flag):
    publish("v1")
    exe = place_setup(tree / "Tools")
    r = run_setup("--cli", env=dict(NO_BASE, TARNWICK_BUILDER_PORTABLE=parent_flag), exe=exe, timeout=60)
    settled(r, wine, default_home, False)
    assert records_of(r)[0]["env"]["TARNWICK_SETUP_BASE"].lower() == (
        "c:\\users\\%s\\appdata\\local\\stonewakebuilder" % wine.user.lower())
    assert not (tree / "Tools" / "StonewakeBuilder").exists()


def test_the_default_home_with_the_portable_flag_set_is_refused(run_setup, tree, default_home):
    exe = place_setup(tree / "Tools")
    r = run_setup("--cli", env=dict(NO_BASE, TARNWICK_BUILDER_PORTABLE="1"), exe=exe, timeout=30)
    not_settled(r)
    assert not default_home.exists()


@pytest.mark.parametrize("length, outcome", [(230, "default"), (241, "refused")])
def test_a_deep_setup_folder(run_setup, publish, wine, tree, default_home, length, outcome):
    """A folder deeper than 240 characters cannot be a home; one too deep for
    a sibling home still gets the per-user default."""
    publish("v1")
    pad = length - len(wine.to_win(tree)) - 1
    folder = tree / ("p" * (pad - 100)) / ("q" * 99)
    assert len(wine.to_win(folder)) == length
    exe = place_setup(folder, "s.exe")
    r = run_setup("--cli", env=NO_BASE, exe=exe, timeout=60)
    if outcome == "refused":
        not_settled(r)
    else:
        settled(r, wine, default_home, False)


# ---------------------------------------------------------------- --portable
def test_portable_makes_a_home_beside_the_setup_that_later_starts_find(run_setup, publish, wine, tree,
                                                                       default_home, host):
    rel = publish("v1")
    exe = place_setup(tree / "Tools")
    new_home = tree / "Tools" / "StonewakeBuilder"
    r = run_setup("--portable --cli", env=NO_BASE, exe=exe, timeout=60)
    settled(r, wine, new_home, True)
    assert (new_home / ".tarnwick-portable").read_bytes() == MARKER
    assert len(MARKER) == 35

    host.clear()
    again = run_setup("--cli", env=NO_BASE, exe=exe, timeout=60)
    assert again.rc == 0 and len(records_of(again, 2)) == 2
    assert again.records[1]["env"] == r.records[0]["env"]
    assert (new_home / ".tarnwick-portable").read_bytes() == MARKER
    assert not any(q.path.endswith(p.asset) for q in host.requests for p in rel.parts), "installed again"
    assert not default_home.exists()


def test_portable_inside_a_portable_home_uses_that_home(run_setup, publish, wine, tree):
    publish("v1")
    outer = mark(tree / "Home")
    exe = place_setup(outer / "setups" / "old")
    r = run_setup("--portable --cli", env=NO_BASE, exe=exe, timeout=60)
    settled(r, wine, outer, True)
    assert not (outer / "setups" / "old" / "StonewakeBuilder").exists()


def test_portable_where_no_marker_can_be_written_settles_nothing(run_setup, tree):
    exe = place_setup(tree / "Tools")
    locked = tree / "Tools" / "StonewakeBuilder"
    locked.mkdir()
    done = subprocess.run(["chattr", "+i", str(locked)], capture_output=True)
    if done.returncode:
        pytest.skip("chattr +i is not available here: %s" % done.stderr.decode(errors="replace"))
    try:
        r = run_setup("--portable --cli", env=NO_BASE, exe=exe, timeout=30)
    finally:
        subprocess.run(["chattr", "-i", str(locked)], capture_output=True)
    not_settled(r)
    assert list(locked.iterdir()) == []


@pytest.mark.parametrize("folder", ["Jürgen/Tools", "张伟/工具"])
def test_portable_from_a_folder_with_a_non_ascii_name(run_setup, publish, wine, folder):
    publish("v1")
    user = wine.drive_c / "users" / folder.split("/")[0]
    shutil.rmtree(user, ignore_errors=True)
    try:
        place_setup(wine.drive_c / "users" / folder)
        exe = "C:\\users\\%s\\%s" % (folder.replace("/", "\\"), SETUP)
        r = run_setup("--portable --cli", env=NO_BASE, exe=exe, timeout=60)
        home = wine.drive_c / "users" / folder / "StonewakeBuilder"
        settled(r, wine, home, True)
        assert records_of(r)[0]["env"]["TARNWICK_SETUP_BASE"] == "C:\\users\\%s\\StonewakeBuilder" % (
            folder.replace("/", "\\"))
        assert (home / ".tarnwick-portable").read_bytes() == MARKER
        # Windows' tar reads its command line in the ANSI code page: a letter
        # that reached it as '?' would have failed to open the archive.
        assert (home / "versions" / "v1" / "StonewakeBuilder" / "StonewakeBuilder.exe").is_file()
    finally:
        shutil.rmtree(user, ignore_errors=True)


# ---------------------------------------------------------------- a game folder's launcher
POINTER = b"..\\..\\StonewakeBuilder"


@pytest.mark.parametrize("pointer, version_file, target_marked, outcome", [
    (POINTER + b"\r\n", None, True, "pointer"),
    (POINTER + b"\n" * (780 - len(POINTER)), None, True, "pointer"),
    (POINTER + b"\n" * (781 - len(POINTER)), None, True, "refused"),
    (POINTER + b"\r\n", None, False, "refused"),
    (b"C:\\Homes\\B", None, True, "refused"),
    (b"..\\..\\Stonewake\xffBuilder", None, True, "refused"),
    (None, b"builder_local=1", True, "refused"),
    (None, b"name=demo\r\nbuilder_local=1\r\nx=2\r\n", True, "refused"),
    (None, b"name=\x00demo\nbuilder_local=1\n", True, "refused"),     # read by length, not to a NUL
    (None, b"builder_local=10\n", True, "default"),
    (None, b" builder_local=1\n", True, "default"),
    (None, None, True, "default"),
], ids=["pointer-crlf", "pointer-780", "pointer-781", "pointer-unmarked", "pointer-colon",
        "pointer-bad-utf8", "local", "local-crlf", "local-after-nul", "local-10", "local-space", "nothing"])
def test_a_launcher_with_an_option_settles_its_game_folders_home(
        run_setup, publish, wine, tree, default_home, pointer, version_file, target_marked, outcome):
    """Named stonewake.exe but given --cli, the launcher runs as the setup;
    its home still comes from the game folder's files."""
    publish("v1")
    target = tree / "StonewakeBuilder"
    target.mkdir()
    if target_marked:
        mark(target)
    game = tree / "games" / "demo"
    exe = place_setup(game, "stonewake.exe")
    mark(game / "StonewakeBuilder")      # beside a launcher: never looked at
    if pointer is not None:
        (game / ".tarnwick_builder_home").write_bytes(pointer)
    if version_file is not None:
        (game / "tarnwick_version.txt").write_bytes(version_file)
    r = run_setup("--cli", env=NO_BASE, exe=exe, timeout=60)
    if outcome == "refused":
        not_settled(r)
        assert not default_home.exists()
    elif outcome == "pointer":
        settled(r, wine, target, True)
    else:
        settled(r, wine, default_home, False)
