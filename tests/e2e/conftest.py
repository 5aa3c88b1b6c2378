"""Fixtures for end-to-end tests of the setup under Wine.

Everything lives under the build folder (env STONEWAKE_BUILD_DIR, default
build/test in the repository):

    StonewakeBuilder-Setup.exe   the program under test
    doubles/*.exe                recorder, spawn, winprobe, tar, trustca
    certs/, prefix/              made by tests/harness/prefix.sh
    e2e/host-root/               what the release host serves
    e2e/homes/<test>/            each test's Builder home
    e2e/runs/<test>/             each test's outputs, status logs and records

Fixtures: build_dir, certs, wine, tar_double, small_disk, host, home,
run_setup, publish, probe. The prefix's system32\tar.exe is Windows' own tar (libarchive's
bsdtar); a test that needs a fault only the tar double can play takes the
tar_double fixture.
Only loopback networking is used; nothing outside the build folder is touched.
Missing programs skip the tests that need them, or fail them when
STONEWAKE_E2E_STRICT=1.
"""

from __future__ import annotations

import contextlib
import dataclasses
import json
import os
import pwd
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Callable

import pytest

REPO = Path(__file__).resolve().parents[2]
HARNESS = REPO / "tests" / "harness"
sys.path.insert(0, str(REPO / "tests" / "host"))

import make_release  # noqa: E402
from release_host import ReleaseHost  # noqa: E402

BUILD = Path(os.environ.get("STONEWAKE_BUILD_DIR", REPO / "build" / "test")).absolute()
DOUBLES = BUILD / "doubles"
SETUP_EXE = BUILD / "StonewakeBuilder-Setup.exe"
E2E = BUILD / "e2e"


def built_release_host(build: Path) -> str:
    """The release host compiled into the setup of this build (host:port)."""
    cache = build / "CMakeCache.txt"
    if cache.exists():
        for line in cache.read_text(errors="replace").splitlines():
            if line.startswith("STONEWAKE_RELEASE_HOST:"):
                return line.split("=", 1)[1].strip()
    return "localhost:47443"


RELEASE_HOST = built_release_host(BUILD)
HOST_PORT = int(RELEASE_HOST.rsplit(":", 1)[1]) if ":" in RELEASE_HOST else 443


def need(path: Path, what: str) -> Path:
    """Skips the test (fails it with STONEWAKE_E2E_STRICT=1) if `path` is missing."""
    if not path.exists():
        msg = "%s is not built (%s)" % (what, path)
        if os.environ.get("STONEWAKE_E2E_STRICT") == "1":
            pytest.fail(msg)
        pytest.skip(msg)
    return path


def node_folder_name(node) -> str:
    """A file-name-safe, bounded name for a test node."""
    name = re.sub(r"[^A-Za-z0-9._-]+", "_", node.name).strip("_.")
    return name[:100] or "test"


def unix_processes(name: bytes, env_entry: str) -> list[int]:
    """The Unix processes whose command line holds `name` and whose
    environment holds exactly `env_entry` (Wine shows a Windows program's
    command line in /proc)."""
    mark, found = env_entry.encode(), []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            cmdline = Path("/proc", entry, "cmdline").read_bytes()
            environ = Path("/proc", entry, "environ").read_bytes()
        except OSError:
            continue
        if name in cmdline and mark in environ.split(b"\0") and int(entry) != os.getpid():
            found.append(int(entry))
    return found


def fresh_dir(path: Path) -> Path:
    if path.exists():
        shutil.rmtree(path)
    path.mkdir(parents=True)
    return path


# ---------------------------------------------------------------- starts Wine fails
# Now and then Wine ends a program started from the Unix side (`wine x.exe`)
# with a nonzero code before any line of that program has run, silently. The
# programs the tests start make a mark first thing: the file that
# START_MARK (SPAWN_MARK for spawn.exe itself) names. A run that ended with a
# nonzero code without its mark was never the program's: it is started again
# (at most START_TRIES times in all), and only such a run. spawn.exe does the
# same for the setup it starts (see spawn.cpp).
START_MARK = "STONEWAKE_TEST_START_MARK"
START_TRIES = 5
FAILED_STARTS: list[str] = []   # each start made again, for the summary at the end
_SESSION_START = time.time()
_MARKING: dict[tuple[str, int, int], bool] = {}


def writes_start_mark(exe: Path) -> bool:
    """Whether `exe` makes the START_MARK file first thing (the setup's test
    builds and the doubles started from the Unix side do): read from its
    bytes, which then hold the variable's name."""
    try:
        st = exe.stat()
    except OSError:
        return False
    key = (str(exe), st.st_size, st.st_mtime_ns)
    if key not in _MARKING:
        _MARKING[key] = START_MARK.encode("utf-16-le") in exe.read_bytes()
    return _MARKING[key]


class WineProcess:
    """`wine args...` started from the Unix side with its output in files
    (stdout, stderr: paths, truncated at each start); poll(), wait() and
    kill() as a Popen's. For a program that makes `mark` first thing, a run
    that ended with a code above 0 without it is started again: Wine failed
    that start before the program ran, so nothing the program does is lost or
    done twice. A run the test ended (kill), one that made its mark, and any
    run of a program without a mark (`mark` None) is the program's own."""

    def __init__(self, args: list[str], env: dict, mark: Path | None, stdout: Path, stderr: Path, cwd: Path):
        self.args, self.env, self.mark, self.stdout, self.stderr, self.cwd = args, env, mark, stdout, stderr, cwd
        self.starts = 0
        self._killed = False
        self._start()

    def _start(self) -> None:
        if self.mark:
            self.mark.unlink(missing_ok=True)
        with open(self.stdout, "wb") as out, open(self.stderr, "wb") as err:
            self._proc = subprocess.Popen(self.args, env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                                          stderr=err, cwd=str(self.cwd))
        self.starts += 1

    def _settled(self, rc: int) -> int | None:
        if rc > 0 and self.mark and not self._killed and not self.mark.exists() and self.starts < START_TRIES:
            FAILED_STARTS.append("%s: start %d ended with %d before its first line (stderr %r)" % (
                " ".join(map(str, self.args)), self.starts, rc, self.stderr.read_bytes()[-300:]))
            self._start()
            return None
        return rc

    @property
    def pid(self) -> int:
        return self._proc.pid

    def poll(self) -> int | None:
        rc = self._proc.poll()
        return None if rc is None else self._settled(rc)

    def wait(self, timeout: float | None = None) -> int:
        end = None if timeout is None else time.monotonic() + timeout
        while True:
            left = None if end is None else max(0.0, end - time.monotonic())
            rc = self._settled(self._proc.wait(left))
            if rc is not None:
                return rc

    def kill(self) -> None:
        self._killed = True
        self._proc.kill()


def pytest_generate_tests(metafunc) -> None:
    """STONEWAKE_E2E_REPEAT=N runs every selected test N times, each time with
    fresh fixtures (its ids end in -r0 to -r<N-1>): the loop that shows
    whether a test ever fails by chance."""
    repeat = int(os.environ.get("STONEWAKE_E2E_REPEAT", "1"))
    if repeat > 1:
        metafunc.fixturenames.append("e2e_round")
        metafunc.parametrize("e2e_round", range(repeat), ids=lambda k: "r%d" % k)


def pytest_terminal_summary(terminalreporter) -> None:
    """Every start made again, the harness's and spawn.exe's (its runs' starts.log)."""
    made = FAILED_STARTS + [line for log in sorted(E2E.glob("runs/*/starts.log"))
                            if log.stat().st_mtime >= _SESSION_START
                            for line in log.read_text(errors="replace").splitlines()]
    if made:
        terminalreporter.write_line("Wine failed %d program starts, each made again:" % len(made))
        for line in made:
            terminalreporter.write_line("  " + line)


# ---------------------------------------------------------------- Wine
class Wine:
    """The test prefix and path helpers. Wine maps Z: to the Unix root."""

    def __init__(self, build: Path):
        self.build = build
        self.prefix = build / "prefix"
        self.drive_c = self.prefix / "drive_c"
        self.system32 = self.drive_c / "windows" / "system32"
        self.env = dict(os.environ, WINEPREFIX=str(self.prefix), WINEDEBUG="-all", WINEARCH="win64")
        self.user, self.local_appdata = self._find_user()
        self._desktop: subprocess.Popen | None = None

    def _find_user(self) -> tuple[str, Path]:
        users = self.drive_c / "users"
        names = [pwd.getpwuid(os.getuid()).pw_name, os.environ.get("USER") or ""]
        names += sorted(p.name for p in users.iterdir() if p.name != "Public") if users.is_dir() else []
        for name in names:
            local = users / name / "AppData" / "Local"
            if name and local.is_dir():
                return name, local
        raise RuntimeError("no user profile in %s" % users)

    @staticmethod
    def to_win(path: str | os.PathLike) -> str:
        """Unix path -> Windows path through Z: (Z:\\work\\...)."""
        return "Z:" + str(Path(path).absolute()).replace("/", "\\")

    def from_win(self, win: str) -> Path:
        """Windows path on a drive of the prefix -> Unix path."""
        m = re.match(r"^([A-Za-z]):(.*)$", win)
        if not m:
            raise ValueError("not a drive path: %r" % win)
        drive = (self.prefix / "dosdevices" / (m.group(1).lower() + ":")).resolve()
        rest = m.group(2).replace("\\", "/").lstrip("/")
        return drive / rest if rest else drive

    def run(self, args: list[str], env: dict | None = None, timeout: float = 60) -> subprocess.CompletedProcess:
        """`wine args...` in the prefix; output captured. Output goes through
        files, not pipes: Wine's background processes (services, explorer)
        inherit the first program's handles and would keep a pipe open. A
        program that makes the start mark is started again when Wine failed
        its start (WineProcess)."""
        with tempfile.TemporaryDirectory(dir=self.build) as folder:
            files = Path(folder)
            e = dict(self.env, **(env or {}))
            mark = files / "started" if writes_start_mark(Path(str(args[0]))) else None
            if mark:
                e[START_MARK] = self.to_win(mark)
            proc = WineProcess(["wine", *map(str, args)], e, mark, files / "out", files / "err", files)
            try:
                rc = proc.wait(timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                raise
            return subprocess.CompletedProcess(proc.args, rc, (files / "out").read_bytes(),
                                               (files / "err").read_bytes())

    def taskkill(self, image: str) -> None:
        """Ends every process of that image name in the prefix."""
        self.run(["taskkill", "/f", "/im", image], timeout=30)

    def hold_desktop(self) -> None:
        """Keeps the prefix's desktop open until release_desktop() (or the
        session's end): Wine closes a desktop a second after its last program
        ended, and a program starting in that second loses its windows with it
        (a setup then ends before its first line). desktop.exe holds it while
        its standard input stays open; its start mark says it holds it."""
        with tempfile.TemporaryDirectory(dir=self.build) as folder:
            mark = Path(folder) / "held"
            for _ in range(START_TRIES):
                self._desktop = subprocess.Popen(
                    ["wine", str(DOUBLES / "desktop.exe")], env=dict(self.env, **{START_MARK: self.to_win(mark)}),
                    stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=str(self.build))
                deadline = time.monotonic() + 60
                while not mark.exists() and self._desktop.poll() is None and time.monotonic() < deadline:
                    time.sleep(0.02)
                if mark.exists():
                    return
                self.release_desktop()
        raise RuntimeError("desktop.exe never held the desktop")

    def release_desktop(self) -> None:
        holder, self._desktop = self._desktop, None
        if holder:
            holder.stdin.close()
            try:
                holder.wait(30)
            except subprocess.TimeoutExpired:
                holder.kill()
                holder.wait()

    def restart_server(self) -> None:
        """Ends every process of the prefix (`wineserver -k`), then starts its
        server again as persistent, as the session had it (a server that ends
        by itself while the next program starts made that start fail, Windows
        error 1359), and holds the desktop again."""
        quiet = dict(env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL, timeout=60)
        subprocess.run(["wineserver", "-k"], **quiet)
        subprocess.run(["wineserver", "-w"], **quiet)
        self.release_desktop()
        # A program that was being created when the server went (a tar a
        # killed setup was starting) is unknown to it and would wait for it
        # for good, seen by every later test of the prefix: it goes too.
        for pid in unix_processes(b".exe", "WINEPREFIX=" + self.env["WINEPREFIX"]):
            with contextlib.suppress(OSError):
                os.kill(pid, signal.SIGKILL)
        subprocess.run(["wineserver", "-p"], **quiet)
        self.hold_desktop()


@pytest.fixture(scope="session")
def build_dir() -> Path:
    BUILD.mkdir(parents=True, exist_ok=True)
    return BUILD


@pytest.fixture(scope="session")
def certs(build_dir) -> Path:
    """The test certificates (certs.sh; made once)."""
    subprocess.run(["sh", str(HARNESS / "certs.sh"), str(build_dir)], check=True)
    return build_dir / "certs"


@pytest.fixture(scope="session")
def wine(build_dir, certs) -> Wine:
    """The prepared prefix, with a persistent wineserver for the session."""
    if not shutil.which("wine"):
        pytest.skip("wine is not installed")
    with tempfile.TemporaryFile(dir=build_dir) as log:   # a file: see Wine.run
        done = subprocess.run(["sh", str(HARNESS / "prefix.sh"), str(build_dir)],
                              stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, timeout=300)
        log.seek(0)
        output = log.read().decode("utf-8", "replace")
    if done.returncode:
        pytest.fail("prefix.sh failed:\n" + output)
    w = Wine(build_dir)
    if os.readlink(w.prefix / "dosdevices" / "z:") != "/":
        pytest.fail("drive Z: of the prefix is not the Unix root")
    # A persistent server makes each program start fast. Neither it nor Wine's
    # background processes may hold a handle of ours (a pipe to pytest would
    # stay open as long as they live). Another user of the prefix (a lingering
    # server, CTest) is left alone: wait a little for it to end, else share it.
    quiet = dict(env=w.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL)
    ours = False
    for _ in range(2):
        ours = subprocess.run(["wineserver", "-p"], **quiet).returncode == 0
        if ours:
            break
        try:
            subprocess.run(["wineserver", "-w"], timeout=15, **quiet)
        except subprocess.TimeoutExpired:
            break
    subprocess.run(["wine", "cmd", "/c", "exit"], timeout=120, **quiet)
    w.hold_desktop()
    yield w
    w.release_desktop()
    if ours:
        subprocess.run(["wineserver", "-k"], **quiet)


@pytest.fixture
def tar_double(wine):
    """The tar double as the prefix's system32\tar.exe for this test only, for
    the faults only it can play (STONEWAKE_TAR_FAIL, _FLOOD, _BADUTF8, _SLOW_MS)
    and its log (STONEWAKE_TAR_LOG); Windows' own tar is always put back."""
    double = need(DOUBLES / "tar.exe", "the tar double")
    tar = wine.system32 / "tar.exe"
    real = wine.system32 / "tar.exe.real-e2e"
    os.replace(tar, real)
    try:
        shutil.copyfile(double, tar)
        yield
    finally:
        os.replace(real, tar)


class SmallDisk:
    """A tmpfs of a few MiB mounted at drive_c\\fulldisk of the prefix."""

    def __init__(self, wine: Wine, mib: int):
        self.path = wine.drive_c / "fulldisk"
        self.win = "C:\\fulldisk"
        self.path.mkdir(exist_ok=True)
        while os.path.ismount(self.path):    # left by a run that was killed
            subprocess.run(["umount", "-l", str(self.path)], check=True)
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dm" % mib, "stonewake-e2e",
                               str(self.path)], capture_output=True)
        if done.returncode:
            need(self.path / "no-tmpfs", "a tmpfs (mount as root: %s)" % done.stderr.decode(errors="replace"))

    def resize(self, mib: int) -> None:
        """Frees space (or takes it away) without touching what is on it."""
        subprocess.run(["mount", "-o", "remount,size=%dm" % mib, str(self.path)], check=True)

    def unmount(self) -> None:
        if subprocess.run(["umount", str(self.path)], capture_output=True).returncode:
            subprocess.run(["umount", "-l", str(self.path)], check=True)
        self.path.rmdir()


@pytest.fixture
def small_disk(wine):
    """small_disk(mib): a tmpfs of that size under the prefix's drive_c for
    this test (see SmallDisk); unmounted afterwards, also after a failure."""
    disks = []

    def mount(mib: int) -> SmallDisk:
        disks.append(SmallDisk(wine, mib))
        return disks[-1]
    yield mount
    for disk in disks:
        disk.unmount()


# ---------------------------------------------------------------- release host
_HOSTS: list[ReleaseHost] = []   # the session's host, once a test asked for it


def _prepare_host(h: ReleaseHost) -> ReleaseHost:
    h.reset()
    h.root = fresh_dir(E2E / "host-root")
    if not h.running:          # a test may have stopped it
        h.start()
    return h


@pytest.fixture(scope="session")
def _session_host(certs):
    (E2E / "host-root").mkdir(parents=True, exist_ok=True)
    h = ReleaseHost(E2E / "host-root", port=HOST_PORT, cert=certs / "server.pem",
                    key=certs / "server.key", http_port=0)
    h.start()
    _HOSTS.append(h)
    yield h
    _HOSTS.remove(h)
    h.stop()


@pytest.fixture(autouse=True)
def _fresh_host_state():
    """Every test starts with a listening host that has no scripts, no log and
    an empty ROOT, whether or not it asks for the host."""
    for h in _HOSTS:
        _prepare_host(h)
    yield


@pytest.fixture
def host(_session_host) -> ReleaseHost:
    """The session's release host on 47443 (plain HTTP on host.http_port),
    fresh for this test: no scripts, no log, an empty ROOT. A test may
    stop() it (nothing listening) or point host.root elsewhere; the next
    test gets it back as it was."""
    return _prepare_host(_session_host)


@pytest.fixture
def publish(host, build_dir) -> Callable[..., make_release.Release]:
    """publish(tag, latest=True, **kw): a standard release on the host whose
    Builder is the recorder double. kw goes to make_release.standard_release
    (tools, engine, builder_version, extra_parts, eol, extra_lines,
    setup_list, edit_parts)."""
    def _publish(tag: str, latest: bool = True, **kw) -> make_release.Release:
        exe = kw.pop("builder_exe", None) or need(DOUBLES / "recorder.exe", "the recorder double")
        kw.setdefault("host", RELEASE_HOST)
        return make_release.standard_release(host.root, tag, exe, latest=latest, **kw)
    return _publish


# ---------------------------------------------------------------- homes and runs
@dataclasses.dataclass
class Folder:
    path: Path
    win: str

    def __fspath__(self) -> str:
        return str(self.path)

    def __truediv__(self, other) -> Path:
        return self.path / other


@pytest.fixture
def home(request, wine) -> Folder:
    """A fresh, empty Builder home for this test."""
    path = fresh_dir(E2E / "homes" / node_folder_name(request.node))
    return Folder(path, wine.to_win(path))


def parse_status(data: bytes) -> list[tuple[int, str]]:
    """`<ms>\\t<text>\\n` lines; a last line without its end is still being
    written and is left out."""
    out = []
    for line in data.split(b"\n")[:-1]:
        ms, sep, text = line.partition(b"\t")
        if not sep:
            raise AssertionError("status line without a tab: %r" % line)
        out.append((int(ms), text.decode("utf-8")))
    return out


def parse_records(data: bytes) -> list[dict]:
    return [json.loads(line) for line in data.split(b"\n")[:-1] if line.strip()]


@dataclasses.dataclass
class SetupResult:
    rc: int
    stdout: bytes
    stderr: bytes
    status: list[tuple[int, str]]
    records: list[dict]
    cmdline: str
    run_dir: Path

    @property
    def errors(self) -> list[str]:
        """Messages of the "error <message>" lines on stderr."""
        return [l[6:] for l in self.stderr.decode("utf-8", "replace").splitlines() if l.startswith("error ")]

    @property
    def texts(self) -> list[str]:
        return [t for _, t in self.status]


class SetupRun:
    """A setup started through spawn.exe; wait() gives its SetupResult."""

    def __init__(self, runner: "Runner", n: int, proc: WineProcess, cmdline: str,
                 timeout: float):
        self.runner, self.n, self.proc, self.cmdline, self.timeout = runner, n, proc, cmdline, timeout
        self.files = runner.files(n)

    def status(self) -> list[tuple[int, str]]:
        """Status lines written so far."""
        try:
            return parse_status(self.files["status"].read_bytes())
        except FileNotFoundError:
            return []

    def wait_for_status(self, pred: Callable[[str], bool], timeout: float = 60) -> str:
        """Waits until a status line satisfies pred; returns it."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            for _, text in self.status():
                if pred(text):
                    return text
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        raise AssertionError("no such status line; saw %r (exit code %r)"
                             % ([t for _, t in self.status()], self.proc.poll()))

    def wait(self, timeout: float | None = None) -> SetupResult:
        try:
            rc = self.proc.wait(timeout if timeout is not None else self.timeout)
        except subprocess.TimeoutExpired:
            # In window mode a fatal error waits in a message box for a user:
            # name it, so that such a run reads as the error it is.
            box = self.runner.open_box()
            self.kill()
            raise AssertionError("the setup did not end within %s s; status: %r%s"
                                 % (timeout or self.timeout, [t for _, t in self.status()],
                                    "; message box: %r" % box if box else ""))
        f = self.files
        return SetupResult(
            rc=rc,
            stdout=f["stdout"].read_bytes(),
            stderr=f["stderr"].read_bytes(),
            status=self.status(),
            records=self.runner.records(),
            cmdline=self.cmdline,
            run_dir=self.runner.dir,
        )

    def kill(self) -> None:
        self.proc.kill()
        self.proc.wait(10)
        self.runner.wine.taskkill(self.runner.exe_name)


class Runner:
    """run_setup(args_tail, env=None, exe=None, cwd=None, timeout=120,
    no_stderr=False, no_stdio=False, background=False)

    Runs the setup through spawn.exe with the command line exactly
    "\\"<exe>\\" " + args_tail. env adds variables (None removes one); by
    default TARNWICK_SETUP_BASE is the test's home. Returns a SetupResult,
    or with background=True a SetupRun."""

    def __init__(self, wine: Wine, home: Folder, run_dir: Path):
        self.wine, self.home, self.dir = wine, home, run_dir
        self.count = 0
        self.record_file = run_dir / "record.jsonl"
        self.exe_name = SETUP_EXE.name

    def files(self, n: int) -> dict[str, Path]:
        return {k: self.dir / ("run-%d.%s" % (n, k)) for k in ("stdout", "stderr", "status", "spawned", "started")}

    def open_box(self) -> str | None:
        """The text of a message box of the setup that is waiting for a user."""
        probe = DOUBLES / "winprobe.exe"
        if not probe.exists():
            return None
        try:
            done = self.wine.run([probe, "msgbox", "Stonewake Builder setup", "500", "leave"], timeout=30)
            return json.loads(done.stdout.decode("utf-8")).get("text") if done.returncode == 0 else None
        except (subprocess.TimeoutExpired, ValueError):
            return None

    def records(self) -> list[dict]:
        try:
            return parse_records(self.record_file.read_bytes())
        except FileNotFoundError:
            return []

    def __call__(self, args_tail: str = "", env: dict | None = None, exe: str | os.PathLike | None = None,
                 cwd: str | os.PathLike | None = None, timeout: float = 120, no_stderr: bool = False,
                 no_stdio: bool = False, background: bool = False) -> SetupResult | SetupRun:
        spawn = need(DOUBLES / "spawn.exe", "the spawn double")
        exe_win = self._win(exe if exe is not None else need(SETUP_EXE, "the setup"))
        self.exe_name = exe_win.rsplit("\\", 1)[-1]
        self.count += 1
        n = self.count
        files = self.files(n)
        cmdline = '"%s" %s' % (exe_win, args_tail)
        e = dict(self.wine.env)
        e.update(
            STONEWAKE_TEST_STATUS_LOG=self.wine.to_win(files["status"]),
            STONEWAKE_RECORD=self.wine.to_win(self.record_file),
            TARNWICK_SETUP_BASE=self.home.win,
            SPAWN_CMDLINE=cmdline,
            SPAWN_MARK=self.wine.to_win(files["spawned"]),
            SPAWN_LOG=self.wine.to_win(self.dir / "starts.log"),
        )
        e.pop(START_MARK, None)
        if writes_start_mark(self.wine.from_win(exe_win)):
            e[START_MARK] = self.wine.to_win(files["started"])
        for k in ("SPAWN_CWD", "SPAWN_NO_STDERR", "SPAWN_NO_STDIO"):
            e.pop(k, None)
        if cwd is not None:
            e["SPAWN_CWD"] = self._win(cwd)
        if no_stderr:
            e["SPAWN_NO_STDERR"] = "1"
        if no_stdio:
            e["SPAWN_NO_STDIO"] = "1"
        for k, v in (env or {}).items():
            if v is None:
                e.pop(k, None)
            else:
                e[k] = str(v)
        proc = WineProcess(["wine", str(spawn)], e, files["spawned"], files["stdout"], files["stderr"], self.dir)
        run = SetupRun(self, n, proc, cmdline, timeout)
        return run if background else run.wait()

    def _win(self, p: str | os.PathLike) -> str:
        s = str(p)
        return s if re.match(r"^[A-Za-z]:", s) else self.wine.to_win(s)


@pytest.fixture
def run_setup(request, wine, home) -> Runner:
    """See Runner. Example: r = run_setup("--cli --tag v1"); assert r.rc == 0"""
    return Runner(wine, home, fresh_dir(E2E / "runs" / node_folder_name(request.node)))


@dataclasses.dataclass
class ProbeResult:
    rc: int                 # 0 found (or none seen, for "none"), 1 timeout / seen
    json: Any               # the first JSON document printed, None if none
    lines: list[Any]        # every JSON line printed ("watch" prints many)
    stderr: bytes


@pytest.fixture
def probe(wine) -> Callable[..., ProbeResult]:
    """probe(*args, env=None, timeout=60): runs winprobe.exe with args in the
    prefix (e.g. probe("window", "*", "Stonewake Builder Setup", 5000)) and
    parses its JSON lines. A usage error (exit 2) fails the test."""
    def _probe(*args, env: dict | None = None, timeout: float = 60) -> ProbeResult:
        exe = need(DOUBLES / "winprobe.exe", "the winprobe double")
        done = wine.run([exe, *args], env=env, timeout=timeout)
        if done.returncode not in (0, 1):
            raise AssertionError("winprobe %s: exit %d: %s" % (
                " ".join(map(str, args)), done.returncode, done.stderr.decode("utf-8", "replace")))
        text = done.stdout.decode("utf-8")
        try:
            lines = [json.loads(text)] if text.strip() else []
        except json.JSONDecodeError:  # one document per line
            lines = [json.loads(l) for l in text.splitlines() if l.strip()]
        return ProbeResult(done.returncode, lines[0] if lines else None, lines, done.stderr)
    return _probe
