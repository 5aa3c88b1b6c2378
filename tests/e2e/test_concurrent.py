"""Setups started together on one Builder home: one at a time installs (the
home's lock), the others wait, then find the version installed; every part is
downloaded exactly once and every setup starts the Builder. A lock left by a
killed setup is taken over. A Builder that starts the setup at once waits
only for its parent's sweep, never the other way round."""

from __future__ import annotations

import os
import signal
import time

import pytest

from conftest import SETUP_EXE, parse_status
from test_install import LIST_PATH, LOOKING, STARTING, assert_installed, make_portable, part_path
from test_kill import setup_unix_pids

WAITING = "Waiting for another Stonewake Builder setup to finish..."


@pytest.mark.parametrize("portable", [False, True], ids=["per-user", "portable"])
@pytest.mark.parametrize("count, update", [(2, False), (4, True)], ids=["2-first-install", "4-update"])
def test_setups_started_together_install_once(publish, run_setup, home, host, wine, portable, count,
                                              update):
    if portable:
        make_portable(home.path)
    if update:
        publish("v1.0.0")
        assert run_setup("--cli").rc == 0
    rel = publish("v2.0.0" if update else "v1.0.0")
    host.clear()
    before = len(run_setup.records())
    # Each setup holds at the moment it has the lock until the test lets it
    # go, so that all are seen side by side whatever the machine's load.
    pauses = [run_setup.dir / ("pause-%d" % i) for i in range(count)]
    runs = [run_setup("--cli", background=True,
                      env={"STONEWAKE_TEST_PAUSE": "locked", "STONEWAKE_TEST_PAUSE_FILE": wine.to_win(p)})
            for p in pauses]
    for released in range(count):
        end = time.monotonic() + 60
        while not any(p.exists() for p in pauses) and time.monotonic() < end:
            time.sleep(0.02)
        holders = [i for i, p in enumerate(pauses) if p.exists()]
        assert len(holders) == 1, "lock holders at once: %r" % holders
        if released == 0:   # everyone else is waiting for it
            others = [run for i, run in enumerate(runs) if i != holders[0]]
            for run in others:
                run.wait_for_status(lambda t: t == WAITING)
        pauses[holders[0]].unlink()
    results = [run.wait() for run in runs]

    assert [(r.rc, r.errors) for r in results] == [(0, [])] * count
    assert sum(1 for r in results if WAITING in r.texts) == count - 1
    # Nothing is asked for twice; an update keeps the rest and takes the
    # Builder's part by the ranges of its changes.
    zips = [(q.path, q.range) for q in host.requests if q.path.endswith(".zip")]
    fetched = [p for p in rel.parts if not update or p is rel.parts[0]]
    assert len(set(zips)) == len(zips)
    assert sorted({path for path, _ in zips}) == sorted(part_path(p) for p in fetched)
    assert [q.path for q in host.requests].count(LIST_PATH) == count
    starts = run_setup.records()[before:]
    assert len(starts) == count
    assert {s["exe"].rsplit("\\versions\\", 1)[1] for s in starts} == {rel.tag + "\\StonewakeBuilder\\StonewakeBuilder.exe"}
    assert_installed(home, rel, rel.parts[1:])


def test_lock_of_a_killed_setup_is_taken_over(publish, run_setup, home, host, wine):
    # The holder is killed alone (no `wineserver -k`): the mutex it leaves is
    # abandoned, and the setup waiting for it goes on.
    rel = publish("v1.0.0")
    pause = run_setup.dir / "pause"
    holder = run_setup("--cli", background=True,
                       env={"STONEWAKE_TEST_PAUSE": "locked", "STONEWAKE_TEST_PAUSE_FILE": wine.to_win(pause)})
    end = time.monotonic() + 60
    while not pause.exists() and time.monotonic() < end:
        time.sleep(0.02)
    assert pause.exists()
    waiter = run_setup("--cli", background=True)
    waiter.wait_for_status(lambda t: t == WAITING)
    pids = setup_unix_pids(wine.to_win(holder.files["status"]))
    assert pids
    for pid in pids:
        os.kill(pid, signal.SIGKILL)
    r = waiter.wait()
    assert (r.rc, r.errors) == (0, [])
    assert r.texts[:2] == [WAITING, "Looking for the latest Stonewake Builder..."]
    assert_installed(home, rel, rel.parts[1:])
    holder.proc.wait(30)


def test_a_builder_that_starts_the_setup_waits_only_for_the_sweep(publish, run_setup, home, wine):
    """After an update the Builder starts first and the old version is swept
    while it starts, under the home's lock: a setup the Builder starts waits
    for that lock, then finds the version installed and starts its Builder;
    the parent waits for its Builder (in CLI mode) only after letting the lock
    go, so neither waits for the other for good."""
    publish("v1.0.0")
    assert run_setup("--cli").rc == 0
    rel = publish("v2.0.0")
    pause, child = run_setup.dir / "swept", run_setup.dir / "child.status"
    env = {"STONEWAKE_TEST_PAUSE": "swept", "STONEWAKE_TEST_PAUSE_FILE": wine.to_win(pause),
           "STONEWAKE_RECORD_RUN": '"%s" --cli' % wine.to_win(SETUP_EXE),
           "STONEWAKE_RECORD_RUN_ENV": "STONEWAKE_TEST_PAUSE=;STONEWAKE_TEST_STATUS_LOG=" + wine.to_win(child)}
    before = len(run_setup.records())
    run = run_setup("--cli", background=True, env=env)
    end = time.monotonic() + 60
    while not (child.exists() and WAITING in [t for _, t in parse_status(child.read_bytes())]):
        assert time.monotonic() < end and run.proc.poll() is None, "the Builder's setup never waited"
        time.sleep(0.02)
    assert pause.exists() and STARTING in run.status()[-1][1]   # the parent: Builder started, sweeping
    pause.unlink()
    r = run.wait()
    assert (r.rc, r.errors) == (0, [])
    assert [t for _, t in parse_status(child.read_bytes())] == [WAITING, LOOKING, STARTING]
    records = run_setup.records()[before:]
    exe = rel.tag + "\\StonewakeBuilder\\StonewakeBuilder.exe"
    assert [rec.get("exe", "").endswith(exe) for rec in records] == [True, True, False]
    assert records[2]["exit"] == 0
    assert sorted(p.name for p in (home.path / "versions").iterdir() if p.is_dir()) == [rel.tag]
