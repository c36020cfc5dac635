"""The Java runtime lookup and the Java launch, with a stand-in Java runtime.

The registry of the test prefix is set up in either view; the stand-in
(standin_java.exe) is installed as bin\\javaw.exe and bin\\java.exe under a test
Java home and records how it was started. The prefix's browser is a recorder.
The server serves a manifest that lists only the client, so that every run
goes the whole road to the launch.
"""
import re
import shlex
import shutil
import stat
import subprocess
import tempfile
import time
from pathlib import Path

from tests.e2e.harness import (EXE, PREFIX, ROOT, STANDIN, WIN_ROOT, WORK, KovrelCase, StandinJavaCase, link_to,
                               reg, set_browser, wait_for, wine_env)
from tests.support.server import LocalServer

ROOT_BIN = PREFIX / "drive_c" / "bin"  # what an empty home would turn into
PAGE = "https://www.java.com/es/download/"
OPEN_ERROR = "GetRegeditValue - error RegOpenKeyEx"
QUERY_ERROR = "GetRegeditValue - error RegQueryValueEx"
NO_RUNTIME = "Error locating Java 32 or 64 bits enviroment."
NO_EXECUTABLE = "Error locating Java 32 or 64 bits executable."
MANIFEST = b"JRE:1.8.0\nid:1 Marvique.jar\n"


def tmpkey(bits, version="1.8"):
    return f"GetJRE{bits}BitsPath - tmpKey: SOFTWARE\\JavaSoft\\Java Runtime Environment\\{version}, {version}"


class JavaCase(StandinJavaCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.scratch = Path(tempfile.mkdtemp(prefix="kovrel-java-"))
        cls.opened = cls.scratch / "browser.txt"
        recorder = cls.scratch / "browser.sh"
        recorder.write_text(f"#!/bin/sh\nprintf '%s\\n' \"$1\" >> {shlex.quote(str(cls.opened))}\n")
        recorder.chmod(recorder.stat().st_mode | stat.S_IXUSR)
        set_browser(str(recorder))
        cls.server = LocalServer(http=False).start()
        cls.server.put("fcompare.ini", MANIFEST)
        cls.server.put("Marvique.jar", b"PK client")
        cls.link = link_to(cls.server.https_base)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        set_browser()
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def setUp(self):
        self.clean()
        self.addCleanup(self.clean)
        super().setUp()
        self.server.clear_requests()

    def next_run(self):
        """A new log, work folder, records and requests; the runtime stays."""
        StandinJavaCase.setUp(self)
        self.server.clear_requests()

    def clean(self):
        self.remove_runtimes()
        shutil.rmtree(ROOT_BIN, ignore_errors=True)
        self.opened.unlink(missing_ok=True)

    def assertDownloadPageOnly(self):
        self.assertTrue(wait_for(lambda: self.opened.exists()), "the browser was not asked")
        time.sleep(0.5)
        self.assertEqual(PAGE + "\n", self.opened.read_text())
        self.assertEqual([], self.records())


class Lookup(JavaCase):
    def test_runtime_in_32bit_view_starts_client_without_reading_64bit_view(self):
        home = self.install("jre32")
        self.register(32, home)
        self.register(64, self.install("jre64"))
        # The client runs until released, or a minute: past the launcher's end.
        rc, _, stdout = self.launch(self.link, home, {"KOVREL_STANDIN_SECONDS": "60",
                                                      "KOVREL_STANDIN_RELEASE": f"{WIN_ROOT}\\release.txt"})
        self.assertEqual(1, rc)
        self.assertFalse(self.finished(), "the launcher waited for the client")
        (ROOT / "release.txt").touch()

        lines = self.log_lines()
        work = self.work_folder(lines)
        start = lines.index(f"Changing to LIBRUN folder: {work}")
        self.assertEqual([tmpkey(32), f"GetJRE32BitsPath: {home}",
                          f"JRE32BitsEXE: {home}\\bin\\javaw.exe", "JRE64BitsEXE: ",
                          "ProgName: javaw.exe -jar Marvique.jar"], lines[start + 1:])
        self.assertNotIn("ProgName", stdout, "ProgName goes to the log file only")
        self.assertIn(f"JRE32BitsEXE: {home}\\bin\\javaw.exe", stdout)

        client = self.assertClientStarted(self.link)
        self.assertEqual(work, client["cwd"])
        self.assertEqual(["/XNL/applets/fcompare.ini", "/XNL/applets/Marvique.jar"],
                         [r.path for r in self.server.requests])
        self.assertEqual(MANIFEST, (WORK / "fcompare.ini").read_bytes())
        self.assertFalse(self.opened.exists())

    def test_runtime_off_the_search_path_is_put_first_on_the_path_of_cmd(self):
        home = self.install("jre")
        self.register(32, home)
        rc, _, _ = self.launch(self.link, home, {"WINEPATH": ""})
        self.assertEqual(1, rc)
        lines = self.log_lines()
        self.assertEqual(["ProgName: javaw.exe -jar Marvique.jar",
                          f"javaw.exe is found neither in the work folder nor on the search path: "
                          f"{home}\\bin put first on the PATH of cmd.exe"], lines[-2:])
        self.assertClientStarted(self.link)

    def test_runtime_only_in_64bit_view_is_found_after_the_32bit_failure(self):
        home = self.install("jre64")
        self.register(64, home)
        rc, _, _ = self.launch(self.link, home)
        self.assertEqual(1, rc)
        lines = self.log_lines()
        start = lines.index(f"Changing to LIBRUN folder: {self.work_folder(lines)}")
        self.assertEqual([OPEN_ERROR, tmpkey(64), f"GetJRE64BitsPath: {home}",
                          "JRE32BitsEXE: ", f"JRE64BitsEXE: {home}\\bin\\javaw.exe",
                          "ProgName: javaw.exe -jar Marvique.jar"], lines[start + 1:])
        self.assertClientStarted(self.link)

    def test_no_usable_runtime_opens_the_download_page(self):
        missing = f"{WIN_ROOT}\\gone"

        def folder_named_javaw():
            (ROOT / "dirjre" / "bin" / "javaw.exe").mkdir(parents=True)
            self.register(32, f"{WIN_ROOT}\\dirjre")

        def empty_home_not_tested():
            # Were the 32-bit home taken as empty, C:\bin\javaw.exe would pass.
            ROOT_BIN.mkdir()
            shutil.copy(STANDIN, ROOT_BIN / "javaw.exe")
            self.register(64, missing)

        cases = [
            ("no runtime", lambda: None,
             [OPEN_ERROR, OPEN_ERROR, NO_RUNTIME]),
            ("version without its subkey", lambda: self.register(32, missing, subkey=False),
             [tmpkey(32), OPEN_ERROR, OPEN_ERROR, NO_RUNTIME]),
            ("subkey without JavaHome", lambda: self.register(32, None),
             [tmpkey(32), QUERY_ERROR, OPEN_ERROR, NO_RUNTIME]),
            ("over-long version", lambda: self.register(32, missing, version="1.8.0_412-b08xyz"),
             [QUERY_ERROR, OPEN_ERROR, NO_RUNTIME]),
            ("over-long home", lambda: self.register(64, "C:\\" + "j" * 257),
             [OPEN_ERROR, tmpkey(64), QUERY_ERROR, NO_RUNTIME]),
            ("home without the executable", lambda: self.register(32, missing),
             [tmpkey(32), f"GetJRE32BitsPath: {missing}", f"JRE32BitsEXE: {missing}\\bin\\javaw.exe",
              "JRE64BitsEXE: ", NO_EXECUTABLE]),
            ("folder named javaw.exe", folder_named_javaw,
             [tmpkey(32), f"GetJRE32BitsPath: {WIN_ROOT}\\dirjre",
              f"JRE32BitsEXE: {WIN_ROOT}\\dirjre\\bin\\javaw.exe", "JRE64BitsEXE: ", NO_EXECUTABLE]),
            ("home not obtained", empty_home_not_tested,
             [OPEN_ERROR, tmpkey(64), f"GetJRE64BitsPath: {missing}", "JRE32BitsEXE: ",
              f"JRE64BitsEXE: {missing}\\bin\\javaw.exe", NO_EXECUTABLE]),
        ]
        for what, arrange, expected in cases:
            with self.subTest(what):
                self.setUp()
                arrange()
                rc, _, _ = self.launch(self.link)
                self.assertEqual(0, rc)
                lines = self.log_lines()
                start = lines.index(f"Changing to LIBRUN folder: {self.work_folder(lines)}")
                self.assertEqual(expected, lines[start + 1:])
                self.assertDownloadPageOnly()


class Debug(JavaCase):
    def test_debug_mode_uses_java_exe_and_waits_for_a_key(self):
        home = self.install("jre")
        self.register(32, home)
        # _getch needs a console: script gives the launcher a terminal.
        command = f"wine {shlex.quote(str(EXE))} {shlex.quote(self.link)}"
        proc = subprocess.Popen(["script", "-qec", command, "/dev/null"], stdin=subprocess.PIPE,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                env=wine_env(self.launch_env(home, {"KOVREL_DEBUG": ""})))
        try:
            self.assertTrue(wait_for(self.finished), "the stand-in client did not run")
            time.sleep(1)
            self.assertIsNone(proc.poll(), "the launcher did not wait for a key")
            proc.stdin.write(b"x")
            proc.stdin.flush()
            self.assertEqual(1, proc.wait(timeout=20))
        finally:
            proc.stdin.close()
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        lines = self.log_lines()
        self.assertLinesInOrder(lines, [re.escape(f"JRE32BitsEXE: {home}\\bin\\java.exe"),
                                        "JRE64BitsEXE: ", "ProgName: java.exe -jar Marvique.jar"])
        self.assertClientStarted(self.link, "java.exe")


class Injection(JavaCase):
    def test_links_reach_the_client_unchanged_and_start_nothing_else(self):
        tails = ["&javaw.exe", "&&javaw.exe", "|javaw.exe", f">{WIN_ROOT}\\out.txt",
                 f"<{WIN_ROOT}\\in.txt", "^&javaw.exe", "^", "(x)&(javaw.exe)", "%20%41%2F%",
                 "%NOSUCHVAR%&javaw.exe", "!PATH!", "%PATH"]
        home = self.install("jre")
        self.register(32, home)
        for tail in tails:
            with self.subTest(tail):
                self.next_run()
                (ROOT / "in.txt").write_text("in\n")
                rc, _, _ = self.launch(self.link + tail, home)
                self.assertEqual(1, rc)
                self.assertClientStarted(self.link + tail)
                self.assertFalse((ROOT / "out.txt").exists())

    def test_link_beyond_the_ansi_code_page_reaches_the_client_whole(self):
        home = self.install("jre")
        self.register(32, home)
        link = self.link + "\u00e9\u4e2d\u6587\u0394\U0001F600&x"
        rc, _, _ = self.launch(link, home)
        self.assertEqual(1, rc)
        self.assertClientStarted(link)
        # The log, in UTF-8, shows the link whole.
        self.assertIn("Parameters:  " + link, self.log_lines())

    def test_links_that_cannot_be_passed_are_refused(self):
        variable = "the name of a variable between two '%'"
        cases = [
            ("%PATH%", variable), ("%path:~0,3%", variable), ("%^PATH%", variable),
            ("%KOVREL_PROBE%", variable), ("%CD%", variable), ("%RANDOM%", variable),
            ("%20%ERRORLEVEL%", variable), ("%PROMPT%", variable),
            ('"&javaw.exe', "a double quote"), ("\x01", "a control character"),
            ("\tjavaw.exe", "a control character"), (" javaw.exe", "a blank"),
        ]
        home = self.install("jre")
        self.register(32, home)
        for tail, reason in cases:
            with self.subTest(tail):
                KovrelCase.setUp(self)
                self.server.clear_requests()
                rc, _, _ = self.launch(self.link + tail, home, {"KOVREL_PROBE": "&javaw.exe"})
                self.assertEqual(0, rc)
                # Refused right after the opening lines: no request, no work folder.
                self.assertEqual(["Parameters:  " + self.link + tail, "Base URL:    " + self.server.https_base,
                                  "Controls:    none, the server is not verified",
                                  f"Error launching Java: the link holds {reason}"], self.log_lines()[-4:])
                self.assertEqual([], self.server.requests)
                self.assertFalse(WORK.exists())
        # Room for anything that one of the runs might have started.
        time.sleep(0.5)
        self.assertEqual([], self.records())
        self.assertFalse(self.opened.exists())
