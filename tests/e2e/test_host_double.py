"""Checks of the release host double and the release builder themselves, so
that an end-to-end failure points at the setup, not at its test tools."""

from __future__ import annotations

import dataclasses
import hashlib
import http.client
import io
import json
import shutil
import socket
import ssl
import subprocess
import time
import zipfile

import pytest

import make_release as mr
from conftest import FAILED_STARTS, START_MARK, START_TRIES, WineProcess
from release_host import ReleaseHost

API = "/api/v1/repos/Stonewake/Stonewake/releases"
DL = "/Stonewake/Stonewake/releases"


def fresh_dir(path):
    shutil.rmtree(path, ignore_errors=True)
    path.mkdir(parents=True)
    return path


@pytest.fixture(scope="module")
def rh(certs, build_dir):
    """A host of its own on free ports, serving three releases."""
    root = fresh_dir(build_dir / "e2e" / "host-double-root")
    h = ReleaseHost(root, port=0, cert=certs / "server.pem", key=certs / "server.key", http_port=0)
    h.start()
    h.v1 = mr.standard_release(root, "v1", b"MZ-one", latest=False)
    h.v2 = mr.standard_release(root, "v2", b"MZ-two", latest=True)
    h.nightly = mr.standard_release(root, "nightly", b"MZ-n", tools=(), engine=None)
    (root / "releases" / "v2" / BLOB).write_bytes(mr.filler("blob", 200 * 1024))
    yield h
    h.stop()


@pytest.fixture
def get(rh, certs):
    """get(path, addr=None, plain=False, headers=None) -> (status, headers, body | exception name)."""
    rh.reset()
    ctx = ssl.create_default_context(cafile=str(certs / "ca.pem"))

    def _get(path, addr=None, plain=False, headers=None, method="GET"):
        if plain:
            conn = http.client.HTTPConnection(addr or "localhost", rh.http_port, timeout=10)
        else:
            conn = http.client.HTTPSConnection("localhost", rh.port, context=ctx, timeout=10)
            if addr:  # connect to this address but check the cert for localhost
                conn.sock = ctx.wrap_socket(socket.create_connection((addr, rh.port), 10),
                                            server_hostname="localhost")
        try:
            conn.request(method, path, headers=headers or {})
            resp = conn.getresponse()
            try:
                body = resp.read()
            except http.client.IncompleteRead as e:
                body = ("IncompleteRead", len(e.partial))
            return resp.status, dict(resp.getheaders()), body
        except (http.client.RemoteDisconnected, ConnectionError) as e:
            return None, {}, type(e).__name__
        finally:
            conn.close()
    return _get


def asset(rel, name):
    return rel.asset(name).read_bytes()


BUILDER_V2 = "StonewakeBuilder-win-x64-v2.zip"
BLOB = "blob.bin"


@pytest.mark.parametrize("path, status, expect", [
    (DL + "/latest/download/" + BUILDER_V2, 200, ("v2", BUILDER_V2)),
    (DL + "/latest/download/" + mr.SETUP_LIST, 200, ("v2", mr.SETUP_LIST)),
    (DL + "/download/v1/" + mr.SETUP_LIST, 200, ("v1", mr.SETUP_LIST)),
    (DL + "/download/nightly/" + mr.SETUP_LIST, 200, ("nightly", mr.SETUP_LIST)),
    (DL + "/latest/download/StonewakeBuilder-win-x64-v1.zip", 404, b"Not Found\n"),
    (DL + "/download/v9/" + mr.SETUP_LIST, 404, b"Not Found\n"),
    (DL + "/download/..%2Fv1/" + mr.SETUP_LIST, 404, b"Not Found\n"),
    ("/Other/Repo/releases/download/v1/" + mr.SETUP_LIST, 404, b"Not Found\n"),
    (API + "/tags/v9", 404, b'{"message":"Not Found"}'),
    (API, 404, b'{"message":"Not Found"}'),
    ("/", 404, b"Not Found\n"),
])
def test_paths(rh, get, path, status, expect):
    got_status, _, body = get(path)
    assert got_status == status
    if isinstance(expect, tuple):
        tag, name = expect
        assert body == (rh.root / "releases" / tag / name).read_bytes()
    else:
        assert body == expect
    assert rh.requests[-1].status == status


@pytest.mark.parametrize("path, tag", [(API + "/latest", "v2"), (API + "/tags/v1", "v1"),
                                       (API + "/tags/nightly", "nightly")])
@pytest.mark.parametrize("escaped", [False, True])
def test_release_json(rh, get, path, tag, escaped):
    rh.escaped_slashes = escaped
    status, headers, body = get(path)
    assert status == 200 and headers["Content-Type"].startswith("application/json")
    text = body.decode()
    assert text.startswith('{"name":"Stonewake Builder %s",' % tag)
    assert ("https:\\/\\/localhost" in text) == escaped and ("https://" in text) != escaped
    doc = json.loads(text)
    folder = rh.root / "releases" / tag
    assert doc["tag_name"] == tag
    assert {a["name"]: a["size"] for a in doc["assets"]} == \
        {p.name: p.stat().st_size for p in folder.iterdir()}
    for a in doc["assets"]:
        status, _, data = get(a["browser_download_url"].split(str(rh.port), 1)[1])
        assert a["browser_download_url"].startswith("https://localhost:%d/" % rh.port)
        assert data == (folder / a["name"]).read_bytes()


@pytest.mark.parametrize("action, check", [
    (503, lambda s, h, b, real: s == 503 and b.startswith(b"503 ")),
    ("429", lambda s, h, b, real: s == 429),
    ("empty", lambda s, h, b, real: s == 200 and b == b""),
    ("short", lambda s, h, b, real: s == 200 and b == ("IncompleteRead", len(real) // 2)
     and h["Content-Length"] == str(len(real))),
    ("truncated", lambda s, h, b, real: s == 200 and b == real[:len(real) // 2]),
    ("long", lambda s, h, b, real: s == 200 and b[:len(real)] == real and len(b) == len(real) + 1024),
    ("long:200000", lambda s, h, b, real: s == 200 and b[:len(real)] == real and len(b) == len(real) + 200000
     and h["Content-Length"] == str(len(b))),
    ("close", lambda s, h, b, real: s is None),
    ("redirect:http://localhost:1/x", lambda s, h, b, real: s == 302 and h["Location"] == "http://localhost:1/x"),
    ("redirect307:/y", lambda s, h, b, real: s == 307 and h["Location"] == "/y"),
    ("body:tag x\n", lambda s, h, b, real: s == 200 and b == b"tag x\n"),
    (("body", b"\xff\x00"), lambda s, h, b, real: s == 200 and b == b"\xff\x00"),
    ("slow:20", lambda s, h, b, real: s == 200 and b == real),
])
def test_fault_then_normal(rh, get, action, check):
    path = DL + "/download/v2/" + BLOB
    real = asset(rh.v2, BLOB)
    rh.script(path, [action])
    t0 = time.monotonic()
    assert check(*get(path), real), action
    if action == "slow:20":  # two 64 KiB chunks or more, 20 ms each
        assert time.monotonic() - t0 >= 0.02 * (len(real) // 65536)
    assert get(path)[2] == real  # the queue is used up: normal again
    assert [r.action for r in rh.requests] == [action, None]


@pytest.mark.parametrize("asked, action, status, start, end, ranges", [
    (None, None, 200, 0, None, "bytes"),
    ("bytes=1000-", None, 206, 1000, None, "bytes"),
    ("bytes=10-19", None, 206, 10, 20, "bytes"),
    ("bytes=10-99999999", None, 206, 10, None, "bytes"),
    ("bytes=204800-", None, 416, 0, 0, None),          # the asset's size: nothing left
    ("bytes=5-2", None, 200, 0, None, "bytes"),        # not a range: ignored
    ("bytes=1000-", False, 200, 0, None, None),         # a host that refuses ranges
    ("bytes=1000-", "whole", 200, 0, None, "bytes"),
    ("bytes=1000-", "drop:0.5", 206, 1000, 1000 + (204800 - 1000) // 2, "bytes"),
    (None, "drop:5000", 200, 0, 5000, "bytes"),
    (None, "drop:0.9", 200, 0, 184320, "bytes"),
])
def test_ranges(rh, get, asked, action, status, start, end, ranges):
    path = DL + "/download/v2/" + BLOB
    real = asset(rh.v2, BLOB)
    if action is False:
        rh.ranges = False
    elif action:
        rh.script(path, [action])
    got_status, headers, body = get(path, headers={"Range": asked} if asked else None)
    want = real[start:end]
    assert (got_status, headers.get("Accept-Ranges")) == (status, ranges)
    if action and action.startswith("drop:"):
        assert body == ("IncompleteRead", len(want))
    else:
        assert body == want
    if status == 206:
        last = min(int(asked.rsplit("-", 1)[1] or len(real)), len(real) - 1)
        assert headers["Content-Range"] == "bytes %d-%d/%d" % (start, last, len(real))
    if status == 416:
        assert headers["Content-Range"] == "bytes */204800"
    (rec,) = rh.requests
    assert (rec.range, rec.status, rec.sent) == (asked, status, len(want))


def test_queues_always_and_precedence(rh, get):
    a, b = DL + "/download/v1/" + mr.SETUP_LIST, API + "/latest"
    rh.script(a, [503, "ok", 404])
    rh.script("*", [410])
    rh.always(b, 500)
    rh.always("*", 403)
    seq = [get(p)[0] for p in (a, a, b, a, b, a, b)]
    # a: its queue first; b: the '*' queue before its always rule; then always
    # rules, the exact one before '*'
    assert seq == [503, 200, 410, 404, 500, 403, 500]
    rh.always("*", None)
    rh.always(b, None)
    assert [get(p)[0] for p in (a, b)] == [200, 200]
    with pytest.raises(ValueError):
        rh.script(a, ["bogus"])


def test_request_log(rh, get):
    path = DL + "/download/v1/" + mr.SETUP_LIST
    get(path, headers={"User-Agent": "probe/1", "Accept": "*/*"})
    get(path + "?x=1", headers={"Accept-Encoding": "identity"}, method="HEAD")
    r1, r2 = rh.requests
    assert (r1.method, r1.path, r1.accept, r1.user_agent, r1.status) == ("GET", path, "*/*", "probe/1", 200)
    assert (r2.method, r2.path, r2.accept, r2.user_agent, r2.status) == ("HEAD", path + "?x=1", None, None, 200)
    assert r1.mono_ms <= r2.mono_ms and abs(r1.wall_ms / 1000 - time.time()) < 60
    rh.clear()
    assert rh.requests == []


def test_listeners_and_delay(rh, get):
    path = DL + "/download/v1/" + mr.SETUP_LIST
    want = asset(rh.v1, mr.SETUP_LIST)
    assert get(path, plain=True)[2] == want and rh.requests[-1].scheme == "http"
    assert get(path, addr="127.0.0.1")[2] == want
    if socket.has_ipv6 and len(rh._servers) == 4:   # both stacks, both schemes
        assert get(path, addr="::1")[2] == want
    rh.delay_ms = 300
    t0 = time.monotonic()
    assert get(path)[0] == 200 and time.monotonic() - t0 >= 0.3


def test_setup_list_and_layout(build_dir):
    root = fresh_dir(build_dir / "e2e" / "make-release")
    one = mr.standard_release(root, "v1", b"MZ", eol="\r\n", extra_lines=["note x"])
    two = mr.standard_release(root, "v2", b"MZ", latest=True, eol="\r")
    three = mr.standard_release(root, "v3", b"MZ", builder_version="v1",
                                edit_parts=lambda ps: [dataclasses.replace(ps[0], sha256="0" * 64)])
    assert (root / "latest").read_text() == "v2\n"
    signed = 2 if mr.signing_key() else 0   # the serial and signature lines, last
    assert one.setup_list.split(b"\r\n")[:-1 - signed] == [l.encode() for l in one.lines()] + [b"note x"]
    assert two.setup_list.count(b"\r") == 2 + len(two.parts) + signed and b"\n" not in two.setup_list
    for p in one.parts:
        data = p.path.read_bytes()
        assert (p.sha256, p.size) == (hashlib.sha256(data).hexdigest(), len(data))
        assert p.url == "https://localhost:47443/Stonewake/Stonewake/releases/download/v1/" + p.asset
    # Tools and engine are byte-identical across tags; the Builder is too when
    # its version and exe match, whatever its asset name.
    assert [p.sha256 for p in one.parts[1:]] == [p.sha256 for p in two.parts[1:]]
    assert one.parts[0].sha256 != two.parts[0].sha256
    assert three.parts[0].sha256 == "0" * 64
    assert hashlib.sha256(three.parts[0].path.read_bytes()).hexdigest() == one.parts[0].sha256
    assert b"part " + b"0" * 64 in three.setup_list

    names = zipfile.ZipFile(one.parts[0].path).namelist()
    files = [n for n in names if not n.endswith("/")]
    assert sorted(files) == sorted("StonewakeBuilder-win-x64/" + f
                                   for f in ("StonewakeBuilder.exe",) + mr.BUILDER_FILES)
    lines = [l.split(" ") for l in one.setup_list.decode().split("\r\n") if l.startswith("part ")]
    assert [l[3:6] for l in lines] == [
        [".", "StonewakeBuilder-win-x64", "StonewakeBuilder"],
        ["StonewakeBuilder/tools", "-", "-"], ["StonewakeBuilder/tools", "-", "-"],
        ["StonewakeBuilder/runtimes", "engine-%s" % mr.DEFAULT_ENGINE, "engine"]]
    tops = [{n.split("/")[0] for n in zipfile.ZipFile(p.path).namelist()} for p in one.parts[1:]]
    assert tops == [{"python"}, {"emsdk"}, {"engine-%s" % mr.DEFAULT_ENGINE}]


def test_big_release_is_stored_and_seeded(build_dir):
    root = fresh_dir(build_dir / "e2e" / "make-release-big")
    a = mr.big_release(root, "a", b"MZ", total_mib=2, parts=3, seed=7)
    b = mr.big_release(root, "b", b"MZ", total_mib=2, parts=3, seed=7)
    c = mr.big_release(root, "c", b"MZ", total_mib=2, parts=3, seed=8)
    assert len(a.parts) == 3
    assert [p.sha256 for p in a.parts[1:]] == [p.sha256 for p in b.parts[1:]]
    assert {p.sha256 for p in a.parts[1:]}.isdisjoint(p.sha256 for p in c.parts[1:])
    for p in a.parts[1:]:
        (info,) = [i for i in zipfile.ZipFile(p.path).infolist() if not i.is_dir()]
        assert info.compress_type == zipfile.ZIP_STORED and info.file_size == 1024 * 1024
        # incompressible: deflate cannot shrink it
        assert len(zipfile.ZipFile(p.path).read(info)) == 1024 * 1024
        buf = io.BytesIO()
        with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("x", zipfile.ZipFile(p.path).read(info))
        assert len(buf.getvalue()) > 1024 * 1024


WINHTTP_GET = r"""
#include <windows.h>
#include <winhttp.h>
#include <stdio.h>
#include <stdlib.h>
// get <host> <port> <path>: "status <n> bytes <n>" or "error <code>"
int wmain(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  HINTERNET s = WinHttpOpen(L"winhttp-get/1", WINHTTP_ACCESS_TYPE_NO_PROXY, 0, 0, 0);
  HINTERNET c = WinHttpConnect(s, argv[1], (INTERNET_PORT)_wtoi(argv[2]), 0);
  HINTERNET r = WinHttpOpenRequest(c, L"GET", argv[3], 0, 0, 0, WINHTTP_FLAG_SECURE);
  if (!WinHttpSendRequest(r, 0, 0, 0, 0, 0, 0) || !WinHttpReceiveResponse(r, 0)) {
    printf("error %lu\n", GetLastError()); return 1; }
  DWORD st = 0, sz = sizeof st, got = 0, total = 0; char buf[65536];
  WinHttpQueryHeaders(r, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, 0, &st, &sz, 0);
  while (WinHttpReadData(r, buf, sizeof buf, &got) && got) total += got;
  printf("status %lu bytes %lu\n", st, total);
  return 0;
}
"""


@pytest.fixture(scope="module")
def winhttp_get(build_dir):
    """A tiny WinHTTP client, built once per source."""
    tools = build_dir / "e2e" / "tools"
    tools.mkdir(parents=True, exist_ok=True)
    digest = hashlib.sha256(WINHTTP_GET.encode()).hexdigest()[:12]
    exe = tools / ("winhttp-get-%s.exe" % digest)
    if not exe.exists():
        src = tools / "winhttp-get.cpp"
        src.write_text(WINHTTP_GET)
        try:
            subprocess.run(["x86_64-w64-mingw32-g++-posix", "-municode", "-static", "-O1",
                            "-o", str(exe), str(src), "-lwinhttp"], check=True, capture_output=True)
        except (OSError, subprocess.CalledProcessError) as e:
            pytest.skip("cannot build the WinHTTP client: %s" % e)
    return exe


def test_winhttp_in_wine_trusts_only_the_test_ca(wine, certs, rh, winhttp_get, build_dir):
    if not (build_dir / "doubles" / "trustca.exe").exists():
        pytest.skip("trustca.exe is not built: the prefix does not trust the test CA")
    path = DL + "/download/v1/" + mr.SETUP_LIST
    size = len(asset(rh.v1, mr.SETUP_LIST))
    rh.reset()
    good = wine.run([winhttp_get, "localhost", rh.port, path])
    assert good.stdout.decode().strip() == "status 200 bytes %d" % size
    assert rh.requests[-1].user_agent == "winhttp-get/1" and rh.requests[-1].scheme == "https"
    with ReleaseHost(rh.root, port=0, cert=certs / "untrusted.pem", key=certs / "untrusted.key") as bad:
        out = wine.run([winhttp_get, "localhost", bad.port, path])
        assert out.returncode == 1 and out.stdout.startswith(b"error "), out.stdout
        assert bad.requests == []  # WinHTTP checks the chain after the handshake, then hangs up


@pytest.mark.parametrize("opts, stdio", [
    ({}, ("disk", "disk")),
    ({"no_stderr": True}, ("disk", "none")),
    ({"no_stdio": True}, ("none", "none")),
])
def test_runner_passes_command_line_env_and_handles(run_setup, home, wine, opts, stdio):
    """run_setup's plumbing, with the recorder standing in for the setup."""
    exe = wine.build / "doubles" / "recorder.exe"
    if not exe.exists():
        pytest.skip("recorder.exe is not built")
    tail = '--cli  --tag "a b" \\"q\\"'
    r = run_setup(tail, exe=exe, env={"STONEWAKE_RECORD_EXIT": "7", "TARNWICK_SETUP_LIST": None},
                  cwd=home.path, **opts)
    (rec,) = r.records
    assert r.rc == 7
    assert rec["cmdline"] == '"%s" %s' % (wine.to_win(exe), tail)
    assert rec["cwd"].rstrip("\\").lower() == home.win.lower()
    assert rec["env"]["TARNWICK_SETUP_BASE"] == home.win
    assert (rec["handles"]["stdout"], rec["handles"]["stderr"]) == stdio
    assert (r.stdout == b"recorder: stdout line\n") == (stdio[0] != "none")
    assert (r.stderr == b"recorder: stderr line\n") == (stdio[1] != "none")
    bg = run_setup("", exe=exe, env={"STONEWAKE_RECORD_SLEEP_MS": "300"}, background=True)
    assert bg.proc.poll() is None
    assert bg.wait(60).rc == 0 and len(bg.runner.records()) == 2


@pytest.mark.parametrize("who, marks, rc, starts", [
    ("harness", False, 3, START_TRIES),   # never made its mark: each run was Wine's failure to start it
    ("harness", True, 3, 1),              # made its mark, then failed: its own exit, started once
    ("spawn", False, 3, START_TRIES),     # spawn.exe's child that never made its mark
    ("spawn", True, 1, 1),                # the setup's own refusal (its mark made first thing)
])
def test_a_start_is_made_again_only_when_the_program_never_ran(wine, run_setup, who, marks, rc, starts):
    """The harness (`wine x.exe` from the Unix side) and spawn.exe start a
    program again only when it ended with a nonzero code without its start
    mark; cmd.exe stands in for a program whose start Wine failed."""
    mark = run_setup.dir / "mark"
    command = ("echo started> %s & exit 3" % wine.to_win(mark)) if marks else "exit 3"
    if who == "harness":
        before = len(FAILED_STARTS)
        proc = WineProcess(["wine", "cmd", "/c", command], wine.env, mark, run_setup.dir / "out",
                           run_setup.dir / "err", run_setup.dir)
        assert (proc.wait(120), proc.starts) == (rc, starts)
        del FAILED_STARTS[before:]   # made on purpose: not for the run's summary
        return
    log = run_setup.dir / "made.log"
    if marks:
        r = run_setup("--cli --tag a/b", env={"SPAWN_LOG": wine.to_win(log)})
        assert r.errors and r.errors[0].startswith("The release tag \"a/b\"")
    else:
        r = run_setup("/c " + command, exe=wine.system32 / "cmd.exe",
                      env={START_MARK: wine.to_win(mark), "SPAWN_LOG": wine.to_win(log)})
    made = log.read_text().splitlines() if log.exists() else []
    assert (r.rc, len(made) + 1) == (rc, starts), made
