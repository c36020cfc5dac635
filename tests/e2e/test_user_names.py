"""Users whose profile folder the ANSI code page (1252 here) cannot hold: the
temporary folder, the work folder, the log and the Java home all outside it."""
import shutil
import subprocess
import tempfile
from pathlib import Path

from tests.e2e.harness import PREFIX, STANDIN, reg, wine_env
from tests.e2e.test_update import MANIFEST_PATH, V1, WAIT, UpdateCase, manifest

def regedit(key, values):
    """Writes string values under key through a UTF-16 .reg file, which
    carries any character (Wine's reg.exe may not, by its command line)."""
    lines = ["Windows Registry Editor Version 5.00", "", f"[{key}]"]
    lines += [f'"{name}"="{value}"'.replace("\\", "\\\\") for name, value in values.items()]
    with tempfile.NamedTemporaryFile("wb", suffix=".reg", delete=False) as f:
        f.write(b"\xff\xfe" + ("\r\n".join(lines) + "\r\n").encode("utf-16-le"))
    try:
        subprocess.run(["wine", "regedit", "/s", "Z:" + f.name.replace("/", "\\")], cwd="/", env=wine_env(),
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=60, check=True)
    finally:
        Path(f.name).unlink()


class UserNames(UpdateCase):
    def use_profile(self, name):
        """TEMP and TMP of the prefix's user in C:\\users\\<name>\\Temp (made first)."""
        for variable in ("TEMP", "TMP"):
            out = reg("query", "HKCU\\Environment", "/v", variable).stdout.decode("utf-8", "replace")
            value = [line.split(None, 2) for line in out.splitlines() if line.split()[:1] == [variable]]
            if value:  # as it was, with its type
                self.addCleanup(reg, "add", "HKCU\\Environment", "/v", variable, "/t", value[0][1], "/d",
                                value[0][2], "/f")
            else:
                self.addCleanup(reg, "delete", "HKCU\\Environment", "/v", variable, "/f")
        temp = PREFIX / "drive_c" / "users" / name / "Temp"
        temp.mkdir(parents=True, exist_ok=True)
        self.addCleanup(shutil.rmtree, temp.parent, ignore_errors=True)
        regedit("HKEY_CURRENT_USER\\Environment",
                {"TEMP": f"C:\\users\\{name}\\Temp", "TMP": f"C:\\users\\{name}\\Temp"})
        return temp

    def test_whole_run_with_a_profile_outside_the_code_page(self):
        self.serve(V1)
        for name in ("Дмитрий", "中文"):
            with self.subTest(name=name):
                temp = self.use_profile(name)
                work, log = temp / "KovrelDocs" / "librun", temp / "Kovrel.log"
                self.forget_run()
                self.assertEqual(1, self.run_update()[0])
                self.assertClientStarted(self.link)
                for path, (_, body) in V1.items():
                    self.assertEqual(body, (work / path).read_bytes(), path)
                self.assertEqual(manifest(V1), (work / "fcompare.ini").read_bytes())
                text = log.read_bytes().decode("utf-8")
                self.assertIn(f"tmpLibRun:   C:\\users\\{name}\\Temp\\KovrelDocs\\librun\r\n", text)
                self.assertIn(f"Changing to LIBRUN folder: C:\\users\\{name}\\Temp\\KovrelDocs\\librun\r\n", text)

                # Up to date, and two launchers at once take turns in the same folder.
                self.forget_run()
                self.server.behave("fcompare.ini", "slow", seconds=2)
                runs = [self.finish_launch(p) for p in [self.start_launch(self.link, self.home, name=f"run{i}")
                                                         for i in (0, 1)]]
                self.server.behaviours.clear()
                self.assertEqual([1, 1], [rc for rc, _ in runs])
                self.assertEqual(1, sum(WAIT in out for _, out in runs))
                self.assertEqual([("GET", MANIFEST_PATH)] * 2, self.requested())
                self.assertClientStarted(self.link, starts=2)

    def test_java_home_outside_the_code_page_starts_the_client(self):
        self.serve(V1)
        home = PREFIX / "drive_c" / "Программы" / "Java"
        (home / "bin").mkdir(parents=True, exist_ok=True)
        self.addCleanup(shutil.rmtree, home.parent, ignore_errors=True)
        shutil.copy(STANDIN, home / "bin" / "javaw.exe")
        self.addCleanup(self.register, 32, self.home)
        regedit("HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\JavaSoft\\Java Runtime Environment\\1.8",
                {"JavaHome": "C:\\Программы\\Java"})
        # Off the search path: the home's bin folder is put first on cmd.exe's PATH.
        rc, _, _ = self.launch(self.link, self.home, {"WINEPATH": ""})
        self.assertEqual(1, rc)
        self.assertClientStarted(self.link)
        self.assertIn("GetJRE32BitsPath: C:\\Программы\\Java", self.log_lines())
