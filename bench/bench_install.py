#!/usr/bin/python3
"""First install: the setup (CLI mode, under Wine) installing a release of
about 300 MiB in 16 parts shaped like the Builder's (make_release.
builder_like_release: some 15,000 small deflated files, a few large
incompressible ones, renamed parts) from the loopback release host double,
against the platform's sequential limit in the same run: platform_main.exe
install (WinHTTP + CNG into a file for every part, then Windows' tar.exe on
each, one after the other, none of the setup's code). The same work done
natively (curl, sha256sum, bsdtar -xf) is printed as a reference. Reports the
wall times with min-max, the ratio setup/platform limit and the peak memory.

Peak memory is the kernel's VmHWM of the Unix process that runs
StonewakeBuilder-Setup.exe, polled from /proc (under Wine,
GetProcessMemoryInfo of a child reads the same /proc values, and after the
child's end it reads zeros, so a launcher cannot take it at the end).

    bench_install.py [<build dir>]     -> <build>/bench/install.json
"""

from __future__ import annotations

import time

import benchlib as bl

TAG = "bench-install"
SETUP = "StonewakeBuilder-Setup.exe"
TAR = "tar.exe"
ROUNDS = 5
# Status lines that open each phase of a part.
PHASES = {"download": "Downloading part", "unpack": "Unpacking part"}


def publish(root, tag: str):
    """The Builder-shaped release, its Builder the recorder double."""
    return bl.make_release.builder_like_release(root, tag, bl.DOUBLES / "recorder.exe", latest=True,
                                                host=bl.RELEASE_HOST)


def release_bytes(rel) -> int:
    return sum(p.size for p in rel.parts)


def check_installed(home, rel) -> None:
    version = home / "versions" / rel.tag
    if not (version / "installed.txt").is_file() or not (version / rel.run).is_file():
        raise bl.BenchError("the setup reported success but %s is not installed" % rel.tag)
    if (home / "versions" / "current.txt").read_text().split()[0] != rel.tag:
        raise bl.BenchError("current.txt does not name %s" % rel.tag)


def setup_install(wine, rel, work):
    """A first install into a fresh home; returns (wall s, result, peaks)."""
    runner = bl.setup_runner(wine, work / "setup-home", work / "setup-run")
    bl.settle()
    wall, result, peaks = bl.timed_setup(runner, "--cli", memory=[SETUP, TAR])
    if not result.records:
        raise bl.BenchError("the setup did not start the Builder")
    check_installed(runner.home.path, rel)
    return wall, result, peaks


def platform_install(wine, rel, work) -> float:
    """platform_main.exe install into a fresh folder: wall seconds, Wine's
    process start included (as for the setup)."""
    exe = bl.OUT / "platform_main.exe"
    bl.require(exe)
    dest = bl.fresh(work / "platform-install")
    list_url = "https://%s/Stonewake/Stonewake/releases/latest/download/tarnwick-setup.txt" % bl.RELEASE_HOST
    words, wall = bl.timed_wine(wine, [exe, "install", list_url, wine.to_win(dest)], timeout=900)
    if int(words[2]) != len(rel.parts) or \
            not (dest / "StonewakeBuilder-win-x64" / "StonewakeBuilder.exe").is_file():
        raise bl.BenchError("platform_main did not install every part: %r" % words)
    return wall


def native_install(host, rel, work) -> tuple[float, dict]:
    """curl + sha256sum + bsdtar of every part, one after another, as the
    setup does them; (wall seconds, seconds per step)."""
    downloads = bl.fresh(work / "native-downloads")
    dest = bl.fresh(work / "native-install")
    ca = bl.CERTS / "ca.pem"
    spent = {"download": 0.0, "hash": 0.0, "unpack": 0.0}

    def step(name, args):
        t = time.perf_counter()
        done = bl.run_quiet(args)
        spent[name] += time.perf_counter() - t
        return done

    bl.settle()
    start = time.perf_counter()
    step("download", ["curl", "-sS", "--cacert", ca, "-o", downloads / "setup-list.txt",
                      host.url("/Stonewake/Stonewake/releases/latest/download/tarnwick-setup.txt")])
    for part in rel.parts:
        archive = downloads / (part.sha256 + ".zip")
        step("download", ["curl", "-sS", "--cacert", ca, "-o", archive, part.url])
        digest = step("hash", ["sha256sum", archive]).stdout.split()[0].decode()
        if digest != part.sha256:
            raise bl.BenchError("curl delivered a wrong digest for %s" % part.asset)
        folder = dest / part.dir
        folder.mkdir(parents=True, exist_ok=True)
        step("unpack", ["bsdtar", "-xf", archive, "-C", folder])
    wall = time.perf_counter() - start
    if not (dest / "StonewakeBuilder-win-x64" / "StonewakeBuilder.exe").is_file():
        raise bl.BenchError("bsdtar did not unpack the Builder part")
    return wall, spent


def body() -> None:
    natives, setups, platforms = [], [], []
    with bl.scratch("host-root-install", "work/install") as (root, work):
        rel = publish(root, TAG)
        size = release_bytes(rel)
        with bl.wine_session() as wine, bl.release_host(root) as host:
            for _ in range(ROUNDS):   # interleaved, so a slow phase of the machine hits both
                natives.append(native_install(host, rel, work))
                platforms.append(platform_install(wine, rel, work))
                bl.fresh(work)
                wall, result, peaks = setup_install(wine, rel, work)
                setups.append((wall, bl.status_span(result, "Starting the Stonewake Builder"),
                               bl.status_phases(result, PHASES), peaks))
                bl.fresh(work)
    native = bl.median([w for w, _ in natives])
    native_steps = {k: bl.median([s[k] for _, s in natives]) for k in natives[0][1]}
    setup = bl.median([w for w, _, _, _ in setups])
    inner = bl.median([i for _, i, _, _ in setups])
    steps = {k: bl.median([p[k] for _, _, p, _ in setups]) for k in PHASES}
    peaks = {k: max(p[k] for _, _, _, p in setups) for k in (SETUP, TAR)}
    limit = bl.median(platforms)
    ratio = round(setup / limit, 2)
    per_round = [round(w / p, 2) for (w, _, _, _), p in zip(setups, platforms)]
    ratio_native = round(setup / native, 2)
    spread = {"setup": [w for w, _, _, _ in setups], "limit": platforms, "native": [w for w, _ in natives]}

    def row(label, seconds, key=None):
        span = "%.2f-%.2f" % (min(spread[key]), max(spread[key])) if key else ""
        return [label, "%.2f" % seconds, span, round(size / seconds / 1e6, 1)]

    bl.report(
        "install",
        "First install of a %d MiB, %d-part release (medians of %d)" % (size // bl.MIB, len(rel.parts), ROUNDS),
        ["run", "wall s", "min-max s", "MB/s"],
        [
            row("setup --cli (Wine), process start to exit", setup, "setup"),
            row("  first to last status line", inner),
            row("  'Downloading part n' lines (part n arriving, tar of n-1 beside it)", steps["download"]),
            row("  'Unpacking part n' lines (tar.exe started)", steps["unpack"]),
            row("platform limit: WinHTTP+CNG, then tar.exe, per part (Wine)", limit, "limit"),
            ["ratio setup/platform limit (wall)", ratio, "", ""],
            ["  per round, min-max (median)", "%.2f-%.2f" % (min(per_round), max(per_round)), "",
             bl.median(per_round)],
            row("curl + sha256sum + bsdtar -xf (native reference)", native, "native"),
            row("  curl", native_steps["download"]),
            row("  sha256sum", native_steps["hash"]),
            row("  bsdtar -xf", native_steps["unpack"]),
            ["ratio setup/native (wall)", ratio_native, "", ""],
            ["setup peak memory, VmHWM MiB", peaks[SETUP], "", ""],
            ["tar.exe peak memory (largest), VmHWM MiB", peaks[TAR], "", ""],
        ],
        {
            "release_bytes": size,
            "parts": len(rel.parts),
            "rounds": ROUNDS,
            "setup_wall_s": [round(w, 3) for w, _, _, _ in setups],
            "setup_status_span_s": [round(i, 3) for _, i, _, _ in setups],
            "setup_phase_s": {k: round(v, 3) for k, v in steps.items()},
            "native_wall_s": [round(w, 3) for w, _ in natives],
            "platform_wall_s": [round(w, 3) for w in platforms],
            "median_platform_wall_s": round(limit, 3),
            "ratio_setup_to_platform": ratio,
            "ratio_per_round": per_round,
            "native_step_s": {k: round(v, 3) for k, v in native_steps.items()},
            "median_setup_wall_s": round(setup, 3),
            "median_native_wall_s": round(native, 3),
            "ratio_setup_to_native": ratio_native,
            "setup_peak_vmhwm_mib": peaks[SETUP],
            "tar_peak_vmhwm_mib": peaks[TAR],
        },
        notes=[
            "the setup's tar.exe is the prefix's system32 one: Windows' tar (libarchive's bsdtar, "
            "built with MinGW by tests/harness/bsdtar.sh), run under Wine.",
            "the setup also moves the staged version into place, writes its records, deletes "
            "its downloads and starts the Builder double (recorder.exe) and waits for it.",
            "the setup downloads part n+1 while up to one tar.exe per logical processor (at most 4) "
            "unpacks earlier parts, so its status lines no longer split the time into downloading and "
            "unpacking: a 'Downloading part n' line lasts until part n has arrived (and, with every "
            "slot taken, a tar has ended); the last tars run under the last 'Unpacking' line, with "
            "the moves into place, the publishing and the Builder's start after them.",
            "peak memory: the kernel's VmHWM of the Unix process running the exe (Wine's own "
            "DLLs included), polled from /proc every 50 ms; it only grows, so nothing is missed "
            "but growth after the last poll. Largest over the rounds.",
        ])


if __name__ == "__main__":
    raise SystemExit(bl.main(body))
