"""End-to-end: the progress window as another process sees it, the status
line and bar while the worker runs, and the fatal error's message box."""

from __future__ import annotations

import urllib.parse

import pytest

import make_release as mr
from test_startup import CAPTION, LIST_PATH, LOOKING, STARTING, no_setup_files, records_of

CLASS = "StonewakeSetup"
TITLE = "Stonewake Builder setup"
WS_CAPTION, WS_SYSMENU, WS_MINIMIZEBOX = 0x00C00000, 0x00080000, 0x00020000
WS_MAXIMIZEBOX, WS_THICKFRAME = 0x00010000, 0x00040000
WS_CHILD, WS_VISIBLE = 0x40000000, 0x10000000
PBS_MARQUEE = 0x08


def watch(probe, ms: int = 20000, interval: int = 15) -> list[dict]:
    """The window's states until it goes away (the last line says "gone")."""
    p = probe("watch", CLASS, TITLE, str(ms), str(interval), timeout=ms / 1000 + 30)
    assert p.rc == 0, "the setup window never appeared"
    assert p.lines[-1].get("gone"), "the window was still there after %d ms" % ms
    return [line for line in p.lines if "label" in line]


@pytest.mark.parametrize("tail, visible", [("", True), ("--cli", False)], ids=["window", "cli"])
def test_the_window_its_label_and_its_bar(run_setup, publish, host, probe, tail, visible):
    """The same window in both modes; CLI mode never shows it. Its class icon
    and the label's font are read inside the setup's process (winprobe's hook)."""
    publish("v1")
    host.script(LIST_PATH, ["delay:2500"])      # keeps the window up while it is read
    run = run_setup(tail, background=True)
    w = probe("window", CLASS, TITLE, "10000").json
    r = run.wait(60)
    assert r.rc == 0 and len(records_of(r)) == 1

    assert (w["class"], w["title"], w["visible"]) == (CLASS, TITLE, visible)
    assert w["icon"], "the class has no icon"
    style = w["style"]
    assert style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX) == WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX
    assert style & (WS_MAXIMIZEBOX | WS_THICKFRAME) == 0
    screen = w["screen"]
    assert w["rect"] == {"x": (screen["w"] - 460) // 2, "y": (screen["h"] - 140) // 2, "w": 460, "h": 140}

    label, bar = w["children"]
    assert label["class"].upper() == "STATIC" and label["style"] == WS_CHILD | WS_VISIBLE
    assert label["rect"] == {"x": 16, "y": 16, "w": 412, "h": 22}
    assert label["text"] in ("Starting...", LOOKING)
    assert label["font"] == {"face": "Segoe UI", "height": -15, "weight": 400}
    assert bar["class"] == "msctls_progress32" and bar["text"] == ""
    assert bar["style"] & (WS_CHILD | WS_VISIBLE | PBS_MARQUEE) == WS_CHILD | WS_VISIBLE | PBS_MARQUEE
    assert bar["rect"] == {"x": 16, "y": 48, "w": 412, "h": 20}
    assert bar["range"] == [0, 100]


def test_the_label_follows_the_status_and_the_bar_shows_a_download(run_setup, publish, host, probe):
    """Retries make status lines follow each other quickly; a slow part of
    2 MiB shows its percentage. Every label seen is a whole status line."""
    big = mr.tool_part("big", "1.0", size=2 * 1024 * 1024, stored=True)
    rel = publish("v1", extra_parts=[big])
    host.script("*", [503, 503, 503, 503])       # two attempts: the list and its API fallback
    host.script(urllib.parse.urlsplit(rel.parts[-1].url).path, ["slow:120"])
    run = run_setup("", background=True)
    states = watch(probe)
    r = run.wait(60)
    assert r.rc == 0 and len(records_of(r)) == 1

    count = len(rel.parts)
    downloading = "Downloading part %d of %d (2 MB)..." % (count, count)
    assert r.texts[:5] == [LOOKING, "The download server didn't answer (503). Trying again in 3 s...",
                           LOOKING, "The download server didn't answer (503). Trying again in 6 s...", LOOKING]
    assert downloading in r.texts and r.texts[-1] == STARTING

    # The probe reads a label's length and then its text with two messages;
    # a label that changes in between reads as the new text cut to the old
    # length. Such a read is the start of a status line; a torn line is not.
    texts = set(r.texts) | {"Starting..."}
    for s in states:
        if s["label"] not in texts:
            whole = [t for t in texts if t.startswith(s["label"])]
            assert whole, "a label that is no status line: %r" % s["label"]
            s["label"] = whole[0] if len(whole) == 1 else None
    labels = [s["label"] for s in states]
    seen = [t for i, t in enumerate(labels) if t and (i == 0 or labels[i - 1] != t)]
    it = iter(r.texts)
    assert all(t in it for t in seen if t != "Starting..."), "labels out of order: %r" % seen
    assert downloading in labels

    # The bar leaves the marquee for a position only while a part downloads.
    # The probe reads the position before the style, so its first reading
    # after the style changed may still be the bar's previous position.
    during = [s["pos"] for s in states if s["label"] == downloading and not s["marquee"]][1:]
    assert any(0 < p < 100 for p in during), "no position during the download: %r" % during
    assert during == sorted(during) and len(set(during)) > 3
    unpacking = "Unpacking part %d of %d..." % (count, count)
    marquee = {"Starting...", LOOKING, unpacking, STARTING} | {t for t in r.texts if "Trying again" in t}
    assert all(s["marquee"] for s in states if s["label"] in marquee)
