"""The setup executable as a file: a 64-bit GUI image that needs nothing but
Windows' own libraries, starts through the wide GUI entry, carries its
resources, and (in a release build) no test hook."""

from __future__ import annotations

import re
import struct
import subprocess
from pathlib import Path

import pytest

from conftest import REPO, SETUP_EXE, need

RELEASE_EXE = REPO / "build" / "release" / "StonewakeBuilder-Setup.exe"
HOOK = "STONEWAKE_TEST_STATUS_LOG".encode("utf-16-le")
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "shell32.dll", "winhttp.dll",
               "bcrypt.dll", "advapi32.dll", "msvcrt.dll", "ucrtbase.dll", "ntdll.dll", "ole32.dll",
               "shlwapi.dll"}
# MinGW's GUI start-up: sub rsp,28h; mov rax,[rip+x] (the app type); mov dword [rax],1 (GUI); call
GUI_STARTUP = re.compile(rb"\x48\x83\xec\x28\x48\x8b\x05....\xc7\x00\x01\x00\x00\x00\xe8", re.S)


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


def test_a_64_bit_gui_image_with_the_wide_gui_entry_that_needs_only_windows_libraries(exe):
    image = Image(exe.read_bytes())
    assert (image.machine, image.magic, image.subsystem) == (0x8664, 0x20B, 2)
    imports = image.imports()
    assert imports and {dll.lower() for dll in imports} <= SYSTEM_DLLS, sorted(imports)
    assert {"kernel32.dll", "user32.dll", "winhttp.dll"} <= {dll.lower() for dll in imports}
    # The entry is the C runtime's wide GUI start-up, which calls wWinMain.
    assert image.section_of(image.entry) == ".text"
    at = image.offset(image.entry)
    assert GUI_STARTUP.match(image.data, at), image.data[at:at + 24].hex()
    crt = [names for dll, names in imports.items() if dll.lower() == "msvcrt.dll"]
    assert crt and {"__wgetmainargs", "_wcmdln"} <= set(crt[0])
    assert "__getmainargs" not in crt[0] and "_acmdln" not in crt[0]


def test_its_resources_pass_the_check(exe):
    done = subprocess.run(["/usr/bin/python3", str(REPO / "res" / "check_resources.py"), str(exe)],
                          capture_output=True, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.strip().endswith(b"resources ok")


def test_it_is_small_and_only_the_test_build_has_the_status_log_hook(exe):
    assert (HOOK in exe.read_bytes()) == (exe == SETUP_EXE)
    size = exe.stat().st_size
    print("%s: %d bytes (%.1f KiB)" % (exe, size, size / 1024))
    assert size < 200 * 1024
