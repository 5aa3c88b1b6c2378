"""The setup executable as a file: a 64-bit GUI image that needs nothing but
Windows' own libraries, starts through the wide GUI entry, carries its
resources, and (in a release build) no test hook."""

from __future__ import annotations

import shutil
import struct
import subprocess
import time
from pathlib import Path

import pytest

import make_release as mr
from conftest import DOUBLES, E2E, REPO, SETUP_EXE, fresh_dir, need, node_folder_name
from test_install import part_path

RELEASE_EXE = REPO / "build" / "release" / "StonewakeBuilder-Setup.exe"
HOOK = "STONEWAKE_TEST_STATUS_LOG".encode("utf-16-le")
# MinGW's GUI start-up: sub rsp,28h; mov rax,[rip+x] (the app type); mov dword [rax],1 (GUI); call
class Image:
    """The parts of a PE32+ file these tests look at."""

    def __init__(self, data: bytes):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[:2] == b"MZ" and data[pe:pe + 4] == b"PE\0\0"
        self.machine, sections, _, _, _, opt_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        self.entry = struct.unpack_from("<I", data, opt + 16)[0]
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        self.import_rva = struct.unpack_from("<I", data, opt + 112 + 8)[0]   # data directory 1
        self.sections = []
        for i in range(sections):
            s = opt + opt_size + 40 * i
            name = data[s:s + 8].rstrip(b"\0").decode()
            vsize, rva, raw_size, raw = struct.unpack_from("<IIII", data, s + 8)
            self.sections.append((name, rva, max(vsize, raw_size), raw))

    def offset(self, rva: int) -> int:
        for _, start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("RVA %#x is in no section" % rva)

    def section_of(self, rva: int) -> str:
        return next(name for name, start, size, _ in self.sections if start <= rva < start + size)

    def cstr(self, rva: int) -> str:
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii")

    def imports(self) -> dict[str, list[str]]:
        """DLL name -> the names it is asked for (ordinals as '#n')."""
        out = {}
        at = self.offset(self.import_rva)
        while True:
            lookup, _, _, name, first = struct.unpack_from("<IIIII", self.data, at)
            if not name:
                return out
            names = []
            thunk = self.offset(lookup or first)
            while True:
                value = struct.unpack_from("<Q", self.data, thunk)[0]
                if not value:
                    break
                names.append("#%d" % (value & 0xFFFF) if value >> 63 else self.cstr((value & 0x7FFFFFFF) + 2))
                thunk += 8
            out[self.cstr(name)] = names
            at += 20


def exes():
    yield pytest.param(SETUP_EXE, id="test-build")
    yield pytest.param(RELEASE_EXE, id="release-build",
                       marks=pytest.mark.skipif(not RELEASE_EXE.exists(), reason="no release build"))


@pytest.fixture(params=list(exes()))
def exe(request) -> Path:
    return need(request.param, "the setup")


def test_a_64_bit_gui_image_with_the_wide_gui_entry(exe):
    image = Image(exe.read_bytes())
    assert (image.machine, image.magic, image.subsystem) == (0x8664, 0x20B, 2)
    imports = image.imports()
    # Every other system DLL is loaded at run time, on the road that calls it.
    assert {dll.lower() for dll in imports} == {"kernel32.dll", "msvcrt.dll"}
    # The entry is the setup's own, in its code: it reads the wide command line
    # (never the ANSI one) and hands wWinMain its tail; the C runtime's
    # start-up and its argument vectors are not linked in.
    assert image.section_of(image.entry) == ".text"
    kernel = [names for dll, names in imports.items() if dll.lower() == "kernel32.dll"][0]
    assert "GetCommandLineW" in kernel and "GetCommandLineA" not in kernel
    crt = [names for dll, names in imports.items() if dll.lower() == "msvcrt.dll"][0]
    assert not {"__wgetmainargs", "_wcmdln", "__getmainargs", "_acmdln"} & set(crt), crt

def check_resources(exe: Path) -> subprocess.CompletedProcess:
    return subprocess.run(["/usr/bin/python3", str(REPO / "res" / "check_resources.py"), str(exe)],
                          capture_output=True, timeout=60)


def test_its_resources_and_imports_pass_the_check(exe):
    done = check_resources(exe)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.strip().endswith(b"resources ok")


# One fault each, as bytes of the same length replaced once: (found, replacement, message).
CHECK_FAULTS = {
    "import-no-known-dll": (b"KERNEL32.dll\0", b"WINHTTP.dll\0\0", b"imports: WINHTTP.dll is no KnownDLL"),
    "icon-png-size": (b"IHDR\0\0\1\0\0\0\1\0", b"IHDR\0\0\1\1\0\0\1\0",
                      b"icon image 7: PNG is 257x256, expected 256x256"),
    "version-string": ("OriginalFilename".encode("utf-16-le"), "OriginalFileName".encode("utf-16-le"),
                       b"version: strings "),
    "manifest-level": (b'"asInvoker"', b'"asInvokeX"', b"requestedExecutionLevel level='asInvokeX'"),
}


@pytest.mark.parametrize("fault", CHECK_FAULTS)
def test_the_check_refuses_a_fault(exe, tmp_path, fault):
    found, replacement, message = CHECK_FAULTS[fault]
    data = exe.read_bytes()
    assert data.count(found) == 1
    bad = tmp_path / exe.name
    bad.write_bytes(data.replace(found, replacement))
    done = check_resources(bad)
    assert done.returncode == 1
    assert message in done.stderr, done.stderr


def test_it_is_small_and_only_the_test_build_has_the_status_log_hook(exe):
    assert (HOOK in exe.read_bytes()) == (exe == SETUP_EXE)
    size = exe.stat().st_size
    print("%s: %d bytes (%.1f KiB)" % (exe, size, size / 1024))
    assert size < 200 * 1024


# ---------------------------------------------------------------- planted DLLs
# Wine searches these two as Windows does: the program's own folder first.
AS_WINDOWS = {"WINEDLLOVERRIDES": "winhttp=n,b;bcrypt=n,b"}
PLANTED = ("winhttp.dll", "bcrypt.dll")


@pytest.mark.parametrize("road", ["cli-install", "window-install", "launch", "launcher", "play"])
def test_a_dll_planted_beside_the_setup_is_never_loaded(request, wine, host, home, publish, run_setup, road):
    """A web page may drop winhttp.dll or bcrypt.dll into the Downloads folder
    the setup runs from: no road of the setup loads them."""
    folder = fresh_dir(E2E / "planted" / node_folder_name(request.node))
    for name in PLANTED:
        shutil.copy(need(DOUBLES / "planted.dll", "the planted DLL double"), folder / name)
    trace = folder / "loaded.txt"
    env = dict(AS_WINDOWS, STONEWAKE_PLANTED_LOG=wine.to_win(trace),
               STONEWAKE_RECORD_SLEEP_MS="0", TARNWICK_NO_UPDATE_CHECK=None)
    exe = folder / ("stonewake.exe" if road in ("launcher", "play") else SETUP_EXE.name)
    shutil.copy(SETUP_EXE, exe)
    if road in ("launcher", "play"):
        (folder / "bin").mkdir()
        shutil.copy(DOUBLES / "recorder.exe", folder / "bin" / "stonewake.exe")
    if road == "launch":
        ready_builder_in(home.path, "v1")
    else:
        publish("v1")
    tail = {"cli-install": "--cli", "window-install": "", "launch": "--cli --launch",
            "launcher": "", "play": '--play "%s"' % wine.to_win(folder)}[road]

    r = run_setup(tail, exe=exe, env=env, timeout=90)

    assert not trace.exists(), trace.read_text()
    assert (r.rc, r.errors) == (0, [])
    started = wait_for_records(run_setup)
    want = folder / "bin" / "stonewake.exe" if road in ("launcher", "play") else \
        home.path / "versions" / "v1" / "StonewakeBuilder" / "StonewakeBuilder.exe"
    assert [rec["exe"] for rec in started] == [wine.to_win(want)]
    assert (host.requests == []) == (road in ("launch", "launcher", "play"))


NOT_LOADED = ("Could not load Windows' %s from the system folder (Windows error 126). Windows' system files may "
              "need repair: open Command Prompt as administrator, run sfc /scannow, then run the setup again.")


@pytest.mark.parametrize("env, message", [
    ({"WINEDLLOVERRIDES": "winhttp="}, NOT_LOADED % "winhttp.dll"),    # Wine: disabled
    ({"WINEDLLOVERRIDES": "bcrypt="}, NOT_LOADED % "bcrypt.dll"),
    # Wine's CNG always has SHA-256: the test build asks it for one it lacks (not implemented)
    ({"STONEWAKE_TEST_NO_SHA256": "1"},
     "Could not set up SHA-256 hashing (BCryptOpenAlgorithmProvider, Windows error 0xc0000002)."),
], ids=["winhttp", "bcrypt", "no-sha256"])
def test_a_system_library_that_fails_ends_the_run_at_once_with_a_message(host, home, publish, run_setup, env,
                                                                         message):
    rel = publish("v1")
    r = run_setup("--cli", env=env)
    assert r.rc == 1 and r.records == []
    assert r.errors == [message]
    assert host.requests_for(part_path(rel.parts[0])) == []      # at once, no part asked for


def ready_builder_in(home: Path, tag: str) -> None:
    """An installed, complete Builder (the recorder) that current.txt names."""
    exe = home / "versions" / tag / "StonewakeBuilder" / "StonewakeBuilder.exe"
    exe.parent.mkdir(parents=True)
    shutil.copy(DOUBLES / "recorder.exe", exe)
    for name in mr.BUILDER_FILES:
        (exe.parent / name).write_bytes(name.encode() + b"\n")
    (home / "versions" / tag / "installed.txt").write_bytes(tag.encode())
    (home / "versions" / "current.txt").write_bytes(tag.encode())


def wait_for_records(run_setup, timeout: float = 10) -> list[dict]:
    """In window mode and on the launcher road the setup does not wait for
    what it started, which may record after the setup ended."""
    end = time.monotonic() + timeout
    while not run_setup.records() and time.monotonic() < end:
        time.sleep(0.05)
    time.sleep(0.3)   # a second start would show by now
    return run_setup.records()


# The libraries the fast roads never call, disabled (Wine starts a program
# without a disabled DLL only if nothing imports it).
UNUSED_ON_FAST_ROADS = {"WINEDLLOVERRIDES": "user32=;gdi32=;comctl32=;shell32=;winhttp=;bcrypt="}


@pytest.mark.parametrize("road", ["launch", "launcher", "play"])
def test_the_fast_roads_load_no_window_shell_http_or_hashing_library(request, wine, host, home, run_setup, road):
    folder = fresh_dir(E2E / "fast-roads" / node_folder_name(request.node))
    exe = folder / ("stonewake.exe" if road in ("launcher", "play") else SETUP_EXE.name)
    shutil.copy(SETUP_EXE, exe)
    if road in ("launcher", "play"):
        (folder / "bin").mkdir()
        shutil.copy(DOUBLES / "recorder.exe", folder / "bin" / "stonewake.exe")
    ready_builder_in(home.path, "v1")
    tail = {"launch": "--cli --launch", "launcher": "", "play": '--play "%s"' % wine.to_win(folder)}[road]

    r = run_setup(tail, exe=exe, env=dict(UNUSED_ON_FAST_ROADS, STONEWAKE_RECORD_SLEEP_MS="0"), timeout=90)

    assert (r.rc, r.errors) == (0, [])
    want = folder / "bin" / "stonewake.exe" if road == "play" else \
        home.path / "versions" / "v1" / "StonewakeBuilder" / "StonewakeBuilder.exe"
    assert [rec["exe"] for rec in wait_for_records(run_setup)] == [wine.to_win(want)]
    assert host.requests == []
