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

Then the delta road, on releases shaped like the Builder's
(make_release.builder_like_specs: about 300 MiB in 16 deflated parts, 15,301
files): the next release changes 1 % of the files of the Builder's runtime
part (part 1), adds one file and removes one; its 15 other parts are
unchanged. From the same installed version (one first install, its home
copied back before each update) the update to the next release runs by the
delta road (the list has its index line) and by today's whole-part road (the
same releases published without the index line, in a second folder that the
host double serves in turn), interleaved, five rounds. Measured: the wall
time, and the body bytes the host sent for part 1 (its request log) against
the changed entries' local records as the index gives them; also what the
index costs per release. Each round also times platform_main.exe linking the
15 unchanged parts' files one after another: the platform's own share that
both roads pay.

Then the repair (repair_body): the Builder-shaped release with a 6 MiB
runtime file, installed once; each round damages that file (changed at the
same size, then --repair with the index and, for today's whole repair,
without it; deleted, then a plain start) or leaves it alone (--repair), from
the same installed copy, and times platform_main.exe hashing every file of it
one after another.

    bench_update.py [<build dir>] [--only kept|delta|repair]
        -> <build>/bench/update.json (kept parts), update_delta.json (delta road), repair.json
"""

from __future__ import annotations

import shutil
import sys
import time

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
    update, to_builder, result = timed_to_builder(runner, "--cli --tag " + new.tag)
    check_installed(runner.home.path, new)
    kept = sum(1 for t in result.texts if t.endswith(KEPT))
    fetched = {r.path for r in host.requests if r.path.endswith(".zip")}
    if kept != len(new.parts) - 1 or len(fetched) != 1 or not fetched.pop().endswith("/" + new.parts[0].asset):
        raise bl.BenchError("the update kept %d parts and fetched %r; expected 15 kept, only the Builder "
                            "part fetched" % (kept, fetched))
    return first, update, to_builder


def timed_to_builder(runner, args: str) -> tuple[float, float, object]:
    """The setup run (CLI mode); (process seconds from start to exit, seconds
    from its start to the Builder's own record, the result). The Builder is
    the recorder double: it appends its record line as soon as it runs, and
    the record file's time (the system clock, like the start's) marks it."""
    t0 = time.time_ns()
    wall, result, _ = bl.timed_setup(runner, args)
    to_builder = (runner.record_file.stat().st_mtime_ns - t0) / 1e9
    if not result.records:
        raise bl.BenchError("the setup started no Builder")
    return wall, to_builder, result


def kept_body() -> None:
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
    to_builder = bl.median([b for _, _, b in rounds])
    ratio = round(update / first, 3)
    bl.report(
        "update",
        "Update of a %d MiB, 16-part release with 15 parts unchanged (medians of %d)"
        % (size // bl.MIB, ROUNDS),
        ["run", "run 1 s", "run 2 s", "run 3 s", "median s"],
        [
            ["first install (setup --cli, Wine)"] + ["%.2f" % f for f, _, _ in rounds] + ["%.2f" % first],
            ["update, 15 of 16 parts linked"] + ["%.2f" % u for _, u, _ in rounds] + ["%.2f" % update],
            ["update: to the Builder's start"] + ["%.2f" % b for _, _, b in rounds] + ["%.2f" % to_builder],
            ["ratio update/first install", "", "", "", ratio],
        ],
        {
            "release_bytes": size,
            "rounds": ROUNDS,
            "first_install_s": [round(f, 3) for f, _, _ in rounds],
            "update_s": [round(u, 3) for _, u, _ in rounds],
            "update_to_builder_s": [round(b, 3) for _, _, b in rounds],
            "median_update_to_builder_s": round(to_builder, 3),
            "median_first_install_s": round(first, 3),
            "median_update_s": round(update, 3),
            "ratio_update_to_first_install": ratio,
        },
        notes=[
            "wall time from the setup's process start to its exit, Builder double start and exit "
            "included; per-user home (not portable); a reused part's files are hard-linked "
            "from the installed version, not copied or moved.",
            "each update was checked: 15 status lines '... %s', only the Builder part fetched "
            "(whole, or its changed files by ranges on the delta road), the new version installed "
            "and current." % KEPT,
            "the setup's tar.exe is Windows' tar (bsdtar) in the prefix's system32.",
        ])


DELTA_OLD, DELTA_NEW = "bench-delta-1", "bench-delta-2"
DELTA_ROUNDS = 5
CHANGES = "Downloading the changes to part 1 of 16"
WHOLE = "Downloading part 1 of 16"
INDEX_ASSET = mr.INDEX


class ToolTimer:
    """Stands in for make_release's subprocess module and times each run of
    the release tool (stonewake-release make), so a release's make time is
    the tool's alone, without the Python that writes its input files."""

    def __init__(self, real):
        self.real = real
        self.seconds: list[float] = []

    def __getattr__(self, name):
        return getattr(self.real, name)

    def run(self, args, *a, **kw):
        if args and str(args[0]) == str(mr.release_tool()):
            start = time.perf_counter()
            done = self.real.run(args, *a, **kw)
            self.seconds.append(time.perf_counter() - start)
            return done
        return self.real.run(args, *a, **kw)


def delta_specs(tag: str) -> tuple[list, dict]:
    """The Builder-shaped release for `tag`: DELTA_OLD is builder_like_specs
    as it is; DELTA_NEW has the same 15 other parts (same bytes) and a
    runtime part in which 1 % of the files changed (same size, other bytes),
    one file was added and one removed. Returns (specs, what changed)."""
    specs = mr.builder_like_specs(DELTA_OLD, bl.DOUBLES / "recorder.exe")
    runtime = specs[0]
    runtime.asset = "StonewakeBuilder-win-x64-%s.zip" % tag
    if tag == DELTA_OLD:
        return specs, {}
    files = dict(runtime.files)
    items = sorted(n for n in files if "/runtime/" in n)
    count = round(len(files) / 100)
    step = len(items) // (count + 1)
    changed = [items[step * (i + 1)] for i in range(count)]
    for name in changed:
        data = files[name]
        if name.endswith(".bin"):
            files[name] = mr.filler(name + "@" + tag, len(data))
        else:
            head = ("%s changed in %s\n" % (name.rsplit("/", 1)[1], tag)).encode()
            files[name] = head + data[len(head):]
    removed = items[step // 2]
    del files[removed]
    added = items[0].rsplit("/", 1)[0] + "/added-in-%s.txt" % tag
    files[added] = ("added in %s\n" % tag).encode() + files[items[1]]
    runtime.files = files
    return specs, {"changed": changed, "added": added, "removed": removed}


def index_sections(path) -> dict[str, dict[str, tuple[str, int, int, int]]]:
    """The index's entries per part sha256: name -> (kind, sha256, size, record length)."""
    sections: dict[str, dict] = {}
    current = None
    for line in path.read_text(encoding="utf-8").splitlines()[1:]:
        if line.startswith("part "):
            current = sections.setdefault(line.split(" ")[1], {})
            continue
        kind, offset, length, method, flags, crc, tm, dt, comp, size, sha, name = line.split(" ", 11)
        current[name] = (kind, sha, int(size), int(length))
    return sections


def changed_records(old_index, new_index, old_part, new_part) -> tuple[int, int]:
    """(entries of the new part that the installed version does not hold with
    the same size and SHA-256 at the same place, their local records' bytes)."""
    before = index_sections(old_index)[old_part.sha256]
    after = index_sections(new_index)[new_part.sha256]
    changed = [(n, e) for n, e in after.items()
               if e[0] == "f" and (before.get(n, ("", "", -1))[1:3] != e[1:3])]
    return len(changed), sum(e[3] for _, e in changed)


def check_runtime(home, rel, spec) -> None:
    """The new version's Builder folder holds exactly the runtime part's
    files, byte for byte (the top folder renamed; the other parts' folders
    below it left out)."""
    top = mr.BUILDER_TOP + "/"
    base = home / "versions" / rel.tag / "StonewakeBuilder"
    want = {n[len(top):]: d for n, d in spec.files.items()}
    have = {str(p.relative_to(base)) for p in base.rglob("*") if p.is_file()}
    have = {n for n in have if n.split("/")[0] not in ("tools", "runtimes")}   # the other parts' places
    if have != set(want):
        raise bl.BenchError("the Builder folder of %s holds %d files, the part %d (%r missing, %r extra)"
                            % (rel.tag, len(have), len(want), sorted(set(want) - have)[:3],
                               sorted(have - set(want))[:3]))
    for name, data in want.items():
        if (base / name).read_bytes() != data:
            raise bl.BenchError("%s differs from the part's file after the update" % name)


def restore_home(template, home) -> None:
    """The installed version as the first install left it, at the same path."""
    shutil.rmtree(home, ignore_errors=True)
    bl.run_quiet(["cp", "-a", str(template), str(home)])


def delta_update(wine, host, road, roots, rel, spec, runner, template) -> dict:
    """One update from the installed DELTA_OLD to DELTA_NEW by `road`
    ("delta": the list with its index; "whole": without)."""
    host.root = roots[road]
    restore_home(template, runner.home.path)
    host.clear()
    bl.settle()
    wall, to_builder, result = timed_to_builder(runner, "--cli --tag " + rel.tag)
    check_installed(runner.home.path, rel)
    check_runtime(runner.home.path, rel, spec)
    texts = result.texts
    kept = sum(1 for t in texts if t.endswith(KEPT))
    changes = any(t.startswith(CHANGES) for t in texts)
    whole = any(t.startswith(WHOLE) for t in texts)
    asset = rel.parts[0].asset
    part = [r for r in host.requests if r.path.endswith("/" + asset)]
    index = [r for r in host.requests if r.path.endswith("/" + INDEX_ASSET)]
    others = [r for r in host.requests if r.path.endswith(".zip") and r not in part]
    if kept != 15 or others or changes != (road == "delta") or whole != (road == "whole") or result.errors:
        raise bl.BenchError("the %s update kept %d parts, fetched %r besides part 1, status %r, errors %r"
                            % (road, kept, [r.path for r in others], [t for t in texts if "part 1 " in t],
                               result.errors))
    if road == "whole" and index:
        raise bl.BenchError("the whole-part update asked for the index")
    stamps = [(ms, t) for ms, t in result.status]
    at = lambda prefix: next(ms for ms, t in stamps if t.startswith(prefix))  # noqa: E731
    fetch_at = at(CHANGES if road == "delta" else WHOLE)
    phases = {
        # the list (and on the delta road the index, asked for when part 1 first needs it)
        "list_s": (fetch_at - stamps[0][0]) / 1000.0,
        # part 1's records or its whole zip
        "part1_fetch_s": (at("Unpacking part 1 of") - fetch_at) / 1000.0,
        # part 1 unpacked, the 15 other parts' files linked from the installed version
        "unpack_and_keep_s": (at("Starting the Stonewake Builder") - at("Unpacking part 1 of")) / 1000.0,
        # of that: part 1 unpacked (and checked) and part 2 linked, then parts 3 to 16 linked
        "unpack_s": (at("Part 2 of 16 unchanged") - at("Unpacking part 1 of")) / 1000.0,
        "keep_s": (at("Part 16 of 16 unchanged") - at("Part 2 of 16 unchanged")) / 1000.0,
    }
    return {
        "phases": {k: round(v, 3) for k, v in phases.items()},
        "wall_s": round(wall, 3),
        "to_builder_s": round(to_builder, 3),
        "part_bytes": sum(r.sent for r in part),
        "part_requests": len(part),
        "index_bytes": sum(r.sent for r in index),
        "ranges": [r.range for r in part],
    }


def platform_link(wine, version, work) -> tuple[float, int]:
    """platform_main.exe link of the 15 unchanged parts' folders of the
    installed version (the tools' and the renamed runtimes'), one hard link
    after another: what taking them over costs at least on one thread;
    (seconds, files linked)."""
    exe = bl.OUT / "platform_main.exe"
    bl.require(exe)
    folders = sorted(p for group in ("tools", "runtimes") for p in (version / "StonewakeBuilder" / group).iterdir())
    if len(folders) != 15:
        raise bl.BenchError("the installed version holds %d part folders, not 15" % len(folders))
    dest = bl.fresh(work / "platform-link")
    ms, files = 0.0, 0
    for i, folder in enumerate(folders):
        words, _ = bl.timed_wine(wine, [exe, "link", wine.to_win(folder), wine.to_win(dest / str(i))], timeout=600)
        ms += float(words[0])
        files += int(words[1])
    return round(ms / 1000.0, 3), files


def platform_ranges(wine, rel, ranges) -> float:
    """platform_main.exe ranges: the delta road's ranges of part 1, one
    request after another: what fetching the changed records costs at least."""
    exe = bl.OUT / "platform_main.exe"
    spans = ",".join(r[len("bytes="):] for r in ranges)
    words, _ = bl.timed_wine(wine, [exe, "ranges", rel.parts[0].url, spans], timeout=600)
    return round(float(words[0]) / 1000.0, 3)


def platform_start(wine, exe_path, work) -> float:
    """platform_main.exe start: the list, then the installed Builder started,
    timed from before the program's own start to the Builder's record (the
    recorder's clock, as for the setup)."""
    exe = bl.OUT / "platform_main.exe"
    record = work / "platform-record.jsonl"
    record.unlink(missing_ok=True)
    list_url = "https://%s/Stonewake/Stonewake/releases/latest/download/tarnwick-setup.txt" % bl.RELEASE_HOST
    bl.settle()
    t0 = time.time_ns()
    done = wine.run([exe, "start", list_url, wine.to_win(exe_path)], env={"STONEWAKE_RECORD": wine.to_win(record)})
    if done.returncode != 0:
        raise bl.BenchError("platform_main start failed: %s" % done.stderr.decode("utf-8", "replace"))
    end = time.monotonic() + 30
    while not record.exists() or not record.read_bytes().endswith(b"\n"):
        if time.monotonic() > end:
            raise bl.BenchError("the Builder double wrote no record after platform_main start")
        time.sleep(0.01)
    return round((record.stat().st_mtime_ns - t0) / 1e9, 3)


def delta_body() -> None:
    timer = ToolTimer(mr.subprocess)
    mr.subprocess = timer
    rows = {"delta": [], "whole": []}
    with bl.scratch("host-root-delta", "host-root-whole", "work/delta") as (root, root_whole, work):
        try:
            old_specs, _ = delta_specs(DELTA_OLD)
            old = mr.write_release(root, DELTA_OLD, old_specs, latest=False, host=bl.RELEASE_HOST)
            new_specs, change = delta_specs(DELTA_NEW)
            new = mr.write_release(root, DELTA_NEW, new_specs, latest=True, host=bl.RELEASE_HOST)
            whole = mr.write_release(root_whole, DELTA_NEW, new_specs, latest=True, host=bl.RELEASE_HOST,
                                     index=False)
        finally:
            mr.subprocess = timer.real
        if [p.sha256 for p in whole.parts] != [p.sha256 for p in new.parts] or b"\nindex " in whole.setup_list \
                or b"\nindex " not in new.setup_list:
            raise bl.BenchError("the two publications of %s differ in their parts or index lines" % DELTA_NEW)
        same = sum(1 for a, b in zip(old.parts, new.parts) if a.sha256 == b.sha256)
        if same != 15:
            raise bl.BenchError("the two releases share %d parts, not 15" % same)
        index_path = new.folder / INDEX_ASSET
        entries, records = changed_records(old.folder / INDEX_ASSET, index_path, old.parts[0], new.parts[0])
        part_entries = len(index_sections(index_path)[new.parts[0].sha256])
        goal_bytes = 1.25 * records + 64 * 1024
        with bl.wine_session() as wine, bl.release_host(root) as host:
            roots = {"delta": root, "whole": root_whole}
            runner = bl.setup_runner(wine, work / "home", work / "run")
            bl.settle()
            first, _, _ = bl.timed_setup(runner, "--cli --tag " + old.tag)
            check_installed(runner.home.path, old)
            template = work / "installed"
            runner.home.path.rename(template)
            link_s = []
            fetch_s, start_s = [], []
            for r in range(DELTA_ROUNDS):
                seconds, link_files = platform_link(wine, template / "versions" / old.tag, work)
                link_s.append(seconds)
                for road in (("delta", "whole") if r % 2 == 0 else ("whole", "delta")):
                    rows[road].append(delta_update(wine, host, road, roots, new, new_specs[0], runner, template))
                host.root = roots["delta"]
                fetch_s.append(platform_ranges(wine, new, rows["delta"][-1]["ranges"]))
                start_s.append(platform_start(wine, runner.home.path / "versions" / new.tag / new.run, work))
                print("  round %d: delta %.2f s, %d B; whole %.2f s, %d B" % (
                    r + 1, rows["delta"][-1]["wall_s"], rows["delta"][-1]["part_bytes"],
                    rows["whole"][-1]["wall_s"], rows["whole"][-1]["part_bytes"]), flush=True)
        index_bytes = index_path.stat().st_size
        index_lines = len(index_path.read_bytes().splitlines())
        release_size = release_bytes(new)
    wall = {k: [x["wall_s"] for x in v] for k, v in rows.items()}
    to_builder = {k: [x["to_builder_s"] for x in v] for k, v in rows.items()}
    platform_s = [round(a + b + c, 3) for a, b, c in zip(link_s, fetch_s, start_s)]
    ratio_builder_whole = round(bl.median(to_builder["delta"]) / bl.median(wall["whole"]), 3)
    ratio_builder_platform = round(bl.median(to_builder["delta"]) / bl.median(platform_s), 3)
    part_bytes = {k: [x["part_bytes"] for x in v] for k, v in rows.items()}
    med = {k: bl.median(v) for k, v in wall.items()}
    per_round = [round(d / w, 3) for d, w in zip(wall["delta"], wall["whole"])]
    ratio = round(med["delta"] / med["whole"], 3)
    bytes_med = bl.median(part_bytes["delta"])
    bytes_goal_met = max(part_bytes["delta"]) <= goal_bytes
    wall_goal_met = ratio <= 0.5
    n = DELTA_ROUNDS
    phase = lambda road, key: ["%.2f" % x["phases"][key] for x in rows[road]]  # noqa: E731
    phase_med = lambda road, key: "%.2f" % bl.median([x["phases"][key] for x in rows[road]])  # noqa: E731
    fmt = lambda xs: "%.2f" % bl.median(xs) + " (%.2f-%.2f)" % (min(xs), max(xs))  # noqa: E731
    bl.report(
        "update_delta",
        "Update by the delta road: 1 %% of the runtime part's files changed, %d MiB / 16-part "
        "Builder-shaped release (medians of %d, min-max)" % (release_size // bl.MIB, n),
        ["run"] + ["round %d" % (i + 1) for i in range(n)] + ["median (min-max)"],
        [
            ["update, delta road: s"] + ["%.2f" % x for x in wall["delta"]] + [fmt(wall["delta"])],
            ["update, whole part 1 (no index line): s"] + ["%.2f" % x for x in wall["whole"]] + [fmt(wall["whole"])],
            ["ratio delta/whole (goal <= 0.5)"] + ["%.3f" % x for x in per_round] + [ratio],
            ["delta road: to the Builder's start s"] + ["%.2f" % x for x in to_builder["delta"]]
            + [fmt(to_builder["delta"])],
            ["whole part 1: to the Builder's start s"] + ["%.2f" % x for x in to_builder["whole"]]
            + [fmt(to_builder["whole"])],
            ["platform: link kept + fetch the ranges + start s"] + ["%.2f" % x for x in platform_s] + [fmt(platform_s)],
            ["  ratio delta to Builder / whole process (goal <= 0.5)", "", "", "", "", "", ratio_builder_whole],
            ["  ratio delta to Builder / platform (goal <= 1.25)", "", "", "", "", "", ratio_builder_platform],
            ["part 1 bytes sent, delta road"] + [str(x) for x in part_bytes["delta"]] + [str(bytes_med)],
            ["part 1 bytes sent, whole part"] + [str(x) for x in part_bytes["whole"]]
            + [str(bl.median(part_bytes["whole"]))],
            ["  delta: list + index s (status lines)"] + phase("delta", "list_s") + [phase_med("delta", "list_s")],
            ["  whole: list s"] + phase("whole", "list_s") + [phase_med("whole", "list_s")],
            ["  delta: part 1 records fetched s"] + phase("delta", "part1_fetch_s")
            + [phase_med("delta", "part1_fetch_s")],
            ["  whole: part 1 downloaded s"] + phase("whole", "part1_fetch_s") + [phase_med("whole", "part1_fetch_s")],
            ["  delta: unpack 1, keep 15 s"] + phase("delta", "unpack_and_keep_s")
            + [phase_med("delta", "unpack_and_keep_s")],
            ["  whole: unpack 1, keep 15 s"] + phase("whole", "unpack_and_keep_s")
            + [phase_med("whole", "unpack_and_keep_s")],
            ["    delta: unpack 1, keep 2 s"] + phase("delta", "unpack_s") + [phase_med("delta", "unpack_s")],
            ["    whole: unpack 1, keep 2 s"] + phase("whole", "unpack_s") + [phase_med("whole", "unpack_s")],
            ["    delta: keep 3 to 16 s"] + phase("delta", "keep_s") + [phase_med("delta", "keep_s")],
            ["    whole: keep 3 to 16 s"] + phase("whole", "keep_s") + [phase_med("whole", "keep_s")],
            ["platform: link 15 kept parts' files, 1 thread, s"] + ["%.2f" % x for x in link_s] + [fmt(link_s)],
            ["part 1 range requests, delta road"] + [str(x["part_requests"]) for x in rows["delta"]] + [""],
        ],
        {
            "rounds": n,
            "release_bytes": release_size,
            "part_bytes": new.parts[0].size,
            "part_entries": part_entries,
            "files_changed": len(change["changed"]),
            "files_added": 1,
            "files_removed": 1,
            "changed_entries": entries,
            "changed_records_bytes": records,
            "goal_part_bytes": int(goal_bytes),
            "first_install_s": round(first, 3),
            "platform_link_s": link_s,
            "platform_link_files": link_files,
            "platform_fetch_ranges_s": fetch_s,
            "platform_start_s": start_s,
            "platform_to_builder_s": platform_s,
            "delta_to_builder_s": to_builder["delta"],
            "whole_to_builder_s": to_builder["whole"],
            "median_delta_to_builder_s": round(bl.median(to_builder["delta"]), 3),
            "median_whole_to_builder_s": round(bl.median(to_builder["whole"]), 3),
            "median_platform_to_builder_s": round(bl.median(platform_s), 3),
            "ratio_delta_to_builder_to_whole_process": ratio_builder_whole,
            "ratio_delta_to_builder_to_platform": ratio_builder_platform,
            "delta": rows["delta"],
            "whole": rows["whole"],
            "delta_s": wall["delta"],
            "whole_s": wall["whole"],
            "delta_part_bytes": part_bytes["delta"],
            "whole_part_bytes": part_bytes["whole"],
            "median_delta_s": round(med["delta"], 3),
            "median_whole_s": round(med["whole"], 3),
            "ratio_delta_to_whole": ratio,
            "ratio_per_round": per_round,
            "bytes_goal_met": bytes_goal_met,
            "wall_goal_met": wall_goal_met,
            "index_file_bytes": index_bytes,
            "index_lines": index_lines,
            "make_tool_s": [round(x, 2) for x in timer.seconds],
        },
        notes=[
            "part 1 (the Builder's runtime part) is %d bytes, %d entries; changed: %d files (same size, "
            "other bytes), 1 added, 1 removed; the index gives %d changed entries whose local records "
            "are %d bytes, so the goal is at most 1.25 x that + 64 KiB = %d bytes: %s (largest round %d)."
            % (new.parts[0].size, part_entries, len(change["changed"]), entries, records, int(goal_bytes),
               "met" if bytes_goal_met else "NOT met", max(part_bytes["delta"])),
            "wall time goal (delta <= 0.5 x whole, medians): %s (%.3f)." % ("met" if wall_goal_met else "NOT met", ratio),
            "time to the Builder (from the setup's start to the recorder's record): the delta road %.3f x the "
            "whole-part update's process time (goal <= 0.5: %s) and %.3f x the platform's own work for it "
            "(linking the kept parts' files one after another, the same ranges one after another, the list "
            "and the Builder's start; goal <= 1.25: %s)." % (
                ratio_builder_whole, "met" if ratio_builder_whole <= 0.5 else "NOT met",
                ratio_builder_platform, "met" if ratio_builder_platform <= 1.25 else "NOT met"),
            "both roads update the same installed version (one first install of %.1f s, its home copied "
            "back before each update, the same path) to the same parts; order alternated per round. "
            "The delta road also fetched the index, %d bytes, once per run." % (first, index_bytes),
            "each update was checked: 15 parts kept, only part 1 fetched, the road's own status line "
            "(\"%s\" or \"%s\"), no error, and the new Builder folder equal to the part's files."
            % (CHANGES, WHOLE),
            "the indented rows split each update by its status lines: from the first line to part 1's "
            "download line, from there to 'Unpacking part 1', from there to 'Starting the Stonewake "
            "Builder' (part 1 unpacked while the 15 unchanged parts' files are linked); the rest of the "
            "wall time is the process start, the Builder double's run and the exit.",
            "index cost for this release: %d bytes (%d lines). stonewake-release make (the tool alone, "
            "zips + index): %s s for the three makes (old, new, new again without its list line); the "
            "tool has no switch to leave the index out, so its share of that time is not measured."
            % (index_bytes, index_lines,
               ", ".join("%.1f" % x for x in timer.seconds)),
        ])


REPAIR_TAG = "bench-repair-1"
REPAIR_ROUNDS = 5
BIG = mr.BUILDER_TOP + "/coreclr.dll"   # a runtime file of 6 MiB in this release
REPAIR_ROADS = ("damaged-repair", "damaged-whole", "deleted-start", "intact-repair")


def repair_specs() -> list:
    """The Builder-shaped release, its runtime part holding one 6 MiB
    incompressible runtime file."""
    specs = mr.builder_like_specs(REPAIR_TAG, bl.DOUBLES / "recorder.exe")
    specs[0].files = dict(specs[0].files, **{BIG: mr.filler("repair-" + BIG, 6 * bl.MIB)})
    return specs


def repair_run(wine, host, road, roots, rel, runner, template) -> dict:
    """One run on the installed release: the 6 MiB file changed at the same
    size (then --repair, with the index or without it), deleted (then a plain
    start), or left alone (then --repair)."""
    host.root = roots["whole" if road == "damaged-whole" else "index"]
    restore_home(template, runner.home.path)
    big = runner.home.path / "versions" / rel.tag / "StonewakeBuilder" / BIG.split("/", 1)[1]
    if road.startswith("damaged"):
        big.write_bytes(bytes(b ^ 0xFF for b in big.read_bytes()))
    elif road == "deleted-start":
        big.unlink()
    folder = big.parent.parent.stat().st_ino
    host.clear()
    bl.settle()
    args = "--cli --tag %s%s" % (rel.tag, "" if road == "deleted-start" else " --repair")
    wall, to_builder, result = timed_to_builder(runner, args)
    check_installed(runner.home.path, rel)
    if big.read_bytes() != mr.filler("repair-" + BIG, 6 * bl.MIB):
        raise bl.BenchError("%s: the 6 MiB file differs after the run" % road)
    republished = big.parent.parent.stat().st_ino != folder
    if road == "intact-repair" and republished:
        raise bl.BenchError("a repair of an intact version published it anew")
    zips = [r for r in host.requests if r.path.endswith(".zip")]
    index = [r for r in host.requests if r.path.endswith("/" + INDEX_ASSET)]
    return {"wall_s": round(wall, 3), "to_builder_s": round(to_builder, 3), "part_bytes": sum(r.sent for r in zips), "part_requests": len(zips),
            "index_bytes": sum(r.sent for r in index), "requests": len(host.requests),
            "out": result.stdout.decode("utf-8", "replace").splitlines()[:1]}


def platform_hash(wine, version) -> tuple[float, int, int]:
    """platform_main.exe hash of the installed version: every file read and
    hashed with CNG SHA-256, one after another; (seconds, bytes, files)."""
    exe = bl.OUT / "platform_main.exe"
    bl.require(exe)
    words, _ = bl.timed_wine(wine, [exe, "hash", wine.to_win(version), "-"], timeout=600)
    return round(float(words[0]) / 1000.0, 3), int(words[1]), int(words[2])


def repair_body() -> None:
    rows = {road: [] for road in REPAIR_ROADS}
    hashes = []
    with bl.scratch("host-root-repair", "host-root-repair-whole", "work/repair") as (root, root_whole, work):
        specs = repair_specs()
        rel = mr.write_release(root, REPAIR_TAG, specs, latest=True, host=bl.RELEASE_HOST)
        mr.write_release(root_whole, REPAIR_TAG, specs, latest=True, host=bl.RELEASE_HOST, index=False)
        entry = index_sections(rel.folder / INDEX_ASSET)[rel.parts[0].sha256][BIG]
        record = entry[3]
        goal_bytes = 1.25 * record + 64 * 1024
        with bl.wine_session() as wine, bl.release_host(root) as host:
            roots = {"index": root, "whole": root_whole}
            runner = bl.setup_runner(wine, work / "home", work / "run")
            bl.settle()
            bl.timed_setup(runner, "--cli --tag " + rel.tag)
            check_installed(runner.home.path, rel)
            template = work / "installed"
            runner.home.path.rename(template)
            for r in range(REPAIR_ROUNDS):
                hashes.append(platform_hash(wine, template / "versions" / rel.tag))
                order = REPAIR_ROADS if r % 2 == 0 else tuple(reversed(REPAIR_ROADS))
                for road in order:
                    rows[road].append(repair_run(wine, host, road, roots, rel, runner, template))
                print("  round %d: %s; platform hash %.2f s" % (r + 1, ", ".join(
                    "%s %.2f s %d B" % (road, rows[road][-1]["wall_s"], rows[road][-1]["part_bytes"])
                    for road in REPAIR_ROADS), hashes[-1][0]), flush=True)
    wall = {road: [x["wall_s"] for x in v] for road, v in rows.items()}
    med = {road: bl.median(v) for road, v in wall.items()}
    fmt = lambda xs: "%.2f (%.2f-%.2f)" % (bl.median(xs), min(xs), max(xs))  # noqa: E731
    hash_s = [h[0] for h in hashes]
    ratios = {road: round(med[road] / med["damaged-whole"], 3) for road in ("damaged-repair", "deleted-start")}
    started = {road: [x["to_builder_s"] for x in v] for road, v in rows.items()}
    started_med = {road: bl.median(v) for road, v in started.items()}
    started_ratios = {road: round(started_med[road] / med["damaged-whole"], 3) for road in ratios}
    bytes_ok = {road: max(x["part_bytes"] for x in rows[road]) <= goal_bytes for road in ratios}
    intact_bytes = max(x["part_bytes"] for x in rows["intact-repair"])
    intact_requests = max(x["requests"] for x in rows["intact-repair"])
    intact_ratio = round(med["intact-repair"] / bl.median(hash_s), 3)
    n = REPAIR_ROUNDS
    bl.report(
        "repair",
        "Repair of a %d MiB / 16-part Builder-shaped release with one 6 MiB runtime file damaged "
        "(medians of %d, min-max)" % (release_bytes(rel) // bl.MIB, n),
        ["run"] + ["round %d" % (i + 1) for i in range(n)] + ["median (min-max)"],
        [
            ["file changed, --repair (index): s"] + ["%.2f" % x for x in wall["damaged-repair"]]
            + [fmt(wall["damaged-repair"])],
            ["file changed, --repair (no index: whole): s"] + ["%.2f" % x for x in wall["damaged-whole"]]
            + [fmt(wall["damaged-whole"])],
            ["file deleted, plain start (index): s"] + ["%.2f" % x for x in wall["deleted-start"]]
            + [fmt(wall["deleted-start"])],
            ["nothing damaged, --repair (index): s"] + ["%.2f" % x for x in wall["intact-repair"]]
            + [fmt(wall["intact-repair"])],
            ["platform: hash every file, 1 thread, s"] + ["%.2f" % x for x in hash_s] + [fmt(hash_s)],
        ] + [["to the Builder, " + road + ": s"] + ["%.2f" % x for x in started[road]] + [fmt(started[road])]
             for road in REPAIR_ROADS
        ] + [["part bytes, " + road] + [str(x["part_bytes"]) for x in rows[road]] + [""] for road in REPAIR_ROADS],
        {
            "rounds": n,
            "release_bytes": release_bytes(rel),
            "damaged_file_bytes": 6 * bl.MIB,
            "damaged_record_bytes": record,
            "goal_part_bytes": int(goal_bytes),
            "runs": rows,
            "platform_hash_s": hash_s,
            "platform_hash_bytes": hashes[0][1],
            "platform_hash_files": hashes[0][2],
            "median_s": {road: round(v, 3) for road, v in med.items()},
            "ratio_to_whole_repair": ratios,
            "median_to_builder_s": {road: round(v, 3) for road, v in started_med.items()},
            "ratio_to_builder_to_whole_repair": started_ratios,
            "bytes_goal_met": bytes_ok,
            "wall_goal_met": {road: r <= 0.5 for road, r in ratios.items()},
            "intact_part_bytes": intact_bytes,
            "intact_requests": intact_requests,
            "ratio_intact_to_platform_hash": intact_ratio,
        },
        notes=[
            "the damaged file's record is %d bytes: the goal for the bytes fetched for parts is at most "
            "1.25 x that + 64 KiB = %d: --repair %s, plain start %s (the index, %d bytes, once on top)."
            % (record, int(goal_bytes), "met" if bytes_ok["damaged-repair"] else "NOT met",
               "met" if bytes_ok["deleted-start"] else "NOT met", rows["damaged-repair"][0]["index_bytes"]),
            "wall time against today's whole repair of the same install (the list without its index): "
            "--repair %.3f, plain start %.3f (goal at most 0.5 each)." % (ratios["damaged-repair"],
                                                                       ratios["deleted-start"]),
            "time from the start to the Builder's start against the whole repair's process time: --repair "
            "%.3f, plain start %.3f (the old copy is swept after the Builder's start)."
            % (started_ratios["damaged-repair"], started_ratios["deleted-start"]),
            "nothing damaged: %d bytes fetched for parts, %d requests (the list and the index); wall time "
            "%.3f x the platform's own hashing of the same %d files (%d bytes) one after another."
            % (intact_bytes, intact_requests, intact_ratio, hashes[0][2], hashes[0][1]),
            "each run restores the same installed version (its home copied back), then checks the version "
            "installed and current with the 6 MiB file as released; an intact version is not published anew.",
            "the --repair runs' line on standard output: %r." % rows["damaged-repair"][0]["out"],
        ])


def body() -> None:
    only = sys.argv[sys.argv.index("--only") + 1] if "--only" in sys.argv else None
    if only not in (None, "kept", "delta", "repair"):
        raise bl.BenchError("--only takes kept, delta or repair")
    if only in (None, "kept"):
        kept_body()
    if only in (None, "delta"):
        delta_body()
    if only in (None, "repair"):
        repair_body()


if __name__ == "__main__":
    raise SystemExit(bl.main(body))
