#!/usr/bin/python3
"""Fast start: time from process start to the Builder's start for
`StonewakeBuilder-Setup.exe --launch` with a ready installed version, against
starting the installed Builder directly, both under Wine, in the same run.
Ten runs each, interleaved, after one unmeasured warm-up of each; medians;
the ratio is setup / direct.

The Builder is the recorder double: it appends its record line as soon as it
runs. The time is the record file's modification time minus the moment just
before `wine ...` is started (both on the system clock; the file time has the
kernel's timestamp granularity, a few ms at most).

    bench_faststart.py [<build dir>]     -> <build>/bench/faststart.json
"""

from __future__ import annotations

import json
import subprocess
import time

import benchlib as bl

TAG = "bench-fast"
RUNS = 10
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
    direct, launched = [], []
    with bl.scratch("host-root-faststart", "work/faststart") as (root, work), \
            bl.wine_session() as wine, bl.release_host(root) as host:
        record = work / "record.jsonl"
        bl.make_release.standard_release(root, TAG, bl.DOUBLES / "recorder.exe", latest=True,
                                         host=bl.RELEASE_HOST)
        runner = bl.setup_runner(wine, work / "home", work / "install-run")
        bl.timed_setup(runner, "--cli")           # the ready installed version
        home = runner.home
        builder = home.path / "versions" / TAG / "StonewakeBuilder" / BUILDER
        bl.require(builder)
        env = {"STONEWAKE_RECORD": wine.to_win(record), "TARNWICK_SETUP_BASE": home.win}
        host.clear()
        for n in range(RUNS + 1):       # run 0 warms both up and is not counted
            d, _ = start_once(wine, [builder], env, builder.parent, record, work)
            s, rec = start_once(wine, [bl.SETUP_EXE, "--launch"], env, work, record, work)
            if rec["exe"].lower() != wine.to_win(builder).lower() or "--launch" not in rec["cmdline"]:
                raise bl.BenchError("--launch started %r with %r" % (rec["exe"], rec["cmdline"]))
            if n:
                direct.append(d)
                launched.append(s)
        if host.requests:
            raise bl.BenchError("the fast start made %d requests" % len(host.requests))
    med_d, med_s = bl.median(direct), bl.median(launched)
    ratio = round(med_s / med_d, 2)
    ms = lambda xs: [round(x * 1000) for x in xs]  # noqa: E731
    bl.report(
        "faststart",
        "Fast start: process start to the Builder's start (medians of %d)" % RUNS,
        ["start", "median ms", "min ms", "max ms"],
        [
            ["wine StonewakeBuilder.exe (direct)", ms([med_d])[0], min(ms(direct)), max(ms(direct))],
            ["wine StonewakeBuilder-Setup.exe --launch", ms([med_s])[0], min(ms(launched)),
             max(ms(launched))],
            ["ratio setup/direct", ratio, "", ""],
            ["setup's cost over direct, ms", round((med_s - med_d) * 1000), "", ""],
        ],
        {
            "runs": RUNS,
            "direct_ms": ms(direct),
            "setup_launch_ms": ms(launched),
            "median_direct_ms": ms([med_d])[0],
            "median_setup_launch_ms": ms([med_s])[0],
            "ratio_setup_to_direct": ratio,
            "requests_during_launch": 0,
        },
        notes=[
            "the Builder is the recorder double installed by the setup; its record line marks its start.",
            "both include Wine's process start (persistent wineserver); --launch adds one more "
            "Wine process start; the fast start made no request to the host.",
        ])


if __name__ == "__main__":
    raise SystemExit(bl.main(body))
