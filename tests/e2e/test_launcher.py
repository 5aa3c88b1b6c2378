"""The setup as a built game's launcher: copied as stonewake.exe into the game
folder it opens that folder in a ready Builder, or runs the game
(bin\\stonewake.exe); --play runs a game folder's game and hands back its
exit code, whatever the executable is called."""

from __future__ import annotations

import shutil
import time
from pathlib import Path

import pytest

import make_release as mr
from conftest import DOUBLES, E2E, SETUP_EXE, Folder, fresh_dir, node_folder_name

LIST_PATH = "/Stonewake/Stonewake/releases/latest/download/tarnwick-setup.txt"
MARKER = b"Stonewake Builder portable home v1\n"
NO_GAME = b"No built game to start. Build it first (the game folder needs bin\\stonewake.exe)."
MISSING = ("The game (bin\\stonewake.exe) is missing from this folder. Build it again with the "
           "Stonewake Builder.")
TOO_LONG = ("The game folder's path is too long for Windows. Move the game to a folder with a "
            "shorter path.")
# The started program outlives the launcher by this much; a launcher that
# waited for it would take at least as long.
NO_WAIT = {"STONEWAKE_RECORD_SLEEP_MS": "5000", "STONEWAKE_RECORD_EXIT": "5",
           "TARNWICK_NO_UPDATE_CHECK": None}


def ready_builder(home: Path, tag: str = "B") -> str:
    """A complete installed Builder (the recorder) named by current.txt;
    returns its folder relative to the home, Windows style."""
    folder = home / "versions" / tag / "StonewakeBuilder"
    folder.mkdir(parents=True)
    shutil.copy(DOUBLES / "recorder.exe", folder / "StonewakeBuilder.exe")
    for name in mr.BUILDER_FILES:
        (folder / name).write_bytes(name.encode() + b"\n")
    (home / "versions" / tag / "installed.txt").write_bytes(tag.encode())
    (home / "versions" / "current.txt").write_bytes(tag.encode())
    return "versions\\%s\\StonewakeBuilder" % tag


def wait_records(run_setup, count: int, timeout: float = 10) -> list[dict]:
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        records = run_setup.records()
        if len(records) >= count:
            time.sleep(0.3)   # a second, unexpected start would show up by now
            return run_setup.records()
        time.sleep(0.05)
    raise AssertionError("expected %d records, got %r" % (count, run_setup.records()))


@pytest.fixture
def games(request, wine):
    """games(rel, exe_name, game=True): a game folder below this test's own
    folder, holding the game double as bin\\stonewake.exe and the setup
    copied under exe_name."""
    root = fresh_dir(E2E / "games" / node_folder_name(request.node))

    def make(rel: str = "My Game", exe_name: str | None = "stonewake.exe", game: bool = True) -> Folder:
        folder = root / rel
        folder.mkdir(parents=True, exist_ok=True)
        if game:
            (folder / "bin").mkdir()
            shutil.copy(DOUBLES / "recorder.exe", folder / "bin" / "stonewake.exe")
        if exe_name:
            shutil.copy(SETUP_EXE, folder / exe_name)
        return Folder(folder, wine.to_win(folder))

    make.root = Folder(root, wine.to_win(root))
    return make


@pytest.fixture
def user_home(wine):
    """The per-user default home of the prefix, empty, and removed afterwards."""
    path = wine.local_appdata / "StonewakeBuilder"
    shutil.rmtree(path, ignore_errors=True)
    yield Folder(path, "C:\\users\\%s\\AppData\\Local\\StonewakeBuilder" % wine.user)
    shutil.rmtree(path, ignore_errors=True)


def timed(run_setup, *args, **kw):
    started = time.monotonic()
    r = run_setup(*args, **kw)
    return r, time.monotonic() - started


# ---------------------------------------------------------------- launcher road
@pytest.mark.parametrize("exe_name, args, where", [
    ("stonewake.exe", "", "explicit"),
    ("STONEWAKE.EXE", "", "explicit"),
    ("stonewake.exe", '"Z:\\drop\\level one.swk"', "per-user"),
    ("stonewake.exe", "", "pointer"),
])
def test_launcher_opens_the_game_folder_in_a_ready_builder(host, home, run_setup, games, user_home,
                                                           exe_name, args, where):
    env = dict(NO_WAIT)
    portable = None
    if where == "explicit":
        game = games("My Game", exe_name)
        builder_home = home
    else:
        env["TARNWICK_SETUP_BASE"] = None
        builder_home = user_home
        if where == "pointer":
            ready_builder(user_home.path)   # not the one the pointer names
            game = games("proj/My Game", exe_name)
            builder_home = Folder(games.root.path / "StonewakeBuilder", games.root.win + "\\StonewakeBuilder")
            builder_home.path.mkdir()
            (builder_home.path / ".tarnwick-portable").write_bytes(MARKER)
            (game.path / ".tarnwick_builder_home").write_bytes(b"..\\..\\StonewakeBuilder\r\n")
            portable = "1"
        else:
            game = games("My Game", exe_name)
    folder = builder_home.win + "\\" + ready_builder(builder_home.path)

    r, took = timed(run_setup, args, exe=game.path / exe_name, env=env)

    assert (r.rc, r.errors) == (0, [])
    assert took < 4, "the launcher waited (%.1f s)" % took
    [rec] = wait_records(run_setup, 1)
    assert rec["cmdline"] == '"%s\\StonewakeBuilder.exe" --launch "%s"' % (folder, game.win)
    assert rec["cwd"] == folder
    assert (rec["env"]["TARNWICK_SETUP_BASE"], rec["env"]["TARNWICK_BUILDER_PORTABLE"]) == (builder_home.win, portable)
    assert host.requests == []


@pytest.mark.parametrize("case", ["no-builder", "builder-local", "pointer-unmarked", "portable-option"])
def test_launcher_starts_the_game_when_no_builder_is_ready(host, home, run_setup, games, user_home, case):
    env = dict(NO_WAIT)
    base = home.win
    args = ""
    if case == "no-builder":
        game = games()
    elif case == "portable-option":
        # --portable goes before the launcher road looks for "--": the game
        # folder must not become a portable home.
        env["TARNWICK_SETUP_BASE"] = None
        base = user_home.win
        game = games()
        args = "--portable"
    else:
        # A ready Builder in the per-user home that these games must not use.
        env["TARNWICK_SETUP_BASE"] = base = None
        ready_builder(user_home.path)
        if case == "builder-local":
            game = games()
            (game.path / "tarnwick_version.txt").write_bytes(b"engine=2.3.1\nbuilder_local=1\r\n")
        else:
            game = games("proj/My Game")
            ready_builder(games.root.path / "StonewakeBuilder")   # no marker
            (game.path / ".tarnwick_builder_home").write_bytes(b"..\\..\\StonewakeBuilder\r\n")

    r, took = timed(run_setup, args, exe=game.path / "stonewake.exe", env=env)

    assert (r.rc, r.errors) == (0, [])
    assert not (game.path / "StonewakeBuilder").exists()
    assert took < 4, "the launcher waited for the game (%.1f s)" % took
    [rec] = wait_records(run_setup, 1)
    exe = game.win + "\\bin\\stonewake.exe"
    assert (rec["exe"], rec["cmdline"], rec["cwd"]) == (exe, '"%s"' % exe, game.win)
    assert rec["env"]["TARNWICK_NO_UPDATE_CHECK"] is None
    assert rec["env"]["TARNWICK_SETUP_BASE"] == base
    assert host.requests == []


@pytest.mark.parametrize("case", ["no-game", "too-long"])
def test_launcher_without_game_or_builder_shows_a_message(host, home, run_setup, games, probe, case):
    if case == "no-game":
        game, text = games(game=False), MISSING
    else:   # its launcher's path fits, the game's (242 + 18 characters) does not
        game, text = games("g" * (242 - len(games.root.win) - 1)), TOO_LONG
        assert len(game.win) == 242
    run = run_setup("", exe=game.path / "stonewake.exe", background=True, timeout=60)
    box = probe("msgbox", "Stonewake", "30000", "press")
    r = run.wait()
    assert box.rc == 0, box.stderr
    assert (box.json["caption"], box.json["text"], box.json["owner"]) == ("Stonewake", text, 0)
    assert box.json["icon"] and box.json["closed"]
    assert (r.rc, r.records, host.requests) == (1, [], [])


@pytest.mark.parametrize("args", ["--cli", "--launch now"])
def test_launcher_with_a_double_hyphen_option_is_the_setup(host, home, publish, run_setup, games, args):
    game = games()
    folder = home.win + "\\" + ready_builder(home.path)
    c = publish("C", index=False)   # every part whole, as before the index
    r = run_setup(args, exe=game.path / "stonewake.exe", timeout=60)
    assert (r.rc, r.errors) == (0, [])
    records = wait_records(run_setup, 1)
    if args == "--cli":   # the normal run installs the latest release
        assert [q.path for q in host.requests] == [LIST_PATH] + [
            "/Stonewake/Stonewake/releases/download/C/" + p.asset for p in c.parts]
        folder = home.win + "\\versions\\C\\StonewakeBuilder"
    else:                 # the fast start, with the setup's own arguments
        assert host.requests == []
    assert [rec["cmdline"] for rec in records] == ['"%s\\StonewakeBuilder.exe" %s' % (folder, args)]


# ---------------------------------------------------------------- play road
@pytest.mark.parametrize("exe, tail, folder", [
    ("setup", '--play "{root}\\My Game"', "My Game"),
    ("launcher", '--play "{root}\\My Game" --cli ignored', "My Game"),
    ("other", '--play "{root}\\My Game', "My Game"),           # no closing quote: the rest
    ("setup", "--play {root}\\My Game", "My"),                # cut at the space
])
def test_play_runs_the_game_and_returns_its_code(host, home, run_setup, games, exe, tail, folder):
    game = games("My Game")
    if folder == "My":
        games("My", exe_name=None)
    program = {"setup": None, "launcher": game.path / "stonewake.exe",
               "other": games("Tools", "Other Setup.exe", game=False).path / "Other Setup.exe"}[exe]
    r, took = timed(run_setup, tail.format(root=games.root.win), exe=program,
                    env={"STONEWAKE_RECORD_EXIT": "7", "STONEWAKE_RECORD_SLEEP_MS": "1000"})
    assert (r.rc, r.errors, r.status) == (7, [], [])
    assert took >= 1
    [rec] = r.records
    where = games.root.win + "\\" + folder
    exe_path = where + "\\bin\\stonewake.exe"
    assert (rec["exe"], rec["cmdline"], rec["cwd"]) == (exe_path, '"%s"' % exe_path, where)
    assert rec["env"]["TARNWICK_NO_UPDATE_CHECK"] == "1"
    assert host.requests == []


@pytest.mark.parametrize("tail", [
    "--play {root}\\My Game",          # My holds no game
    '--play ""',
    "--play",
    '--play "{root}\\Nowhere"',
])
def test_play_without_a_game_fails_on_standard_error(host, home, run_setup, games, tail):
    games("My Game")
    r = run_setup(tail.format(root=games.root.win), timeout=30)
    assert r.rc == 1
    assert r.stderr == b"error " + NO_GAME + b"\n"
    assert (r.records, r.status, host.requests) == ([], [], [])


@pytest.mark.parametrize("length", [259, 260])
def test_play_takes_a_folder_of_259_characters_and_refuses_a_longer_one(host, run_setup, games, wine, length):
    # "\." steps pad the folder to exactly 259 characters while the folder
    # itself stays short; a doubled separator makes the same folder 260.
    root = games.root
    pad = "" if (259 - len(root.win)) % 2 == 0 else "x"
    base = games("b" + pad, exe_name=None, game=False)
    games("b" + pad + "/g", exe_name=None)
    steps = (259 - len(base.win) - 2) // 2
    folder = base.win + "\\." * steps + "\\" * (length - 258) + "g"
    assert len(folder) == length
    r = run_setup("--play " + folder, env={"STONEWAKE_RECORD_EXIT": "7"})
    if length == 260:   # refused, never cut to another folder
        assert (r.rc, r.stderr, r.records, host.requests) == (1, b"error " + TOO_LONG.encode() + b"\n", [], [])
        return
    assert (r.rc, r.errors) == (7, [])
    [rec] = r.records
    assert rec["cmdline"] == '"%s\\bin\\stonewake.exe"' % folder
    assert rec["cwd"] == base.win + "\\g"
