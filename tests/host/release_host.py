#!/usr/bin/python3
"""Release host double: an HTTPS server on loopback that serves releases
from a folder tree, with scriptable faults and a request log.

Tree served (ROOT):

    ROOT/latest                       text file: tag of the latest release
    ROOT/releases/<tag>/<asset>       every release's assets
    ROOT/releases/<tag>.meta.json     optional: fields merged into the
                                      release's JSON (not an asset)

Paths answered (anything else is 404):

    GET /Stonewake/Stonewake/releases/latest/download/<asset>
    GET /Stonewake/Stonewake/releases/download/<tag>/<asset>
    GET /api/v1/repos/Stonewake/Stonewake/releases/latest
    GET /api/v1/repos/Stonewake/Stonewake/releases/tags/<tag>

Faults are actions picked per request: first from the queue scripted for the
exact path (then from the queue scripted for '*'), else from the "always"
rule for the path (then for '*'), else the request is served normally.
Actions (strings unless noted):

    503, "404", ...        that status with a short text body
    "ok"                   serve normally (a placeholder inside a queue)
    "empty"                200 with an empty body
    "short"                200 announcing the real size, half the bytes, then
                           the connection is dropped
    "truncated"            200 with Content-Length and body both half the size
    "long"                 200 with 1 KiB of extra bytes after the real body
    "long:<n>"             200 with n extra bytes after the real body (announced)
    "slow:<ms>"            the real body, sleeping <ms> per 64 KiB
    "delay:<ms>"           wait <ms>, then serve normally
    "redirect:<url>"       302 to <url> ("redirect301:<url>" etc. also work)
    "close"                drop the connection without an answer
    "body:<text>"          200 with that text (UTF-8) as the body
    ("body", b"bytes")     200 with those bytes as the body
    "whole"                an asset as 200 with the whole body although a
                           Range was asked, still announcing Accept-Ranges
    "drop:<n>"             the answer served normally (ranges too), but the
                           connection dropped after n body bytes; a fraction
                           ("drop:0.9") counts in parts of this answer's body
    "tamper"               the answer served normally (ranges too), with every
                           byte of its body's second half inverted
    ("ranges", b"bytes")   an asset's ranges served from those bytes, as from
                           another copy of the asset; a request without a
                           Range still gets the real one

With `storage` set, a release download (either form) is answered with a 302
to /storage/<tag>/<asset>, where the asset is served, as the forge sends its
downloads to its storage host.

Assets are served with "Accept-Ranges: bytes": a request with "Range:
bytes=N-" or "bytes=N-M" gets 206 with its Content-Range, and 416 when N is
not inside the asset; another Range value is ignored (200). A host whose
`ranges` is False refuses them: every asset is a plain 200 with the whole
body and no Accept-Ranges, whatever the action. The log keeps each request's
Range header and the body bytes actually sent.

In-process use (pytest):

    host = ReleaseHost(root, cert="server.pem", key="server.key").start()
    host.script("/api/v1/repos/Stonewake/Stonewake/releases/latest", [503])
    ...
    host.stop()

Standalone:

    release_host.py --root DIR [--port 47443] [--cert PEM --key KEY]
                    [--http-port N] [--verbose]
"""

from __future__ import annotations

import argparse
import collections
import dataclasses
import http.server
import json
import os
import re
import signal
import socket
import ssl
import sys
import threading
import time
import urllib.parse
from pathlib import Path
from typing import Any

OWNER_REPO = "Stonewake/Stonewake"
DEFAULT_PORT = 47443
CHUNK = 64 * 1024
_FAULT_BODY_LIMIT = 256

_DOWNLOAD = re.compile(r"^/Stonewake/Stonewake/releases/download/([^/]+)/([^/]+)$")
_LATEST_DOWNLOAD = re.compile(r"^/Stonewake/Stonewake/releases/latest/download/([^/]+)$")
_API_LATEST = "/api/v1/repos/Stonewake/Stonewake/releases/latest"
_STORAGE = re.compile(r"^/storage/([^/]+)/([^/]+)$")
_API_TAG = re.compile(r"^/api/v1/repos/Stonewake/Stonewake/releases/tags/([^/]+)$")
_REDIRECT = re.compile(r"^redirect(\d{3})?:(.+)$", re.S)
_RANGE = re.compile(r"^bytes=(\d+)-(\d*)$")


@dataclasses.dataclass
class Request:
    """One request as the host saw it."""

    method: str
    path: str                 # the request target as sent (query included)
    accept: str | None        # the Accept header, None if absent
    range: str | None         # the Range header, None if absent
    user_agent: str | None
    headers: dict[str, str]
    mono_ms: float            # time.monotonic() in ms when the request line arrived
    wall_ms: int              # Unix time in ms at the same moment
    scheme: str               # "https" or "http"
    action: Any = None        # the fault action applied, None when served normally
    status: int | None = None  # status sent; None if the connection was dropped
    sent: int = 0             # body bytes written before the answer ended or the client left


def check_action(action: Any) -> Any:
    """Returns `action` if the host understands it, else raises ValueError."""
    if action is None or isinstance(action, int) and 100 <= action <= 599:
        return action
    if isinstance(action, tuple) and len(action) == 2 and action[0] in ("body", "ranges") \
            and isinstance(action[1], (bytes, bytearray)):
        return action
    if isinstance(action, str):
        if action.isdigit() and 100 <= int(action) <= 599:
            return action
        if action in ("ok", "empty", "short", "truncated", "long", "close", "whole", "tamper"):
            return action
        if action.startswith("body:") or _REDIRECT.match(action):
            return action
        for prefix in ("slow:", "delay:", "long:", "drop:"):
            if action.startswith(prefix):
                float(action[len(prefix):])
                return action
    raise ValueError("unknown fault action %r" % (action,))


def _safe_name(component: str) -> str | None:
    """Decodes one path component; None if it could leave its folder."""
    name = urllib.parse.unquote(component)
    if not name or name in (".", "..") or "/" in name or "\\" in name or "\0" in name:
        return None
    return name


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "StonewakeReleaseHost/1"
    sys_version = ""
    timeout = 60  # per socket operation; a stuck client cannot hold a thread forever

    host: "ReleaseHost"  # set on the subclass made per host
    scheme = "https"

    # ------------------------------------------------------------ plumbing
    def handle(self) -> None:
        # An answer's pieces leave at once, as from a real host: otherwise
        # the body waits for the client to acknowledge the headers, which it
        # delays by up to 40 ms, so that every request cost that much here.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.host._track(self.connection, True)
        try:
            if isinstance(self.connection, ssl.SSLSocket):
                try:
                    self.connection.do_handshake()
                except (ssl.SSLError, OSError) as err:
                    self.host._handshake_failed(err)
                    return
            super().handle()
        except (ConnectionError, TimeoutError, ssl.SSLError):
            pass
        finally:
            self.host._track(self.connection, False)

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        if self.host.verbose:
            sys.stderr.write("release-host: %s %s\n" % (self.address_string(), format % args))

    def do_GET(self) -> None:
        self._answer(head=False)

    def do_HEAD(self) -> None:
        self._answer(head=True)

    def _drop(self) -> None:
        """Ends the connection at once, with no TLS close_notify."""
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    # ------------------------------------------------------------ one request
    def _answer(self, head: bool) -> None:
        rec = Request(
            method=self.command,
            path=self.path,
            accept=self.headers.get("Accept"),
            range=self.headers.get("Range"),
            user_agent=self.headers.get("User-Agent"),
            headers={k: v for k, v in self.headers.items()},
            mono_ms=time.monotonic() * 1000.0,
            wall_ms=time.time_ns() // 1_000_000,
            scheme=self.scheme,
        )
        self.rec = rec
        action = self.host._take_action(self.path)
        rec.action = action
        self.host._log(rec)

        if self.host.delay_ms:
            time.sleep(self.host.delay_ms / 1000.0)

        if action is None or action == "ok":
            self._serve(head)
            return
        if isinstance(action, tuple) and len(action) == 2 and action[0] == "body":
            self._send_bytes(200, bytes(action[1]), "application/octet-stream", head)
            return
        if isinstance(action, int) or (isinstance(action, str) and action.isdigit()):
            code = int(action)
            body = ("%d %s\n" % (code, self.responses.get(code, ("",))[0])).encode()
            self._send_bytes(code, body[:_FAULT_BODY_LIMIT], "text/plain; charset=utf-8", head)
            return
        if isinstance(action, tuple) and action[0] == "ranges":
            self._serve(head, mode=action)
            return
        if not isinstance(action, str):
            raise ValueError("unknown fault action %r" % (action,))
        if action == "close":
            self._drop()
            return
        if action == "empty":
            self._send_bytes(200, b"", "application/octet-stream", head)
            return
        if action.startswith("body:"):
            self._send_bytes(200, action[5:].encode("utf-8"), "application/octet-stream", head)
            return
        if action.startswith("delay:"):
            time.sleep(float(action[6:]) / 1000.0)
            self._serve(head)
            return
        m = _REDIRECT.match(action)
        if m:
            code = int(m.group(1) or 302)
            self._status(code)
            self.send_header("Location", m.group(2))
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if action in ("short", "truncated", "long", "whole", "tamper") or \
                action.startswith(("slow:", "long:", "drop:")):
            self._serve(head, mode=action)
            return
        raise ValueError("unknown fault action %r" % (action,))

    def _status(self, code: int) -> None:
        self.rec.status = code
        self.send_response(code)

    def _send_bytes(self, code: int, body: bytes, ctype: str, head: bool) -> None:
        self._status(code)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if not head:
            self.wfile.write(body)

    def _not_found(self, head: bool, api: bool) -> None:
        if api:
            self._send_bytes(404, b'{"message":"Not Found"}', "application/json; charset=utf-8", head)
        else:
            self._send_bytes(404, b"Not Found\n", "text/plain; charset=utf-8", head)

    def _serve(self, head: bool, mode: str | None = None) -> None:
        """Normal serving; `mode` bends the body of whatever is served."""
        path = urllib.parse.urlsplit(self.path).path
        m = _DOWNLOAD.match(path) or _STORAGE.match(path)
        if m:
            tag, asset = _safe_name(m.group(1)), _safe_name(m.group(2))
            return self._asset(tag, asset, head, mode, stored=path.startswith("/storage/"))
        m = _LATEST_DOWNLOAD.match(path)
        if m:
            return self._asset(self.host.latest_tag(), _safe_name(m.group(1)), head, mode)
        api_tag = None
        if path == _API_LATEST:
            api_tag = self.host.latest_tag()
        else:
            m = _API_TAG.match(path)
            if m:
                api_tag = _safe_name(m.group(1)) or ""
            elif path.startswith("/api/"):
                return self._not_found(head, api=True)
            else:
                return self._not_found(head, api=False)
        doc = self.host.release_json(api_tag) if api_tag else None
        if doc is None:
            return self._not_found(head, api=True)
        self._body(doc, "application/json; charset=utf-8", head, mode)

    def _asset(self, tag: str | None, asset: str | None, head: bool, mode: str | None,
               stored: bool = False) -> None:
        if not tag or not asset:
            return self._not_found(head, api=False)
        file = self.host.root / "releases" / tag / asset
        if not file.is_file():
            return self._not_found(head, api=False)
        if self.host.storage and not stored:
            q = urllib.parse.quote
            self._status(302)
            self.send_header("Location", self.host.url("/storage/%s/%s" % (q(tag, safe=""), q(asset, safe=""))))
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        self._body(file, "application/octet-stream", head, mode, asset=True)

    def _asked_range(self, size: int, mode: str | None) -> tuple[int, int] | None:
        """(first, last) byte of an asset's Range that is served; None for
        the whole body; (size, size) when the range lies beyond the asset."""
        m = _RANGE.match(self.headers.get("Range") or "")
        if not m or mode == "whole" or not self.host.ranges:
            return None
        first = int(m.group(1))
        last = min(int(m.group(2)), size - 1) if m.group(2) else size - 1
        if first >= size:
            return size, size
        return (first, last) if last >= first else None

    def _body(self, src: bytes | Path, ctype: str, head: bool, mode: str | None,
              asset: bool = False) -> None:
        """Sends `src` (bytes or a file) as a 200 answer (206 for an asset's
        range), bent by `mode`."""
        size = len(src) if isinstance(src, bytes) else src.stat().st_size
        span = self._asked_range(size, mode) if asset else None
        if span and span[0] == size:
            self._status(416)
            self.send_header("Content-Range", "bytes */%d" % size)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if isinstance(mode, tuple):    # ("ranges", the other copy's bytes)
            src = bytes(mode[1]).ljust(size, b"\0")[:size] if span else src
            mode = None
        first, total = (span[0] if span else 0), size
        size = span[1] + 1 - first if span else size    # from here on: this answer's body
        if mode == "tamper" and size:
            data = bytearray(src if isinstance(src, bytes) else src.read_bytes())
            for at in range(first + size // 2, first + size):
                data[at] ^= 0xFF
            src = bytes(data)
        send = size                     # bytes of the real content to send
        announced = size
        extra = b""
        extra_size = 0
        pause = 0.0
        if mode == "short":
            send = size // 2
        elif mode == "truncated":
            send = announced = size // 2
        elif mode == "long":
            extra = (b"EXTRA-BYTES\n" * 86)[:1024]
            announced = size + len(extra)
        elif mode and mode.startswith("long:"):
            extra_size = int(mode[5:])
            announced = size + extra_size
        elif mode and mode.startswith("slow:"):
            pause = float(mode[5:]) / 1000.0
        elif mode and mode.startswith("drop:"):
            at = float(mode[5:])
            send = min(size, int(size * at) if "." in mode else int(at))
        self._status(206 if span else 200)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(announced))
        if asset and self.host.ranges:
            self.send_header("Accept-Ranges", "bytes")
        if span:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (first, span[1], total))
        self.end_headers()
        if head:
            return
        if isinstance(src, bytes):
            chunks = (src[i:i + CHUNK] for i in range(first, first + send, CHUNK))
            self._write_chunks(chunks, send, pause)
        else:
            with open(src, "rb") as f:
                f.seek(first)
                self._write_chunks(iter(lambda: f.read(CHUNK), b""), send, pause)
        if extra:
            self.wfile.write(extra)
        if extra_size:
            filler = (b"EXTRA-BYTES\n" * (CHUNK // 12 + 1))[:CHUNK]
            self._write_chunks(iter(lambda: filler, None), extra_size, 0)
        if mode == "short" or mode and mode.startswith("drop:"):
            self.wfile.flush()
            self._drop()

    def _write_chunks(self, chunks, limit: int, pause: float) -> None:
        left = limit
        for chunk in chunks:
            if left <= 0:
                break
            chunk = chunk[:left]
            if pause:
                time.sleep(pause)
            # Counted before the write returns, so that a client which has
            # the bytes already finds them in the log.
            self.rec.sent += len(chunk)
            try:
                self.wfile.write(chunk)
            except BaseException:
                self.rec.sent -= len(chunk)
                raise
            left -= len(chunk)


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def handle_error(self, request, client_address) -> None:
        # A client that hangs up mid-answer is normal here (faults, timeouts).
        if self.verbose:
            super().handle_error(request, client_address)


class _Server6(_Server):
    address_family = socket.AF_INET6

    def server_bind(self) -> None:
        self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        super().server_bind()


class ReleaseHost:
    """The release host double.

    root       folder tree served (settable at any time)
    port       HTTPS port (0 picks a free one; read .port after start())
    cert, key  PEM server certificate and key
    http_port  if not None, also serve plain HTTP there (0 picks a free one)
    bind       loopback addresses to listen on; "::1" is skipped with a
               warning where the machine has no IPv6 loopback
    host_name  host written into browser_download_url
    """

    def __init__(self, root: str | os.PathLike, port: int = DEFAULT_PORT,
                 cert: str | os.PathLike | None = None, key: str | os.PathLike | None = None,
                 http_port: int | None = None, bind: tuple[str, ...] = ("127.0.0.1", "::1"),
                 host_name: str = "localhost", verbose: bool = False):
        if cert is None or key is None:
            raise ValueError("ReleaseHost needs a certificate and a key")
        self.root = Path(root)
        self.port = port
        self.http_port = http_port
        self.cert, self.key = str(cert), str(key)
        self.bind = tuple(bind)
        self.host_name = host_name
        self.verbose = verbose
        self.escaped_slashes = False   # write "https:\/\/..." in release JSON
        self.delay_ms = 0              # added before every answer
        self.ranges = True             # assets are served with ranges
        self.storage = False           # release downloads are redirected to /storage/
        self.requests: list[Request] = []
        self.handshake_failures: list[str] = []
        self._lock = threading.Lock()
        self._queues: dict[str, collections.deque] = {}
        self._always: dict[str, Any] = {}
        self._servers: list[_Server] = []
        self._threads: list[threading.Thread] = []
        self._conns: set = set()

    # ------------------------------------------------------------ life
    def start(self) -> "ReleaseHost":
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(self.cert, self.key)
        try:
            self.port = self._listen(self.port, "https", ctx)
            if self.http_port is not None:
                self.http_port = self._listen(self.http_port, "http", None)
        except BaseException:
            self.stop()
            raise
        return self

    def _listen(self, port: int, scheme: str, ctx: ssl.SSLContext | None) -> int:
        """Listens on every bind address with one port; returns the port."""
        handler = type("Handler", (_Handler,), {"host": self, "scheme": scheme})
        for addr in self.bind:
            cls = _Server6 if ":" in addr else _Server
            try:
                srv = cls((addr, port), handler)
            except OSError as err:
                if cls is _Server6 and len(self.bind) > 1:
                    sys.stderr.write("release-host: not listening on [%s]:%d: %s\n" % (addr, port, err))
                    continue
                raise
            srv.verbose = self.verbose
            port = srv.server_address[1]
            if ctx is not None:
                srv.socket = ctx.wrap_socket(srv.socket, server_side=True,
                                             do_handshake_on_connect=False)
            t = threading.Thread(target=srv.serve_forever, kwargs={"poll_interval": 0.1},
                                 name="release-host-%s-%s" % (scheme, addr), daemon=True)
            t.start()
            self._servers.append(srv)
            self._threads.append(t)
        return port

    def stop(self) -> None:
        for srv in self._servers:
            srv.shutdown()
            srv.server_close()
        with self._lock:
            conns = list(self._conns)
        for c in conns:
            try:
                c.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        for t in self._threads:
            t.join(5)
        self._servers.clear()
        self._threads.clear()

    @property
    def running(self) -> bool:
        return bool(self._servers)

    def __enter__(self) -> "ReleaseHost":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    # ------------------------------------------------------------ test API
    def url(self, path: str = "/") -> str:
        """https://localhost:<port><path>"""
        return "https://%s:%d%s" % (self.host_name, self.port, path)

    def http_url(self, path: str = "/") -> str:
        """http://localhost:<http_port><path> (plain listener)."""
        if self.http_port is None:
            raise ValueError("this host has no plain HTTP listener")
        return "http://%s:%d%s" % (self.host_name, self.http_port, path)

    def script(self, path: str, actions: list) -> None:
        """Queues actions for `path` (exact request target, or '*' for any),
        one consumed per request; after them the path is served normally."""
        actions = [check_action(a) for a in actions]
        with self._lock:
            self._queues.setdefault(path, collections.deque()).extend(actions)

    def always(self, path: str, action: Any) -> None:
        """Applies `action` to every request for `path` (or '*'); None removes it."""
        check_action(action)
        with self._lock:
            if action is None:
                self._always.pop(path, None)
            else:
                self._always[path] = action

    def pending(self, path: str) -> list:
        """Scripted actions not yet consumed for `path`."""
        with self._lock:
            return list(self._queues.get(path, ()))

    def clear(self) -> None:
        """Forgets the request log."""
        with self._lock:
            self.requests.clear()
            self.handshake_failures.clear()

    def reset(self) -> None:
        """Clears scripts, always rules, the delay, ranges, storage, JSON style and the logs."""
        with self._lock:
            self._queues.clear()
            self._always.clear()
            self.requests.clear()
            self.handshake_failures.clear()
            self.delay_ms = 0
            self.ranges = True
            self.storage = False
            self.escaped_slashes = False

    def requests_for(self, path: str) -> list[Request]:
        with self._lock:
            return [r for r in self.requests if r.path == path]

    # ------------------------------------------------------------ content
    def latest_tag(self) -> str | None:
        try:
            tag = (self.root / "latest").read_text(encoding="utf-8").strip()
        except OSError:
            return None
        return _safe_name(tag) if tag else None

    def asset_url(self, tag: str, asset: str) -> str:
        q = urllib.parse.quote
        return "https://%s:%d/%s/releases/download/%s/%s" % (
            self.host_name, self.port, OWNER_REPO, q(tag, safe=""), q(asset, safe=""))

    def release_json(self, tag: str) -> bytes | None:
        """The forge-style JSON for release `tag`, None if there is none."""
        folder = self.root / "releases" / tag
        if not tag or not folder.is_dir():
            return None
        assets = sorted(p for p in folder.iterdir() if p.is_file())
        rid = sum(tag.encode()) + 1000
        doc: dict[str, Any] = {
            "name": "Stonewake Builder %s" % tag,   # the release's own name comes first
            "tag_name": tag,
            "id": rid,
            "target_commitish": "main",
            "draft": False,
            "prerelease": tag == "nightly",
            "created_at": "2024-05-01T12:00:00Z",
            "published_at": "2024-05-01T12:00:00Z",
            "url": "https://%s:%d/api/v1/repos/%s/releases/%d" % (self.host_name, self.port, OWNER_REPO, rid),
            "html_url": "https://%s:%d/%s/releases/tag/%s" % (self.host_name, self.port, OWNER_REPO,
                                                            urllib.parse.quote(tag, safe="")),
            "body": "Release %s" % tag,
        }
        meta = self.root / "releases" / (tag + ".meta.json")
        if meta.is_file():
            doc.update(json.loads(meta.read_text(encoding="utf-8")))
        doc["assets"] = [
            {
                "id": rid * 100 + i,
                "name": p.name,
                "size": p.stat().st_size,
                "download_count": 0,
                "created_at": "2024-05-01T12:00:00Z",
                "uuid": "%08x-0000-4000-8000-%012x" % (rid, i),
                "browser_download_url": self.asset_url(tag, p.name),
            }
            for i, p in enumerate(assets, 1)
        ]
        text = json.dumps(doc, indent=None, separators=(",", ":"))
        if self.escaped_slashes:
            text = text.replace("/", "\\/")
        return text.encode("utf-8")

    # ------------------------------------------------------------ internals
    def _take_action(self, target: str) -> Any:
        bare = urllib.parse.urlsplit(target).path
        with self._lock:
            for key in (target, bare, "*"):
                q = self._queues.get(key)
                if q:
                    return q.popleft()
            for key in (target, bare, "*"):
                if key in self._always:
                    return self._always[key]
        return None

    def _log(self, rec: Request) -> None:
        with self._lock:
            self.requests.append(rec)

    def _handshake_failed(self, err: BaseException) -> None:
        with self._lock:
            self.handshake_failures.append(str(err))

    def _track(self, conn, add: bool) -> None:
        with self._lock:
            (self._conns.add if add else self._conns.discard)(conn)


def main(argv: list[str] | None = None) -> int:
    build = Path(os.environ.get("STONEWAKE_BUILD_DIR", Path(__file__).resolve().parents[2] / "build" / "test"))
    ap = argparse.ArgumentParser(description="Serve releases from a folder over HTTPS on loopback.")
    ap.add_argument("--root", required=True, help="folder with latest and releases/<tag>/")
    ap.add_argument("--port", type=int, default=DEFAULT_PORT)
    ap.add_argument("--cert", default=str(build / "certs" / "server.pem"))
    ap.add_argument("--key", default=str(build / "certs" / "server.key"))
    ap.add_argument("--http-port", type=int, default=None, help="also serve plain HTTP here")
    ap.add_argument("--escaped-slashes", action="store_true", help='write "https:\\/\\/..." in JSON')
    ap.add_argument("--verbose", action="store_true", help="log each request to stderr")
    args = ap.parse_args(argv)

    host = ReleaseHost(args.root, port=args.port, cert=args.cert, key=args.key,
                       http_port=args.http_port, verbose=args.verbose)
    host.escaped_slashes = args.escaped_slashes
    host.start()
    print("release host: serving %s at %s" % (host.root, host.url("/")), flush=True)
    if host.http_port is not None:
        print("release host: plain HTTP at %s" % host.http_url("/"), flush=True)
    done = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: done.set())
    done.wait()
    host.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
