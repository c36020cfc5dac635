#!/usr/bin/env python3
"""The benchmark's table: medians, ratios and peak memory per row and placement.

report.py RESULTS LAUNCHER CURL, RESULTS holding MODE-ROW-N.json (hyperfine
exports, launcher first) and MODE-ROW-{launcher,curl}.mem (GNU time's %M in KiB).
"""
import json
import platform
import statistics
import subprocess
import sys
from datetime import datetime
from pathlib import Path

# row: (what, target ratio of the medians; None for the search row)
ROWS = {
    "uptodate": ("Up-to-date start, 50-line manifest (HTTPS) vs one manifest fetch", 1.2),
    "update": ("Full update, 50 x 1 MiB over HTTPS vs one curl process", 1.5),
    "big-http": ("One 512 MiB file over HTTP", 1.1),
    "big-https": ("One 512 MiB file over HTTPS", 1.1),
    "idle": ("Full update with 100 extra idle processes", None),
}
FILES = 50
MEMORY_TARGET = 1.2
SEARCH_TARGET_MS = 10


def load(results):
    """{(mode, row, "launcher" or "curl"): [seconds]}, and the same of peak MiB."""
    times, memory = {}, {}
    for path in sorted(results.glob("*.json")):
        mode, row = path.stem.split("-", 1)
        row = row.rsplit("-", 1)[0]
        for result in json.loads(path.read_text())["results"]:
            times.setdefault((mode, row, result["command"]), []).extend(result["times"])
    for path in results.glob("*.mem"):
        mode, rest = path.stem.split("-", 1)
        row, who = rest.rsplit("-", 1)
        memory[(mode, row, who)] = [int(line) / 1024 for line in path.read_text().split() if line.isdigit()]
    return times, memory


def table(times, memory):
    """One dict per measured row, pinned first. The idle row's search cost per
    file is what its launcher median exceeds the update row's ratio to curl
    by, over the 50 files: curl, run in the same rounds, stands for the load
    of the moment, which drifts between rows on a shared machine."""
    lines = []
    for mode in sorted({key[0] for key in times}, key=lambda mode: mode != "pinned"):
        for row, (what, target) in ROWS.items():
            if (mode, row, "launcher") not in times:
                continue
            mine = statistics.median(times[(mode, row, "launcher")])
            theirs = statistics.median(times[(mode, row, "curl")])
            line = {"mode": mode, "row": row, "what": what, "launcher": mine, "curl": theirs,
                    "ratio": mine / theirs, "runs": len(times[(mode, row, "launcher")])}
            line["mem_launcher"], line["mem_curl"] = (
                statistics.median(memory.get((mode, row, who)) or [float("nan")]) for who in ("launcher", "curl"))
            line["mem_ratio"] = line["mem_launcher"] / line["mem_curl"]
            met = [line["mem_ratio"] <= MEMORY_TARGET]
            if target is not None:
                line["target"] = f"<= {target}x"
                met.append(line["ratio"] <= target)
            elif (mode, "update", "launcher") in times:
                update = [statistics.median(times[(mode, "update", who)]) for who in ("launcher", "curl")]
                line["search_ms"] = (mine - theirs * update[0] / update[1]) / FILES * 1000
                line["target"] = f"search {line['search_ms']:.1f} ms per file, < {SEARCH_TARGET_MS}"
                met.append(line["search_ms"] < SEARCH_TARGET_MS)
            else:
                line["target"] = "search cost needs the update row"
                met.append(False)
            line["met"] = all(met)
            lines.append(line)
    return lines


def command(*args):
    try:
        return subprocess.run(args, capture_output=True, text=True).stdout.strip()
    except OSError:
        return ""


def machine(results):
    cpu = next((line.split(":", 1)[1].strip() for line in command("lscpu").splitlines()
                if line.startswith("Model name")), platform.processor())
    memory = next(line.split()[1] for line in open("/proc/meminfo") if line.startswith("MemTotal"))
    load = [(results / f"load-{when}.txt").read_text().split("average:")[1].strip() for when in ("start", "end")]
    return [f"Date: {datetime.now():%Y-%m-%d %H:%M}",
            f"Machine: {cpu}, {command('nproc')} CPUs, {int(memory) // 1024 // 1024} GiB, "
            f"{platform.system()} {platform.release()}, {command('wine', '--version')}",
            f"Load average at start: {load[0]}; at end: {load[1]}"]


def main():
    results, launcher, curl = Path(sys.argv[1]), sys.argv[2], sys.argv[3]
    print("\n".join(machine(results)))
    print(f"Launcher: {launcher}\ncurl tool: {curl} ({command('wine', curl, '-V').splitlines()[0]})\n")
    print("| Placement | What | Launcher | curl tool | Ratio | Target | Met "
          "| Peak memory launcher / curl | Ratio | Runs |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for line in table(*load(results)):
        print(f"| {line['mode']} | {line['what']} | {line['launcher']:.3f} s | {line['curl']:.3f} s "
              f"| {line['ratio']:.2f}x | {line['target']}; memory <= {MEMORY_TARGET}x "
              f"| {'yes' if line['met'] else 'no'} | {line['mem_launcher']:.0f} / {line['mem_curl']:.0f} MiB "
              f"| {line['mem_ratio']:.2f}x | {line['runs']} |")


if __name__ == "__main__":
    main()
