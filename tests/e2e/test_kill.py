"""The kill suite: a setup ended at many moments of a first install, of an
update and of a repair that heals a damaged file, by SIGKILL (of the Unix process that runs it under Wine, then
`wineserver -k` of the prefix) or by the window's close box, and each time:

- right after, with the release host stopped, `--launch` starts a whole
  Builder when one was installed, or refuses cleanly when none was;
- then, with the host back, a normal start ends with the Builder started, the
  version complete and current, and nothing left over (.part, .gone,
  .rollback- folders, half-written records, the downloads folder);
- at no moment, watched all along, did a folder exist under a version's final
  name without its complete Builder.

Moments: right after each status line, held at each named moment of the run
(test builds hold there on request: a second tar started beside the first,
a part's entries moved into place before its top entry is named, between two
ranges of a part's changes,
between linking the kept files and unpacking the changes, while they unpack,
while they are moved into place, while a repair hashes the installed files,
between publishing and installed.txt,
between a record's write and its rename, in the records step, in the sweep,
...), and by timer, spread over the run. The plan is seeded and reproducible:

    STONEWAKE_KILL_SEED=<n>     the seed (printed with every failure)
    STONEWAKE_KILL_POINTS=<n>   how many kill points must be reached (default
                                64; 200 or more adds the portable home, the
                                close box at every named moment, more timers)
"""

from __future__ import annotations

import dataclasses
import json
import os
import random
import shutil
import signal
import stat
import threading
import time
from pathlib import Path
from typing import Iterator

import pytest

from conftest import DOUBLES, E2E, Folder, Runner, fresh_dir, need, unix_processes
from test_install import files, make_portable, unpacked

SEED = int(os.environ.get("STONEWAKE_KILL_SEED", "20261209"))
POINTS = int(os.environ.get("STONEWAKE_KILL_POINTS", "64"))
# The exit code of a setup whose window was closed: ERROR_CANCELLED (1223), as
# the Unix side sees it (the low 8 bits).
CANCELLED = 1223 & 0xFF
LEFTOVER = (".part", ".gone", ".rollback-")


@dataclasses.dataclass(frozen=True)
class Point:
    scenario: str      # "first" install or "update"
    portable: bool
    how: str           # "kill" or "close"
    moment: str        # "status", "pause" or "timer"
    at: str            # status line number, pause name[#n], or milliseconds

    def __str__(self) -> str:
        return "%s/%s/%s at %s %s" % (self.scenario, "portable" if self.portable else "per-user",
                                      self.how, self.moment, self.at)


# The named moments each scenario passes, in order (see test_point in the product).
PAUSES = {
    # The first install: tar 2 started beside tar 1, then each part's entries
    # moved into place before its top entry is named.
    "first": ["locked", "tars-running#1"] + ["part-placing#%d" % n for n in range(1, 5)] +
             ["part-unpacked#%d" % n for n in range(1, 5)] + [
        "published", "record-written#1", "installed-written", "record-written#2", "record-written#3",
        "swept"],
    # The update takes the Builder's part on the delta road: two ranges of
    # records, the kept files linked, then the records' own zip unpacked and
    # its entries moved into place.
    "update": ["locked", "changes-range#1", "changes-linked", "changes-unpacking", "part-unpacked#1",
               "part-placing#1"] +
              ["part-kept#%d" % n for n in range(1, 4)] + [
        "published", "record-written#1", "installed-written", "record-written#2", "previous-written",
        "record-written#3", "record-written#4", "sweep-renamed", "swept"],
    # A repair of A with a damaged runtime file: while the installed files
    # are hashed, between the ranges of the damaged file's record, while its
    # record unpacks.
    "repair": ["checked#1", "changes-range#1", "changes-unpacking"],
}
STATUS_LINES = {"first": 10, "update": 7, "repair": 0}
# The sweep comes after the Builder's start, when the window is gone: the
# close box is pressed before it, the sweep is ended by kills alone.
SWEEP = ("sweep-renamed", "swept")
CLOSE_AT = {"first": ["tars-running#1", "part-unpacked#2", "published", "record-written#2", "record-written#3"],
            "update": ["changes-range#1", "part-kept#2", "record-written#1", "record-written#3", "record-written#4"],
            "repair": []}
ARGS = {"first": "", "update": "", "repair": "--repair --tag A"}


def plan(seed: int, count: int, run_ms: dict[str, int]) -> Iterator[Point]:
    """Every status and named moment of both scenarios killed, the close box at
    some of them, then timers without end (the suite stops once `count` points
    were reached); a longer run adds the portable home and the close box at
    every named moment."""
    rng = random.Random(seed)
    kinds = [False, True] if count >= 200 else [False]
    seen = set()
    for portable in kinds:
        for sc in ("first", "update", "repair"):
            points = [Point(sc, portable, "kill", "pause", p) for p in PAUSES[sc]]
            points += [Point(sc, portable, "kill", "status", str(n)) for n in range(1, STATUS_LINES[sc] + 1)]
            closes = [p for p in PAUSES[sc] if p not in SWEEP] if count >= 200 else CLOSE_AT[sc]
            points += [Point(sc, portable, "close", "pause", p) for p in closes]
            seen.update(points)
            yield from points
    while True:
        sc = rng.choice(["first", "update"])
        p = Point(sc, rng.choice(kinds), rng.choice(["kill", "kill", "close"]), "timer",
                  str(rng.randrange(0, max(20, run_ms[sc] + 20))))
        if p not in seen:
            seen.add(p)
            yield p


# ---------------------------------------------------------------- checks
def expected_sizes(rel) -> dict[str, int]:
    return {k: len(v) for k, v in unpacked(rel.parts).items()}


def incomplete(folder: Path, sizes: dict[str, int]) -> str | None:
    """The first file of the version that is missing or not whole, or None."""
    for rel_path, size in sizes.items():
        try:
            if os.stat(folder / rel_path).st_size != size:
                return rel_path
        except OSError:
            return rel_path
    return None


class Watcher(threading.Thread):
    """Polls a versions folder while the setup runs: any folder under a
    version's final name must hold that version whole. A folder renamed away
    in the middle of a look (the sweep, a set-aside) is no finding: only the
    same folder, still under the name after a file was seen missing, counts."""

    def __init__(self, versions: Path, releases: dict[str, dict[str, int]]):
        super().__init__(daemon=True)
        self.versions, self.releases = versions, releases
        self.findings: list[str] = []
        self.looks = 0
        self._stop_flag = threading.Event()

    def run(self) -> None:
        while not self._stop_flag.is_set():
            for tag, sizes in self.releases.items():
                self.look(tag, sizes)
            self.looks += 1
            time.sleep(0.001)

    def look(self, tag: str, sizes: dict[str, int]) -> None:
        folder = self.versions / tag
        try:
            before = os.stat(folder)
        except OSError:
            return
        if not stat.S_ISDIR(before.st_mode):
            return
        missing = incomplete(folder, sizes)
        if missing is None:
            return
        try:
            after = os.stat(folder)
        except OSError:
            return
        finding = "versions/%s without %s" % (tag, missing)
        if after.st_ino == before.st_ino and finding not in self.findings:
            self.findings.append(finding)

    def stop(self) -> list[str]:
        self._stop_flag.set()
        self.join(10)
        return self.findings


def setup_unix_pids(status_win: str) -> list[int]:
    """The Unix processes that run this very setup (not spawn.exe, not
    another developer's): its command line names the setup, its environment
    holds this run's status log."""
    return unix_processes(b"StonewakeBuilder-Setup.exe", "STONEWAKE_TEST_STATUS_LOG=" + status_win)


@dataclasses.dataclass
class Outcome:
    point: Point
    reached: bool = False
    looks: int = 0
    failures: list[str] = dataclasses.field(default_factory=list)


class Suite:
    def __init__(self, wine, host, publish):
        self.wine, self.host = wine, host
        self.base = fresh_dir(E2E / "kill")
        self.a = publish("A", latest=False)
        self.b = publish("B")
        self.sizes = {"A": expected_sizes(self.a), "B": expected_sizes(self.b)}
        self.templates: dict[bool, Path] = {}
        self.count = 0

    def folder(self, name: str) -> Folder:
        path = fresh_dir(self.base / name)
        return Folder(path, self.wine.to_win(path))

    def template(self, portable: bool) -> Path:
        """A home with A installed, made once per home kind by the setup."""
        if portable not in self.templates:
            home = self.folder("template-%d" % portable)
            if portable:
                make_portable(home.path)
            r = Runner(self.wine, home, fresh_dir(self.base / ("template-run-%d" % portable)))("--cli --tag A")
            assert (r.rc, r.errors) == (0, []), r.stderr
            self.templates[portable] = home.path
        return self.templates[portable]

    def home_for(self, point: Point) -> Folder:
        self.count += 1
        home = Folder(self.base / ("home-%d" % self.count), "")
        if home.path.exists():
            shutil.rmtree(home.path)
        if point.scenario == "first":
            home.path.mkdir(parents=True)
            if point.portable:
                make_portable(home.path)
        else:
            shutil.copytree(self.template(point.portable), home.path)
        if point.scenario == "repair":   # the same size: the watcher still finds A whole
            coreclr = home.path / "versions" / "A" / "StonewakeBuilder" / "coreclr.dll"
            coreclr.write_bytes(bytes(b ^ 0xFF for b in coreclr.read_bytes()))
        return Folder(home.path, self.wine.to_win(home.path))

    def timed_run(self, scenario: str) -> int:
        """One uninterrupted run of the scenario (also a check of it): the ms
        from its first status line to its last."""
        point = Point(scenario, False, "kill", "timer", "0")
        home = self.home_for(point)
        runner = Runner(self.wine, home, fresh_dir(self.base / ("timed-" + scenario)))
        r = runner("--cli")
        assert (r.rc, r.errors) == (0, []), r.stderr
        return r.status[-1][0] - r.status[0][0]

    # -------------------------------------------------------- one point
    def run_point(self, point: Point) -> Outcome:
        out = Outcome(point)
        home = self.home_for(point)
        versions = home.path / "versions"
        run_dir = fresh_dir(self.base / ("run-%d" % self.count))
        runner = Runner(self.wine, home, run_dir)
        pause = run_dir / "pause"
        env = {}
        if point.moment == "pause":
            env = {"STONEWAKE_TEST_PAUSE": point.at, "STONEWAKE_TEST_PAUSE_FILE": self.wine.to_win(pause)}
        watcher = Watcher(versions, self.sizes)
        watcher.start()
        run = runner(("--cli " if point.how == "kill" else "") + ARGS[point.scenario], env=env, background=True)
        out.reached = self.wait_for_moment(run, point, pause)
        if point.how == "kill":
            if out.reached and point.at in SWEEP and "Starting the Stonewake Builder..." not in \
                    [t for _, t in run.status()]:
                out.failures.append("the sweep began before the Builder started")
            if out.reached:
                out.reached = False
                for pid in setup_unix_pids(self.wine.to_win(run.files["status"])):
                    try:
                        os.kill(pid, signal.SIGKILL)
                        out.reached = True
                    except ProcessLookupError:
                        pass    # it ended between the look and the kill: not a kill
            self.wine.restart_server()
            run.proc.wait(60)
        else:
            self.close(run, out)
        self.check_after(point, home, runner, out)
        out.failures += watcher.stop()
        if watcher.looks == 0:
            out.failures.append("the watcher never looked")
        out.looks = watcher.looks
        return out

    def wait_for_moment(self, run, point: Point, pause: Path) -> bool:
        end = time.monotonic() + 60
        if point.moment == "timer":   # counted from the first status line
            while time.monotonic() < end and run.proc.poll() is None and not run.status():
                time.sleep(0.002)
            time.sleep(int(point.at) / 1000)
            return run.proc.poll() is None
        while time.monotonic() < end and run.proc.poll() is None:
            if point.moment == "pause" and pause.exists():
                return True
            if point.moment == "status" and len(run.status()) >= int(point.at):
                return True
            time.sleep(0.002)
        return False

    def close(self, run, out: Outcome) -> None:
        if run.proc.poll() is None:
            probe = self.wine.run([need(DOUBLES / "winprobe.exe", "the winprobe double"), "close",
                                   "StonewakeSetup", "Stonewake Builder setup", "20000"], timeout=60)
            answer = json.loads(probe.stdout.decode() or "{}")
            out.reached = bool(answer.get("closed"))
        rc = run.proc.wait(60)
        # Closed before the Builder started: not a success. Closed after it
        # (the window closes itself right then): the run had finished.
        starting = "Starting the Stonewake Builder..." in [t for _, t in run.status()]
        if out.reached and not (rc == CANCELLED or (rc == 0 and starting)):
            out.failures.append("closed setup ended with %d" % rc)
        self.wine.restart_server()   # the Builder double a finished run may have left

    def restart_host(self) -> None:
        """Back on its port. Its plain-HTTP side (unused here) takes any free
        port, and a port still held for a moment is waited for."""
        if self.host.http_port is not None:
            self.host.http_port = 0
        for _ in range(100):
            try:
                self.host.start()
                return
            except OSError:
                time.sleep(0.1)
        self.host.start()

    def whole(self, home: Folder, tag: str) -> bool:
        return tag in self.sizes and incomplete(home.path / "versions" / tag, self.sizes[tag]) is None

    def check_after(self, point: Point, home: Folder, runner: Runner, out: Outcome) -> None:
        versions = home.path / "versions"
        fail = out.failures.append
        for tag in self.sizes:
            if (versions / tag).is_dir() and not self.whole(home, tag):
                fail("right after: versions/%s is not whole" % tag)
        try:
            current = (versions / "current.txt").read_bytes().decode()
        except FileNotFoundError:
            current = ""
        if point.scenario != "first" and current not in ("A", "B"):
            fail("right after: current.txt holds %r" % current)
        installed = current in self.sizes and self.whole(home, current)
        if current and not installed:
            fail("right after: current.txt names %r, which is not whole" % current)

        # Offline: the fast start takes the installed Builder, or declines and
        # the normal run refuses cleanly.
        self.host.stop()
        try:
            before = len(runner.records())
            r = runner("--cli --launch")
        finally:
            self.restart_host()
        end = time.monotonic() + 15   # the fast start does not wait for the Builder's record
        while installed and r.rc == 0 and len(runner.records()) == before and time.monotonic() < end:
            time.sleep(0.02)
        starts = runner.records()[before:]
        if installed:
            exe = "%s\\versions\\%s\\StonewakeBuilder\\StonewakeBuilder.exe" % (home.win, current)
            if (r.rc, r.errors, [s["exe"] for s in starts]) != (0, [], [exe]):
                fail("offline --launch: rc %d, errors %r, started %r" % (r.rc, r.errors, starts))
        elif (r.rc, len(r.errors), starts) != (1, 1, []) or "Could not reach" not in r.errors[0]:
            fail("offline --launch without a Builder: rc %d, errors %r, started %r" % (r.rc, r.errors, starts))

        # Back online: a normal start repairs whatever the kill left.
        before = len(runner.records())
        r = runner("--cli")
        starts = runner.records()[before:]
        b_exe = "%s\\versions\\B\\StonewakeBuilder\\StonewakeBuilder.exe" % home.win
        if (r.rc, r.errors, [s["exe"] for s in starts]) != (0, [], [b_exe]):
            fail("next run: rc %d, errors %r, started %r" % (r.rc, r.errors, starts))
            return
        got = files(versions / "B")
        want = unpacked(self.b.parts)
        if {k: v for k, v in got.items() if k not in ("installed.txt", "parts.txt")} != want:
            fail("next run: versions/B differs from the release")
        if got.get("installed.txt") != b"B" or got.get("parts.txt") != b"".join(
                p.sha256.encode() + b"\n" for p in self.b.parts[1:]):
            fail("next run: records of B are %r / %r" % (got.get("installed.txt"), got.get("parts.txt")))
        if (versions / "current.txt").read_bytes() != b"B":
            fail("next run: current.txt is not B")
        left = [p.name for p in versions.iterdir() if any(s in p.name for s in LEFTOVER)]
        left += [p.name for p in [*versions.glob("*.new"), *(versions / "B").glob("*.new")]]
        if left or (home.path / "downloads").exists():
            fail("next run: left over %r, downloads folder %s" % (left, (home.path / "downloads").exists()))


def test_kill_suite(wine, host, publish):
    suite = Suite(wine, host, publish)
    run_ms = {sc: suite.timed_run(sc) for sc in ("first", "update")}
    outcomes: list[Outcome] = []
    for point in plan(SEED, POINTS, run_ms):
        if sum(o.reached for o in outcomes) >= POINTS or len(outcomes) >= 3 * POINTS:
            break
        outcomes.append(suite.run_point(point))
    reached = [o for o in outcomes if o.reached]
    failed = [o for o in outcomes if o.failures]
    summary = {
        "seed": SEED, "tried": len(outcomes), "killed_or_closed": len(reached),
        "survived": len(reached) - len([o for o in failed if o.reached]),
        "damaged_versions": sum(1 for o in failed for f in o.failures if "whole" in f or "without" in f),
        "run_ms": run_ms, "watcher_looks": sum(o.looks for o in outcomes),
        "not_reached": [str(o.point) for o in outcomes if not o.reached],
    }
    (suite.base / "summary.json").write_text(json.dumps(summary, indent=1))
    print("kill suite:", json.dumps(summary))
    assert not failed, "seed %d (STONEWAKE_KILL_SEED=%d to repeat):\n%s" % (SEED, SEED, "\n".join(
        "%s: %s" % (o.point, "; ".join(o.failures)) for o in failed))
    # A held moment is always reached; one that is not means the run no
    # longer passes it, and the plan must follow.
    assert not [p for p in summary["not_reached"] if " pause " in p], summary["not_reached"]
    assert len(reached) >= POINTS, "seed %d: only %d of %d points were reached: %s" % (
        SEED, len(reached), len(outcomes), summary["not_reached"])
