"""Runs the built kovrel.exe under Wine and reads what it left behind."""
import os
import pwd
import re
import shutil
import subprocess
import unittest
from pathlib import Path

BUILD = Path(os.environ.get("KOVREL_BUILD", Path(__file__).resolve().parents[2] / "build"))
EXE = Path(os.environ.get("KOVREL_EXE", BUILD / "kovrel.exe"))
PREFIX = Path(os.environ.get("WINEPREFIX", BUILD / "wineprefix"))
TEMP = PREFIX / "drive_c" / "users" / pwd.getpwuid(os.getuid()).pw_name / "Temp"
WORK = TEMP / "KovrelDocs" / "librun"

STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"
LINK = "kovrel://https://host:8443/app/servlet/Name?0f8fad5b-d9cb-469f-a165-70867728950e?user"


def wine_env(extra=None):
    env = dict(os.environ, WINEPREFIX=str(PREFIX), WINEDEBUG="-all")
    env.pop("KOVREL_DEBUG", None)
    env.update(extra or {})
    return env


class Run:
    def __init__(self, completed):
        self.rc = completed.returncode
        self.stdout = completed.stdout.decode("latin-1")
        self.stderr = completed.stderr.decode("latin-1")


class KovrelCase(unittest.TestCase):
    """Each test starts with no log and no work folder in the prefix's Temp."""

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
        return path.read_bytes().decode("latin-1") if path.exists() else None

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
