"""End-to-end: the roads of a start and their exit codes, the error line on
standard error, the command line as the Builder receives it, and the status
log of the test build."""

from __future__ import annotations

import re
import time

import pytest

from conftest import parse_records

LIST_PATH = "/Stonewake/Stonewake/releases/latest/download/tarnwick-setup.txt"
CAPTION = "Stonewake Builder setup"
HOME_MESSAGE = ("The Builder home is unavailable or its portable marker is invalid. For a new "
                "portable install, put this setup in a writable folder and start it with --portable.")
NO_GAME = "No built game to start. Build it first (the game folder needs bin\\stonewake.exe)."
MARKER = b"Stonewake Builder portable home v1\n"
LOOKING = "Looking for the latest Stonewake Builder..."
STARTING = "Starting the Stonewake Builder..."


def err(message: str) -> bytes:
    """The one line CLI mode writes to standard error for a message."""
    return b"error " + message.encode("utf-8") + b"\n"


def no_setup_files(host) -> str:
    """The message of a release host that has no latest release (404)."""
    return ("The latest Stonewake release has no setup files yet. See the releases page: "
            "https://localhost:%d/Stonewake/Stonewake/releases/latest" % host.port)


def builder_exe(home_win: str, tag: str = "v1") -> str:
    return "%s\\versions\\%s\\StonewakeBuilder\\StonewakeBuilder.exe" % (home_win, tag)


def records_of(r, count: int = 1, timeout: float = 10) -> list[dict]:
    """The Builder's records once `count` are there: in window mode the setup
    does not wait for the Builder, which may record after the setup ended."""
    end = time.monotonic() + timeout
    while len(r.records) < count and time.monotonic() < end:
        time.sleep(0.05)
        r.records = parse_records_file(r.run_dir / "record.jsonl")
    return r.records


def parse_records_file(path) -> list[dict]:
    try:
        return parse_records(path.read_bytes())
    except FileNotFoundError:
        return []


def damage_marker(folder) -> None:
    (folder / ".tarnwick-portable").write_bytes(b"Stonewake Builder portable home v2\n")


# ---------------------------------------------------------------- the home message
@pytest.mark.parametrize("tail", ["--cli", "--portable --cli", "--cli --launch"])
def test_home_not_settled_in_cli_mode_is_one_line_and_exit_1(run_setup, home, host, tail):
    r = run_setup(tail, env={"TARNWICK_SETUP_BASE": "StonewakeBuilder"}, timeout=30)
    assert (r.rc, r.stderr, r.stdout) == (1, err(HOME_MESSAGE), b"")
    assert r.records == [] and r.status == [] and host.requests == []


def test_launch_does_not_start_the_builder_of_a_home_that_is_not_settled(run_setup, home, publish, host):
    publish("v1")
    (home / ".tarnwick-portable").write_bytes(MARKER)
    assert run_setup("--cli", timeout=60).rc == 0
    damage_marker(home)
    host.clear()
    r = run_setup("--cli --launch", timeout=30)
    assert (r.rc, r.stderr) == (1, err(HOME_MESSAGE))
    assert len(records_of(r, 2, timeout=1.5)) == 1 and host.requests == []


def test_home_not_settled_in_window_mode_is_an_ownerless_box_then_exit_1(run_setup, home, probe):
    damage_marker(home)
    run = run_setup("", background=True)
    box = probe("msgbox", CAPTION, "20000", "leave").json
    assert box["found"] and box["text"] == HOME_MESSAGE and box["owner"] == 0
    assert box["buttons"] == ["OK"]
    assert run.proc.poll() is None, "the setup ended before its message was answered"
    assert probe("none", "StonewakeSetup", "*", "300").rc == 0, "no window before the home is settled"
    assert probe("msgbox", CAPTION, "5000", "press").json["closed"]
    r = run.wait(30)
    assert (r.rc, r.stderr, r.records) == (1, b"", [])


# ---------------------------------------------------------------- other roads
@pytest.mark.parametrize("tail", ["--play", "--portable --play", "--play --cli"])
def test_play_without_a_folder_reports_on_stderr_and_exits_1(run_setup, home, tail):
    r = run_setup(tail, timeout=30)
    assert (r.rc, r.stderr) == (1, err(NO_GAME))
    assert r.records == [] and r.status == []
    assert not (home / ".tarnwick-portable").exists(), "the play road settles no home"


def test_fatal_error_in_cli_mode_is_one_line_and_exit_1(run_setup, host, probe):
    r = run_setup("--cli", timeout=30)
    assert (r.rc, r.stderr, r.stdout) == (1, err(no_setup_files(host)), b"")
    assert r.texts == [LOOKING] and r.records == []
    assert [q.path for q in host.requests][0] == LIST_PATH


@pytest.mark.parametrize("tail, home_state, spawn", [
    ("--cli", "damaged", "no_stderr"),
    ("--cli", "fine", "no_stdio"),          # the worker's fatal error
    ("--play", "fine", "no_stdio"),
])
def test_without_a_standard_error_handle_nothing_is_written_and_the_exit_code_stays(
        run_setup, home, host, tail, home_state, spawn):
    if home_state == "damaged":
        damage_marker(home)
    r = run_setup(tail, timeout=30, **{spawn: True})
    assert (r.rc, r.stderr, r.stdout) == (1, b"", b"")
    if home_state == "fine" and tail == "--cli":
        assert r.texts == [LOOKING]      # it did run as far as the release host


# ---------------------------------------------------------------- the error line
def tar_failure(home_win: str, rel, code: int, excerpt: str) -> str:
    archive = "%s\\downloads\\%s.zip" % (home_win, rel.parts[0].sha256)
    return ("Unpacking part 1 of %d failed: Windows' tar.exe exited with code %d.\nArchive: %s\n"
            "Destination: %s\\versions\\v1.part\nTar stderr excerpt (up to 511 bytes captured):\n%s"
            % (len(rel.parts), code, archive, home_win, excerpt))


def flood(size: int) -> str:
    """What the tar double prints for STONEWAKE_TAR_FLOOD=<size>."""
    text = ""
    line = 0
    while len(text) < size:
        text += "%s line %06u: the quick brown fox jumps over the lazy dog\n" % (
            "flood-start" if line == 0 else "flood", line)
        line += 1
    return text[:size]


@pytest.mark.parametrize("folder, tar_env, cut", [
    ("Jürgen 张伟", {"STONEWAKE_TAR_FAIL": "3"}, False),
    ("d", {"STONEWAKE_TAR_FLOOD": "4000"}, True),
    ("工", {"STONEWAKE_TAR_FLOOD": "4000"}, True),
], ids=["non-ascii", "cut", "cut-non-ascii"])
def test_the_error_line_is_the_whole_message_in_utf8_cut_to_its_buffer(
        run_setup, home, publish, tar_double, folder, tar_env, cut):
    """A failing tar gives a message of several lines that names paths in the
    home; a long one is cut at 1023 characters."""
    rel = publish("v1")
    if cut:  # a home of 160 characters: the message needs more than 1023
        folder *= 160 - len(home.win) - 1
    base = home.win + "\\" + folder
    (home / folder).mkdir()
    r = run_setup("--cli", env=dict(tar_env, TARNWICK_SETUP_BASE=base), timeout=60)
    if cut:
        message = tar_failure(base, rel, 2, flood(511))
        assert len(message) > 1023
        message = message[:1023]
    else:
        message = tar_failure(base, rel, 3, "tar.exe: simulated failure\n")
    assert (r.rc, r.stderr) == (1, err(message))
    assert len(err(message)) <= 6 + 2039 + 1


# ---------------------------------------------------------------- the command line
GRAMMAR = [
    # tail given to the setup, what the Builder gets after its path, CLI mode, portable mode
    ("--cli --portable", "--cli --portable", True, False),
    ("--portable --cli", "--cli", True, True),
    ('"--portable" --cli x', "--cli x", True, True),
    ("--portable\tfoo --cli", "foo --cli", False, True),
    ("--portable", "", False, True),
    ("x --cli", "x --cli", False, False),
    ("--cli2", "--cli2", False, False),
    ("--playground", "--playground", False, False),    # not the play road
    ("--cli\tx", "--cli\tx", False, False),
    ("--cli --repair --keep", "--cli  --keep", True, False),
    ('--cli /unknown --opt="a b" --playground', '--cli /unknown --opt="a b" --playground', True, False),
]


@pytest.mark.parametrize("tail, builder_tail, cli, portable", GRAMMAR,
                         ids=[repr(g[0]) for g in GRAMMAR])
def test_what_reaches_the_builder(run_setup, home, publish, tail, builder_tail, cli, portable):
    publish("v1")
    # CLI mode waits for the Builder and hands back its exit code; window mode gives 0.
    r = run_setup(tail, env={"STONEWAKE_RECORD_EXIT": "7"}, timeout=60)
    assert r.rc == (7 if cli else 0), r.stderr
    assert len(records_of(r)) == 1
    rec = r.records[0]
    assert rec["cmdline"] == '"%s" %s' % (builder_exe(home.win), builder_tail)
    assert rec["env"]["TARNWICK_BUILDER_PORTABLE"] == ("1" if portable else None)
    assert (home / ".tarnwick-portable").exists() == portable


def test_a_long_tail_is_cut_to_2047_characters(run_setup, home, publish):
    publish("v1")
    words = "".join("w%04d " % i for i in range(500))
    tail = "--cli " + words[:2500] + " --repair"
    assert len(tail) > 2047
    r = run_setup(tail, timeout=60)
    assert r.rc == 0
    assert r.records[0]["cmdline"] == '"%s" %s' % (builder_exe(home.win), tail[:2047])


# ---------------------------------------------------------------- the status log
def test_each_status_line_is_logged_with_its_time_in_order(run_setup, home, publish):
    rel = publish("v1")
    before = int(time.time() * 1000)
    r = run_setup("--cli", timeout=60)
    after = int(time.time() * 1000)
    assert r.rc == 0
    raw = (r.run_dir / "run-1.status").read_bytes()
    assert raw.endswith(b"\n")
    lines = raw.decode("utf-8").split("\n")[:-1]
    assert all(re.fullmatch(r"\d{13}\t[^\t\r]+", line) for line in lines), lines
    count = len(rel.parts)
    expected = [LOOKING]
    for n in range(1, count + 1):
        expected += ["Downloading part %d of %d (0 MB)..." % (n, count), "Unpacking part %d of %d..." % (n, count)]
    assert [line.split("\t", 1)[1] for line in lines] == expected + [STARTING]
    stamps = [int(line.split("\t", 1)[0]) for line in lines]
    assert stamps == sorted(stamps)
    assert before - 1000 <= stamps[0] and stamps[-1] <= after + 1000
