"""The staged pass: files fetched side by side into the staging folder while the
client runs, a cut download continued on the next run, the caps of a file."""
import time

from tests.e2e.harness import reg, wait_for
from tests.e2e.test_update import POLICY_KEY, SEARCH, V1, WORK, UpdateCase, changed
from tests.support.server import parse_behaviours

LIB = "/XNL/applets/kovrel-lib.jar"
BIG = bytes(range(256)) * 1024


class StagedPass(UpdateCase):
    def policy(self, name, value):
        reg("add", POLICY_KEY, "/v", name, "/t", "REG_DWORD", "/d", str(value), "/f", "/reg:64")
        self.addCleanup(reg, "delete", POLICY_KEY, "/v", name, "/f", "/reg:64")

    def test_the_client_runs_while_the_files_download(self):
        self.serve(V1)
        self.good_run(V1)
        pid, _ = self.start_running_client(seconds=60)
        v2 = changed(V1, "Marvique.jar", b"PK\x03\x04 client v2 " + BIG)
        self.serve(v2)
        self.server.behave("Marvique.jar", "slow", seconds=3, pieces=6)
        run = self.start_launch(self.link, self.home)
        self.assertTrue(wait_for(lambda: "workFileVersion - fetching" in (self.log_text() or "")))
        # Well into the slow download, nothing has looked for the client yet.
        self.assertTrue(wait_for(lambda: len(self.server.requests) == 2))
        time.sleep(1)
        self.assertNotIn(SEARCH, self.log_text())
        self.assertEqual(1, self.finish_launch(run)[0])
        self.assertLinesInOrder(self.log_lines(), [
            "getHTTPFile - URL: .*Marvique.jar.*", "getHTTPFile - [0-9]+ bytes", "SearchProcesses - Looking for.*",
            f"  Process ID        = {pid}", "SearchProcesses: 1", "workFileVersion - switch: 1 files moved into place"])
        self.assertWorkHolds(v2)
        self.assertClientStarted(self.link)

    def test_a_cut_download_is_continued_on_the_next_run(self):
        resumed, whole = "resumed after byte 229376", "does not continue the 229376 bytes staged: fetched whole"
        mismatch = "length mismatch, file not replaced: 262156 bytes, the server announced 262144"
        # The server's file changed or not, its answer to the next run (a behaviour line), the line that run
        # logs, and whether that run installs the file, fails it, or keeps the bytes for a third run to continue.
        rows = (("resumed", False, "", resumed, "installs"),
                ("answered whole", False, "norange", None, "installs"),
                ("changed on the server", True, "", None, "installs"),
                ("continued elsewhere", False, "badrange", whole, "installs"),
                ("a shorter range", False, "shortrange", whole, "installs"),
                ("a range past the end", False, "longrange", mismatch, "fails"),
                ("the file shrank: 416", False, "416 ranged=1", whole, "installs"),
                ("a 503 before the answer", False, "503", "229376 bytes staged kept for the next try or run", "stages"),
                ("changed, cut without a length", True, "chunked cuts=3", None, "fails"),
                ("changed, cut deflate-coded", True, "deflate cuts=3", None, "fails"))
        for name, change, answer, line, outcome in rows:
            with self.subTest(name):
                self.setUp()
                self.serve(V1)
                self.good_run(V1)
                v2 = changed(V1, "kovrel-lib.jar", BIG)
                self.serve(v2)
                # Three tries, each cut at half of what it was sent: seven eighths stay staged.
                self.server.behave("kovrel-lib.jar", "cut", times=3)
                self.assertEqual(1, self.run_update()[0])
                self.assertClientStarted(self.link)
                self.assertWorkHolds(V1)
                tries = [r for r in self.server.requests if r.path == LIB]
                self.assertEqual([False, True, True], [dict(r.headers).get("Range") is not None for r in tries])
                self.assertEqual(2, sum(n.endswith(".part") or n.endswith(".info") for n in self.staged()))

                self.forget_run()
                self.server.behaviours = parse_behaviours(f"kovrel-lib.jar {answer}")
                body = BIG[::-1] if change else BIG  # the same token, other bytes: another ETag
                self.server.put("kovrel-lib.jar", body)
                v2 = dict(v2, **{"kovrel-lib.jar": ("", body)})
                self.assertEqual(1, self.run_update()[0])
                self.assertClientStarted(self.link)
                self.assertWorkHolds(v2 if outcome == "installs" else V1)
                self.assertIn("Range", dict(next(r for r in self.server.requests if r.path == LIB).headers))
                text = self.log_text()
                for said in (resumed, whole, mismatch):
                    self.assertEqual(said == line, said in text, f"{said}\n{text}")
                if line:
                    self.assertIn(line, text)
                self.assertEqual(2 if outcome == "stages" else 0, len(self.staged()))
                if outcome == "stages":
                    self.forget_run()
                    self.server.behaviours.clear()
                    self.assertEqual(1, self.run_update()[0])
                    self.assertClientStarted(self.link)
                    self.assertWorkHolds(v2)
                    self.assertIn(resumed, self.log_text())
                    self.assertEqual([], self.staged())

    def test_downloads_overlap_up_to_the_administrators_number(self):
        files = dict(V1, **{f"f{i}.jar": (str(i), b"x" * 4096) for i in range(8)})
        for most in (4, 1):
            with self.subTest(most=most):
                self.setUp()
                if most == 1:
                    self.policy("MaxParallelDownloads", 1)
                self.serve(files)
                for i in range(8):
                    self.server.behave(f"f{i}.jar", "slow", seconds=1, pieces=2)
                start = time.monotonic()
                self.assertEqual(1, self.run_update()[0])
                seconds = time.monotonic() - start
                self.assertClientStarted(self.link)
                self.assertEqual(most, self.server.most_active)
                self.assertTrue(seconds < 7 if most == 4 else seconds >= 8, seconds)
                self.assertWorkHolds(files)

    def test_an_endless_body_stops_at_the_cap_of_a_file(self):
        self.policy("MaxFileMegabytes", 1)
        self.serve(V1)
        self.good_run(V1)
        self.serve(changed(V1, "Marvique.jar", b"v2"))
        self.server.behave("Marvique.jar", "endless")
        rc, largest = self.run_watching(WORK / "staging.part")
        self.assertEqual(1, rc)
        self.assertClientStarted(self.link)
        self.assertLessEqual(largest, 1 << 20)
        self.assertIn("getHTTPFile - size limit reached: file over 1 MiB (MaxFileMegabytes), nothing stored",
                      self.log_lines())
        self.assertWorkHolds(V1)
        self.assertEqual([], self.staged())

    def test_staging_holds_only_the_files_of_the_version_fetched(self):
        self.serve(V1)
        self.good_run(V1)
        leftovers = ["0123456789abcdef", "0123456789abcdef.part", "0123456789abcdef.info", "other.old"]
        (WORK / "staging.part").mkdir()
        for name in leftovers:
            (WORK / "staging.part" / name).write_bytes(b"an older version")
        self.serve(changed(V1, "kovrel-lib.jar", b"lib v2"))
        self.assertEqual(1, self.run_update()[0])
        self.assertClientStarted(self.link)
        lines = self.log_lines()
        for name in leftovers:
            self.assertIn(f"workFileVersion - staged file of no entry removed: {name}", lines)
        self.assertFalse((WORK / "staging.part").exists())
