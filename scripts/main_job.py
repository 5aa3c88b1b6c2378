#!/usr/bin/env python3
"""The main job: a real first install of the Stonewake Builder under Wine.

Runs inside an X server (scripts/main.sh starts it under xvfb-run). It
publishes a release on the bundled local release host (an HTTPS server on
loopback), starts the release build of the setup in window mode with its
per-user Builder home, takes a picture of the progress window while a part
downloads, waits for the setup to start the Builder, and prints the Builder
home's tree and what the Builder received.

The release build's own release host is a public name, so the setup list's
address is handed to it through TARNWICK_SETUP_LIST; the parts' addresses in
that list point at the local host as well.
"""
from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import time
import urllib.parse
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "host"))

import make_release  # noqa: E402
from release_host import ReleaseHost  # noqa: E402

MAIN = REPO / "build" / "main"
TEST = REPO / "build" / "test"
SETUP = REPO / "build" / "release" / "StonewakeBuilder-Setup.exe"
DOUBLES = TEST / "doubles"
PORT = 47443
TAG = "1.0.0"


def win_path(path: Path) -> str:
    """Wine maps Z: to the Unix root."""
    return "Z:" + str(path).replace("/", "\\")


def wine_env() -> dict:
    env = dict(os.environ)
    env.update(WINEPREFIX=str(MAIN / "prefix"), WINEDEBUG="-all", WINEARCH="win64")
    return env


def probe(*args: str) -> dict | None:
    out = MAIN / "probe.out"
    with open(out, "wb") as sink:
        rc = subprocess.call(["wine", str(DOUBLES / "winprobe.exe"), *args], env=wine_env(),
                             stdout=sink, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    text = out.read_text(encoding="utf-8", errors="replace").strip().splitlines()
    return json.loads(text[-1]) if rc == 0 and text else None


def label_of(window: dict) -> str:
    for child in window.get("children", []):
        if child.get("class", "").upper() == "STATIC":
            return child.get("text", "")
    return ""


def screenshot(window: dict, target: Path) -> bool:
    """Crops the window out of a picture of the whole X screen."""
    rect = window["rect"]
    whole = MAIN / "screen.png"
    if subprocess.call(["import", "-window", "root", str(whole)]) != 0:
        return False
    crop = "%dx%d+%d+%d" % (rect["w"], rect["h"], rect["x"], rect["y"])
    return subprocess.call(["convert", str(whole), "-crop", crop, "+repage", str(target)]) == 0


def print_tree(top: Path) -> None:
    print(top)
    for path in sorted(top.rglob("*")):
        depth = len(path.relative_to(top).parts)
        size = "" if path.is_dir() else "  (%d bytes)" % path.stat().st_size
        print("  " * depth + path.name + ("/" if path.is_dir() else "") + size)


def main() -> int:
    prefix = MAIN / "prefix"
    users = prefix / "drive_c" / "users"
    user = next(p for p in users.iterdir() if p.name != "Public")
    home = user / "AppData" / "Local" / "StonewakeBuilder"
    shutil.rmtree(home, ignore_errors=True)

    root = MAIN / "host-root"
    shutil.rmtree(root, ignore_errors=True)
    # A release like a real one: the Builder, two tools, the engine, and one
    # larger part that the host sends slowly enough to be seen downloading.
    big = make_release.tool_part("third_party", "2026.12", size=24 << 20, stored=True)
    release = make_release.standard_release(root, TAG, DOUBLES / "recorder.exe", latest=True,
                                            extra_parts=[big], host="localhost:%d" % PORT)
    record = MAIN / "builder-record.jsonl"
    record.unlink(missing_ok=True)

    with ReleaseHost(root, port=PORT, cert=MAIN / "certs" / "server.pem",
                     key=MAIN / "certs" / "server.key") as host:
        slow = next(p for p in release.parts if p.asset == big.asset)
        host.always(urllib.parse.urlsplit(slow.url).path, "slow:60")
        env = wine_env()
        env.pop("TARNWICK_SETUP_BASE", None)
        env.pop("TARNWICK_BUILDER_PORTABLE", None)
        env["TARNWICK_SETUP_LIST"] = ("https://localhost:%d/Stonewake/Stonewake/releases/latest/"
                                      "download/tarnwick-setup.txt" % PORT)
        env["STONEWAKE_RECORD"] = win_path(record)
        print("Starting the setup (window mode) with %d parts on https://localhost:%d ..."
              % (len(release.parts), PORT))
        started = time.monotonic()
        with open(MAIN / "setup.out", "wb") as out:
            setup = subprocess.Popen(["wine", str(SETUP)], env=env, stdin=subprocess.DEVNULL,
                                     stdout=out, stderr=subprocess.STDOUT)
        picture = MAIN / "progress-window.png"
        picture.unlink(missing_ok=True)
        while setup.poll() is None and not picture.exists():
            window = probe("window", "StonewakeSetup", "Stonewake Builder setup", "2000")
            if window and label_of(window).startswith("Downloading part %d" % len(release.parts)):
                time.sleep(1.0)  # let the bar move a little
                window = probe("window", "StonewakeSetup", "Stonewake Builder setup", "2000") or window
                if screenshot(window, picture):
                    print("Progress window while downloading: %s  (status: %s)"
                          % (picture, label_of(window)))
            time.sleep(0.2)
        rc = setup.wait(timeout=600)
        print("The setup returned %d after %.1f s; the release host answered %d requests."
              % (rc, time.monotonic() - started, len(host.requests)))

    deadline = time.monotonic() + 20
    while not (record.exists() and record.read_text().strip()) and time.monotonic() < deadline:
        time.sleep(0.2)
    print("\nThe Builder home:")
    print_tree(home)
    print("\nWhat the Builder received:")
    if record.exists() and record.read_text().strip():
        for line in record.read_text(encoding="utf-8").splitlines():
            print(json.dumps(json.loads(line), indent=2, ensure_ascii=False))
    else:
        print("  nothing: the Builder was not started")
        return 1
    return rc


if __name__ == "__main__":
    sys.exit(main())
