#!/usr/bin/env python3
"""The benchmark's table: medians, ratios and peak memory per row and placement.

report.py RESULTS LAUNCHER CURL, RESULTS holding MODE-ROW-N.json (hyperfine
exports, launcher first) and MODE-ROW-WHO.mem (GNU time's %M in KiB), WHO the
command's name: launcher, curl, or curl-parallel in the latency row.

report.py check RESULTS MODE ROW ACCESS_LOG CLIENTS PATH... tells whether a row's
rounds measured whole runs (see problems()); ACCESS_LOG holds the server's
"USER_AGENT|STATUS PATH" lines, CLIENTS a line per client start, PATH... what one
launcher run asks for. Exit code 1 with the problems printed when not.
"""
import json
import platform
import statistics
import subprocess
import sys
from collections import Counter
from datetime import datetime
from pathlib import Path

# (row, curl's command it is compared with, what, target ratio of the medians;
# None for the search row), in the table's order. Every launcher run ends with
# the client started; the client jar is one file more. The latency row holds
# two curl runs per round, one after the other and side by side.
ROWS = [
    ("uptodate", "curl", "Up-to-date start, 51-line manifest (HTTPS) vs one manifest fetch", 1.1),
    ("update", "curl", "Full update, 50 x 1 MiB + client jar over HTTPS vs one curl process", 1.5),
    ("latency", "curl", "Full update, 50 x 256 KiB + client jar over HTTPS, 20 ms each way, "
     "vs curl one file after the other", 0.4),
    ("latency", "curl-parallel", "The same vs curl --parallel --parallel-max 4", 1.1),
    ("big-http", "curl", "One 512 MiB file + client jar over HTTP", 1.1),
    ("big-https", "curl", "One 512 MiB file + client jar over HTTPS", 1.1),
    ("idle", "curl", "Full update with 100 extra idle processes", None),
]
WHO = ("launcher", "curl-parallel", "curl")
FILES = 50
MEMORY_TARGET = 1.2
SEARCH_TARGET_MS = 10


def load(results):
    """{(mode, row, command): [seconds]}, and the same of peak MiB."""
    times, memory = {}, {}
    for path in sorted(results.glob("*.json")):
        mode, row = path.stem.split("-", 1)
        row = row.rsplit("-", 1)[0]
        for result in json.loads(path.read_text())["results"]:
            times.setdefault((mode, row, result["command"]), []).extend(result["times"])
    for path in results.glob("*.mem"):
        mode, rest = path.stem.split("-", 1)
        who = next(who for who in WHO if rest.endswith("-" + who))
        row = rest[:-len(who) - 1]
        # GNU time writes a line of its own before the value when the command
        # exits non-zero, as the launcher does when it started the client.
        memory[(mode, row, who)] = [int(line) / 1024 for line in path.read_text().splitlines() if line.isdigit()]
    return times, memory


def table(times, memory):
    """One dict per measured row, pinned first. The idle row's search cost per
    file is what its launcher median exceeds the update row's ratio to curl
    by, over the 50 files: curl, run in the same rounds, stands for the load
    of the moment, which drifts between rows on a shared machine."""
    lines = []
    for mode in sorted({key[0] for key in times}, key=lambda mode: mode != "pinned"):
        for row, against, what, target in ROWS:
            if (mode, row, "launcher") not in times:
                continue
            mine = statistics.median(times[(mode, row, "launcher")])
            theirs = statistics.median(times[(mode, row, against)])
            line = {"mode": mode, "row": row, "against": against, "what": what, "launcher": mine, "curl": theirs,
                    "ratio": mine / theirs, "runs": len(times[(mode, row, "launcher")])}
            line["mem_launcher"], line["mem_curl"] = (
                statistics.median(memory.get((mode, row, who)) or [float("nan")]) for who in ("launcher", against))
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


def problems(exports, requests, expected, clients):
    """Why a row's rounds are not a measure of whole runs, if they are not:
    exports, hyperfine's JSON of each round; requests, the server's log of the
    launcher's requests, "STATUS PATH" each; expected, the paths one launcher
    run asks for; clients, the client starts counted. Each round must hold one
    launcher run that started the client (exit code 1), one run of each curl
    command that succeeded, and the launcher's requests must be exactly the
    expected ones, each answered 200."""
    rounds = len(exports)
    found = []
    commands = dict.fromkeys(result["command"] for export in exports for result in export["results"])
    for who, code in [("launcher", 1)] + [(who, 0) for who in commands if who != "launcher"]:
        codes = [c for export in exports for result in export["results"] if result["command"] == who
                 for c in result["exit_codes"]]
        if codes != [code] * rounds:
            found.append(f"{who}: exit codes {codes}, expected {code} in each of {rounds} rounds")
    want = Counter({f"200 {path}": rounds for path in expected})
    got = Counter(requests)
    for what, lines in (("missing", want - got), ("unexpected", got - want)):
        if lines:
            found.append(f"requests {what}: " + ", ".join(f"{n} x {line}" for line, n in sorted(lines.items())))
    if clients != rounds:
        found.append(f"{clients} client starts in {rounds} rounds")
    return found


def check(results, mode, row, access_log, clients_file, expected):
    exports = [json.loads(path.read_text()) for path in sorted(results.glob(f"{mode}-{row}-*.json"))]
    # curl's tool names itself; the rest is the launcher's.
    requests = [line.partition("|")[2] for line in Path(access_log).read_text().splitlines()
                if not line.startswith("curl/")]
    clients = Path(clients_file).read_text().count("done") if Path(clients_file).exists() else 0
    found = problems(exports, requests, expected, clients)
    for problem in found:
        print(f"{mode} {row}: {problem}")
    return 1 if found else 0


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
    if sys.argv[1] == "check":
        sys.exit(check(Path(sys.argv[2]), *sys.argv[3:7], sys.argv[7:]))
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
