"""End-to-end tests of the release lookup, through the setup's exe under Wine
against the release host double: where the setup list is asked for, how each
answer is classified, the release API fallback, the retry schedule with its
status lines, the checks of the list as a user sees them, and the tag check.

Waits of the test build are a hundredth of the real ones (the messages still
show real seconds), so a gap of w seconds shows in the host's log as about
10 w ms; only loose lower bounds are asserted on timing."""

from __future__ import annotations

import dataclasses
import re
import socket
import subprocess
import urllib.parse

import pytest

import make_release as mr
from conftest import DOUBLES, RELEASE_HOST
from release_host import ReleaseHost

UA = "StonewakeBuilder-Setup/1.0"
RELEASES = "/Stonewake/Stonewake/releases"
LATEST = RELEASES + "/latest/download/tarnwick-setup.txt"
API_LATEST = "/api/v1/repos/Stonewake/Stonewake/releases/latest"
JSON_TYPE = "application/vnd.github+json"
OCTETS = "application/octet-stream"
WAITS = (3, 6, 12, 20, 30, 45, 60)

LOOKING = "Looking for the latest Stonewake Builder..."
RETRY = re.compile(r"The download server didn't answer \((\d+)\)\. Trying again in (\d+) s\.\.\.\Z")
NO_FILES = ("The latest Stonewake release has no setup files yet. See the releases page: "
            "https://%s/Stonewake/Stonewake/releases/latest" % RELEASE_HOST)
FAILING = ("%s is failing right now (an error 500 or above, tried 8 times over 3 minutes). "
           "Try again in a few minutes, or later today." % RELEASE_HOST)
UNREACHABLE = ("Could not reach %s to get the Stonewake Builder. Check your internet "
               "connection and try again." % RELEASE_HOST)
UNREADABLE = "The release's setup list could not be read. Try again later."
REFUSED = "The release's setup list has a name this setup does not accept. Try again later."
OTHER_TAG = ("The server answered with the setup list of %s, not %s (its download links can lag "
             "right after a release). Try the update again in a few minutes.")


def tagged(tag: str) -> str:
    return "%s/download/%s/tarnwick-setup.txt" % (RELEASES, tag)


def url_path(url: str) -> str:
    return urllib.parse.urlsplit(url).path


def error_line(message: str) -> bytes:
    return b"error " + message.encode("utf-8") + b"\n"


def fetch_lines(retried) -> list[str]:
    """The status lines of a fetch whose failed attempts showed `retried`
    ((status, seconds) each)."""
    lines = [LOOKING]
    for code, wait in retried:
        lines += ["The download server didn't answer (%d). Trying again in %d s..." % (code, wait), LOOKING]
    return lines


def retried(result) -> list[tuple[int, int]]:
    return [(int(m[1]), int(m[2])) for m in map(RETRY.match, result.texts) if m]


def seen(host) -> list[tuple[str, int | None]]:
    return [(q.path, q.status) for q in host.requests]


def assert_failed(result, message: str) -> None:
    """A CLI run that ended in exactly this one error line, with no Builder."""
    assert (result.rc, result.stderr) == (1, error_line(message)), result.texts
    assert result.records == []


def assert_installed(result, home, rel) -> None:
    assert (result.rc, result.stderr.count(b"error ")) == (0, 0), (result.stderr, result.texts)
    assert [r["exe"].rsplit("\\", 1)[-1] for r in result.records] == ["StonewakeBuilder.exe"]
    assert (home / "versions" / rel.tag / "installed.txt").read_bytes() == rel.tag.encode()


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ---------------------------------------------------------------- outcome classes
@pytest.mark.parametrize("code, message", [(404, NO_FILES), (401, FAILING), (410, FAILING)])
def test_final_refusal_ends_at_once(host, run_setup, code, message):
    host.always(LATEST, code)
    r = run_setup("--cli")
    assert_failed(r, message)
    assert r.texts == [LOOKING]
    assert seen(host) == [(LATEST, code)]     # no API lookup below 500


@pytest.mark.parametrize("code", [403, 408, 429])
def test_held_back_waits_and_tries_again_without_the_api(host, run_setup, code):
    host.script(LATEST, [code, 404])
    r = run_setup("--cli")
    assert_failed(r, NO_FILES)
    assert r.texts == fetch_lines([(code, 3)])
    assert seen(host) == [(LATEST, code), (LATEST, 404)]
    first, second = host.requests
    assert second.mono_ms - first.mono_ms >= 0.8 * 30


def test_server_errors_everywhere_run_the_whole_schedule(host, run_setup):
    host.always("*", 503)
    r = run_setup("--cli")
    assert_failed(r, FAILING)
    assert r.texts == fetch_lines([(503, w) for w in WAITS])
    # every attempt: the direct request, then the API lookup; no wait after the last
    assert [(q.path, q.accept, q.user_agent) for q in host.requests] == \
        [(LATEST, None, UA), (API_LATEST, JSON_TYPE, UA)] * 8
    direct = host.requests_for(LATEST)
    api = host.requests_for(API_LATEST)
    shown = [ms for ms, text in r.status if RETRY.match(text)]
    for i, w in enumerate(WAITS):
        # the status log and the host share the wall clock
        assert api[i].wall_ms <= shown[i] <= direct[i + 1].wall_ms
        assert direct[i + 1].wall_ms - shown[i] >= 0.8 * w * 10
        assert direct[i + 1].mono_ms - api[i].mono_ms >= 0.8 * w * 10


def test_empty_answers_are_broken_transfers(host, run_setup):
    host.always(LATEST, "empty")
    r = run_setup("--cli")
    assert_failed(r, FAILING)
    assert r.texts == fetch_lines([(200, w) for w in WAITS])
    assert seen(host) == [(LATEST, 200)] * 8


@pytest.fixture
def untrusted(host, certs):
    """A second host whose certificate the prefix does not trust."""
    h = ReleaseHost(host.root, port=0, cert=certs / "untrusted.pem", key=certs / "untrusted.key").start()
    # Wine's client checks the chain after the handshake and hangs up before
    # any request: count the connections to see that it did get here.
    h.connections = []
    track = h._track
    h._track = lambda conn, add: (add and h.connections.append(conn), track(conn, add))[1]
    yield h
    h.stop()


@pytest.mark.parametrize("road", ["closed port", "host stopped", "untrusted certificate"])
def test_no_answer_is_retried_then_named(request, host, run_setup, road):
    env = None
    if road == "closed port":
        env = {"TARNWICK_SETUP_LIST": "https://localhost:%d/x/tarnwick-setup.txt" % free_port()}
    elif road == "host stopped":
        host.stop()
    else:
        other = request.getfixturevalue("untrusted")
        env = {"TARNWICK_SETUP_LIST": other.url("/x/tarnwick-setup.txt")}
    r = run_setup("--cli", env=env)
    assert_failed(r, UNREACHABLE)
    assert r.texts == fetch_lines([(0, w) for w in WAITS])
    assert host.requests == []
    if road == "untrusted certificate":
        assert other.requests == [] and len(other.connections) == 8


# ---------------------------------------------------------------- release API fallback
@pytest.mark.parametrize("escaped", [False, True], ids=["plain-json", "escaped-slashes"])
def test_api_fallback_brings_the_list_and_the_install_goes_on(host, home, publish, run_setup, escaped):
    rel = publish("2.4.0")
    host.escaped_slashes = escaped
    host.script(LATEST, [502])
    r = run_setup("--cli")
    assert_installed(r, home, rel)
    assert retried(r) == [] and r.texts[0] == LOOKING
    # each request kind with its Accept type: the direct list, the API, the
    # asset link from the API, then every part from its own address
    assert [(q.path, q.accept, q.status) for q in host.requests] == [
        (LATEST, None, 502), (API_LATEST, JSON_TYPE, 200), (tagged("2.4.0"), OCTETS, 200),
    ] + [(url_path(p.url), None, 200) for p in rel.parts]
    assert {(q.method, q.user_agent) for q in host.requests} == {("GET", UA)}


@pytest.mark.parametrize("api, shown, requests", [
    # the API knows no release: its 404 ends the fetch at once
    ("no release", [], [(LATEST, 502), (API_LATEST, 404)]),
    # the release has no setup list: a broken transfer, retried
    ("no asset", [(200, 3)], [(LATEST, 502), (API_LATEST, 200), (LATEST, 404)]),
    # the asset link fails: the retry names the direct request's status
    ("link fails", [(502, 3)], [(LATEST, 502), (API_LATEST, 200), (tagged("2.4.0"), 500), (LATEST, 404)]),
])
def test_api_fallback_outcomes(host, publish, run_setup, api, shown, requests):
    host.script(LATEST, [502, 404])
    if api != "no release":
        rel = publish("2.4.0")
        if api == "no asset":
            rel.list_path.unlink()
        else:
            host.always(tagged("2.4.0"), 500)
    r = run_setup("--cli")
    assert_failed(r, NO_FILES)
    assert r.texts == fetch_lines(shown)
    assert seen(host) == requests


# ---------------------------------------------------------------- address and tag
@pytest.mark.parametrize("args, setup_list, path", [
    ("--tag 2.4.1", None, tagged("2.4.1")),
    ("--tag 2.4.1-14-g1a2b3c4", None, tagged("nightly")),
    ("--tag 2.4.1", "/elsewhere/tarnwick-setup.txt", "/elsewhere/tarnwick-setup.txt"),
])
def test_setup_list_address(host, run_setup, args, setup_list, path):
    env = None if setup_list is None else {"TARNWICK_SETUP_LIST": setup_list and host.url(setup_list)}
    r = run_setup(("--cli " + args).strip(), env=env)
    assert_failed(r, NO_FILES)          # it speaks of the latest release even for a tag
    assert [(q.path, q.accept, q.user_agent) for q in host.requests] == [(path, None, UA)]


@pytest.mark.parametrize("asked, served, at", [
    ("2.4.1", "2.4.0", "2.4.1"),
    ("2.4.1-14-g1a2b3c4", "nightly", "nightly"),   # a nightly list passes only under its own tag
])
def test_list_of_another_tag_is_refused(host, publish, run_setup, asked, served, at):
    rel = publish(served, latest=False)
    mr.write_setup_list(host.root, at, rel.setup_list)
    r = run_setup("--cli --tag " + asked)
    assert_failed(r, OTHER_TAG % (served, asked))
    assert seen(host) == [(tagged(at), 200)]   # no part is fetched


@pytest.mark.parametrize("tail, passed_on", [
    ("--cli one --repair two", "--cli one  two"),
    ("--cli --repair x --repair", "--cli  x --repair"),   # only the first one goes
])
def test_repair_is_taken_out_of_the_command_line(host, home, publish, run_setup, tail, passed_on):
    rel = publish("2.4.0")
    r = run_setup(tail)
    assert_installed(r, home, rel)
    exe, rest = r.records[0]["cmdline"].split('" ', 1)
    assert exe.startswith('"') and rest == passed_on


# ---------------------------------------------------------------- transfer
def test_redirect_within_https_is_followed(host, run_setup):
    moved = "/moved/tarnwick-setup.txt"
    host.script(LATEST, ["redirect:" + host.url(moved)])
    host.script(moved, ["body:Tag 2.4.0\n"])
    r = run_setup("--cli")
    assert_failed(r, UNREADABLE)        # the target's body was read
    assert seen(host) == [(LATEST, 302), (moved, 200)]
    assert {q.user_agent for q in host.requests} == {UA}


def test_redirect_from_https_to_http_is_refused(host, publish, run_setup):
    publish("2.4.0")                    # the plain listener would serve the list
    host.always(LATEST, "redirect:" + host.http_url(LATEST))
    host.always(API_LATEST, 404)
    r = run_setup("--cli")
    assert [q for q in host.requests if q.scheme == "http"] == []
    # Wine's client ends the request without an answer (the API is asked and
    # its 404 is final); a client that hands back the 302 makes it final itself
    assert (r.rc, r.records) == (1, [])
    assert (r.stderr, seen(host)) in [
        (error_line(NO_FILES), [(LATEST, 302), (API_LATEST, 404)]),
        (error_line(FAILING), [(LATEST, 302)]),
    ]


# ---------------------------------------------------------------- the list as read
@pytest.mark.parametrize("eol, extra", [
    ("\r\n", ()),
    ("\r", ()),
    ("\n\n\r\n", ("", "note unknown keys are ignored", "# so are comments")),
], ids=["crlf", "cr", "blank-lines"])
def test_line_ends_and_blank_lines_install_alike(host, home, publish, run_setup, eol, extra):
    rel = publish("2.4.0", eol=eol, extra_lines=extra)
    assert eol.encode() in rel.setup_list
    r = run_setup("--cli")
    assert_installed(r, home, rel)
    assert [q.path for q in host.requests[1:]] == [url_path(p.url) for p in rel.parts]
    exe = home / "versions" / "2.4.0" / "StonewakeBuilder" / "StonewakeBuilder.exe"
    assert exe.read_bytes() == (DOUBLES / "recorder.exe").read_bytes()
    assert (home / "versions" / "2.4.0" / "StonewakeBuilder" / "tools" / "python" / "VERSION").read_bytes() \
        == b"3.12.4\n"


def _edit(i, field, change):
    """The standard lines with one field of part i changed."""
    return lambda rel: rel.lines()[:2] + [
        (dataclasses.replace(p, **{field: change(getattr(p, field))}) if n == i else p).line()
        for n, p in enumerate(rel.parts)]


@pytest.mark.parametrize("lines, message", [
    (lambda rel: ["Tag 2.4.0"] + rel.lines()[1:], UNREADABLE),
    (lambda rel: ["\ufefftag 2.4.0"] + rel.lines()[1:], UNREADABLE),
    (lambda rel: rel.lines()[:2] + [rel.parts[0].line().rsplit(" ", 2)[0] + " " + rel.parts[0].url],
     UNREADABLE),                                       # its only part line has five fields
    (_edit(1, "sha256", str.upper), REFUSED),
    (_edit(2, "url", lambda url: url.replace("https://", "http://")), REFUSED),
    (_edit(3, "dir", lambda _: ".."), REFUSED),
    (_edit(0, "frm", lambda _: "StonewakeBuilder-win-x64/bin"), REFUSED),
], ids=["capital-Tag", "byte-order-mark", "five-fields", "upper-digest", "http-url", "dir-dotdot",
        "from-slash"])
def test_bad_list_ends_before_any_download(host, publish, run_setup, lines, message):
    rel = publish("2.4.0")
    rel.rewrite_list(lines(rel))
    r = run_setup("--cli")
    assert_failed(r, message)
    assert seen(host) == [(LATEST, 200)]


# ---------------------------------------------------------------- the signed list
NOT_SIGNED = ("The release's setup list is not signed by the Stonewake Builder's publisher, so this setup "
              "will not use it. Try again later.")
OLDER = ("The server answered with an older setup list than this Builder home has already used, so "
         "this setup will not use it. Try again in a few minutes.")


def _signed(rel, key=None, serial=200, head=b"") -> bytes:
    """The release's standard lines, signed by `key` (default the build's)."""
    text = head + "".join(line + "\n" for line in rel.lines()).encode()
    return mr.sign_list(text, key or mr.signing_key(), serial)


def _changed(old: bytes, new: bytes):
    return lambda rel, keys: _signed(rel).replace(old, new, 1)


def _last_hex_flipped(rel, keys) -> bytes:
    data = _signed(rel)
    return data[:-2] + (b"0" if data[-2:-1] != b"0" else b"1") + data[-1:]


@pytest.mark.parametrize("make, tail, message", [
    (lambda rel, keys: "".join(l + "\n" for l in rel.lines()).encode(), "", NOT_SIGNED),
    (_changed(b"tag 2.4.0", b"tag 2.4.1"), "", NOT_SIGNED),
    (_changed(b"StonewakeBuilder.exe\n", b"StonewakeBuilder.exf\n"), "", NOT_SIGNED),
    (lambda rel, keys: _signed(rel).replace(b" %d " % rel.parts[1].size, b" %d " % (rel.parts[1].size + 1), 1),
     "", NOT_SIGNED),
    (_changed(b"serial 200", b"serial 201"), "", NOT_SIGNED),
    (_last_hex_flipped, "", NOT_SIGNED),
    (lambda rel, keys: _signed(rel, keys / "other" / "publisher.key"), "", NOT_SIGNED),
    (lambda rel, keys: _signed(rel) + b"note after the signature\n", "", NOT_SIGNED),
    (lambda rel, keys: _signed(rel) + _signed(rel).splitlines(keepends=True)[-1], "", NOT_SIGNED),
    (lambda rel, keys: _signed(rel, serial=7, head=b"serial 7\n"), "", NOT_SIGNED),   # two serial lines
    (lambda rel, keys: _signed(rel, serial=-1), "", NOT_SIGNED),                        # no serial line
    (lambda rel, keys: _signed(rel, serial=99), "", OLDER),
    (lambda rel, keys: _signed(rel, serial=99), "--tag 2.4.0", b"100"),
    (lambda rel, keys: _signed(rel, serial=99), '"D:\\Games\\Demo --tag 2.4.0"', OLDER),  # not an option
    (lambda rel, keys: _signed(rel, serial=100), "", b"100"),
    (lambda rel, keys: _signed(rel, keys / "spare" / "publisher.key"), "", b"200"),
], ids=["unsigned", "tag-byte", "run-byte", "part-byte", "serial-byte", "signature-byte", "unknown-key",
        "line-after", "two-signatures", "two-serials", "no-serial", "older-serial", "older-serial-tagged",
        "older-serial-quoted-tag", "equal-serial", "spare-key"])
def test_only_a_list_the_publisher_signed_is_used(host, home, publish, run_setup, make, tail, message):
    """The home has used serial 100; each list is refused with its message, or
    installed (`message` is then the serial the home records)."""
    key = mr.signing_key()
    if key is None:
        pytest.skip("a build without publisher keys checks no signature")
    keys = key.parent
    if not (keys / "other" / "publisher.key").exists():
        subprocess.run(["sh", str(mr.REPO / "scripts" / "keys.sh"), str(keys / "other")], check=True,
                       capture_output=True)
    rel = publish("2.4.0")
    rel.rewrite_list(make(rel, keys), sign=False)
    (home / "versions").mkdir()
    (home / "versions" / "serial.txt").write_bytes(b"100")
    r = run_setup("--cli " + tail)
    if isinstance(message, str):
        assert_failed(r, message)
        assert seen(host) == [(tagged("2.4.0") if "--tag" in tail else LATEST, 200)]
        assert sorted(p.name for p in (home / "versions").iterdir()) == ["serial.txt"]
    else:
        assert_installed(r, home, rel)
    assert (home / "versions" / "serial.txt").read_bytes() == (b"100" if isinstance(message, str) else message)


def test_sixteen_parts_are_all_installed(host, home, publish, run_setup):
    """Sixteen is the most a list may name (a 17th line, or a short one,
    refuses the list: test_hostile)."""
    rel = publish("2.4.0", extra_parts=[mr.tool_part("extra%02d" % i, "1.0") for i in range(12)])
    assert len(rel.parts) == 16
    r = run_setup("--cli")
    assert_installed(r, home, rel)
    assert [q.path for q in host.requests[1:]] == [url_path(p.url) for p in rel.parts]


def test_an_empty_setup_list_variable_is_the_same_as_unset(host, publish, run_setup):
    publish("2.4.0")
    r = run_setup("--cli", env={"TARNWICK_SETUP_LIST": ""})
    assert r.rc == 0, r.stderr
    assert r.records[0]["env"]["TARNWICK_SETUP_LIST"] == "", "the variable did not reach the setup set and empty"
    assert host.requests[0].path == LATEST


def test_queries_are_requested_as_given(host, home, publish, run_setup):
    """The setup list's address and a part's url keep their query; a
    fragment is never sent."""
    rel = publish("2.4.0")
    lines = rel.lines()
    lines[3] = dataclasses.replace(rel.parts[1], url=rel.parts[1].url + "?sig=a%2Fb&x=1#frag").line()
    rel.rewrite_list(lines)
    r = run_setup("--cli", env={"TARNWICK_SETUP_LIST": host.url(LATEST + "?token=7&y=%20")})
    assert_installed(r, home, rel)
    paths = [q.path for q in host.requests]
    assert paths[0] == LATEST + "?token=7&y=%20"
    assert url_path(rel.parts[1].url) + "?sig=a%2Fb&x=1" in paths


# ---------------------------------------------------------------- window mode
TAG = ("The release tag \"%s\" given with --tag is not one this setup can look for. A tag holds only "
       "letters, digits, '.', '_', '+' and '-'.")


@pytest.mark.parametrize("tail, text, texts", [("", NO_FILES, [LOOKING]), ("--tag a/b", TAG % "a/b", [])],
                         ids=["fetch-error", "before-the-window"])
def test_window_mode_shows_a_fatal_error_in_a_box_owned_by_the_disabled_window(host, run_setup, probe,
                                                                               tail, text, texts):
    """Also a failure that comes before the window exists waits for it."""
    host.always(LATEST, 404)
    run = run_setup(tail, background=True)
    box = probe("msgbox", "Stonewake Builder setup", 30000, "press")
    r = run.wait(60)
    assert box.rc == 0, box
    assert (box.json["text"], box.json["buttons"], box.json["closed"]) == (text, ["OK"], True)
    assert (box.json["owner_class"], box.json["owner_enabled"]) == ("StonewakeSetup", False)
    assert (r.rc, r.stderr, r.records) == (1, b"", [])
    assert r.texts == texts
