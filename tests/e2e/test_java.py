"""The Java runtime lookup and the Java launch, with a stand-in Java runtime.

The registry of the test prefix is set up in either view; the stand-in
(standin_java.exe) is installed as bin\\javaw.exe and bin\\java.exe under a test
Java home and records how it was started. The prefix's browser is a recorder.
"""
import os
import re
import shlex
import shutil
import stat
import subprocess
import tempfile
import time
from pathlib import Path

from tests.e2e.harness import BUILD, EXE, PREFIX, KovrelCase, wine_env

# The link of every run; its server part is where the launcher downloads from.
LINK = "kovrel://https://host:8443/app/servlet/Name?0f8fad5b-d9cb-469f-a165-70867728950e?user"
STANDIN = Path(os.environ.get("KOVREL_STANDIN", BUILD / "tests" / "standin_java.exe"))
ROOT = PREFIX / "drive_c" / "kovreltest"
WIN_ROOT = "C:\\kovreltest"
ROOT_BIN = PREFIX / "drive_c" / "bin"  # what an empty home would turn into
JRE_KEY = "HKLM\\SOFTWARE\\JavaSoft\\Java Runtime Environment"
PAGE = "https://www.java.com/es/download/"
OPEN_ERROR = "GetRegeditValue - error RegOpenKeyEx"
QUERY_ERROR = "GetRegeditValue - error RegQueryValueEx"
NO_RUNTIME = "Error locating Java 32 or 64 bits enviroment."
NO_EXECUTABLE = "Error locating Java 32 or 64 bits executable."


def reg(*args):
    # Not from a folder that could hold a reg.exe.
    subprocess.run(["wine", "reg", *args], cwd="/", env=wine_env(), stdin=subprocess.DEVNULL,
                   capture_output=True, timeout=60)


def wait_for(predicate, timeout=20):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.1)
    return predicate()


def tmpkey(bits, version="1.8"):
    return f"GetJRE{bits}BitsPath - tmpKey: SOFTWARE\\JavaSoft\\Java Runtime Environment\\{version}, {version}"


class JavaCase(KovrelCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = Path(tempfile.mkdtemp(prefix="kovrel-java-"))
        cls.opened = cls.scratch / "browser.txt"
        recorder = cls.scratch / "browser.sh"
        recorder.write_text(f"#!/bin/sh\nprintf '%s\\n' \"$1\" >> {shlex.quote(str(cls.opened))}\n")
        recorder.chmod(recorder.stat().st_mode | stat.S_IXUSR)
        reg("add", "HKCU\\Software\\Wine\\WineBrowser", "/v", "Browsers", "/d", str(recorder), "/f")

    @classmethod
    def tearDownClass(cls):
        reg("delete", "HKCU\\Software\\Wine\\WineBrowser", "/v", "Browsers", "/f")
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.clean()
        self.addCleanup(self.clean)
        ROOT.mkdir(parents=True)

    def clean(self):
        for view in ("/reg:32", "/reg:64"):
            reg("delete", "HKLM\\SOFTWARE\\JavaSoft", "/f", view)
        shutil.rmtree(ROOT, ignore_errors=True)
        shutil.rmtree(ROOT_BIN, ignore_errors=True)
        self.opened.unlink(missing_ok=True)

    def register(self, bits, home=None, version="1.8", subkey=True):
        """Registers a runtime in one view; home None leaves "JavaHome" out."""
        view = f"/reg:{bits}"
        reg("add", JRE_KEY, "/v", "CurrentVersion", "/d", version, "/f", view)
        if subkey and home is None:
            reg("add", f"{JRE_KEY}\\{version}", "/f", view)
        elif subkey:
            reg("add", f"{JRE_KEY}\\{version}", "/v", "JavaHome", "/d", home, "/f", view)

    def install(self, name):
        """A Java home C:\\kovreltest\\<name> with the stand-in as its launchers."""
        bin_dir = ROOT / name / "bin"
        bin_dir.mkdir(parents=True)
        for exe in ("javaw.exe", "java.exe"):
            shutil.copy(STANDIN, bin_dir / exe)
        return f"{WIN_ROOT}\\{name}"

    def launch_env(self, home, extra=None):
        env = {"KOVREL_STANDIN_RECORD": f"{WIN_ROOT}\\record.txt",
               "KOVREL_STANDIN_DONE": f"{WIN_ROOT}\\done.txt",
               # cmd.exe finds the bare Java launcher name along the search path.
               "WINEPATH": f"{home}\\bin"}
        env.update(extra or {})
        return env

    def launch(self, link, home="C:\\kovreltest\\none", env=None):
        """Runs the launcher with its output in files, so that it is not kept
        waiting for what it started; returns (exit code, seconds, stdout)."""
        out = self.scratch / "stdout.txt"
        with open(out, "wb") as f:
            start = time.monotonic()
            rc = subprocess.run(["wine", str(EXE), link], stdin=subprocess.DEVNULL, stdout=f,
                                stderr=subprocess.STDOUT, env=wine_env(self.launch_env(home, env)),
                                timeout=120).returncode
            seconds = time.monotonic() - start
        return rc, seconds, out.read_bytes().decode("latin-1")

    def records(self):
        """The stand-in's records: one dict per start, with its argv as a list."""
        path = ROOT / "record.txt"
        result = []
        text = path.read_bytes().decode("latin-1") if path.exists() else ""
        for line in text.splitlines():
            key, _, value = line.partition(": ")
            if key == "cmdline":
                result.append({"cmdline": value, "argv": []})
            elif key.startswith("argv["):
                result[-1]["argv"].append(value)
            elif result:
                result[-1][key] = value
        return result

    def finished(self):
        return (ROOT / "done.txt").exists()

    def work_folder(self, lines):
        return next(line[13:] for line in lines if line.startswith("tmpLibRun:   "))

    def assertClientStarted(self, link, exe="javaw.exe"):
        self.assertTrue(wait_for(self.finished), "the stand-in client did not run")
        time.sleep(0.5)  # room for anything else the command line might have started
        records = self.records()
        self.assertEqual(1, len(records), records)
        self.assertEqual([exe, "-jar", "Marvique.jar", link], records[0]["argv"])
        self.assertEqual(f"{exe} -jar Marvique.jar {link}", records[0]["cmdline"])
        return records[0]

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
        rc, seconds, stdout = self.launch(LINK, home, {"KOVREL_STANDIN_SECONDS": "4"})
        self.assertEqual(1, rc)
        self.assertLess(seconds, 3.5, "the launcher waited for the client")
        self.assertFalse(self.finished())

        lines = self.log_lines()
        work = self.work_folder(lines)
        start = lines.index(f"Changing to LIBRUN folder: {work}")
        self.assertEqual([tmpkey(32), f"GetJRE32BitsPath: {home}",
                          f"JRE32BitsEXE: {home}\\bin\\javaw.exe", "JRE64BitsEXE: ",
                          "ProgName: javaw.exe -jar Marvique.jar"], lines[start + 1:])
        self.assertNotIn("ProgName", stdout, "ProgName goes to the log file only")
        self.assertIn(f"JRE32BitsEXE: {home}\\bin\\javaw.exe", stdout)

        client = self.assertClientStarted(LINK)
        self.assertEqual(work, client["cwd"])
        self.assertFalse(self.opened.exists())

    def test_runtime_only_in_64bit_view_is_found_after_the_32bit_failure(self):
        home = self.install("jre64")
        self.register(64, home)
        rc, _, _ = self.launch(LINK, home)
        self.assertEqual(1, rc)
        lines = self.log_lines()
        start = lines.index(f"Changing to LIBRUN folder: {self.work_folder(lines)}")
        self.assertEqual([OPEN_ERROR, tmpkey(64), f"GetJRE64BitsPath: {home}",
                          "JRE32BitsEXE: ", f"JRE64BitsEXE: {home}\\bin\\javaw.exe",
                          "ProgName: javaw.exe -jar Marvique.jar"], lines[start + 1:])
        self.assertClientStarted(LINK)

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
                rc, _, _ = self.launch(LINK)
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
        command = f"wine {shlex.quote(str(EXE))} {shlex.quote(LINK)}"
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
        self.assertClientStarted(LINK, "java.exe")


class Injection(JavaCase):
    def test_links_reach_the_client_unchanged_and_start_nothing_else(self):
        tails = ["&javaw.exe", "&&javaw.exe", "|javaw.exe", f">{WIN_ROOT}\\out.txt",
                 f"<{WIN_ROOT}\\in.txt", "^&javaw.exe", "^", "(x)&(javaw.exe)", "%20%41%2F%",
                 "%NOSUCHVAR%&javaw.exe", "!PATH!", "%PATH"]
        for tail in tails:
            with self.subTest(tail):
                self.setUp()
                home = self.install("jre")
                self.register(32, home)
                (ROOT / "in.txt").write_text("in\n")
                rc, _, _ = self.launch(LINK + tail, home)
                self.assertEqual(1, rc)
                self.assertClientStarted(LINK + tail)
                self.assertFalse((ROOT / "out.txt").exists())

    def test_links_that_cannot_be_passed_are_refused(self):
        variable = "the name of a variable between two '%'"
        cases = [
            ("%PATH%", variable), ("%path:~0,3%", variable), ("%^PATH%", variable),
            ("%KOVREL_PROBE%", variable), ("%CD%", variable), ("%RANDOM%", variable),
            ("%20%ERRORLEVEL%", variable),
            ('"&javaw.exe', "a double quote"), ("\x01", "a control character"),
            ("\tjavaw.exe", "a control character"), (" javaw.exe", "a blank"),
        ]
        for tail, reason in cases:
            with self.subTest(tail):
                self.setUp()
                home = self.install("jre")
                self.register(32, home)
                rc, _, _ = self.launch(LINK + tail, home, {"KOVREL_PROBE": "&javaw.exe"})
                self.assertEqual(0, rc)
                lines = self.log_lines()
                self.assertIn("Parameters:  " + LINK + tail, lines)
                self.assertEqual(["ProgName: javaw.exe -jar Marvique.jar",
                                  f"Error launching Java: the link holds {reason}"], lines[-2:])
                time.sleep(0.5)
                self.assertEqual([], self.records())
                self.assertFalse(self.opened.exists())
