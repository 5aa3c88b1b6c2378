#!/usr/bin/python3
"""Update: the setup (CLI mode, under Wine, per-user home) updating from one
300 MiB / 16-part release to the next, in which 15 parts are unchanged (same
bytes, same digest: reused by hard-linking their files from the installed
version, which stays whole) and only
the Builder part is new, against the first install of the same release
shape that precedes it, in the same run. Three rounds, each in a fresh home;
medians; the ratio is update / first install.

The releases have make_release.big_release's shape (the Builder and 15
stored, incompressible parts of 20 MiB), but each data part is a renamed
part (unpacked into StonewakeBuilder/runtimes, its top folder renamed), like
the engine: the setup knows where such a part lives and can reuse it.
big_release's own data parts are tool parts whose names the setup does not
know as tools, and it never reuses those.

    bench_update.py [<build dir>]     -> <build>/bench/update.json
"""

from __future__ import annotations

import benchlib as bl
from bench_install import check_installed, release_bytes

mr = bl.make_release

OLD, NEW = "bench-update-1", "bench-update-2"
ROUNDS = 3
KEPT = "unchanged: kept from the installed version"
DATA_PARTS = 15
TOTAL_MIB = 300


def publish(root, tag: str):
    """The Builder part (new for each tag) and 15 renamed data parts whose
    bytes do not depend on the tag."""
    each = TOTAL_MIB * bl.MIB // DATA_PARTS
    specs = [mr.builder_part(tag, bl.DOUBLES / "recorder.exe")]
    for i in range(1, DATA_PARTS + 1):
        name = "blob%02d" % i
        top = name + "-1"
        specs.append(mr.PartSpec(asset="StonewakeBuilder-%s.zip" % top,
                                 files={top + "/data.bin": mr.filler("update-" + name, each)},
                                 dir="StonewakeBuilder/runtimes", frm=top, to=name, stored=True))
    return mr.write_release(root, tag, specs, latest=True, host=bl.RELEASE_HOST)


def round_trip(wine, host, old, new, work) -> tuple[float, float, int]:
    """A first install of `old`, then the update to `new`, in one fresh home:
    (first install s, update s, parts the update fetched)."""
    runner = bl.setup_runner(wine, work / "home", work / "run")
    bl.settle()
    first, _, _ = bl.timed_setup(runner, "--cli --tag " + old.tag)
    check_installed(runner.home.path, old)
    host.clear()
    bl.settle()
    update, result, _ = bl.timed_setup(runner, "--cli --tag " + new.tag)
    check_installed(runner.home.path, new)
    kept = sum(1 for t in result.texts if t.endswith(KEPT))
    fetched = [r.path for r in host.requests if r.path.endswith(".zip")]
    if kept != len(new.parts) - 1 or len(fetched) != 1:
        raise bl.BenchError("the update kept %d parts and fetched %r; expected 15 kept, 1 fetched"
                            % (kept, fetched))
    return first, update, len(fetched)


def body() -> None:
    rounds = []
    with bl.scratch("host-root-update", "work/update") as (root, work):
        old = publish(root, OLD)
        new = publish(root, NEW)
        same = sum(1 for a, b in zip(old.parts, new.parts) if a.sha256 == b.sha256)
        if same != DATA_PARTS:
            raise bl.BenchError("the two releases share %d parts, not %d" % (same, DATA_PARTS))
        size = release_bytes(new)
        with bl.wine_session() as wine, bl.release_host(root) as host:
            for _ in range(ROUNDS):
                bl.fresh(work)
                rounds.append(round_trip(wine, host, old, new, work))
    first = bl.median([f for f, _, _ in rounds])
    update = bl.median([u for _, u, _ in rounds])
    ratio = round(update / first, 3)
    bl.report(
        "update",
        "Update of a %d MiB, 16-part release with 15 parts unchanged (medians of %d)"
        % (size // bl.MIB, ROUNDS),
        ["run", "run 1 s", "run 2 s", "run 3 s", "median s"],
        [
            ["first install (setup --cli, Wine)"] + ["%.2f" % f for f, _, _ in rounds] + ["%.2f" % first],
            ["update, 15 of 16 parts linked"] + ["%.2f" % u for _, u, _ in rounds] + ["%.2f" % update],
            ["ratio update/first install", "", "", "", ratio],
        ],
        {
            "release_bytes": size,
            "rounds": ROUNDS,
            "first_install_s": [round(f, 3) for f, _, _ in rounds],
            "update_s": [round(u, 3) for _, u, _ in rounds],
            "parts_fetched_by_update": rounds[0][2],
            "median_first_install_s": round(first, 3),
            "median_update_s": round(update, 3),
            "ratio_update_to_first_install": ratio,
        },
        notes=[
            "wall time from the setup's process start to its exit, Builder double start and exit "
            "included; per-user home (not portable); a reused part's files are hard-linked "
            "from the installed version, not copied or moved.",
            "each update was checked: 15 status lines '... %s', one part download, the new "
            "version installed and current." % KEPT,
            "the setup's tar.exe is Windows' tar (bsdtar) in the prefix's system32.",
        ])


if __name__ == "__main__":
    raise SystemExit(bl.main(body))
