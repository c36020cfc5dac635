"""What the person who clicked sees: the progress window and the message boxes,
under an X server of the tests' own (Xvfb, on a display number it picks). Only
these tests give Wine a display; every other test runs without one, where no
window can be made and the run goes on as before.
"""
import json
import os
import shutil
import subprocess
import threading
import time
import unittest

from tests.e2e.harness import BUILD, TEMP, WORK, link_to, reg, wait_for, wine_env
from tests.e2e.test_update import V1, UpdateCase, changed, manifest
from tests.support.server import LocalServer

PROBE = BUILD / "tests" / "window_probe.exe"
ARTIFACTS = BUILD / "test-artifacts"
POLICY_KEY = "HKLM\\SOFTWARE\\Policies\\Kovrel"
X11_KEY = "HKCU\\Software\\Wine\\X11 Driver"
# A client large enough to arrive in many progress reports over a slow line.
SLOW_CLIENT = b"PK\x03\x04 client v2 " + bytes(range(256)) * 256


def start_xvfb():
    """An Xvfb on a free display number; returns (process, ":N")."""
    read, write = os.pipe()
    proc = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            pass_fds=[write], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read) as f:
        number = f.readline().strip()
    if not number:
        proc.kill()
        raise RuntimeError("Xvfb did not start")
    return proc, ":" + number


def restart_wine(display):
    """The prefix's wineserver started anew, with the display: Wine's desktop
    process, once started by a run without a display, would leave every later
    run of the prefix without windows for as long as it lives."""
    env = wine_env({"DISPLAY": display})
    quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "env": env}
    subprocess.run(["wineserver", "-k"], **quiet)
    subprocess.run(["wineserver", "-w"], **quiet, timeout=60)
    subprocess.run(["wineserver", "-p"], **quiet)
    subprocess.run(["wine", "wineboot"], **quiet, timeout=120)


class Watch:
    """window_probe watching kovrel.exe's windows: one record per window seen
    every 50 ms, each with the monotonic time at which it was read."""

    def __init__(self, display, seconds=60):
        self.seen = []
        self.ready = threading.Event()
        self.proc = subprocess.Popen(["wine", str(PROBE), "watch", "kovrel.exe", str(seconds)],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     env=wine_env({"DISPLAY": display}))
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()
        if not self.ready.wait(30):
            raise RuntimeError("window_probe did not start")

    def _read(self):
        for line in self.proc.stdout:
            record = json.loads(line)
            if record.get("ready"):
                self.ready.set()
            else:
                self.seen.append(dict(record, at=time.monotonic()))

    def first(self, predicate, timeout=20):
        """The first window record for which predicate holds, waiting for it."""
        found = []
        wait_for(lambda: found.extend(r for r in self.seen if predicate(r)) or found, timeout)
        return found[0] if found else None

    def finish(self):
        self.proc.wait(timeout=90)
        self.thread.join(10)
        self.proc.stdout.close()
        return self.seen


def names(record, text):
    return any(text in t for t in record["texts"])


@unittest.skipUnless(shutil.which("Xvfb") and shutil.which("import"), "needs Xvfb and ImageMagick: scripts/bootstrap.sh")
class Window(UpdateCase):
    @classmethod
    def setUpClass(cls):
        cls.xvfb, cls.display = start_xvfb()
        restart_wine(cls.display)
        super().setUpClass()
        # No window manager runs under Xvfb: Wine would otherwise wait 2 s for
        # one to withdraw each window that is hidden.
        reg("add", X11_KEY, "/v", "Managed", "/d", "N", "/f")

    @classmethod
    def tearDownClass(cls):
        reg("delete", X11_KEY, "/v", "Managed", "/f")
        cls.xvfb.terminate()
        cls.xvfb.wait(10)
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        reg("delete", POLICY_KEY, "/v", "ShowProgress", "/f")

    def tearDown(self):
        reg("delete", POLICY_KEY, "/v", "ShowProgress", "/f")
        super().tearDown()

    def launch_env(self, home, extra=None):
        # Every run of these tests has the display, the preparing ones too: a
        # Wine desktop started without one would leave the next run without windows.
        return dict(super().launch_env(home, extra), DISPLAY=self.display, LANG="C")

    def start(self, link=None):
        """The launcher under watch: (watch, launcher process, start time)."""
        watch = Watch(self.display)
        started = time.monotonic()
        launcher = self.start_launch(link or self.link, self.home)
        # A launcher left waiting by a failed test would hold the work folder.
        self.addCleanup(lambda: launcher.poll() is None and launcher.kill())
        return watch, launcher, started

    def press(self, prefix, seconds=10, late=False):
        """Presses a button of the launcher's; the time once pressed. late: a
        click that was still queued when the launcher withdrew the button."""
        done = subprocess.run(["wine", str(PROBE), "late" if late else "press", "kovrel.exe", prefix, str(seconds)],
                              stdin=subprocess.DEVNULL, env=wine_env({"DISPLAY": self.display}), timeout=60)
        self.assertEqual(0, done.returncode, f"no button {prefix!r} to press")
        return time.monotonic()

    def screenshot(self, name):
        ARTIFACTS.mkdir(exist_ok=True)
        subprocess.run(["import", "-display", self.display, "-window", "root", str(ARTIFACTS / name)],
                       check=True, timeout=30)

    def installed(self):
        """The work folder's files but the staged ones (the new manifest, parts)."""
        return {p.name: p.read_bytes() for p in WORK.iterdir()
                if p.is_file() and p.suffix != ".part" and p.name != "fcompare.new"}

    def folder_free(self, link):
        """True when a second launcher, without window or box, gets the work
        folder without waiting."""
        for name in ("ShowProgress", "LockWaitSeconds"):
            reg("add", POLICY_KEY, "/v", name, "/t", "REG_DWORD", "/d", "0" if name == "ShowProgress" else "1", "/f")
        try:
            self.finish_launch(self.start_launch(link, self.home, name="second"))
        finally:
            for name in ("ShowProgress", "LockWaitSeconds"):
                reg("delete", POLICY_KEY, "/v", name, "/f")
        return not any(line.startswith("lockWorkFolder - another launcher") for line in self.log_lines())

    def test_slow_download_shows_progress_until_the_client_starts(self):
        files = changed(V1, "Marvique.jar", SLOW_CLIENT)
        self.serve(files)
        self.server.behave("Marvique.jar", "slow", seconds=5, pieces=25)
        watch, launcher, started = self.start()
        shown = watch.first(lambda r: r["class"] == "KovrelProgress", timeout=10)
        self.assertIsNotNone(shown, "no window")
        self.assertLessEqual(shown["at"] - started, 2.0)
        downloading = watch.first(lambda r: names(r, "Downloading Marvique.jar (2 of 2)"))
        self.assertIsNotNone(downloading, watch.seen[-1:])
        self.assertIn("Kovrel launcher", downloading["title"])
        self.screenshot("window-download.png")
        rc, stdout = self.finish_launch(launcher)
        self.assertEqual(1, rc, stdout)
        self.assertClientStarted(self.link)
        # A window read as it closes may have lost its bar already.
        during = [r for r in watch.finish() if names(r, "Marvique.jar") and r["progress"]]
        positions = [r["progress"][0] for r in during]
        rises = sum(1 for a, b in zip(positions, positions[1:]) if b > a)
        self.assertGreaterEqual(rises, 3, positions)
        # Two files: a share of 1000 each. The probe may read a step's text and
        # the bar of the step before or after it, at either end of the download.
        self.assertEqual({(0, 2000)}, {tuple(r["progress"][1:]) for r in during[1:-1]})
        self.assertTrue(any(names(r, " left") for r in during), "no rate and time left")
        # Start without updating is offered only until the manifest arrives.
        self.assertEqual(["Cancel"], [b["text"] for b in during[-1]["buttons"] if b["visible"]])

    def test_an_up_to_date_run_shows_no_window(self):
        self.serve(V1)
        self.good_run(V1)
        watch, launcher, _ = self.start()
        rc, stdout = self.finish_launch(launcher)
        self.assertEqual(1, rc, stdout)
        self.assertClientStarted(self.link)
        self.assertEqual([], watch.finish())

    def test_cancel_stops_a_slow_download_and_changes_nothing(self):
        self.serve(V1)
        self.good_run(V1)
        before = self.installed()
        self.serve(changed(V1, "Marvique.jar", SLOW_CLIENT))
        self.server.behave("Marvique.jar", "slow", seconds=8, pieces=40)
        watch, launcher, _ = self.start()
        self.assertIsNotNone(watch.first(lambda r: names(r, "Marvique.jar")), watch.seen[-1:])
        # Start, clicked as the manifest arrived, neither starts anything nor keeps Cancel from working.
        self.press("Start", late=True)
        pressed = self.press("Cancel")
        rc, stdout = self.finish_launch(launcher)
        self.assertLessEqual(time.monotonic() - pressed, 2.0)
        self.assertEqual(0, rc, stdout)
        self.assertEqual("Cancelled by the user", self.log_lines()[-1])
        self.assertEqual(before, self.installed())
        self.assertEqual([], self.records())
        # The cut file stays staged, for the next run to continue.
        parts = [p.read_bytes() for p in (WORK / "staging.part").glob("*.part")]
        self.assertEqual(1, len(parts), parts)
        self.assertTrue(parts[0] and SLOW_CLIENT.startswith(parts[0]), len(parts[0]))
        watch.finish()

    def test_start_without_updating_while_the_server_is_silent(self):
        self.serve(V1)
        self.good_run(V1)
        self.server.behave("fcompare.ini", "silent")
        watch, launcher, _ = self.start()
        pressed = self.press("Start")
        self.assertTrue(wait_for(self.finished, timeout=2.0), "the client did not start within 2 s")
        self.assertLessEqual(time.monotonic() - pressed, 2.5)
        rc, stdout = self.finish_launch(launcher)
        self.assertEqual(1, rc, stdout)
        self.assertClientStarted(self.link)
        self.assertIn("Started without updating, at the user's request: the run goes on with the installed files",
                      self.log_lines())
        watch.finish()

    def test_a_run_that_starts_no_client_says_why_and_waits_for_ok(self):
        stopped = LocalServer(https=False).start()
        dead = link_to(stopped.http_base)
        stopped.stop()

        def refuse_server():
            reg("add", POLICY_KEY, "/v", "AllowedServers", "/d", "https://other.example/", "/f")
            self.addCleanup(reg, "delete", POLICY_KEY, "/v", "AllowedServers", "/f")

        def remove_java():
            self.serve(V1)
            self.good_run(V1)
            for view in ("/reg:32", "/reg:64"):
                reg("delete", "HKLM\\SOFTWARE\\JavaSoft", "/f", view)
            self.addCleanup(self.register, 32, self.home)

        def fail_first_pass():
            # A file the server does not have: the pass fails, and nothing is installed yet.
            self.serve(V1, text=manifest(dict(V1, **{"missing.jar": ("0a0b0c", b"")})))

        def need_newer_java():
            # The registered stand-in is a 1.8.
            self.serve(V1, text=b"JRE:11\n" + manifest(V1))

        def hold_folder():
            reg("add", POLICY_KEY, "/v", "LockWaitSeconds", "/t", "REG_DWORD", "/d", "1", "/f")
            self.addCleanup(reg, "delete", POLICY_KEY, "/v", "LockWaitSeconds", "/f")
            self.serve(V1)
            self.server.behave("fcompare.ini", "silent")
            holder = self.start_launch(self.link, self.home, name="holder")
            self.addCleanup(lambda: holder.poll() is None and holder.kill())
            self.assertTrue(wait_for(lambda: self.server.requests))

        rows = [("first run without the server", dead, None, ["127.0.0.1", "Kovrel.log", "did not answer"]),
                ("a wait for another launcher that ran out", None, hold_folder,
                 ["another Kovrel launcher", "Kovrel.log"]),
                ("a failed pass on a first run", None, fail_first_pass,
                 ["127.0.0.1", "update from the server", "failed", "Kovrel.log"]),
                ("server refused by the administrator", None, refuse_server,
                 ["127.0.0.1", "Kovrel.log", "administrator's settings"]),
                ("no Java runtime", None, remove_java, ["Java is needed"]),
                ("a Java older than the manifest's minimum", None, need_newer_java, ["newer Java", "version 11"])]
        for name, link, prepare, words in rows:
            with self.subTest(name):
                self.setUp()
                if prepare:
                    prepare()
                watch, launcher, _ = self.start(link)
                box = watch.first(lambda r: r["class"] == "#32770")
                self.assertIsNotNone(box, watch.seen[-1:])
                text = " ".join(box["texts"])
                for part in words:
                    self.assertIn(part, text)
                self.assertEqual("Kovrel launcher", box["title"])
                if link == dead:
                    self.screenshot("message-no-server.png")
                # The run waits for the box to be dismissed, with the work
                # folder released (the holder's own aside).
                self.assertIsNone(launcher.poll())
                if prepare is not hold_folder:
                    self.assertTrue(self.folder_free(link or self.link), name)
                self.press("OK")
                rc, stdout = self.finish_launch(launcher)
                self.assertEqual(0, rc, stdout)
                # The folder's holder too: the probe watches until every launcher is gone.
                self.doCleanups()
                watch.finish()

    def test_show_progress_0_shows_nothing(self):
        stopped = LocalServer(https=False).start()
        dead = link_to(stopped.http_base)
        stopped.stop()
        rows = [("slow download", None, 1), ("first run without the server", dead, 0)]
        for name, link, expected_rc in rows:
            with self.subTest(name):
                self.setUp()
                reg("add", POLICY_KEY, "/v", "ShowProgress", "/t", "REG_DWORD", "/d", "0", "/f")
                self.serve(V1)
                self.server.behave("Marvique.jar", "slow", seconds=3, pieces=10)
                watch, launcher, _ = self.start(link)
                rc, stdout = self.finish_launch(launcher)
                self.assertEqual(expected_rc, rc, stdout)
                self.assertEqual([], watch.finish())
