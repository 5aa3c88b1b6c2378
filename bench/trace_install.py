#!/usr/bin/python3
"""Where a first install's time goes: the setup (--cli) and platform_main
install of the Builder-shaped release, one after the other, each with the
lifetimes of its tar.exe processes polled from /proc every 5 ms. Prints, per
run, the wall time, how long at least one tar was running (and its share of
the wall time), how long k tars ran at once (and the most at once), when the
first tar started, the gaps with no tar running, each tar's duration, and
how long the run went on after the last tar. A diagnostic, not in run.sh.

    trace_install.py [<build dir>] [rounds]
"""

from __future__ import annotations

import sys
import threading
import time

import benchlib as bl

TAG = "bench-trace"


class TarSpans:
    """Start and end (time.time()) of each tar.exe of this prefix, polled."""

    def __init__(self) -> None:
        self.spans: dict[int, list[float]] = {}
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)

    def _watch(self) -> None:
        while not self._stop.is_set():
            now = time.time()
            for pid in bl.prefix_pids("tar.exe"):
                self.spans.setdefault(pid, [now, now])[1] = now
            time.sleep(0.005)

    def __enter__(self) -> "TarSpans":
        self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self._stop.set()
        self._thread.join()


def concurrency(tars: list[list[float]]) -> tuple[dict[int, float], list[float]]:
    """Seconds spent with exactly k tars running (k >= 1), and the gaps
    between a moment with none running and the next tar's start."""
    events = sorted([(s, 1) for s, _ in tars] + [(e, -1) for _, e in tars])
    spent: dict[int, float] = {}
    gaps, running, last, idle_since = [], 0, events[0][0], None
    for t, step in events:
        if running:
            spent[running] = spent.get(running, 0.0) + t - last
        elif idle_since is not None:
            gaps.append(t - idle_since)
        running += step
        last = t
        idle_since = t if running == 0 else None
    return spent, gaps


def show(name: str, wall: float, t0: float, spans: TarSpans) -> None:
    tars = sorted(spans.spans.values())
    if not tars:
        raise bl.BenchError("%s: no tar.exe was seen" % name)
    spent, gaps = concurrency(tars)
    busy = sum(spent.values())
    print("%-8s wall %6.2f s  a tar running %6.2f s (%3.0f %%)  first tar at %.2f s  %d tars, at most %d at once"
          % (name, wall, busy, 100 * busy / wall, tars[0][0] - t0, len(tars), max(spent)))
    print("         s with k tars running: " + "  ".join("%d: %.2f" % (k, spent[k]) for k in sorted(spent)))
    print("         gaps with none running, ms: " + " ".join("%.0f" % (g * 1000) for g in gaps))
    print("         tar ms:  " + " ".join("%.0f" % ((e - s) * 1000) for s, e in tars))
    print("         last tar ended %.2f s before the run's end" % (t0 + wall - max(e for _, e in tars)))


def body() -> None:
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 2
    with bl.scratch("host-root-trace", "work/trace") as (root, work):
        bl.make_release.builder_like_release(root, TAG, bl.DOUBLES / "recorder.exe", latest=True,
                                             host=bl.RELEASE_HOST)
        url = "https://%s/Stonewake/Stonewake/releases/latest/download/tarnwick-setup.txt" % bl.RELEASE_HOST
        with bl.wine_session() as wine, bl.release_host(root):
            for _ in range(rounds):
                runner = bl.setup_runner(wine, work / "home", work / "run")
                bl.settle()
                t0 = time.time()
                with TarSpans() as spans:
                    wall, _, _ = bl.timed_setup(runner, "--cli")
                show("setup", wall, t0, spans)
                bl.fresh(work)
                t0 = time.time()
                with TarSpans() as spans:
                    _, wall = bl.timed_wine(wine, [bl.OUT / "platform_main.exe", "install", url,
                                                   wine.to_win(bl.fresh(work / "platform"))], timeout=900)
                show("platform", wall, t0, spans)
                bl.fresh(work)


if __name__ == "__main__":
    raise SystemExit(bl.main(body))
