#!/usr/bin/python3
"""Draws the benchmark results as one PNG: for each job the setup against the
platform's limit measured in the same run (for the delta road: against the
whole-part update of the same pair), as medians with min-max ranges.

    chart.py [<build dir>]     reads <build>/bench/*.json -> <build>/bench/chart.png

Uses Debian's python3-matplotlib (bench/run.sh installs it when missing).
Only results that exist are drawn; a job without results is left out.
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def load(out: Path, name: str) -> dict | None:
    path = out / (name + ".json")
    return json.loads(path.read_text(encoding="utf-8")) if path.is_file() else None


def spread(values) -> tuple[float, float, float]:
    values = sorted(values)
    n = len(values)
    mid = values[n // 2] if n % 2 else (values[n // 2 - 1] + values[n // 2]) / 2
    return mid, values[0], values[-1]


def panels(out: Path) -> list[tuple[str, str, list[tuple[str, tuple[float, float, float]]]]]:
    """(title, unit, [(label, (median, min, max))]) per job."""
    found = []
    install = load(out, "install")
    if install and "platform_wall_s" in install:
        found.append(("First install, %d MiB / %d parts" % (install["release_bytes"] >> 20, install["parts"]), "s",
                      [("setup", spread(install["setup_wall_s"])),
                       ("platform limit\n(download, then tar)", spread(install["platform_wall_s"]))]))
    download = load(out, "download")
    if download and "platform" in download.get("seconds", {}):
        size = download["size_bytes"] / 1e6
        mbps = lambda xs: spread([size / x for x in xs])  # noqa: E731
        found.append(("Download, %d MiB" % (download["size_bytes"] >> 20), "MB/s",
                      [("setup", mbps(download["seconds"]["setup"])),
                       ("platform limit\n(WinHTTP + CNG)", mbps(download["seconds"]["platform"]))]))
    fast = load(out, "faststart")
    if fast and "bare" in fast.get("ms", {}):
        ms = fast["ms"]
        found.append(("Fast start --launch", "ms",
                      [("setup\nnamed home", spread(ms["explicit"])),
                       ("bare\nlauncher", spread(ms["bare"])),
                       ("setup\nper-user home", spread(ms["per-user"])),
                       ("shell\nlauncher", spread(ms["shell"]))]))
        if "second" in ms:
            found.append(("Second start (list asked)", "ms",
                          [("setup", spread(ms["second"])),
                           ("platform limit\n(list, then start)", spread(ms["platform-second"]))]))
    update = load(out, "update")
    if update and "update_s" in update and "first_install_s" in update:
        found.append(("Update, 15 of 16 parts kept", "s",
                      [("update", spread(update["update_s"])),
                       ("first install", spread(update["first_install_s"]))]))
    delta = load(out, "update_delta")
    if delta and "delta_s" in delta and "whole_s" in delta:
        found.append(("Update, 1 %% of part 1 changed:\nwall time (%d rounds)" % delta["rounds"], "s",
                      [("delta road", spread(delta["delta_s"])),
                       ("whole part\n(no index line)", spread(delta["whole_s"]))]))
        if "delta_to_builder_s" in delta:
            found.append(("Update, 1 %% of part 1 changed:\nto the Builder's start" % (), "s",
                          [("delta road", spread(delta["delta_to_builder_s"])),
                           ("platform\n(link, ranges, start)", spread(delta["platform_to_builder_s"])),
                           ("whole part\nprocess", spread(delta["whole_s"]))]))
        kib = lambda xs: spread([x / 1024 for x in xs])  # noqa: E731
        found.append(("Update, 1 %% of part 1 changed:\npart 1 bytes fetched (goal %d KiB)"
                      % (delta["goal_part_bytes"] // 1024), "KiB",
                      [("delta road", kib(delta["delta_part_bytes"])),
                       ("whole part", kib(delta["whole_part_bytes"]))]))
    repair = load(out, "repair")
    if repair and "median_s" in repair:
        runs = repair["runs"]
        walls = lambda road: spread([x["wall_s"] for x in runs[road]])  # noqa: E731
        found.append(("Repair, one 6 MiB file damaged\n(%d rounds)" % repair["rounds"], "s",
                      [("--repair\n(index)", walls("damaged-repair")),
                       ("plain start,\nfile deleted", walls("deleted-start")),
                       ("whole repair\n(no index)", walls("damaged-whole")),
                       ("nothing\ndamaged", walls("intact-repair")),
                       ("platform:\nhash all", spread(repair["platform_hash_s"]))]))
    return found


def main() -> int:
    build = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "build" / "bench")
    out = build.absolute() / "bench"
    found = panels(out)
    if not found:
        print("chart: no results in %s" % out, file=sys.stderr)
        return 1
    machine = next((load(out, n)["machine"] for n in ("install", "download", "faststart", "update", "update_delta",
                                                      "repair")
                    if load(out, n)), {})
    fig, axes = plt.subplots(1, len(found), figsize=(4.2 * len(found), 4.2), squeeze=False)
    for ax, (title, unit, bars) in zip(axes[0], found):
        labels = [b[0] for b in bars]
        mids = [b[1][0] for b in bars]
        low = [b[1][0] - b[1][1] for b in bars]
        high = [b[1][2] - b[1][0] for b in bars]
        colours = ["#c0504d" if i % 2 == 0 else "#4f81bd" for i in range(len(bars))]
        ax.bar(range(len(bars)), mids, yerr=[low, high], capsize=6, color=colours)
        ax.set_xticks(range(len(bars)))
        ax.set_xticklabels(labels, fontsize=8)
        ax.set_title(title, fontsize=10)
        ax.set_ylabel(unit)
        for i, m in enumerate(mids):
            ax.annotate("%.3g" % m, (i, m), textcoords="offset points", xytext=(8, 2), fontsize=8)
    fig.suptitle("Setup (red) against the platform's limit or the whole-part update (blue),\nmedians with "
                 "min-max; %s, %d cores, %s"
                 % (machine.get("cpu", "?"), machine.get("cores", 0), machine.get("wine", "?")), fontsize=9)
    fig.tight_layout()
    path = out / "chart.png"
    fig.savefig(path, dpi=90)
    print("chart: %s" % path)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
