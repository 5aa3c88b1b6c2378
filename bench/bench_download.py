#!/usr/bin/python3
"""Download throughput: the setup's own http_get into file_sink (written and
hashed with CNG SHA-256 as it arrives, never read back), run under Wine by
download_main.exe, against curl of the same 256 MiB body from the same
loopback HTTPS release host double, and against the platform's own limit:
platform_main.exe, which does only WinHTTP into a file hashed with CNG, none
of the setup's code. Three runs each, interleaved; medians with min-max; the
ratio is setup MB/s / platform MB/s (curl is a native reference). Two more sinks
of download_main (hash only; drop the bytes) show where the setup's time
goes: WinHTTP itself, the hashing, the writing. Last, what a connection
that drops at 90 % of a 100 MiB part costs: a first install by the setup's
exe whose part breaks off there once, counted as the bytes the host sent for
that part beyond its size (fetched twice).

    bench_download.py [<build dir>]     -> <build>/bench/download.json
"""

from __future__ import annotations

import hashlib
import time

import benchlib as bl

SIZE = 256 * bl.MIB
RUNS = 3
TAG = "bench-download"
ASSET = "body-256m.bin"


def body_file(root) -> str:
    """Writes the served body (incompressible) and returns its real SHA-256."""
    path = root / "releases" / TAG / ASSET
    path.parent.mkdir(parents=True, exist_ok=True)
    data = bl.make_release.filler(TAG, SIZE)
    path.write_bytes(data)
    return hashlib.sha256(data).hexdigest()


def timed_download(wine, args, out) -> tuple[float, float, str]:
    """One run of a download program writing to `out`: (seconds inside the
    program, wall seconds with the Wine start, digest or "-" for the sink
    that drops the bytes)."""
    out.unlink(missing_ok=True)
    (digest, ms, size), wall = bl.timed_wine(wine, args)
    if int(size) != SIZE:
        raise bl.BenchError("%s wrote %s bytes, not %d" % (args[0].name, size, SIZE))
    out.unlink(missing_ok=True)
    return float(ms) / 1000.0, wall, digest


def setup_download(wine, exe, url: str, out, sink: str = "file") -> tuple[float, float, str]:
    return timed_download(wine, [exe, url, wine.to_win(out), SIZE, sink], out)


PLATFORM_PEAK_MIB = []   # VmHWM of platform_main.exe per run: the memory budget's base


def platform_download(wine, exe, url: str, out) -> tuple[float, float, str]:
    """platform_main.exe download: WinHTTP + CNG only; its peak memory is kept."""
    with bl.PeakMemory([exe.name]) as peak:
        result = timed_download(wine, [exe, "download", url, wine.to_win(out)], out)
    PLATFORM_PEAK_MIB.append(peak.peak_mib[exe.name])
    return result


SMALL = "small.txt"
REQUESTS = 17   # a first install of 16 parts: the setup list and every part


def session_costs(wine, exe, url: str) -> tuple[float, float]:
    """(ms for REQUESTS small GETs in one session, in a new session each)."""
    out = []
    for mode in ("one", "each"):
        (ms, _, count), _ = bl.timed_wine(wine, [exe, "requests", url, REQUESTS, mode], timeout=300)
        if int(count) != REQUESTS:
            raise bl.BenchError("platform_main made %s requests, not %d" % (count, REQUESTS))
        out.append(float(ms))
    return out[0], out[1]


def curl_download(url: str, out) -> tuple[float, float, str]:
    """(curl's own time_total, wall seconds with its start, digest read afterwards)."""
    out.unlink(missing_ok=True)
    bl.settle()
    start = time.perf_counter()
    done = bl.run_quiet(["curl", "-sS", "--cacert", bl.CERTS / "ca.pem", "-o", out,
                         "-w", "%{time_total}", url])
    wall = time.perf_counter() - start
    digest = bl.run_quiet(["sha256sum", out]).stdout.split()[0].decode()
    out.unlink()
    return float(done.stdout.decode()), wall, digest


RESUME_TAG = "bench-resume"
RESUME_SIZE = 100 * bl.MIB


def resume_release(root):
    """A release of the Builder and one incompressible stored part of 100 MiB."""
    mr = bl.make_release
    specs = [mr.builder_part(RESUME_TAG, bl.DOUBLES / "recorder.exe"),
             mr.tool_part("cpm", "1.0", size=RESUME_SIZE, stored=True)]
    return mr.write_release(root, RESUME_TAG, specs, latest=True, host=bl.RELEASE_HOST)


def fetched_twice(wine, host, part, work) -> int:
    """A first install whose 100 MiB part is dropped at 90 % once: the bytes
    the host sent for it beyond its size."""
    path = part.url.split(str(host.port), 1)[1]
    host.clear()
    host.script(path, ["drop:0.9"])
    runner = bl.setup_runner(wine, work / "resume-home", work / "resume-run")
    bl.timed_setup(runner, "--cli")
    sent = [q.sent for q in host.requests if q.path.startswith(path)]
    if len(sent) < 2 or sent[0] != int(part.size * 0.9):
        raise bl.BenchError("the part was not dropped at 90 %% once (bytes sent per request: %r)" % sent)
    return sum(sent) - part.size


def mbps(seconds: float) -> float:
    return round(SIZE / seconds / 1e6, 1)


def body() -> None:
    exe = bl.OUT / "download_main.exe"
    platform = bl.OUT / "platform_main.exe"
    bl.require(exe, platform)
    runs = {"setup": [], "platform": [], "curl": [], "hash": [], "none": []}
    with bl.scratch("host-root-download", "work/download") as (root, work):
        real = body_file(root)
        (root / "releases" / TAG / SMALL).write_bytes(b"part line of a setup list\n" * 80)
        sessions = []
        twice = []
        resume = resume_release(root).parts[1]
        with bl.wine_session() as wine, bl.release_host(root) as host:
            url = host.url("/Stonewake/Stonewake/releases/download/%s/%s" % (TAG, ASSET))
            for _ in range(RUNS):   # interleaved, so a slow phase of the machine hits both
                runs["setup"].append(setup_download(wine, exe, url, work / "setup.bin"))
                runs["platform"].append(platform_download(wine, platform, url, work / "platform.bin"))
                runs["curl"].append(curl_download(url, work / "curl.bin"))
                for sink in ("hash", "none"):
                    runs[sink].append(setup_download(wine, exe, url, work / "setup.bin", sink))
                sessions.append(session_costs(wine, platform, url.rsplit("/", 1)[0] + "/" + SMALL))
                twice.append(fetched_twice(wine, host, resume, work))
    for name, rs in runs.items():
        wrong = [d for _, _, d in rs if d != ("-" if name == "none" else real)]
        if wrong:
            raise bl.BenchError("%s delivered a wrong digest %s (real %s)" % (name, wrong[0], real))

    med = {n: bl.median([s for s, _, _ in rs]) for n, rs in runs.items()}
    med_wall = {n: bl.median([w for _, w, _ in rs]) for n, rs in runs.items()}
    ratio = round(mbps(med["setup"]) / mbps(med["platform"]), 3)
    ratio_curl = round(mbps(med["setup"]) / mbps(med["curl"]), 3)
    labels = {"setup": "setup http_get+file_sink (Wine)",
              "platform": "platform limit: WinHTTP+CNG into a file (Wine)",
              "curl": "curl -o file (native reference)",
              "hash": "  same, hashing only (no file)", "none": "  same, bytes dropped"}
    rows = [[labels[n]] + ["%.2f" % s for s, _, _ in rs] + ["%.2f" % med[n], mbps(med[n]),
                                                          "%.2f" % med_wall[n]]
            for n, rs in runs.items()]
    rows.insert(2, ["ratio setup/platform limit (MB/s)", "", "", "", "", ratio, ""])
    rows.insert(4, ["ratio setup/curl (MB/s)", "", "", "", "", ratio_curl, ""])
    one, each = bl.median([o for o, _ in sessions]), bl.median([e for _, e in sessions])
    rows.append(["%d small GETs, one session (ms)" % REQUESTS] + ["%.0f" % o for o, _ in sessions] +
                ["%.0f" % one, "", ""])
    rows.append(["%d small GETs, a session each (ms)" % REQUESTS] + ["%.0f" % e for _, e in sessions] +
                ["%.0f" % each, "", ""])
    rows.append(["drop at 90 %% of a %d MiB part: fetched twice (KiB)" % (RESUME_SIZE // bl.MIB)] +
                ["%.0f" % (t / 1024) for t in twice] + ["%.0f" % (bl.median(twice) / 1024), "", ""])
    rows.append(["platform_main peak memory, VmHWM MiB", "", "", "", "%.1f" % max(PLATFORM_PEAK_MIB), "", ""])
    bl.report(
        "download",
        "Download of a 256 MiB body over loopback HTTPS",
        ["client", "run 1 s", "run 2 s", "run 3 s", "median s", "MB/s", "wall s"],
        rows,
        {
            "size_bytes": SIZE,
            "sha256": real,
            "digests_ok": True,
            "seconds": {n: [round(s, 3) for s, _, _ in rs] for n, rs in runs.items()},
            "wall_seconds": {n: [round(w, 3) for _, w, _ in rs] for n, rs in runs.items()},
            "median_seconds": {n: round(v, 3) for n, v in med.items()},
            "mb_per_s": {n: mbps(v) for n, v in med.items()},
            "ratio_setup_to_platform": ratio,
            "ratio_setup_to_curl": ratio_curl,
            "platform_peak_vmhwm_mib": PLATFORM_PEAK_MIB,
            "requests": REQUESTS,
            "requests_one_session_ms": [round(o, 1) for o, _ in sessions],
            "requests_session_each_ms": [round(e, 1) for _, e in sessions],
            "resume_part_bytes": resume.size,
            "resume_fetched_twice_bytes": twice,
        },
        notes=[
            "times: inside each program (file open to close for the setup, curl's time_total);",
            "wall s adds the process start (for the setup: Wine's). MB = 10^6 bytes.",
            "the setup hashes while writing; curl only writes (its digest is taken afterwards, untimed).",
            "every digest equals the body's real SHA-256 %s..." % real[:16],
            "the two sink variants (download_main ... hash|none) are diagnostics, not in the ratio.",
            "small GETs: platform_main requests, a 2 KiB body %d times in one WinHTTP session (connection "
            "and TLS session kept) or a new session each (as the setup did before): the saving of one "
            "session per run." % REQUESTS,
            "fetched twice: the setup's first install (--cli) of a release whose %d MiB part the host "
            "drops at 90 %% once; bytes the host sent for that part minus its size (goal: at most "
            "2 MiB)." % (RESUME_SIZE // bl.MIB),
        ])


if __name__ == "__main__":
    raise SystemExit(bl.main(body))
