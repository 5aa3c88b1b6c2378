"""The release tool, natively: make-then-check, determinism, every refusal of
`check`, an update's reuse, the HTTPS road, the signed list and signing.

Needs build/tools/stonewake-release (STONEWAKE_RELEASE_TOOL names another);
everything it writes stays under build/tools/tests/. The release it makes
installs under Wine in the end-to-end tests: every fixture release is made by
it (tests/host/make_release.py).
"""

from __future__ import annotations

import hashlib
import os
import random
import re
import shutil
import subprocess
import sys
import time
import zipfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "host"))

import make_release as mr  # noqa: E402
from release_host import ReleaseHost  # noqa: E402

TOOLS = REPO / "build" / "tools"
TAG = "2.0.0"
HOST = "releases.example:8443"


def tool(*args, check_rc=None) -> subprocess.CompletedProcess:
    (TOOLS / "tmp").mkdir(parents=True, exist_ok=True)    # what `check` downloads
    done = subprocess.run([str(mr.release_tool()), *map(str, args)], capture_output=True, text=True,
                          env=dict(os.environ, TMPDIR=str(TOOLS / "tmp")))
    if check_rc is not None:
        assert done.returncode == check_rc, done.stdout + done.stderr
    return done


@pytest.fixture
def work(request) -> Path:
    path = TOOLS / "tests" / re.sub(r"[^A-Za-z0-9._-]+", "_", request.node.name)[:100]
    shutil.rmtree(path, ignore_errors=True)
    path.mkdir(parents=True)
    return path


def builder_folder(top: Path, version: str = "1", drop=(), empty=(), files=None) -> Path:
    files_given = files
    """A Builder folder as a maintainer has it: the Builder, two tools, the engine
    (with `files` added or replaced)."""
    files = {"StonewakeBuilder-win-x64/StonewakeBuilder.exe": b"MZ builder " + version.encode()}
    for name in mr.BUILDER_FILES:
        if name not in drop:
            files["StonewakeBuilder-win-x64/" + name] = b"" if name in empty else name.encode() + version.encode()
    files["python/bin/python.exe"] = b"python 3.12"
    files["emsdk/emcc"] = b"emcc 3.1"
    files["engine-2.3/engine.dll"] = b"engine" * 100
    for name, data in (files_given or {}).items():
        files[name] = data
    for name, data in files.items():
        (top / name).parent.mkdir(parents=True, exist_ok=True)
        (top / name).write_bytes(data)
    return top


PARTS = """\
# asset  source  dir  from  to
StonewakeBuilder-win-x64-{v}.zip StonewakeBuilder-win-x64 . StonewakeBuilder-win-x64 StonewakeBuilder
StonewakeBuilder-python-3.12.zip python StonewakeBuilder/tools - -
StonewakeBuilder-emsdk-3.1.zip emsdk StonewakeBuilder/tools - - store
engine-2.3.zip engine-2.3 StonewakeBuilder/runtimes engine-2.3 engine
"""


def make(work: Path, tag: str = TAG, version: str = "1", parts: str = PARTS, host: str = HOST,
         extra=(), rc: int = 0, out: Path | None = None, **folder_kw) -> Path:
    src = builder_folder(work / ("src-" + tag), version, **folder_kw)
    (work / "parts.txt").write_text(parts.format(v=version))
    out = out or work / ("out-" + tag)
    tool("make", "--builder", src, "--parts", work / "parts.txt", "--host", host, "--tag", tag,
         "--out", out, *extra, check_rc=rc)
    return out


def digests(out: Path) -> list[str]:
    return [l.split()[1] for l in (out / mr.SETUP_LIST).read_text().splitlines() if l.startswith("part ")]


def test_make_then_check_round_trip(work):
    out = make(work)
    lines = (out / mr.SETUP_LIST).read_text().splitlines()
    assert lines[:2] == ["tag " + TAG, "run " + mr.RUN]
    url = "https://%s/Stonewake/Stonewake/releases/download/%s/" % (HOST, TAG)
    assert [l.split()[2:] for l in lines[2:6]] == [
        [str((out / a).stat().st_size), d, f, t, url + a] for a, d, f, t in (
            ("StonewakeBuilder-win-x64-1.zip", ".", "StonewakeBuilder-win-x64", "StonewakeBuilder"),
            ("StonewakeBuilder-python-3.12.zip", "StonewakeBuilder/tools", "-", "-"),
            ("StonewakeBuilder-emsdk-3.1.zip", "StonewakeBuilder/tools", "-", "-"),
            ("engine-2.3.zip", "StonewakeBuilder/runtimes", "engine-2.3", "engine"))]
    python = zipfile.ZipFile(out / "StonewakeBuilder-python-3.12.zip")
    assert [(i.filename, i.date_time, i.external_attr >> 16) for i in python.infolist()] == [
        ("python/", (2000, 1, 1, 0, 0, 0), 0o40755), ("python/bin/", (2000, 1, 1, 0, 0, 0), 0o40755),
        ("python/bin/python.exe", (2000, 1, 1, 0, 0, 0), 0o100644)]
    assert zipfile.ZipFile(out / "StonewakeBuilder-emsdk-3.1.zip").getinfo("emsdk/emcc").compress_type == 0
    # The index: its line, and for each part each entry's record and digest as another zip reader sees them.
    index = (out / mr.INDEX).read_bytes()
    assert lines[6] == "index %s %d %s%s" % (hashlib.sha256(index).hexdigest(), len(index), url, mr.INDEX)
    sections = index.decode().split("\npart ")[1:]
    assert [s.split()[0] for s in sections] == digests(out)
    for section, asset in zip(sections, ("StonewakeBuilder-win-x64-1.zip", "StonewakeBuilder-python-3.12.zip",
                                         "StonewakeBuilder-emsdk-3.1.zip", "engine-2.3.zip")):
        z = zipfile.ZipFile(out / asset)
        assert [(int(f[1]), f[10], f[11]) for f in (l.split(" ", 11) for l in section.splitlines()[1:])] == [
            (i.header_offset, hashlib.sha256(z.read(i)).hexdigest(), i.filename) for i in z.infolist()]
    done = tool("check", out / mr.SETUP_LIST, "--parts", out, check_rc=0)
    assert done.stdout.splitlines() == ["ok: %s: release %s, 4 parts, %d bytes; the setup accepts it"
                                        % (out / mr.SETUP_LIST, TAG, sum(p.stat().st_size for p in out.glob("*.zip")))]


def test_the_fixture_releases_pass_check(work):
    rel = mr.standard_release(work, "v1", b"MZ")
    tool("check", rel.list_path, "--parts", rel.folder, check_rc=0)


def test_two_makes_at_different_times_give_the_same_bytes(work, monkeypatch):
    one = make(work, extra=["--no-check"])
    first = {p.name: p.read_bytes() for p in one.iterdir()}
    shutil.rmtree(one)
    for path in (work / ("src-" + TAG)).rglob("*"):
        os.utime(path, (1e9, 1.5e9))            # other file times, another zone
    monkeypatch.setenv("TZ", "Pacific/Kiritimati")
    two = make(work, extra=["--no-check"])
    assert {p.name: p.read_bytes() for p in two.iterdir()} == first
    # The parts that did not change keep their digests under a new tag.
    assert digests(make(work, tag="2.1.0", version="2", extra=["--no-check"]))[1:] == digests(two)[1:]


def evil_zip(path: Path, name: str, link: bool = False) -> None:
    with zipfile.ZipFile(path, "w") as z:
        info = zipfile.ZipInfo(name)
        if link:
            info.create_system, info.external_attr = 3, 0o120777 << 16
        z.writestr(info, b"x")


def edit_line(n: int, field: int, value: str):
    def edit(out: Path) -> None:
        lines = (out / mr.SETUP_LIST).read_text().splitlines()
        f = lines[n].split(" ")
        f[field] = value
        lines[n] = " ".join(f)
        (out / mr.SETUP_LIST).write_text("\n".join(lines) + "\n")
    return edit


def replace_part(n: int, name: str, link: bool = False, raw: bytes = b""):
    """Puts a hostile zip (or `raw` bytes) in place of part n, with its true digest and size listed."""
    def edit(out: Path) -> None:
        asset = out / digests_asset(out, n)
        asset.write_bytes(raw) if raw else evil_zip(asset, name, link)
        edit_line(n + 2, 1, hashlib.sha256(asset.read_bytes()).hexdigest())(out)
        edit_line(n + 2, 2, str(asset.stat().st_size))(out)
    return edit


def digests_asset(out: Path, n: int) -> str:
    line = [l for l in (out / mr.SETUP_LIST).read_text().splitlines() if l.startswith("part ")][n]
    return line.rsplit("/", 1)[1]


def edit_index(edit):
    """Edits the index's text, then lists its true digest and size."""
    def apply(out: Path) -> None:
        path = out / mr.INDEX
        path.write_text(edit(path.read_text()))
        lines = (out / mr.SETUP_LIST).read_text().splitlines()
        n = next(i for i, l in enumerate(lines) if l.startswith("index "))
        edit_line(n, 1, hashlib.sha256(path.read_bytes()).hexdigest())(out)
        edit_line(n, 2, str(path.stat().st_size))(out)
    return apply


def index_field(name: str, field: int, change):
    """Changes one field of the entry `name` in the index."""
    def edit(text: str) -> str:
        lines = text.splitlines()
        n = next(i for i, l in enumerate(lines) if l.endswith(" " + name))
        f = lines[n].split(" ")
        f[field] = change(f[field])
        lines[n] = " ".join(f)
        return "\n".join(lines) + "\n"
    return edit


def append_lines(text: str):
    def edit(out: Path) -> None:
        with open(out / mr.SETUP_LIST, "a") as f:
            f.write(text)
    return edit


def signed_by_another_key(out: Path) -> None:
    tool("keygen", "--out", out.parent / "other", check_rc=0)
    tool("sign-list", out / mr.SETUP_LIST, "--key", out.parent / "other" / "publisher.key", check_rc=0)


def list_lines(out: Path, edit) -> None:
    """Rewrites the setup list's lines as edit(lines) gives them."""
    lines = (out / mr.SETUP_LIST).read_text().splitlines()
    (out / mr.SETUP_LIST).write_text("".join(l + "\n" for l in edit(lines)))


SEVENTEEN = "".join("part %s 1 . - - https://h/StonewakeBuilder-cpm-%d.zip\n" % ("a" * 64, i) for i in range(13))
TWO_TO_ONE = "StonewakeBuilder-python-addon.zip python StonewakeBuilder/tools - -\n"

# (id, what is done to a good release, what check must say[, what it must not say])
REFUSALS = [
    ("no-tag", edit_line(0, 0, "Tag"), 'no "tag" line with a value'),
    ("tag-name", edit_line(0, 1, "../x"), ":1: the setup refuses this line: tag ../x"),
    ("run-name", edit_line(1, 1, "C:/StonewakeBuilder.exe"), ":2: the setup refuses this line: run C:"),
    ("upper-digest", lambda out: edit_line(3, 1, digests(out)[1].upper())(out), ":4: the setup refuses this line"),
    ("only-the-last-tag-counts", lambda out: (edit_line(0, 1, "../x")(out), append_lines("tag 2.0.0\nrun ../x\n")(out)),
     ":9: the setup refuses this line: run ../x", ":1:"),
    ("http-url", lambda out: edit_line(5, 6, "http://h/engine-2.3.zip")(out), ":6: the setup refuses this line"),
    ("dir-dotdot", edit_line(3, 3, ".."), ":4: the setup refuses this line"),
    ("from-slash", edit_line(5, 4, "a/b"), ":6: the setup refuses this line"),
    ("no-parts", lambda out: (out / mr.SETUP_LIST).write_text("tag a\nrun b/c.exe\npart x 1 . -\n"),
     'no "part" line with all six fields'),
    ("seventeen-parts", append_lines(SEVENTEEN), ":20: part 17 of the list: the setup takes at most 16 parts"),
    ("digest", edit_line(2, 1, "0" * 64), "has the SHA-256"),
    ("size", edit_line(3, 2, "7"), "bytes, the list says 7"),
    ("missing-part", lambda out: (out / "engine-2.3.zip").unlink(), "missing: "),
    ("from-missing", edit_line(5, 4, "engine-9"), 'the "from" entry engine-9 is not at the top of its zip'),
    ("escaping-entry", replace_part(1, "python/../../evil.dll"), "steps out of its folder"),
    ("rooted-entry", replace_part(1, "/evil.dll"), "is rooted"),
    ("drive-entry", replace_part(1, "C:evil.dll"), "names a drive"),
    ("control-entry", replace_part(1, "python/a\x01b"), "holds a control character"),
    ("link-entry", replace_part(1, "python/bin", link=True), "is a link"),
    ("damaged-zip", lambda out: (out / "engine-2.3.zip").write_bytes(b"PK\x03\x04 broken"), "not a zip"),
    # An empty zip whose end record points to zip64, named by a locator too short to hold one.
    ("zip64-locator-short", replace_part(1, "", raw=b"PK\x06\x07" + bytes(4) + (1 << 40).to_bytes(8, "little") +
                                         (1).to_bytes(4, "little") + b"PK\x05\x06" + bytes(4) + b"\xff" * 4 +
                                         bytes(10)), "(StonewakeBuilder-python-3.12.zip): is not in the index"),
    ("index-range", edit_index(index_field("engine-2.3/engine.dll", 2, lambda v: str(int(v) + 1))),
     '(engine-2.3.zip): the index entry "engine-2.3/engine.dll" differs from its zip: range'),
    ("index-crc", edit_index(index_field("python/bin/python.exe", 5, lambda v: "%08x" % (int(v, 16) ^ 1))),
     'the index entry "python/bin/python.exe" differs from its zip: CRC-32'),
    ("index-digest", edit_index(index_field("emsdk/emcc", 10, lambda v: "0" * 64)),
     'the index entry "emsdk/emcc" differs from its zip: SHA-256'),
    ("index-missing-part", edit_index(lambda t: "\npart ".join(t.split("\npart ")[:-1]) + "\n"),
     "(engine-2.3.zip): is not in the index"),
    ("index-unparsable", edit_index(lambda t: t.replace("tarnwick-index 1", "tarnwick-index 2")),
     "(tarnwick-index.txt):1: the setup refuses this line of the index"),
    ("index-escaping-entry", edit_index(lambda t: t.replace(" python/bin/python.exe", " python/../../evil.dll")),
     "the setup refuses this line of the index: the entry \"python/../../evil.dll\" steps out of its folder"),
    ("index-not-its-digest", lambda out: (out / mr.INDEX).write_bytes((out / mr.INDEX).read_bytes() + b"x"),
     "index (tarnwick-index.txt): is "),
    ("index-line", lambda out: append_lines("index %s 1 http://h/i.txt\n" % ("a" * 64))(out),
     ":8: a second index line"),
    ("incomplete-builder", None, "StonewakeBuilder/coreclr.dll is missing or empty"),
    ("empty-runtime-file", None, "StonewakeBuilder/hostfxr.dll is missing or empty"),
    ("one-folder-two-parts", None, "maps to the part folder StonewakeBuilder\\tools\\python of part 2"),
    # signature-*: made with --key, checked with --keys.
    ("signature-one-byte", edit_line(0, 1, "2.0.1"), "the signature is not verified by the key given"),
    ("signature-another-key", signed_by_another_key, "the signature is not verified by the key given"),
    ("signature-unsigned", lambda out: list_lines(out, lambda l: l[:-2]), 'unsigned: no "signature" line'),
    ("signature-line-after", append_lines("tag 2.0.0\n"), "lines follow the signature line", "is not verified"),
    ("signature-twice", lambda out: list_lines(out, lambda l: l + l[-1:]), "2 signature lines"),
]


@pytest.mark.parametrize("edit,says,never", [(r + ("",))[1:4] for r in REFUSALS], ids=[r[0] for r in REFUSALS])
def test_check_refuses(work, edit, says, never, request):
    name = request.node.callspec.id
    kw = {"incomplete-builder": dict(drop=("coreclr.dll",)), "empty-runtime-file": dict(empty=("hostfxr.dll",)),
          "one-folder-two-parts": dict(parts=PARTS + TWO_TO_ONE)}.get(name, {})
    keys = work / "keys"
    signed = name.startswith("signature-")
    if signed:
        tool("keygen", "--out", keys, check_rc=0)
    out = make(work, extra=["--no-check"] + (["--key", keys / "publisher.key"] if signed else []), **kw)
    if edit:
        edit(out)
    done = tool("check", out / mr.SETUP_LIST, "--parts", out, *(["--keys", keys / "publisher.pub"] if signed else []))
    assert done.returncode == 1, done.stdout
    assert says in done.stdout and not (never and never in done.stdout), done.stdout
    assert done.stdout.splitlines()[-1].startswith("refused: ")
    if edit is None:   # a fault in the Builder folder: make itself refuses it
        make(work, rc=1, **kw)


@pytest.mark.parametrize("line,says", [
    ("a.zip python . - -\nA.ZIP emsdk . - -", "the asset A.ZIP is named twice"),
    ("sub/a.zip python . - -", "is not a plain name"),
    ("a.zip ../outside . - -", "is not a relative path below the Builder folder"),
    ("a.zip python . -", "a part line is <asset> <folder or file> <dir> <from> <to> [store]"),
    ("a.zip python . - - fast", "a part line is"),
    ("a.zip linked . - -", "links are not put into a release"),
    ("Tarnwick-Index.txt python . - -", "is the release's own tarnwick-index.txt"),
], ids=["twice", "asset-path", "source-outside", "four-fields", "sixth-field", "link", "index-asset"])
def test_make_refuses_a_bad_parts_file(work, line, says):
    (builder_folder(work / "src") / "linked").symlink_to("python")
    (work / "parts.txt").write_text(line + "\n")
    done = tool("make", "--builder", work / "src", "--parts", work / "parts.txt", "--host", HOST, "--tag", TAG,
                "--out", work / "out")
    assert done.returncode == 1 and says in done.stderr, done.stderr
    assert not (work / "out" / mr.SETUP_LIST).exists()


def test_keygen_make_sign_list_check_round_trip(work):
    key, pub = work / "keys" / "publisher.key", work / "keys" / "publisher.pub"
    tool("keygen", "--out", key.parent, check_rc=0)
    assert key.stat().st_mode & 0o777 == 0o600 and re.fullmatch("[0-9a-f]{128}\n", pub.read_text())
    pem = key.read_bytes()
    assert tool("keygen", "--out", key.parent).returncode == 1 and key.read_bytes() == pem
    out = make(work, extra=["--key", key, "--serial", "7"])
    path, accepted = out / mr.SETUP_LIST, "; the setup accepts it\n"
    lines = path.read_text().splitlines()
    assert lines[-3].startswith("index ") and lines[-2] == "serial 7" and re.fullmatch("signature [0-9a-f]{128}", lines[-1])
    assert tool("check", path, "--parts", out, "--keys", pub, check_rc=0).stdout.endswith(
        ", serial 7 signed by key 1 of 1" + accepted)
    tool("check", path, "--parts", out, check_rc=0)            # without keys, both lines are passed over
    # openssl's own signature, verified by the second of two keys given as digits.
    tool("keygen", "--out", work / "spare", check_rc=0)
    unsigned = "".join(l + "\n" for l in lines[:-2]).encode()
    path.write_bytes(mr.sign_list(unsigned, key, 8))
    both = (work / "spare" / "publisher.pub").read_text().strip() + "," + pub.read_text().strip()
    assert tool("check", path, "--parts", out, "--keys", both, check_rc=0).stdout.endswith(
        ", serial 8 signed by key 2 of 2" + accepted)
    # Taking a release back: re-signed with a newer serial (the time by default), every other byte kept.
    old_signature, start = path.read_bytes().splitlines()[-1], int(time.time())
    tool("sign-list", path, "--key", key, check_rc=0)
    new = path.read_bytes()
    serial = int(new.splitlines()[-2].split()[1])
    assert new.startswith(unsigned) and serial >= start and old_signature not in new
    assert tool("check", path, "--parts", out, "--keys", pub, check_rc=0).stdout.endswith(
        ", serial %d signed by key 1 of 1%s" % (serial, accepted))


def test_previous_tells_which_parts_an_update_reuses(work):
    # The Builder's files all change; of the engine's, one changes beside a large one that does not.
    large = {"engine-2.3/data.pak": random.Random(1).randbytes(200000)}
    exe = "StonewakeBuilder-win-x64/StonewakeBuilder.exe"   # large enough that its records are most of the part
    old = make(work, tag="1.0.0", version="1", files=dict(large, **{exe: random.Random(2).randbytes(4000)}))
    new = make(work, tag="1.1.0", version="2", files=dict(large, **{exe: random.Random(3).randbytes(4000),
                                                                   "engine-2.3/engine.dll": b"engine 2"}))
    done = tool("check", new / mr.SETUP_LIST, "--parts", new, "--previous", old / mr.SETUP_LIST, check_rc=0)
    size = {p.name: p.stat().st_size for p in new.glob("*.zip")}
    builder, engine = (zipfile.ZipFile(new / a) for a in ("StonewakeBuilder-win-x64-2.zip", "engine-2.3.zip"))
    # Builder: every record but its top folder's, in one range; engine: engine.dll's record, the last one.
    files = builder.start_dir - builder.infolist()[1].header_offset
    record = engine.start_dir - engine.getinfo("engine-2.3/engine.dll").header_offset
    whole = size["StonewakeBuilder-win-x64-2.zip"]
    assert done.stdout.splitlines()[:6] == [
        "part 1 of 4 (StonewakeBuilder-win-x64-2.zip): downloaded (no part folder): the whole part, %d bytes "
        "(the delta road would fetch %d bytes in 1 range, over half of it)" % (whole, files),
        "part 2 of 4 (StonewakeBuilder-python-3.12.zip): reused from 1.0.0",
        "part 3 of 4 (StonewakeBuilder-emsdk-3.1.zip): reused from 1.0.0",
        "part 4 of 4 (engine-2.3.zip): downloaded (changed): the delta road fetches %d of %d bytes in 1 range"
        % (record, size["engine-2.3.zip"]),
        "an update from 1.0.0 reuses 2 of 4 parts",
        "an update from 1.0.0 fetches %d bytes, %d without the delta road" % (whole + record, whole + size["engine-2.3.zip"])]


def test_check_over_https(work):
    subprocess.run(["sh", str(REPO / "tests" / "harness" / "certs.sh"), str(TOOLS)], check=True)
    certs = TOOLS / "certs"
    with ReleaseHost(work / "root", port=0, cert=certs / "server.pem", key=certs / "server.key") as host:
        make(work, host="localhost:%d" % host.port, out=work / "root" / "releases" / TAG)
        url = "https://localhost:%d/Stonewake/Stonewake/releases/download/%s/%s" % (host.port, TAG, mr.SETUP_LIST)
        tool("check", url, "--cacert", certs / "ca.pem", check_rc=0)
        # An untrusted certificate is never accepted; a part the host lacks is reported.
        untrusted = tool("check", url)
        assert untrusted.returncode == 1 and "certificate" in untrusted.stdout
        # A list served under another tag's address is refused by a setup that asked for that tag.
        shutil.copytree(work / "root" / "releases" / TAG, work / "root" / "releases" / "2.0.1")
        done = tool("check", url.replace("/%s/" % TAG, "/2.0.1/"), "--cacert", certs / "ca.pem")
        assert done.returncode == 1 and "the list served for 2.0.1 says tag 2.0.0" in done.stdout
        (work / "root" / "releases" / TAG / "engine-2.3.zip").unlink()
        done = tool("check", url, "--cacert", certs / "ca.pem")
        assert done.returncode == 1 and "(engine-2.3.zip): cannot be downloaded" in done.stdout and "404" in done.stdout


def test_a_signed_setup_verifies_and_a_tampered_one_does_not(work):
    setup = REPO / "build" / "release" / "StonewakeBuilder-Setup.exe"
    if not setup.exists():
        pytest.skip("the release build of the setup is not there")
    key, cert = work / "sign.key", work / "sign.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                    "/CN=Stonewake Test Signing", "-keyout", key, "-out", cert], check=True, capture_output=True)
    exe = work / "StonewakeBuilder-Setup.exe"
    shutil.copy(setup, exe)
    tool("sign", exe, "--cert", cert, "--key", key, check_rc=0)
    tool("verify", exe, "--ca", cert, check_rc=0)
    data = bytearray(exe.read_bytes())
    data[0x600] ^= 0xFF                          # a byte of the code
    exe.write_bytes(bytes(data))
    assert tool("verify", exe, "--ca", cert).returncode == 1
