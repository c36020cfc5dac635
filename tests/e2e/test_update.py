"""The whole run against the test server: manifest, update pass, client.

A stand-in Java runtime is registered once for all tests; the server (HTTPS,
self-signed) serves a manifest in the canonical form and the client's files.
"""
import contextlib
import os
import pwd
import re
import shutil
import subprocess
import threading
import time
from pathlib import Path

from tests.e2e.harness import (BUILD, PREFIX, ROOT, STAMP, TEMP, WIN_ROOT, WORK, StandinJavaCase,
                               link_to, reg, wait_for, wine_env)
from tests.support.server import LocalServer, SilentServer

START_DETACHED = Path(os.environ.get("KOVREL_START_DETACHED", BUILD / "tests" / "start_detached.exe"))
MANIFEST_PATH = "/XNL/applets/fcompare.ini"
POLICY_KEY = "HKLM\\SOFTWARE\\Policies\\Kovrel"
WAIT = "lockWorkFolder - another launcher works in the folder: waiting for it, at most 300 seconds"
FREE = "lockWorkFolder - the other launcher is done: the folder is free"
FAILED = "Error processing versions file!"
UPDATE_FAILED = "Update failed: the run goes on with the installed files"
SWITCHED = "workFileVersion - switch: {} files moved into place"
# The update pass looks for running clients with two blanks before "-jar".
SEARCH = "SearchProcesses - Looking for :  javaw.exe  -jar Marvique.jar  (action: 1)"
POLICY_KEY = "HKLM\\SOFTWARE\\Policies\\Kovrel"
# The lines of the limits; the time limits with the seconds that the tests set.
CONNECT = "getHTTPFile - connect limit reached: no connection within 1 s, nothing stored"
STALL = "getHTTPFile - stall limit reached: less than 1024 bytes in {} s, nothing stored"
EXPANSION = (r"getHTTPFile - size limit reached: decoded body over 200 times the \d+ coded bytes received, "
             "nothing stored")
MAXIMUM = "getHTTPFile - size limit reached: decoded manifest over 16 MiB, nothing stored"
KEPT = "Manifest not downloaded: the run goes on with the installed files"
# A held file cannot be moved (sharing violation) nor replaced (access denied).
RETRY = r"workFileVersion - MoveFileEx: (5|32) \(.+ : {}\), retrying for up to 2000 ms"
DONE = "SearchProcesses: already done in this pass: "
V1 = {"kovrel-lib.jar": ("9b1c04", b"lib v1 " + bytes(range(256)) * 256),
      "Marvique.jar": ("e07d5a", b"PK\x03\x04 client v1\r\n\x00\xff")}


def manifest(files):
    return ("JRE:1.8.0\n" + "".join(f"md5:{token} {path}\n" for path, (token, _) in files.items())).encode()


def changed(files, path, body):
    token, _ = files[path]
    return dict(files, **{path: (token + "0", body)})


class UpdateCase(StandinJavaCase):
    """Runs against one HTTPS test server, with a stand-in runtime registered."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.remove_runtimes()
        cls.home = cls.install("jre")
        cls.register(32, cls.home)
        cls.server = LocalServer(http=False).start()
        cls.link = link_to(cls.server.https_base)
        cls.applets = cls.server.https_base + "XNL/applets/"

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.remove_runtimes()

    def setUp(self):
        super().setUp()
        self.server.clear_requests()
        self.server.behaviours.clear()
        shutil.rmtree(self.server.applets)
        self.server.applets.mkdir()

    def serve(self, files, server=None, text=None):
        server = server or self.server
        for path, (_, body) in files.items():
            server.put(path, body)
        server.put("fcompare.ini", text or manifest(files))

    def run_update(self, link=None):
        rc, _, stdout = self.launch(link or self.link, self.home)
        return rc, stdout

    def good_run(self, files, link=None):
        """A run that fetches files and starts the client; then its log, records
        and requests are cleared for the run under test."""
        rc, stdout = self.run_update(link)
        self.assertEqual(1, rc, stdout)
        self.assertClientStarted(link or self.link)
        self.assertWorkHolds(files)
        self.work_win = self.work_folder(self.log_lines())
        self.forget_run()

    @contextlib.contextmanager
    def installed_from_own_server(self):
        """V1 installed from a server of the test's own, which stops when the
        block ends; yields the server and the link to it."""
        server = LocalServer(http=False).start()
        link = link_to(server.https_base)
        try:
            self.serve(V1, server)
            self.good_run(V1, link)
            yield server, link
        finally:
            server.stop()

    def forget_run(self):
        (TEMP / "Kovrel.log").unlink(missing_ok=True)
        self.forget_records()
        self.server.clear_requests()

    def requested(self):
        return [(r.method, r.path) for r in self.server.requests]

    def assertWorkHolds(self, files):
        for path, (_, body) in files.items():
            self.assertEqual(body, (WORK / path).read_bytes(), path)
        self.assertEqual([], [p.name for p in WORK.iterdir() if p.suffix == ".part" and p.is_file()])

    def assertPromoted(self, text):
        self.assertEqual(text, (WORK / "fcompare.ini").read_bytes())
        self.assertFalse((WORK / "fcompare.new").exists())

    def assertFailedRun(self, rc, lines, installed=True):
        """A pass that failed: the installed version runs, or nothing on a first run."""
        self.assertLinesInOrder(lines, [re.escape(FAILED), re.escape(UPDATE_FAILED),
                                        "Changing to LIBRUN folder: .*" if installed
                                        else "No installed client .*: nothing started"])
        self.assertEqual(1 if installed else 0, rc)
        if installed:
            self.assertClientStarted(self.link)
        else:
            self.assertEqual([], self.records())

    def staged(self):
        """The files of the staging folder, by name."""
        folder = WORK / "staging.part"
        return sorted(p.name for p in folder.iterdir()) if folder.exists() else []

    def limits(self, seconds):
        """Connect and stall limits of some seconds for the rest of the test."""
        for name in ("ConnectTimeoutSeconds", "StallTimeoutSeconds"):
            reg("add", POLICY_KEY, "/v", name, "/t", "REG_DWORD", "/d", str(seconds), "/f", "/reg:64")
        self.addCleanup(reg, "delete", POLICY_KEY, "/f", "/reg:64")

    def run_watching(self, folder):
        """run_update, and the largest size that a file of folder had meanwhile."""
        largest, done = [0], threading.Event()

        def poll():
            while not done.wait(0.005):
                with contextlib.suppress(OSError):
                    largest[0] = max([largest[0]] + [p.stat().st_size for p in folder.iterdir() if p.is_file()])
        watcher = threading.Thread(target=poll)
        watcher.start()
        try:
            return self.run_update()[0], largest[0]
        finally:
            done.set()
            watcher.join()

    def start_running_client(self, seconds=30, hold="Marvique.jar", command_line=None):
        """The stand-in as a client that the browser started earlier: it holds
        a file of the work folder (unless hold is None) for some seconds, or
        until release.txt exists in C:\\kovreltest. Returns its process id and
        command line."""
        command_line = command_line or f"javaw.exe  -jar Marvique.jar {self.link}"
        env = {"KOVREL_STANDIN_RECORD": f"{WIN_ROOT}\\running.txt",
               "KOVREL_STANDIN_DONE": f"{WIN_ROOT}\\running-done.txt",
               "KOVREL_STANDIN_SECONDS": str(seconds),
               "KOVREL_STANDIN_RELEASE": f"{WIN_ROOT}\\release.txt"}
        for name in ("running.txt", "running-done.txt", "release.txt"):
            (ROOT / name).unlink(missing_ok=True)
        if hold:
            env["KOVREL_STANDIN_HOLD"] = self.work_win + "\\" + hold
        out = ROOT / "starter.txt"
        with open(out, "wb") as f:
            rc = subprocess.run(["wine", str(START_DETACHED), f"{self.home}\\bin\\javaw.exe", command_line],
                                stdin=subprocess.DEVNULL, stdout=f, stderr=subprocess.STDOUT,
                                env=wine_env(env), timeout=60).returncode
        self.assertEqual(0, rc, out.read_text())
        pid = int(out.read_text())
        self.addCleanup(subprocess.run, ["wine", "taskkill", "/f", "/pid", str(pid)], cwd="/",
                        env=wine_env(), stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        self.assertTrue(wait_for(lambda: self.records("running.txt")), "the running client did not start")
        [record] = self.records("running.txt")
        self.assertEqual(command_line, record["cmdline"])
        if hold:
            self.assertEqual("0", record["held"], f"the running client could not open {hold}")
        return pid, command_line


class Update(UpdateCase):
    def test_first_run_fetches_every_file_and_next_run_only_the_manifest(self):
        self.serve(V1)
        rc, stdout = self.run_update()
        self.assertEqual(1, rc, stdout)
        self.assertEqual([("GET", MANIFEST_PATH), ("GET", "/XNL/applets/kovrel-lib.jar"),
                          ("GET", "/XNL/applets/Marvique.jar")], self.requested())
        self.assertWorkHolds(V1)
        self.assertPromoted(manifest(V1))
        lines = self.log_lines()
        work = self.work_folder(lines)
        # Check, fetch side by side, switch.
        checked = [p for path in V1 for p in ("", re.escape(f"Checking file: {path}"),
                                              re.escape("File not found or different, downloading..."))]
        self.assertLinesInOrder(lines, [re.escape(f"Processing file: {work}\\fcompare.new"),
                                        re.escape("Minimum Java JRE: [1.8.0]"), *checked,
                                        "workFileVersion - fetching 2 of 2 files, 4 at a time",
                                        re.escape(SEARCH), "SearchProcesses: 0", SWITCHED.format(2),
                                        re.escape(f"Changing to LIBRUN folder: {work}")])
        for path in V1:
            self.assertLinesInOrder(lines, ["workFileVersion - fetching .*", re.escape(
                f"getHTTPFile - URL: {self.applets}{path}, filename: {work}\\staging.part\\") + "[0-9a-f]{16}",
                "getHTTPFile - [0-9]+ bytes", re.escape(SEARCH)])
        client = self.assertClientStarted(self.link)
        self.assertEqual(work, client["cwd"])

        self.forget_run()
        rc, stdout = self.run_update()
        self.assertEqual(1, rc, stdout)
        self.assertEqual([("GET", MANIFEST_PATH)], self.requested())
        lines = self.log_lines()
        self.assertLinesInOrder(lines, [p for path in V1 for p in (
            re.escape(f"Checking file: {path}"), re.escape(f"File already exists and same version... [{path}]"))])
        self.assertEqual([], [line for line in lines if line.startswith(("SearchProcesses -", "SearchProcesses:"))])
        self.assertWorkHolds(V1)
        self.assertPromoted(manifest(V1))
        self.assertClientStarted(self.link)

    def test_changed_token_replaces_the_jar_a_running_client_held(self):
        self.serve(V1)
        self.good_run(V1)
        pid, command_line = self.start_running_client()

        v2 = changed(V1, "Marvique.jar", b"PK\x03\x04 client v2")
        self.serve(v2)
        rc, stdout = self.run_update()
        self.assertEqual(1, rc, stdout)
        self.assertEqual([("GET", MANIFEST_PATH), ("GET", "/XNL/applets/Marvique.jar")], self.requested())
        self.assertWorkHolds(v2)
        self.assertPromoted(manifest(v2))
        lines = self.log_lines()
        user = pwd.getpwuid(os.getuid()).pw_name
        self.assertLinesInOrder(lines, [
            re.escape("File already exists and same version... [kovrel-lib.jar]"),
            "Checking file: Marvique.jar", re.escape("File not found or different, downloading..."),
            re.escape(f"getHTTPFile - URL: {self.applets}Marvique.jar") + ".*",
            re.escape(SEARCH), "SearchProcesses - Start  - Time:  " + STAMP, "", "=" * 53,
            "PROCESS NAME FOUND:   javaw.exe", "-" * 55, f"  Process ID        = {pid}",
            "  User Name         = [^/]+/" + re.escape(user), re.escape(f"  Command line: {command_line}"),
            "=" * 53, "GetProcessList - action-1 Start", "SearchProcesses: 1", SWITCHED.format(1)])
        self.assertFalse(any("has not ended" in line for line in lines))
        self.assertEqual(1, sum(line.startswith("SearchProcesses:") for line in lines))
        self.assertFalse((ROOT / "running-done.txt").exists(), "the running client ran to its end")
        self.assertClientStarted(self.link)

    def test_one_search_before_the_switch_terminates_the_client(self):
        self.serve(V1)
        self.good_run(V1)
        pid, _ = self.start_running_client()

        # The client holds the jar while both files download; the search
        # before the switch must have ended it.
        v2 = changed(changed(V1, "kovrel-lib.jar", b"lib v2"), "Marvique.jar", b"PK\x03\x04 client v2")
        self.serve(v2)
        rc, stdout = self.run_update()
        self.assertEqual(1, rc, stdout)
        self.assertWorkHolds(v2)
        lines = self.log_lines()
        self.assertLinesInOrder(lines, [
            "Checking file: kovrel-lib.jar", "Checking file: Marvique.jar", "workFileVersion - fetching .*",
            re.escape(SEARCH), "PROCESS NAME FOUND:   javaw.exe", f"  Process ID        = {pid}",
            "SearchProcesses: 1", SWITCHED.format(2)])
        self.assertFalse(any(line.startswith(DONE) for line in lines))
        self.assertEqual(1, sum(line.startswith("SearchProcesses - Looking for") for line in lines))
        self.assertFalse((ROOT / "running-done.txt").exists(), "the running client ran to its end")
        self.assertClientStarted(self.link)

    def test_one_connection_for_the_run_unless_the_server_closes_it(self):
        for closing in (False, True):
            with self.subTest(closing=closing):
                self.setUp()
                self.serve(V1)
                if closing:
                    for path in ("fcompare.ini", *V1):
                        self.server.behave(path, "close")
                rc, stdout = self.run_update()
                self.assertEqual(1, rc, stdout)
                self.assertClientStarted(self.link)
                self.assertWorkHolds(V1)
                self.assertEqual(3, len(self.server.requests))
                # Side by side, the two files may take a second connection.
                ports = len({r.port for r in self.server.requests})
                self.assertTrue(ports == 3 if closing else ports <= 2, ports)

    def test_failed_download_keeps_the_earlier_copy_and_manifest(self):
        self.limits(2)  # long enough for the healthy transfers of a busy machine
        lib = b"lib v2 " + bytes(range(256)) * 512
        bomb = 200 * len(self.server.bomb("gzip", 64))
        cases = [("404", {}, "getHTTPFile - HTTP status 404: not a success, nothing stored"),
                 ("206", {}, "getHTTPFile - HTTP status 206: not a success, nothing stored"),
                 ("cut", {}, r"getHTTPFile - curl_easy_perform\(\) failed: "
                  r"(Transferred a partial file|Failure when receiving data from the peer)"),
                 ("stall", {}, re.escape(STALL.format(2))),
                 # A coding the request never offered.
                 ("bomb", {"coding": "gzip"}, EXPANSION)]
        self.serve(V1)
        self.good_run(V1)
        # Both files change; the first cannot be fetched, so each run keeps
        # the first run's version whole and starts it: its manifest and files.
        v2 = changed(changed(V1, "kovrel-lib.jar", lib), "Marvique.jar", b"PK\x03\x04 client v2")
        self.serve(v2)
        for kind, options, reason in cases:
            with self.subTest(kind):
                self.forget_run()
                self.server.behave("kovrel-lib.jar", kind, **options)
                rc, largest = self.run_watching(WORK / "staging.part")
                self.assertLessEqual(largest, bomb)
                lines = self.log_lines()
                self.assertFailedRun(rc, lines)
                self.assertLinesInOrder(lines, [
                    re.escape(f"getHTTPFile - URL: {self.applets}kovrel-lib.jar") + ".*", reason,
                    re.escape(f"Error downloading file!!: {self.applets}kovrel-lib.jar")])
                self.assertFalse(any(line.startswith(("SearchProcesses:", "SearchProcesses -")) for line in lines))
                # Cuts and stalls are tried three times in all.
                tries = 3 if kind in ("cut", "stall") else 1
                self.assertEqual(tries, self.requested().count(("GET", "/XNL/applets/kovrel-lib.jar")))
                self.assertWorkHolds(V1)
                self.assertEqual(manifest(V1), (WORK / "fcompare.ini").read_bytes())
                self.assertEqual(manifest(v2), (WORK / "fcompare.new").read_bytes())

    def test_silent_server_ends_a_first_run_within_the_limits(self):
        self.limits(1)  # nothing here is ever answered
        with SilentServer() as silent:
            for link, reason in ((link_to(silent.base), CONNECT), (self.link, STALL.format(1))):
                with self.subTest(reason):
                    self.setUp()
                    self.server.behave("fcompare.ini", "silent")
                    rc, seconds, _ = self.launch(link, self.home)
                    self.assertEqual((0, True), (rc, seconds < 1 + 1 + 5), seconds)
                    self.assertLinesInOrder(self.log_lines(), [re.escape(reason), KEPT,
                                                               "No installed client .*: nothing started"])
                    self.assertEqual(([], []), (self.records(), list(WORK.iterdir())))

    def test_failed_manifest_keeps_the_installed_state(self):
        self.serve(V1)
        self.good_run(V1)
        self.start_running_client(seconds=4)
        v2 = changed(V1, "kovrel-lib.jar", b"lib v2")
        self.serve(v2)
        for kind, options, reason in (("503", {}, "getHTTPFile - HTTP status 503: .*"), ("bomb", {}, EXPANSION),
                                      ("bomb", {"coding": "identity", "mib": 17}, MAXIMUM)):
            with self.subTest(kind=kind, **options):
                self.server.behave("fcompare.ini", kind, **options)
                rc, largest = self.run_watching(WORK / "fcompare.new.part")
                self.assertEqual((1, True), (rc, largest <= 16 << 20), largest)
                lines = self.log_lines()
                self.assertLinesInOrder(lines, [reason, KEPT, "Changing to LIBRUN folder: .*"])
                self.assertEqual([], [line for line in lines if line.startswith(("Processing", "SearchProcesses:"))])
                self.assertClientStarted(self.link)
                self.assertWorkHolds(V1)
                self.assertEqual(manifest(V1), (WORK / "fcompare.ini").read_bytes())
                self.forget_run()
        self.assertTrue(wait_for(lambda: (ROOT / "running-done.txt").exists()), "the running client was ended")
        self.server.behaviours.clear()
        self.assertEqual(1, self.run_update()[0])
        self.assertEqual([("GET", MANIFEST_PATH), ("GET", "/XNL/applets/kovrel-lib.jar")], self.requested())
        self.assertPromoted(manifest(v2))
        self.assertClientStarted(self.link)

    def test_an_answer_naming_no_file_is_refused_like_a_failed_manifest(self):
        # What a captive portal or a broken server answers with 200.
        refused = ["workFileVersion - no file named in the manifest, refused: .*",
                   "Manifest refused: the run goes on with the installed files"]
        pages = (b"<html><body>Sign in to the hotel network</body></html>\n", b"", b"MD5:0123 Marvique.jar\n")
        for page in pages:
            with self.subTest(first_run=page):
                self.setUp()
                self.server.put("fcompare.ini", page)
                rc, _ = self.run_update()
                self.assertEqual(0, rc)
                self.assertLinesInOrder(self.log_lines(), refused + ["No installed client .*: nothing started"])
                self.assertEqual(([], ["fcompare.new"]), (self.records(), sorted(os.listdir(WORK))))
        self.setUp()
        self.serve(V1)
        self.good_run(V1)
        for page in pages:
            with self.subTest(installed=page):
                self.server.put("fcompare.ini", page)
                self.assertEqual(1, self.run_update()[0])
                self.assertLinesInOrder(self.log_lines(), refused + ["Changing to LIBRUN folder: .*"])
                self.assertClientStarted(self.link)
                self.assertWorkHolds(V1)
                self.assertEqual(manifest(V1), (WORK / "fcompare.ini").read_bytes())
                self.forget_run()

    def test_manifest_with_byte_order_mark_repeats_or_zero_bytes(self):
        text = b"\xef\xbb\xbf" + manifest(V1)[len(b"JRE:1.8.0\n"):] * 2
        self.serve(V1, text=text)
        self.assertEqual(1, self.run_update()[0])
        self.assertEqual([("GET", MANIFEST_PATH)] + [("GET", "/XNL/applets/" + path) for path in V1],
                         self.requested())
        self.assertIn("workFileVersion - 2 lines passed over: their path was handled before", self.log_lines())
        self.assertPromoted(text)
        self.assertClientStarted(self.link)
        self.forget_run()

        self.server.put("fcompare.ini", text.decode("utf-8-sig").encode("utf-16"))
        rc, _ = self.run_update()
        lines = self.log_lines()
        self.assertFailedRun(rc, lines)
        self.forget_records()
        self.assertLinesInOrder(lines, [r"workFileVersion - not a text manifest \(it holds zero bytes\): .*\.new"])
        self.assertEqual(([("GET", MANIFEST_PATH)], text), (self.requested(), (WORK / "fcompare.ini").read_bytes()))

    def test_target_held_by_another_process(self):
        self.serve(V1)
        self.good_run(V1)
        v2 = changed(V1, "kovrel-lib.jar", b"lib v2")
        self.serve(v2)
        # The file is kept aside before the new one moves in: that move waits.
        retry = RETRY.format(re.escape(self.work_win + "\\staging.part\\") + "[0-9a-f]{16}\\.old")
        self.start_running_client(seconds=60, hold="kovrel-lib.jar", command_line="kovrel-holder")
        rc, _ = self.run_update()
        lines = self.log_lines()
        self.assertFailedRun(rc, lines)
        self.assertLinesInOrder(lines, [retry, "workFileVersion - kovrel-lib.jar not switched: 32 .*"])
        self.assertWorkHolds(V1)
        self.assertEqual(manifest(V1), (WORK / "fcompare.ini").read_bytes())
        self.assertFalse(any(name.endswith(".old") for name in self.staged()))
        self.forget_records()

        self.forget_run()  # now held for half a second once the move was tried
        run = self.start_launch(self.link, self.home)
        self.assertTrue(wait_for(lambda: re.search(retry, self.log_text() or "")))
        time.sleep(0.5)
        (ROOT / "release.txt").touch()
        self.assertEqual(1, self.finish_launch(run)[0])
        self.assertWorkHolds(v2)
        self.assertPromoted(manifest(v2))
        self.assertClientStarted(self.link)

    def test_a_switch_cut_short_is_put_back_by_the_next_run(self):
        with self.installed_from_own_server() as (server, link):
            self.serve({path: (token + "0", body + b" v2") for path, (token, body) in V1.items()}, server)
            # The run ends while the switch waits on Marvique.jar, kovrel-lib.jar switched.
            retry = RETRY.format(re.escape(self.work_win + "\\staging.part\\") + "[0-9a-f]{16}\\.old")
            self.start_running_client(seconds=60, command_line="kovrel-holder")
            run = self.start_launch(link, self.home)
            self.assertTrue(wait_for(lambda: re.search(retry, self.log_text() or "")))
            run.kill()
            run.wait(timeout=60)
            (ROOT / "release.txt").touch()
            self.assertNotEqual(V1["kovrel-lib.jar"][1], (WORK / "kovrel-lib.jar").read_bytes())
        self.forget_run()
        # While the file switched in is held it cannot be put back: no client
        # starts from the two versions mixed.
        self.start_running_client(seconds=60, hold="kovrel-lib.jar", command_line="kovrel-holder")
        rc, stdout = self.run_update(link)
        self.assertEqual(0, rc, stdout)
        self.assertLinesInOrder(self.log_lines(), [r"workFileVersion - .*\\kovrel-lib\.jar could not be put back: .*",
                                                   re.escape(KEPT), "The work folder holds files of two versions .*"])
        self.assertEqual([], self.records())
        (ROOT / "release.txt").touch()
        self.forget_run()
        rc, stdout = self.run_update(link)
        self.assertEqual(1, rc, stdout)
        self.assertLinesInOrder(self.log_lines(), ["workFileVersion - a switch was cut short: its files are put back",
                                                   "Manifest not downloaded: the run goes on with the installed files"])
        self.assertWorkHolds(V1)
        self.assertClientStarted(link)

    def test_server_down_starts_the_client_from_the_files_there(self):
        with self.installed_from_own_server() as (_, link):
            pass  # the server is gone after the block
        rc, stdout = self.run_update(link)
        self.assertEqual(1, rc, stdout)
        self.assertIn("getHTTPFile - curl_easy_perform() failed: Couldn't connect to server", self.log_lines())
        self.assertWorkHolds(V1)
        self.assertClientStarted(link)

    def test_path_into_a_missing_sub_folder_fails_the_switch(self):
        files = dict(V1, **{"ext/a.jar": ("51ab", b"ext")})
        self.serve(files)
        rc, _ = self.run_update()
        lines = self.log_lines()
        self.assertFailedRun(rc, lines, installed=False)
        self.assertLinesInOrder(lines, ["Checking file: ext/a.jar", re.escape(SEARCH),
                                        "workFileVersion - ext/a.jar not switched: 3 .*"])
        self.assertEqual(sorted([("GET", MANIFEST_PATH), ("GET", "/XNL/applets/kovrel-lib.jar"),
                                 ("GET", "/XNL/applets/Marvique.jar"), ("GET", "/XNL/applets/ext/a.jar")]),
                         sorted(self.requested()))
        # Nothing of the new version stays in place; it stays staged for the next run.
        self.assertEqual(["fcompare.new", "staging.part"], sorted(os.listdir(WORK)))
        self.assertEqual(3, len(self.staged()))
        self.assertEqual(manifest(files), (WORK / "fcompare.new").read_bytes())

    def test_paths_leaving_the_work_folder_are_refused(self):
        paths = ["..\\..\\evil.bat", "../x.jar", "ext/../../y.jar", "C:\\x.bat", "C:x.jar", "/x.jar", "\\z.jar",
                 "COM1", "com1.jar", "LPT1", "lpt1.txt", "AUX", "PRN", "fcompare.new", "fcompare.ini",
                 "Marvique.jar.part"]
        # Were they fetched, the server would answer for some of them.
        for name in ("../x.jar", "../y.jar", "x.jar", "COM1", "com1.jar", "LPT1", "lpt1.txt", "AUX", "PRN",
                     "Marvique.jar.part"):
            self.server.put(name, b"@echo off\r\n")
        # The prefix's COM1 and LPT1 lead to plain files, to see what a device would get.
        devices = {name: PREFIX / "dosdevices" / name for name in ("com1", "lpt1")}
        for name, link in devices.items():
            target = ROOT / f"{name}.dev"
            target.write_bytes(b"")
            self.addCleanup(self.restore_link, link, os.readlink(link) if link.is_symlink() else None)
            link.unlink(missing_ok=True)
            link.symlink_to(target)
        text = manifest(V1) + b"".join(f"md5:66 {path}\n".encode() for path in paths)
        self.serve(V1, text=text)
        rc, _ = self.run_update()
        lines = self.log_lines()
        self.assertFailedRun(rc, lines, installed=False)
        self.assertLinesInOrder(lines, [p for path in paths for p in (
            re.escape(f"Checking file: {path}"),
            r"workFileVersionLine - path (outside the work folder refused|refused, .+): " + re.escape(path))])
        # A refused entry fails the check: nothing is fetched.
        self.assertEqual([("GET", MANIFEST_PATH)], self.requested())
        self.assertEqual(0, sum(line.startswith("SearchProcesses:") for line in lines))
        outside = [TEMP / "evil.bat", TEMP / "KovrelDocs" / "x.jar", TEMP / "KovrelDocs" / "y.jar",
                   PREFIX / "drive_c" / "x.bat", PREFIX / "drive_c" / "x.jar", PREFIX / "drive_c" / "z.jar"]
        self.assertEqual([], [str(p) for p in outside if p.exists()])
        self.assertEqual(["fcompare.new"], sorted(os.listdir(WORK)))
        self.assertEqual(text, (WORK / "fcompare.new").read_bytes())
        self.assertEqual([b"", b""], [(ROOT / f"{name}.dev").read_bytes() for name in devices])

    @staticmethod
    def restore_link(link, target):
        link.unlink(missing_ok=True)
        if target:
            link.symlink_to(target)

    def test_refused_link_asks_nothing_and_leaves_a_running_client(self):
        # Accepted, this link would fetch both files and terminate the client first.
        self.serve(V1)
        self.start_running_client(hold=None, seconds=3)
        rc, _ = self.run_update(self.link + "%PATH%")
        self.assertEqual(0, rc)
        self.assertEqual("Error launching Java: the link holds the name of a variable between two '%'",
                         self.log_lines()[-1])
        self.assertEqual([], self.requested())
        self.assertFalse((TEMP / "KovrelDocs").exists())
        self.assertTrue(wait_for(lambda: (ROOT / "running-done.txt").exists()), "the running client was ended")

    def test_two_launchers_at_once_take_turns(self):
        # A user's link with a password, which no line of either log shows.
        link = link_to(self.server.https_base.replace("https://", "https://jsmith:s3cr3t@"))
        self.serve(V1)
        self.server.behave("Marvique.jar", "slow", seconds=2)
        runs = [self.finish_launch(p) for p in [self.start_launch(link, self.home, name=f"run{i}") for i in (0, 1)]]
        self.assertEqual([1, 1], [rc for rc, _ in runs])
        self.assertWorkHolds(V1)
        self.assertPromoted(manifest(V1))
        self.assertClientStarted(link, starts=2)
        # One did the work; the other waited and found it done.
        [(_, first)], [(_, second)] = [[run for run in runs if (WAIT in run[1]) == waited] for waited in (False, True)]
        self.assertIn(FREE, second)
        for path in V1:
            self.assertIn(f"getHTTPFile - URL: {self.applets}{path}".replace("https://", "https://jsmith:***@"), first)
            self.assertNotIn(f"{path}, filename:", second)
            self.assertIn(f"File already exists and same version... [{path}]", second)
        self.assertEqual(2, self.requested().count(("GET", MANIFEST_PATH)))
        self.assertEqual(4, len(self.requested()))
        self.assertIn("Base URL:    " + self.server.https_base.replace("https://", "https://jsmith:***@"), first)
        self.assertNotIn("s3cr3t", self.log_text() + first + second)

    def test_a_launcher_that_waits_too_long_starts_nothing(self):
        self.serve(V1)
        self.server.behave("Marvique.jar", "slow", seconds=3)
        reg("add", POLICY_KEY, "/v", "LockWaitSeconds", "/t", "REG_DWORD", "/d", "1", "/f", "/reg:64")
        self.addCleanup(reg, "delete", POLICY_KEY, "/v", "LockWaitSeconds", "/f", "/reg:64")
        first = self.start_launch(self.link, self.home, name="first")
        self.assertTrue(wait_for(lambda: ("GET", "/XNL/applets/Marvique.jar") in self.requested()))
        rc, second = self.run_update()
        self.assertEqual(0, rc)
        self.assertEqual([WAIT.replace("300", "1"), "lockWorkFolder - another launcher still works in the folder "
                          "after 1 seconds: nothing is started"], second.splitlines()[-2:])
        self.assertEqual(1, self.finish_launch(first)[0])
        self.assertWorkHolds(V1)
        self.assertPromoted(manifest(V1))
        self.assertClientStarted(self.link)
        self.assertEqual(3, len(self.requested()))

