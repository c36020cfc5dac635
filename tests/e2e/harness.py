"""Runs the built kovrel.exe under Wine and reads what it left behind."""
import os
import pwd
import re
import shutil
import subprocess
import time
import unittest
from pathlib import Path

BUILD = Path(os.environ.get("KOVREL_BUILD", Path(__file__).resolve().parents[2] / "build"))
EXE = Path(os.environ.get("KOVREL_EXE", BUILD / "kovrel.exe"))
PREFIX = Path(os.environ.get("WINEPREFIX", BUILD / "wineprefix"))
TEMP = PREFIX / "drive_c" / "users" / pwd.getpwuid(os.getuid()).pw_name / "Temp"
WORK = TEMP / "KovrelDocs" / "librun"
STANDIN = Path(os.environ.get("KOVREL_STANDIN", BUILD / "tests" / "standin_java.exe"))
# Java homes with the stand-in as their launchers, and the stand-in's records.
ROOT = PREFIX / "drive_c" / "kovreltest"
WIN_ROOT = "C:\\kovreltest"
JRE_KEY = "HKLM\\SOFTWARE\\JavaSoft\\Java Runtime Environment"

STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"


def wine_env(extra=None):
    env = dict(os.environ, WINEPREFIX=str(PREFIX), WINEDEBUG="-all")
    env.pop("KOVREL_DEBUG", None)
    env.update(extra or {})
    return env


def reg(*args, env=None):
    # Not from a folder that could hold a reg.exe.
    return subprocess.run(["wine", "reg", *args], cwd="/", env=wine_env(env), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=60)


def build_version():
    """The project's version, as the build was configured with it."""
    text = (BUILD / "CMakeCache.txt").read_text()
    return re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.+)$", text, re.M).group(1)


def set_browser(command="/bin/true"):
    """The Unix command that `start <url>` hands the address to in the prefix:
    by default one that does nothing, so that no run opens a real browser."""
    reg("add", "HKCU\\Software\\Wine\\WineBrowser", "/v", "Browsers", "/d", command, "/f")


def wait_for(predicate, timeout=20):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.1)
    return predicate()


def link_to(base):
    """A link of the form a browser hands on, to the server at base (ending in "/")."""
    return f"kovrel://{base}app/servlet/Name?0f8fad5b-d9cb-469f-a165-70867728950e?user"


# Runs that need no server of their own.
LINK = link_to("https://host:8443/")


class Run:
    def __init__(self, completed):
        self.rc = completed.returncode
        self.stdout = completed.stdout.decode("latin-1")
        self.stderr = completed.stderr.decode("latin-1")


class KovrelCase(unittest.TestCase):
    """Each test starts with no log and no work folder in the prefix's Temp."""

    @classmethod
    def setUpClass(cls):
        set_browser()

    def setUp(self):
        TEMP.mkdir(parents=True, exist_ok=True)
        (TEMP / "Kovrel.log").unlink(missing_ok=True)
        shutil.rmtree(TEMP / "KovrelDocs", ignore_errors=True)

    def run_kovrel(self, *args, env=None, timeout=120):
        completed = subprocess.run(["wine", str(EXE), *args], stdin=subprocess.DEVNULL,
                                   capture_output=True, env=wine_env(env), timeout=timeout)
        return Run(completed)

    def log_text(self):
        path = TEMP / "Kovrel.log"
        # The log is UTF-8.
        return path.read_bytes().decode("utf-8") if path.exists() else None

    def log_lines(self):
        """The log's lines; every line must end in CR LF."""
        text = self.log_text()
        self.assertIsNotNone(text, "no Kovrel.log")
        self.assertTrue(text.endswith("\r\n"), repr(text[-40:]))
        self.assertNotRegex(text, r"[^\r]\n|\r[^\n]", "a line end that is not CR LF")
        return text[:-2].split("\r\n")

    def assertLinesInOrder(self, lines, patterns):
        """Each pattern (a regex) matches a whole line, later than the previous match."""
        pos = 0
        for pattern in patterns:
            for i in range(pos, len(lines)):
                if re.fullmatch(pattern, lines[i]):
                    pos = i + 1
                    break
            else:
                self.fail(f"no line matching {pattern!r} after line {pos}:\n" + "\n".join(lines))


class StandinJavaCase(KovrelCase):
    """Runs that end in the Java launch, with stand-in Java runtimes.

    install() puts the stand-in (standin_java.exe) as bin\\javaw.exe and
    bin\\java.exe under a Java home C:\\kovreltest\\<name>; register() names a
    home in the registry. The stand-in records each start in C:\\kovreltest\\record.txt.
    """

    def setUp(self):
        super().setUp()
        ROOT.mkdir(exist_ok=True)
        # Kept when a test calls setUp again between its rows.
        self.clients_started = getattr(self, "clients_started", 0)
        self.forget_records()

    def tearDown(self):
        self.forget_records()
        super().tearDown()

    def forget_records(self):
        """Removes the records, once every client a run reported started has
        written its own: a late one would otherwise count in the next run's."""
        started, self.clients_started = self.clients_started, 0
        wait_for(lambda: len(self.records()) >= started, timeout=10)
        for name in ("record.txt", "done.txt"):
            (ROOT / name).unlink(missing_ok=True)

    @staticmethod
    def remove_runtimes():
        """Both registry views without Java, and no test Java home."""
        for view in ("/reg:32", "/reg:64"):
            reg("delete", "HKLM\\SOFTWARE\\JavaSoft", "/f", view)
        shutil.rmtree(ROOT, ignore_errors=True)

    @staticmethod
    def register(bits, home=None, version="1.8", subkey=True, env=None):
        """Registers a runtime in one view; home None leaves "JavaHome" out."""
        view = f"/reg:{bits}"
        reg("add", JRE_KEY, "/v", "CurrentVersion", "/d", version, "/f", view, env=env)
        if subkey and home is None:
            reg("add", f"{JRE_KEY}\\{version}", "/f", view, env=env)
        elif subkey:
            reg("add", f"{JRE_KEY}\\{version}", "/v", "JavaHome", "/d", home, "/f", view, env=env)

    @staticmethod
    def install(name):
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

    def launch(self, link, home="C:\\kovreltest\\none", env=None, program=(EXE,)):
        """Runs the launcher (or a command that opens the link with it and waits)
        with its output in a file, so that it is not kept waiting for what it
        started; returns (exit code, seconds, stdout)."""
        start = time.monotonic()
        rc, stdout = self.finish_launch(self.start_launch(link, home, env, program=program))
        return rc, time.monotonic() - start, stdout

    def start_launch(self, link, home="C:\\kovreltest\\none", env=None, name="stdout", program=(EXE,)):
        """Starts the launcher as launch() does, without waiting for it; its
        output goes to C:\\kovreltest\\<name>.txt."""
        with open(ROOT / f"{name}.txt", "wb") as f:
            proc = subprocess.Popen(["wine", *map(str, program), link], stdin=subprocess.DEVNULL, stdout=f,
                                    stderr=subprocess.STDOUT, env=wine_env(self.launch_env(home, env)))
        proc.output = ROOT / f"{name}.txt"
        return proc

    def finish_launch(self, proc):
        """Waits for a started launcher; returns (exit code, stdout)."""
        rc = proc.wait(timeout=120)
        self.clients_started += rc == 1
        return rc, proc.output.read_bytes().decode("latin-1")

    @staticmethod
    def records(name="record.txt"):
        """The stand-in's records: one dict per start, with its argv as a list."""
        path = ROOT / name
        result = []
        text = path.read_bytes().decode("latin-1") if path.exists() else ""
        for line in text.splitlines():
            key, _, value = line.partition(": ")
            if key == "cmdline":
                result.append({"cmdline": value, "argv": []})
            elif key == "wcmdline":
                result[-1][key] = value.encode("latin-1").decode("utf-8")
            elif key.startswith("argv["):
                result[-1]["argv"].append(value)
            elif result:
                result[-1][key] = value
        return result

    def finished(self):
        return (ROOT / "done.txt").exists()

    def work_folder(self, lines):
        return next(line[13:] for line in lines if line.startswith("tmpLibRun:   "))

    def assertClientStarted(self, link, exe="javaw.exe", starts=1):
        """The stand-in ran starts times, each with exactly the link (its ANSI
        argv where the code page holds the link, its wide command line always)."""
        self.assertTrue(wait_for(lambda: self.finished() and
                                 (ROOT / "done.txt").read_text().count("done") >= starts),
                        "the stand-in client did not run")
        time.sleep(0.5)  # room for anything else the command line might have started
        records = self.records()
        self.assertEqual(starts, len(records), records)
        self.clients_started = 0  # each one's record is in
        for record in records:
            if link == link.encode("cp1252", errors="replace").decode("cp1252"):
                self.assertEqual([exe, "-jar", "Marvique.jar", link.encode("cp1252").decode("latin-1")],
                                 record["argv"])
            self.assertEqual(f"{exe} -jar Marvique.jar {link}", record["wcmdline"])
        return records[0]
