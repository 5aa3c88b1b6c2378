"""Shared pieces of the benchmarks: the build folder, the Wine prefix and the
setup runner of the end-to-end harness (tests/e2e/conftest.py), the release
host double run in-process, peak-memory polling, tables and JSON results.

Every benchmark script takes an optional build folder (default build/bench,
or STONEWAKE_BUILD_DIR) and writes <build>/bench/<name>.json. The build must
be a test build whose release host is localhost:<port>, with the prefix made
by tests/harness/prefix.sh: bench/run.sh does all of that.
"""

from __future__ import annotations

import contextlib
import datetime
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Iterable, Iterator, Sequence

REPO = Path(__file__).resolve().parents[1]


def _build_from_argv() -> Path:
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        return Path(sys.argv[1]).absolute()
    return Path(os.environ.get("STONEWAKE_BUILD_DIR", REPO / "build" / "bench")).absolute()


BUILD = _build_from_argv()
# The harness reads its build folder when it is imported.
os.environ["STONEWAKE_BUILD_DIR"] = str(BUILD)
sys.path.insert(0, str(REPO / "tests" / "e2e"))

import conftest  # noqa: E402  (also puts tests/host on the path)
from release_host import ReleaseHost  # noqa: E402

make_release = conftest.make_release

OUT = BUILD / "bench"
CERTS = BUILD / "certs"
SETUP_EXE = conftest.SETUP_EXE
DOUBLES = conftest.DOUBLES
RELEASE_HOST = conftest.RELEASE_HOST
MIB = 1024 * 1024


class BenchError(RuntimeError):
    """A benchmark could not be carried out (or its result is wrong)."""


def require(*paths: Path) -> None:
    missing = [str(p) for p in paths if not p.exists()]
    if missing:
        raise BenchError("missing (run bash bench/run.sh): " + ", ".join(missing))


def fresh(path: Path) -> Path:
    return conftest.fresh_dir(path)


@contextlib.contextmanager
def scratch(*names: str) -> Iterator[list[Path]]:
    """Fresh folders under <build>/bench for one benchmark (releases, homes:
    hundreds of MiB), removed when it ends, also when it fails."""
    paths = [fresh(OUT / n) for n in names]
    try:
        yield paths
    finally:
        for p in paths:
            shutil.rmtree(p, ignore_errors=True)


def median(values: Sequence[float]) -> float:
    return statistics.median(values)


# ---------------------------------------------------------------- Wine
@contextlib.contextmanager
def wine_session() -> Iterator[conftest.Wine]:
    """The prefix with a persistent wineserver for the benchmark, so each
    program starts as fast as in the e2e tests. A server already running in
    the prefix is shared and left alone."""
    require(BUILD / "prefix" / ".stamp-boot")
    wine = conftest.Wine(BUILD)
    quiet = dict(env=wine.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL)
    ours = subprocess.run(["wineserver", "-p"], **quiet).returncode == 0
    subprocess.run(["wine", "cmd", "/c", "exit"], timeout=120, **quiet)
    try:
        yield wine
    finally:
        if ours:
            subprocess.run(["wineserver", "-k"], **quiet)


def prefix_processes(needles: Sequence[str]) -> dict[str, list[int]]:
    """Unix processes of this build's prefix whose command line contains each
    needle (Wine shows a Windows process's command line there); one pass
    over /proc."""
    mark = ("WINEPREFIX=%s" % (BUILD / "prefix")).encode()
    found: dict[str, list[int]] = {n: [] for n in needles}
    for entry in os.scandir("/proc"):
        if not entry.name.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry.name, "rb") as f:
                cmdline = f.read()
            hits = [n for n in needles if n.encode() in cmdline]
            if not hits:
                continue
            with open("/proc/%s/environ" % entry.name, "rb") as f:
                if mark not in f.read().split(b"\0"):
                    continue
        except OSError:
            continue
        for n in hits:
            found[n].append(int(entry.name))
    return found


def prefix_pids(needle: str) -> list[int]:
    return prefix_processes([needle])[needle]


def wait_gone(needle: str, timeout: float = 30) -> None:
    end = time.monotonic() + timeout
    while prefix_pids(needle):
        if time.monotonic() > end:
            raise BenchError("%s still runs after %s s" % (needle, timeout))
        time.sleep(0.02)


def _status_kib(pid: int, field: str) -> int | None:
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


class PeakMemory:
    """Polls VmHWM (the kernel's high-water mark of resident memory) of every
    process of the prefix whose command line holds one of the watched names.
    VmHWM only grows, so a poll misses nothing but the growth after the last
    one. Use as a context manager around the run; .peak_mib[name] is the
    largest value seen for any process of that name."""

    def __init__(self, names: Iterable[str], interval: float = 0.05):
        self.names = list(names)
        self.interval = interval
        self.peak_kib = {n: 0 for n in self.names}
        self.processes = {n: set() for n in self.names}
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._poll, daemon=True)

    def _poll(self) -> None:
        while self.names:
            for name, pids in prefix_processes(self.names).items():
                for pid in pids:
                    hwm = _status_kib(pid, "VmHWM")
                    if hwm:
                        self.processes[name].add(pid)
                        self.peak_kib[name] = max(self.peak_kib[name], hwm)
            if self._stop.wait(self.interval):
                return

    def __enter__(self) -> "PeakMemory":
        self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self._stop.set()
        self._thread.join()

    @property
    def peak_mib(self) -> dict[str, float]:
        return {n: round(k / 1024, 1) for n, k in self.peak_kib.items()}


# ---------------------------------------------------------------- host and setup
@contextlib.contextmanager
def release_host(root: Path) -> Iterator[ReleaseHost]:
    """The release host double on the port compiled into this build."""
    require(CERTS / "server.pem", CERTS / "server.key")
    port = int(RELEASE_HOST.rsplit(":", 1)[1]) if ":" in RELEASE_HOST else 443
    host = ReleaseHost(root, port=port, cert=CERTS / "server.pem", key=CERTS / "server.key")
    host.start()
    try:
        yield host
    finally:
        host.stop()


def setup_runner(wine: conftest.Wine, home: Path, run_dir: Path) -> conftest.Runner:
    """The harness's runner: the setup through spawn.exe, TARNWICK_SETUP_BASE
    = home, status log and Builder records in run_dir."""
    require(SETUP_EXE, DOUBLES / "spawn.exe", DOUBLES / "recorder.exe")
    fresh(home)
    return conftest.Runner(wine, conftest.Folder(home, wine.to_win(home)), fresh(run_dir))


def timed_setup(runner: conftest.Runner, args: str, memory: Sequence[str] = (),
                timeout: float = 600) -> tuple[float, conftest.SetupResult, dict]:
    """Runs the setup; returns (wall seconds from start to exit, its result,
    peak VmHWM MiB per watched name)."""
    start = time.perf_counter()
    with PeakMemory(memory) as peaks:
        result = runner(args, background=True, timeout=timeout).wait()
    wall = time.perf_counter() - start
    if result.rc != 0:
        raise BenchError("the setup failed (exit %d): %s; status %r"
                         % (result.rc, result.stderr.decode("utf-8", "replace"), result.texts[-3:]))
    return wall, result, peaks.peak_mib


def status_span(result: conftest.SetupResult, last: str) -> float:
    """Seconds from the first status line to the first line starting with `last`."""
    first = result.status[0][0]
    for ms, text in result.status:
        if text.startswith(last):
            return (ms - first) / 1000.0
    raise BenchError("no status line %r in %r" % (last, result.texts))


def status_phases(result: conftest.SetupResult, phases: dict[str, str]) -> dict[str, float]:
    """Seconds spent per phase: each status line starting with a phase's
    prefix counts until the next status line."""
    spent = {name: 0.0 for name in phases}
    for (ms, text), (next_ms, _) in zip(result.status, result.status[1:]):
        for name, prefix in phases.items():
            if text.startswith(prefix):
                spent[name] += (next_ms - ms) / 1000.0
    return spent


def settle() -> None:
    """Writes back dirty pages before a timed phase, so that one phase does
    not pay for the disk writes of the one before."""
    os.sync()


def timed_wine(wine: conftest.Wine, args: Sequence[object], timeout: float = 600) -> tuple[list[str], float]:
    """Runs a Windows program of the bench after writing back dirty pages;
    (its stdout split into words, wall seconds with Wine's process start).
    A failure ends the benchmark with the program's stderr."""
    settle()
    start = time.perf_counter()
    done = wine.run(list(args), timeout=timeout)
    wall = time.perf_counter() - start
    if done.returncode != 0:
        raise BenchError("%s %s failed (%d): %s" % (Path(str(args[0])).name, args[1], done.returncode,
                                                    done.stderr.decode("utf-8", "replace")))
    return done.stdout.decode().split(), wall


def run_quiet(args: Sequence[str], **kw) -> subprocess.CompletedProcess:
    """A Unix command, output captured, failing loudly."""
    done = subprocess.run(list(map(str, args)), stdin=subprocess.DEVNULL, capture_output=True, **kw)
    if done.returncode:
        raise BenchError("%s failed (%d): %s" % (args[0], done.returncode,
                                                 done.stderr.decode("utf-8", "replace")[-500:]))
    return done


# ---------------------------------------------------------------- output
def machine() -> dict:
    cpu = ""
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    try:
        wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    except OSError:
        wine = ""
    return {"cores": os.cpu_count(), "cpu": cpu, "kernel": platform.release(), "wine": wine}


def table(headers: Sequence[str], rows: Iterable[Sequence[object]]) -> str:
    rows = [[str(c) for c in r] for r in rows]
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(headers)]
    line = lambda cells: "  ".join(c.ljust(w) if i == 0 else c.rjust(w)  # noqa: E731
                                   for i, (c, w) in enumerate(zip(cells, widths)))
    return "\n".join([line(headers), line(["-" * w for w in widths])] + [line(r) for r in rows])


def report(name: str, title: str, headers: Sequence[str], rows: Sequence[Sequence[object]],
           result: dict, notes: Sequence[str] = ()) -> Path:
    """Prints the table and notes and writes <build>/bench/<name>.json."""
    print("\n== %s ==" % title)
    print(table(headers, rows))
    for n in notes:
        print("  " + n)
    OUT.mkdir(parents=True, exist_ok=True)
    doc = {
        "benchmark": name,
        "title": title,
        "date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
        "machine": machine(),
        "build": str(BUILD),
        "table": {"headers": list(headers), "rows": [list(r) for r in rows]},
        "notes": list(notes),
        **result,
    }
    path = OUT / (name + ".json")
    path.write_text(json.dumps(doc, indent=1) + "\n", encoding="utf-8")
    print("  -> %s" % path)
    return path


def main(body) -> int:
    """Runs a benchmark body; a BenchError ends it with exit 1 and its message."""
    try:
        body()
    except BenchError as err:
        print("benchmark failed: %s" % err, file=sys.stderr)
        return 1
    return 0
