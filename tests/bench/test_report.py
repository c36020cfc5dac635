"""The benchmark's report: medians over interleaved rounds, ratios and verdicts."""
import importlib.util
import json
import tempfile
import unittest
from pathlib import Path

# bench/ is no package: the report is loaded from its file.
_source = importlib.util.spec_from_file_location("report", Path(__file__).resolve().parents[2] / "bench" / "report.py")
report = importlib.util.module_from_spec(_source)
_source.loader.exec_module(report)


def write_round(folder, mode, row, n, launcher, curl, parallel=None):
    results = [{"command": "launcher", "times": [launcher]}, {"command": "curl", "times": [curl]}]
    if parallel is not None:
        results.append({"command": "curl-parallel", "times": [parallel]})
    (folder / f"{mode}-{row}-{n}.json").write_text(json.dumps({"results": results}))


class Table(unittest.TestCase):
    def test_medians_ratios_and_verdicts(self):
        # mode, row, launcher and curl seconds per round, peak KiB launcher and curl
        rounds = [("pinned", "update", [3.0, 1.2, 1.4], [1.0, 1.0, 2.0], ["20480", "20480"], ["18432"]),
                  ("pinned", "idle", [1.6, 1.9, 1.5], [1.0, 1.1, 0.9], ["20480"], ["18432"]),
                  ("unpinned", "update", [2.0], [2.0], ["18432"], ["18432"]),
                  ("pinned", "big-http", [2.2], [2.0], ["20480"], ["16384"]),
                  ("unpinned", "idle", [2.0], [1.0], ["18432"], ["18432"]),
                  ("pinned", "latency", [1.0, 1.2], [3.0, 3.0], ["20480"], ["18432"])]
        # The latency row's second curl command: seconds per round, peak KiB.
        parallel = {("pinned", "latency"): ([1.0, 1.0], ["19456"])}
        with tempfile.TemporaryDirectory() as tmp:
            folder = Path(tmp)
            for mode, row, mine, theirs, mem_mine, mem_theirs in rounds:
                side_by_side, mem_side_by_side = parallel.get((mode, row), ([None] * len(mine), None))
                for n, (a, b, c) in enumerate(zip(mine, theirs, side_by_side), 1):
                    write_round(folder, mode, row, n, a, b, c)
                if mem_side_by_side:
                    (folder / f"{mode}-{row}-curl-parallel.mem").write_text("\n".join(mem_side_by_side) + "\n")
                # As GNU time writes it for a launcher that started the client (exit code 1).
                (folder / f"{mode}-{row}-launcher.mem").write_text(
                    "".join(f"Command exited with non-zero status 1\n{kib}\n" for kib in mem_mine))
                (folder / f"{mode}-{row}-curl.mem").write_text("\n".join(mem_theirs) + "\n")
            lines = report.table(*report.load(folder))
        got = [(l["mode"], l["row"], round(l["launcher"], 3), round(l["ratio"], 3), round(l["mem_ratio"], 3),
                round(l.get("search_ms", -1), 1), l["met"], l["runs"]) for l in lines]
        self.assertEqual([
            ("pinned", "update", 1.4, 1.4, 1.111, -1, True, 3),
            # One launcher median against both curl runs of the same rounds.
            ("pinned", "latency", 1.1, 0.367, 1.111, -1, True, 2),  # <= 0.4x of one after the other
            ("pinned", "latency", 1.1, 1.1, 1.053, -1, True, 2),  # <= 1.1x of side by side
            ("pinned", "big-http", 2.2, 1.1, 1.25, -1, False, 1),  # memory over 1.2x
            ("pinned", "idle", 1.6, 1.6, 1.111, 4.0, True, 3),  # (1.6 - 1.0 * 1.4) / 50 files
            ("unpinned", "update", 2.0, 1.0, 1.0, -1, True, 1),
            # curl took half the time of the update row: the load eased, and the
            # launcher's 2.0 s hides (2.0 - 1.0 * 1.0) / 50 files of search.
            ("unpinned", "idle", 2.0, 2.0, 1.0, 20.0, False, 1),
        ], got)


class WholeRuns(unittest.TestCase):
    def test_a_row_counts_only_runs_that_fetched_everything_and_started_the_client(self):
        expected = ["/XNL/applets/fcompare.ini", "/XNL/applets/a.jar"]
        whole = ["200 /XNL/applets/fcompare.ini", "200 /XNL/applets/a.jar"]
        # launcher and curl exit codes per round, the launcher's requests, client starts, problems found
        cases = [
            ("two whole runs", [1, 1], [0, 0], whole * 2, 2, []),
            # A link refused before any request: nothing fetched or started.
            ("refused runs", [0, 0], [0, 0], [], 0, ["launcher", "requests missing", "0 client starts in 2 rounds"]),
            ("a file not found", [1, 1], [0, 0], whole + whole[:1] + ["404 /XNL/applets/a.jar"], 2,
             ["requests missing", "requests unexpected"]),
            ("a file fetched twice", [1], [0], whole + whole[1:], 1, ["requests unexpected"]),
            ("the client did not start", [1, 0], [0, 0], whole * 2, 1, ["launcher", "1 client starts in 2 rounds"]),
            ("curl failed", [1], [7], whole, 1, ["curl"]),
            ("curl's parallel run failed", [1, 1], [(0, 0), (0, 28)], whole * 2, 2, ["curl-parallel"]),
        ]
        for name, launcher, curl, requests, clients, found in cases:
            with self.subTest(name):
                exports = []
                for a, b in zip(launcher, curl):
                    results = [{"command": "launcher", "exit_codes": [a]}]
                    # A pair: curl one file after the other, then side by side.
                    for command, code in zip(("curl", "curl-parallel"), b if isinstance(b, tuple) else (b,)):
                        results.append({"command": command, "exit_codes": [code]})
                    exports.append({"results": results})
                self.assertEqual(found, [p.split(":")[0] for p in report.problems(exports, requests, expected, clients)])
