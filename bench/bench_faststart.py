#!/usr/bin/python3
"""Fast start and second start: time from process start to the Builder's
start with a ready installed version.

- `StonewakeBuilder-Setup.exe --launch`, with an explicit home
  (TARNWICK_SETUP_BASE) and with the per-user home, against the platform's
  limit in the same run: bare_launch.exe (CreateProcessW only) and
  shell_launch.exe (SHGetFolderPathW, then CreateProcessW) starting the same
  Builder; starting the Builder directly is printed as a reference.
- The second start: the setup without options (window mode, explicit home),
  which asks for the setup list, finds that version installed and starts it,
  against `platform_main.exe start` (one WinHTTP GET of the list, then
  CreateProcessW of the Builder).

Twenty runs each, interleaved, after one unmeasured warm-up of each; medians
with min-max; the ratios are setup / bare launcher (explicit home), setup /
shell launcher (per-user home) and the second start's difference in ms.

The Builder is the recorder double: it appends its record line as soon as it
runs. The time is the record file's modification time minus the moment just
before `wine ...` is started (both on the system clock; the file time has the
kernel's timestamp granularity, a few ms at most).

    bench_faststart.py [<build dir>]     -> <build>/bench/faststart.json
"""

from __future__ import annotations

import json
import shutil
import subprocess
import time

import benchlib as bl

TAG = "bench-fast"
RUNS = 20
BUILDER = "StonewakeBuilder.exe"


def start_once(wine, args, env: dict, cwd, record, logs) -> tuple[float, dict]:
    """Starts `wine args...`; returns (seconds until the record was written,
    the record). Waits until the Builder has ended."""
    record.unlink(missing_ok=True)
    with open(logs / "stdout", "wb") as out, open(logs / "stderr", "wb") as err:
        t0 = time.time_ns()
        proc = subprocess.Popen(["wine", *map(str, args)], env=dict(wine.env, **env), cwd=str(cwd),
                                stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        rc = proc.wait(60)
    if rc != 0:
        raise bl.BenchError("%s exited with %d" % (args[0], rc))
    end = time.monotonic() + 30
    while not record.exists() or not record.read_bytes().endswith(b"\n"):
        if time.monotonic() > end:
            raise bl.BenchError("the Builder double wrote no record after %s" % args[0])
        time.sleep(0.01)
    seconds = (record.stat().st_mtime_ns - t0) / 1e9
    bl.wait_gone(BUILDER)
    return seconds, json.loads(record.read_bytes())


def body() -> None:
    bare, shell, platform = bl.OUT / "bare_launch.exe", bl.OUT / "shell_launch.exe", bl.OUT / "platform_main.exe"
    bl.require(bare, shell, platform)
    names = ["direct", "bare", "shell", "explicit", "per-user", "platform-second", "second"]
    list_path = "/Stonewake/Stonewake/releases/latest/download/tarnwick-setup.txt"
    runs = {n: [] for n in names}
    with bl.scratch("host-root-faststart", "work/faststart") as (root, work), \
            bl.wine_session() as wine, bl.release_host(root) as host:
        record = work / "record.jsonl"
        bl.make_release.standard_release(root, TAG, bl.DOUBLES / "recorder.exe", latest=True,
                                         host=bl.RELEASE_HOST)
        # The per-user home, installed once; the explicit runs name it.
        home_path = wine.local_appdata / "StonewakeBuilder"
        if home_path.exists():
            raise bl.BenchError("the prefix already has a per-user home: %s" % home_path)
        try:
            runner = bl.setup_runner(wine, home_path, work / "install-run")
            bl.timed_setup(runner, "--cli")           # the ready installed version
            home = runner.home
            builder = home.path / "versions" / TAG / "StonewakeBuilder" / BUILDER
            bl.require(builder)
            rec_env = {"STONEWAKE_RECORD": wine.to_win(record)}
            explicit = dict(rec_env, TARNWICK_SETUP_BASE=home.win)
            starts = {
                "direct": ([builder], explicit, builder.parent),
                "bare": ([bare, wine.to_win(builder)], explicit, work),
                "shell": ([shell, wine.to_win(builder)], explicit, work),
                "explicit": ([bl.SETUP_EXE, "--launch"], explicit, work),
                "per-user": ([bl.SETUP_EXE, "--launch"], rec_env, work),
                "platform-second": ([platform, "start", "https://%s%s" % (bl.RELEASE_HOST, list_path),
                                     wine.to_win(builder)], explicit, work),
                "second": ([bl.SETUP_EXE], explicit, work),
            }
            host.clear()
            for n in range(RUNS + 1):       # run 0 warms every start up and is not counted
                for name, (args, env, cwd) in starts.items():
                    seconds, rec = start_once(wine, args, env, cwd, record, work)
                    if not rec["exe"].lower().endswith(("\\versions\\%s\\StonewakeBuilder\\%s"
                                                        % (TAG, BUILDER)).lower()):
                        raise bl.BenchError("%s started %r" % (name, rec["exe"]))
                    if args[1:] == ["--launch"] and "--launch" not in rec["cmdline"]:
                        raise bl.BenchError("--launch started the Builder with %r" % rec["cmdline"])
                    if n:
                        runs[name].append(seconds)
            # Only the second starts ask, once each: the list.
            asked = [q.path for q in host.requests]
            if asked != [list_path] * len(asked) or len(asked) != 2 * (RUNS + 1):
                raise bl.BenchError("expected %d requests of the list, saw %r" % (2 * (RUNS + 1), asked[:8]))
        finally:
            shutil.rmtree(home_path, ignore_errors=True)
    ms = lambda xs: [round(x * 1000) for x in xs]  # noqa: E731
    med = {n: round(bl.median(v) * 1000) for n, v in runs.items()}
    ratio_explicit = round(med["explicit"] / med["bare"], 2)
    ratio_user = round(med["per-user"] / med["shell"], 2)
    labels = {
        "direct": "wine StonewakeBuilder.exe (direct, reference)",
        "bare": "platform limit: bare_launch.exe (CreateProcessW only)",
        "shell": "platform limit: shell_launch.exe (+SHGetFolderPathW)",
        "explicit": "setup --launch, explicit home",
        "per-user": "setup --launch, per-user home",
        "platform-second": "platform limit: list GET, then CreateProcessW",
        "second": "setup, second start (list asked, version installed)",
    }
    rows = [[labels[n], med[n], min(ms(runs[n])), max(ms(runs[n]))] for n in names]
    rows += [
        ["ratio setup explicit/bare launcher", ratio_explicit, "", ""],
        ["  setup explicit - bare launcher, ms", med["explicit"] - med["bare"], "", ""],
        ["ratio setup per-user/shell launcher", ratio_user, "", ""],
        ["  setup per-user - shell launcher, ms", med["per-user"] - med["shell"], "", ""],
        ["second start: setup - platform limit, ms", med["second"] - med["platform-second"], "", ""],
    ]
    bl.report(
        "faststart",
        "Fast start: process start to the Builder's start (medians of %d)" % RUNS,
        ["start", "median ms", "min ms", "max ms"],
        rows,
        {
            "runs": RUNS,
            "ms": {n: ms(v) for n, v in runs.items()},
            "median_ms": med,
            "ratio_explicit_to_bare": ratio_explicit,
            "ratio_per_user_to_shell": ratio_user,
            "second_start_over_limit_ms": med["second"] - med["platform-second"],
            "requests_during_launch": 0,
        },
        notes=[
            "the Builder is the recorder double installed by the setup; its record line marks its start.",
            "every start includes Wine's process start (persistent wineserver); the launchers and "
            "the setup add one more Wine process start; the fast start made no request to the host, "
            "each second start (setup and platform limit) one: the setup list.",
        ])


if __name__ == "__main__":
    raise SystemExit(bl.main(body))
