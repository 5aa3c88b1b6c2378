#!/usr/bin/python3
"""Builds releases for the release host double.

A release is a folder ROOT/releases/<tag>/ holding its zip parts and the setup
list "tarnwick-setup.txt"; ROOT/latest names the latest tag. The setup list:

    tag <tag>
    run StonewakeBuilder/StonewakeBuilder.exe
    part <sha256> <size> <dir> <from> <to> <url>      (one line per part)
    index <sha256> <size> <url>                       (the index of the parts' entries)

Releases are made by the project's release tool, build/tools/stonewake-release
(`make`; STONEWAKE_RELEASE_TOOL names another), exactly as the maintainers make
them: zips are deterministic, so a part built from the same PartSpec under two
tags is byte-identical. What the tool cannot express (a zip with several top
entries or without folder entries, names it refuses, a list with other line
ends or extra lines, edited part lines) is derived from what it made, or
written here.

Typical use:

    rel = standard_release(root, "v1.2.0", "build/test/doubles/recorder.exe", latest=True)
    rel.parts[0].sha256, rel.setup_list

    spec = tool_part("python", "3.12.4")
    write_release(root, "v2", [builder_part("v2", exe), spec], eol="\\r\\n")

CLI:

    make_release.py --root DIR --tag TAG [--builder-exe PE] [--latest]
                    [--eol lf|crlf|cr] [--big-mib N --parts N]
"""

from __future__ import annotations

import argparse
import dataclasses
import hashlib
import io
import json
import os
import re
import shutil
import subprocess
import sys
import time
import urllib.parse
import zipfile
from pathlib import Path
from typing import Callable, Iterable, Mapping, Sequence

SETUP_LIST = "tarnwick-setup.txt"
INDEX = "tarnwick-index.txt"
RUN = "StonewakeBuilder/StonewakeBuilder.exe"
HOST = "localhost:47443"
OWNER_REPO = "Stonewake/Stonewake"
BUILDER_TOP = "StonewakeBuilder-win-x64"
# Files that must sit beside StonewakeBuilder.exe, non-empty.
BUILDER_FILES = (
    "StonewakeBuilder.dll",
    "StonewakeBuilder.deps.json",
    "StonewakeBuilder.runtimeconfig.json",
    "hostfxr.dll",
    "hostpolicy.dll",
    "coreclr.dll",
    "System.Private.CoreLib.dll",
    "WindowsBase.dll",
    "PresentationCore.dll",
    "PresentationFramework.dll",
    "PresentationNative_cor3.dll",
    "wpfgfx_cor3.dll",
)
DEFAULT_TOOLS = (("python", "3.12.4"), ("emsdk", "3.1.64"))
DEFAULT_ENGINE = "2.3.1"
ZIP_TIME = (2024, 5, 1, 12, 0, 0)
EOLS = {"lf": "\n", "crlf": "\r\n", "cr": "\r"}


# ---------------------------------------------------------------- zips
def zip_bytes(files: Mapping[str, bytes], stored: bool = False, dir_entries: bool = True) -> bytes:
    """A deterministic zip of `files` (member name -> content), members in
    name order. With dir_entries, every parent folder gets its own entry,
    as archivers usually write them."""
    names = set(files)
    if dir_entries:
        for name in files:
            parts = name.split("/")[:-1]
            for i in range(1, len(parts) + 1):
                names.add("/".join(parts[:i]) + "/")
    out = io.BytesIO()
    method = zipfile.ZIP_STORED if stored else zipfile.ZIP_DEFLATED
    with zipfile.ZipFile(out, "w", compression=method, compresslevel=None if stored else 6) as zf:
        for name in sorted(names):
            info = zipfile.ZipInfo(name, ZIP_TIME)
            info.create_system = 3
            if name.endswith("/"):
                info.external_attr = (0o40755 << 16) | 0x10
                info.compress_type = zipfile.ZIP_STORED
                zf.writestr(info, b"")
            else:
                info.external_attr = 0o100644 << 16
                info.compress_type = method
                zf.writestr(info, files[name])
    return out.getvalue()


def filler(label: str, size: int) -> bytes:
    """Deterministic, incompressible bytes named by `label`."""
    return hashlib.shake_128(label.encode("utf-8")).digest(size)


# ---------------------------------------------------------------- descriptions
@dataclasses.dataclass
class PartSpec:
    """What goes into one part: its asset name, its zip members and where the
    setup puts it (dir, from, to; "-" for an unused from/to)."""

    asset: str
    files: Mapping[str, bytes]
    dir: str = "."
    frm: str = "-"
    to: str = "-"
    stored: bool = False
    dir_entries: bool = True

    def zip(self) -> bytes:
        return zip_bytes(self.files, stored=self.stored, dir_entries=self.dir_entries)


@dataclasses.dataclass(frozen=True)
class Part:
    """A part as published: use dataclasses.replace() to make a wrong line."""

    asset: str
    sha256: str
    size: int
    dir: str
    frm: str
    to: str
    url: str
    path: Path | None = None

    def line(self) -> str:
        return "part %s %d %s %s %s %s" % (self.sha256, self.size, self.dir, self.frm, self.to, self.url)


@dataclasses.dataclass
class Release:
    tag: str
    folder: Path
    parts: list[Part]
    setup_list: bytes
    run: str = RUN

    @property
    def list_path(self) -> Path:
        return self.folder / SETUP_LIST

    def lines(self) -> list[str]:
        """The standard lines of this release's setup list, without ends."""
        return ["tag " + self.tag, "run " + self.run] + [p.line() for p in self.parts]

    def rewrite_list(self, text: str | bytes | Sequence[str], eol: str = "\n", sign: bool = True,
                     serial: int | None = None) -> bytes:
        """Replaces the published setup list (text as is, or lines joined by
        eol), signed unless `sign` is False."""
        self.setup_list = write_setup_list(self.folder.parent.parent, self.tag, text, eol, sign, serial)
        return self.setup_list

    def asset(self, name: str) -> Path:
        return self.folder / name


# ---------------------------------------------------------------- writing
def asset_url(tag: str, asset: str, host: str = HOST) -> str:
    q = urllib.parse.quote
    return "https://%s/%s/releases/download/%s/%s" % (host, OWNER_REPO, q(tag, safe=""), q(asset, safe=""))


def setup_list_text(tag: str, parts: Iterable[Part], run: str = RUN, eol: str = "\n",
                    extra_lines: Sequence[str] = ()) -> bytes:
    """The setup list: tag, run, one part line each, then extra_lines; every
    line ends in `eol`."""
    lines = ["tag " + tag, "run " + run] + [p.line() for p in parts] + list(extra_lines)
    return "".join(line + eol for line in lines).encode("utf-8")


# ---------------------------------------------------------------- signing
def signing_key() -> Path | None:
    """The publisher key that signs the lists written here: STONEWAKE_LIST_KEY,
    else the test build's own (keys/publisher.key in STONEWAKE_BUILD_DIR, by
    default build/test); None when there is none (a build without keys)."""
    named = os.environ.get("STONEWAKE_LIST_KEY")
    if named:
        return Path(named)
    build = Path(os.environ.get("STONEWAKE_BUILD_DIR") or REPO / "build" / "test")
    key = build / "keys" / "publisher.key"
    return key if key.exists() else None


def der_to_raw(der: bytes) -> bytes:
    """r and s of a DER ECDSA signature (what openssl writes), 32 bytes each."""
    assert der[0] == 0x30
    at, numbers = 2 if der[1] < 0x80 else 3, []
    for _ in range(2):
        assert der[at] == 0x02
        length = der[at + 1]
        numbers.append(int.from_bytes(der[at + 2:at + 2 + length], "big"))
        at += 2 + length
    return b"".join(n.to_bytes(32, "big") for n in numbers)


def sign_list(data: bytes, key: str | os.PathLike, serial: int | None = None, eol: bytes | None = None) -> bytes:
    """The list with "serial <n>" (by default the time in seconds; none when
    negative, for a broken list) and, last, "signature <r s hex>" over every
    byte before that line, signed by `openssl dgst -sha256 -sign` directly.
    The two lines end as the list's lines do (`eol` when it has none)."""
    eol = next((e for e in (b"\r\n", b"\r", b"\n") if e in data), eol or b"\n")
    if data and not data.endswith((b"\n", b"\r")):
        data += eol
    if serial is None or serial >= 0:
        data += b"serial %d" % (int(time.time()) if serial is None else serial) + eol
    der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", str(key)], input=data,
                         capture_output=True, check=True).stdout
    return data + b"signature " + der_to_raw(der).hex().encode() + eol


def write_setup_list(root: str | os.PathLike, tag: str, text: str | bytes | Sequence[str],
                     eol: str = "\n", sign: bool = True, serial: int | None = None) -> bytes:
    """Writes a hand-made setup list into the release folder, signed with
    signing_key() when there is one and `sign`; returns its bytes."""
    if isinstance(text, str):
        data = text.encode("utf-8")
    elif isinstance(text, (bytes, bytearray)):
        data = bytes(text)
    else:
        data = "".join(line + eol for line in text).encode("utf-8")
    key = signing_key()
    signed = any(line.startswith(b"signature ") for line in data.splitlines())
    if sign and key and not signed:   # a list that was signed already is written as it is
        data = sign_list(data, key, serial)
    folder = Path(root) / "releases" / tag
    folder.mkdir(parents=True, exist_ok=True)
    (folder / SETUP_LIST).write_bytes(data)
    return data


def write_part(root: str | os.PathLike, tag: str, spec: PartSpec, host: str = HOST) -> Part:
    data = spec.zip()
    folder = Path(root) / "releases" / tag
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / spec.asset
    path.write_bytes(data)
    return Part(asset=spec.asset, sha256=hashlib.sha256(data).hexdigest(), size=len(data),
                dir=spec.dir, frm=spec.frm, to=spec.to, url=asset_url(tag, spec.asset, host), path=path)


def set_latest(root: str | os.PathLike, tag: str) -> None:
    Path(root).mkdir(parents=True, exist_ok=True)
    (Path(root) / "latest").write_text(tag + "\n", encoding="utf-8")


# ---------------------------------------------------------------- the release tool
REPO = Path(__file__).resolve().parents[2]
_PLAIN = re.compile(r"^[A-Za-z0-9._+-]+$")


def release_tool() -> Path:
    tool = Path(os.environ.get("STONEWAKE_RELEASE_TOOL") or REPO / "build" / "tools" / "stonewake-release")
    if not tool.exists():
        raise FileNotFoundError("the release tool is not built (%s): run scripts/build.sh" % tool)
    return tool


def _tool_top(spec: PartSpec) -> str | None:
    """The single top entry (folder or file) of the part's zip when the tool
    can make that zip from files on disk, else None."""
    if not spec.dir_entries or not spec.files or not _PLAIN.match(spec.asset):
        return None
    if any(not f or re.search(r"\s", f) for f in (spec.dir, spec.frm, spec.to)):
        return None
    names = list(spec.files)
    for name in names:
        pieces = name.split("/")
        if "\\" in name or any(p in ("", ".", "..") for p in pieces):
            return None
    tops = {n.split("/")[0] for n in names}
    top = tops.pop()
    if tops or not _PLAIN.match(top) or (top in spec.files and len(names) > 1):
        return None
    files = set(names)
    if any("/".join(n.split("/")[:i]) in files for n in names for i in range(1, n.count("/") + 1)):
        return None   # a name that is both a file and a folder
    return top


def _tool_make(root: Path, tag: str, specs: Sequence[tuple[int, str, PartSpec]], run: str,
               host: str) -> dict[int, Part] | None:
    """Makes the given parts (index, top, spec) and their setup list with the
    tool; the Parts by index, or None when the tool refuses the tag or run."""
    stage = root / (".make-" + tag)
    shutil.rmtree(stage, ignore_errors=True)
    lines = []
    for i, top, spec in specs:
        for name, data in spec.files.items():
            path = stage / ("p%d" % i) / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data)
        lines.append("%s p%d/%s %s %s %s%s\n" % (spec.asset, i, top, spec.dir, spec.frm, spec.to,
                                                " store" if spec.stored else ""))
    (stage / "parts.txt").write_text("".join(lines), encoding="utf-8")
    out = root / "releases" / tag
    key = signing_key()
    done = subprocess.run([str(release_tool()), "make", "--builder", str(stage), "--parts",
                           str(stage / "parts.txt"), "--host", host, "--tag", tag, "--out", str(out),
                           "--run", run, "--no-check"] + (["--key", str(key)] if key else []),
                          capture_output=True)
    shutil.rmtree(stage, ignore_errors=True)
    if done.returncode == 1 and b"does not accept the tag" in done.stderr:
        return None
    if done.returncode != 0:
        raise RuntimeError("stonewake-release make failed (%d): %s"
                           % (done.returncode, done.stderr.decode("utf-8", "replace")))
    made = [l.split(" ") for l in (out / SETUP_LIST).read_text(encoding="utf-8").splitlines()
            if l.startswith("part ")]
    parts = {}
    for (i, _, spec), fields in zip(specs, made):
        _, sha256, size, d, frm, to, url = fields
        parts[i] = Part(asset=spec.asset, sha256=sha256, size=int(size), dir=d, frm=frm, to=to, url=url,
                        path=out / spec.asset)
    return parts


def _listed_lines(data: bytes) -> bytes:
    """A list the tool wrote, without its index, serial and signature lines."""
    return b"".join(l for l in data.splitlines(keepends=True)
                    if not l.startswith((b"index ", b"serial ", b"signature ")))


def write_release(root: str | os.PathLike, tag: str, specs: Sequence[PartSpec], *,
                  run: str = RUN, eol: str = "\n", extra_lines: Sequence[str] = (),
                  setup_list: str | bytes | None = None,
                  edit_parts: Callable[[list[Part]], list[Part]] | None = None,
                  latest: bool = False, host: str = HOST, index: bool = True) -> Release:
    """Writes every part and the setup list of release `tag` under root.

    The release tool makes the parts and the list; edit_parts may change the
    Part list before the list is written (e.g. a wrong digest, a different
    url); setup_list replaces the list outright. Without `index` the list
    has no index line, as lists made before the index.
    """
    root = Path(root)
    usable, assets = [], set()
    for i, spec in enumerate(specs):
        top = _tool_top(spec)
        if top and spec.asset.lower() not in assets:
            usable.append((i, top, spec))
            assets.add(spec.asset.lower())
    made = _tool_make(root, tag, usable, run, host) if usable else None
    made = made or {}
    parts = [made.get(i) or write_part(root, tag, s, host) for i, s in enumerate(specs)]
    listed = edit_parts(list(parts)) if edit_parts else parts
    text = setup_list_text(tag, listed, run, eol, extra_lines)
    if setup_list is not None:
        data = write_setup_list(root, tag, setup_list)
    elif index and len(made) == len(specs) and _listed_lines((root / "releases" / tag / SETUP_LIST).read_bytes()) == text:
        data = (root / "releases" / tag / SETUP_LIST).read_bytes()   # the list as the tool wrote (and signed) it
    else:
        data = write_setup_list(root, tag, text)
    if latest:
        set_latest(root, tag)
    return Release(tag=tag, folder=Path(root) / "releases" / tag, parts=listed, setup_list=data, run=run)


# ---------------------------------------------------------------- standard parts
def _read_exe(builder_exe: str | os.PathLike | bytes | None) -> bytes:
    if builder_exe is None:
        return b"MZ placeholder: not a runnable program\n"
    if isinstance(builder_exe, (bytes, bytearray)):
        return bytes(builder_exe)
    return Path(builder_exe).read_bytes()


def builder_part(tag: str, builder_exe: str | os.PathLike | bytes | None,
                 version: str | None = None, extra_files: Mapping[str, bytes] | None = None,
                 asset: str | None = None) -> PartSpec:
    """The Builder: StonewakeBuilder-win-x64/ with the exe and its twelve files,
    unpacked into "." and renamed to StonewakeBuilder. The files' content
    depends on `version` (default: the tag); give two tags the same version
    and the same exe for byte-identical content."""
    version = version or tag
    files = {"%s/StonewakeBuilder.exe" % BUILDER_TOP: _read_exe(builder_exe)}
    for name in BUILDER_FILES:
        files["%s/%s" % (BUILDER_TOP, name)] = ("%s of Stonewake Builder %s\n" % (name, version)).encode()
    for name, data in (extra_files or {}).items():
        files["%s/%s" % (BUILDER_TOP, name)] = data
    return PartSpec(asset=asset or "StonewakeBuilder-win-x64-%s.zip" % tag, files=files,
                    dir=".", frm=BUILDER_TOP, to="StonewakeBuilder")


def tool_part(name: str, version: str, files: Mapping[str, bytes] | None = None,
              size: int = 0, stored: bool = False) -> PartSpec:
    """A tool: StonewakeBuilder-<name>-<version>.zip with a top folder <name>/,
    unpacked into StonewakeBuilder/tools. `size` adds an incompressible
    <name>/data.bin of that many bytes."""
    members = dict(files) if files is not None else {
        "bin/%s.exe" % name: ("%s %s program\n" % (name, version)).encode(),
        "lib/README.txt": ("%s %s library\n" % (name, version)).encode() * 8,
        "VERSION": (version + "\n").encode(),
    }
    if size:
        members["data.bin"] = filler("%s-%s" % (name, version), size)
    return PartSpec(asset="StonewakeBuilder-%s-%s.zip" % (name, version),
                    files={"%s/%s" % (name, k): v for k, v in members.items()},
                    dir="StonewakeBuilder/tools", stored=stored)


def engine_part(version: str = DEFAULT_ENGINE) -> PartSpec:
    """A renamed part: engine-<version>/ unpacked into StonewakeBuilder/runtimes
    and renamed to engine."""
    top = "engine-%s" % version
    files = {
        top + "/engine.dll": ("engine %s\n" % version).encode() * 16,
        top + "/data/core.pak": filler("engine-" + version, 4096),
    }
    return PartSpec(asset=top + ".zip", files=files, dir="StonewakeBuilder/runtimes", frm=top, to="engine")


def standard_specs(tag: str, builder_exe, *, tools: Sequence[tuple[str, str]] = DEFAULT_TOOLS,
                   engine: str | None = DEFAULT_ENGINE, builder_version: str | None = None,
                   extra_parts: Sequence[PartSpec] = ()) -> list[PartSpec]:
    specs = [builder_part(tag, builder_exe, builder_version)]
    specs += [tool_part(n, v) for n, v in tools]
    if engine:
        specs.append(engine_part(engine))
    specs += list(extra_parts)
    if len(specs) > 16:
        raise ValueError("a setup list names at most 16 parts")
    return specs


def standard_release(root: str | os.PathLike, tag: str, builder_exe=None, *,
                     tools: Sequence[tuple[str, str]] = DEFAULT_TOOLS,
                     engine: str | None = DEFAULT_ENGINE, builder_version: str | None = None,
                     extra_parts: Sequence[PartSpec] = (), **write_kw) -> Release:
    """The usual release: the Builder, one part per tool, the engine (renamed).
    Tool and engine parts depend only on their versions, so they are
    byte-identical across tags. write_kw goes to write_release (eol,
    extra_lines, setup_list, edit_parts, latest, host, run, index)."""
    specs = standard_specs(tag, builder_exe, tools=tools, engine=engine,
                           builder_version=builder_version, extra_parts=extra_parts)
    return write_release(root, tag, specs, **write_kw)


def big_release(root: str | os.PathLike, tag: str, builder_exe=None, *, total_mib: int = 300,
                parts: int = 16, seed: int = 1, **write_kw) -> Release:
    """A release of about total_mib MiB of incompressible, stored data: the
    Builder plus parts-1 tool parts of equal size ("blob<i>"). The same seed
    gives the same bytes."""
    if not 2 <= parts <= 16:
        raise ValueError("parts must be 2..16")
    each = total_mib * 1024 * 1024 // (parts - 1)
    specs = [builder_part(tag, builder_exe)]
    for i in range(1, parts):
        name = "blob%02d" % i
        specs.append(PartSpec(asset="StonewakeBuilder-%s-s%d.zip" % (name, seed),
                              files={name + "/data.bin": filler("%d-%s" % (seed, name), each)},
                              dir="StonewakeBuilder/tools", stored=True))
    return write_release(root, tag, specs, **write_kw)


def _words(seed: str, size: int) -> bytes:
    """Deterministic text-like bytes: words of a small vocabulary, compressible
    about as source, markup and symbol files are."""
    import random
    rng = random.Random(seed)
    vocab = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz_") for _ in range(rng.randint(2, 11)))
             for _ in range(3000)]
    out, n = [], 0
    while n < size:
        line = " ".join(rng.choice(vocab) for _ in range(rng.randint(3, 14))) + "\n"
        out.append(line)
        n += len(line)
    return "".join(out).encode()[:size]


def builder_like_specs(tag: str, builder_exe=None, *, seed: int = 1, files: int = 15000,
                       large_mib: Sequence[int] = (15, 40, 25, 30, 30, 20, 20)) -> list[PartSpec]:
    """Sixteen parts shaped like the Builder's, deflated: the Builder's runtime
    part, five tool parts and ten renamed runtime parts, holding `files` small
    files in all (four in five text-like and compressible, one in five not,
    512 B to 24 KiB) and a few large incompressible files (large_mib, one per
    part from the second on). The same seed gives the same bytes."""
    base = _words("%d-text" % seed, 1 << 20)
    tools = ("python", "emsdk", "cpm", "third_party", "wgpu-native")
    renamed = ("engine", "shaders", "templates", "samples", "fonts", "docs", "locales", "icons", "audio",
               "physics")
    builder = builder_part(tag, builder_exe)
    layouts = [(builder, BUILDER_TOP, "runtime")]
    for name in tools:
        layouts.append((tool_part(name, "%d.0" % seed, files={}), name, "lib"))
    for name in renamed:
        top = "%s-%d.0" % (name, seed)
        layouts.append((PartSpec(asset=top + ".zip", files={}, dir="StonewakeBuilder/runtimes", frm=top,
                                 to=name), top, "data"))
    weights = [3] + [2] * len(tools) + [1] * len(renamed)   # the runtime and tools hold the most
    total_weight = sum(weights)
    for index, ((spec, top, sub), weight) in enumerate(zip(layouts, weights)):
        members = dict(spec.files)
        count = files * weight // total_weight
        for i in range(count):
            label = "%d-%s-%d" % (seed, top, i)
            digest = hashlib.sha256(label.encode()).digest()
            size = 512 + int.from_bytes(digest[:4], "little") % (24 * 1024)
            name = "%s/%s/pkg%03d/item%04d.%s" % (top, sub, i // 60, i, "bin" if digest[4] % 5 == 0 else "txt")
            if digest[4] % 5 == 0:
                members[name] = filler(label, size)
            else:
                at = int.from_bytes(digest[5:9], "little") % (len(base) - size)
                members[name] = label.encode() + b"\n" + base[at:at + size]
        if 1 <= index <= len(large_mib):
            members["%s/%s/large.pak" % (top, sub)] = filler("%d-%s-large" % (seed, top),
                                                           large_mib[index - 1] * 1024 * 1024)
        spec.files = members
    return [spec for spec, _, _ in layouts]


def builder_like_release(root: str | os.PathLike, tag: str, builder_exe=None, *, seed: int = 1,
                         **write_kw) -> Release:
    """A release of about 300 MiB shaped like the Builder's (builder_like_specs)."""
    return write_release(root, tag, builder_like_specs(tag, builder_exe, seed=seed), **write_kw)


def describe(rel: Release) -> dict:
    return {
        "tag": rel.tag,
        "folder": str(rel.folder),
        "setup_list": rel.setup_list.decode("utf-8", "replace"),
        "parts": [{k: (str(v) if isinstance(v, Path) else v) for k, v in dataclasses.asdict(p).items()}
                  for p in rel.parts],
    }


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description="Write a release for the release host double.")
    ap.add_argument("--root", required=True)
    ap.add_argument("--tag", required=True)
    ap.add_argument("--builder-exe", help="PE file to ship as StonewakeBuilder.exe")
    ap.add_argument("--latest", action="store_true", help="also make it the latest release")
    ap.add_argument("--eol", choices=sorted(EOLS), default="lf")
    ap.add_argument("--big-mib", type=int, help="write a big stored release of this many MiB")
    ap.add_argument("--parts", type=int, default=16, help="parts of a big release")
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args(argv)
    kw = dict(latest=args.latest, eol=EOLS[args.eol])
    if args.big_mib:
        rel = big_release(args.root, args.tag, args.builder_exe, total_mib=args.big_mib,
                          parts=args.parts, seed=args.seed, **kw)
    else:
        rel = standard_release(args.root, args.tag, args.builder_exe, **kw)
    json.dump(describe(rel), sys.stdout, indent=1)
    sys.stdout.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
