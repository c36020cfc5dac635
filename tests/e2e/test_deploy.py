"""Deployment: kovrel:// links reach kovrel.exe intact through the per-user
registration (opened as the Windows shell opens it: Wine's shell sees only
machine-wide schemes) and through the MSI's machine-wide one (opened by Wine's
`start` in a fresh prefix); the package's sums and signatures.
"""
import os
import re
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

from tests.e2e.harness import BUILD, EXE, PREFIX, ROOT, TEMP, StandinJavaCase, build_version, link_to, reg, wine_env
from tests.support.server import LocalServer

OPEN_LINK = Path(os.environ.get("KOVREL_OPEN_LINK", BUILD / "tests" / "open_link.exe"))
REPO = Path(__file__).resolve().parents[2]
SCRIPT = REPO / "packaging" / "build-msi.sh"
VERSION = build_version()
DIST = BUILD / "dist"
FILES = ["kovrel.exe", f"kovrel-{VERSION}.msi"]
USER_KEY = "HKEY_CURRENT_USER\\Software\\Classes\\kovrel"
MACHINE_KEY = "HKEY_LOCAL_MACHINE\\Software\\Classes\\kovrel"
POLICIES = "HKEY_LOCAL_MACHINE\\Software\\Policies\\Kovrel"
# What a shell or cmd.exe would act on, and an escape that a browser leaves in.
TAILS = ["&view=a%20b", "^x?y&z"]


def zpath(path):
    return "Z:" + str(path).replace("/", "\\")


def listing(key, *args, env=None):
    """What `reg query /s` lists below key, a line each with blanks collapsed;
    None when there is no key."""
    result = reg("query", key, "/s", *args, env=env)
    text = result.stdout.decode("latin-1")
    return [" ".join(line.split()) for line in text.splitlines() if line.strip()] if result.returncode == 0 else None


def scheme(key, exe):
    return [key, "(Default) REG_SZ URL:Kovrel Protocol", "URL Protocol REG_SZ",
            key + "\\DefaultIcon", f'(Default) REG_SZ "{exe}",0', key + "\\shell", key + "\\shell\\open",
            key + "\\shell\\open\\command", f'(Default) REG_SZ "{exe}" "%1"']


def registered_command():
    """The open command of the per-user scheme as the registry holds it; None
    when there is none. `reg export` writes UTF-16, where `reg query` would
    print "?" for what the console's code page lacks."""
    with tempfile.TemporaryDirectory() as tmp:
        exported = Path(tmp) / "k.reg"
        reg("export", USER_KEY + "\\shell\\open\\command", zpath(exported), "/y")
        text = exported.read_bytes().decode("utf-16") if exported.exists() else ""
    found = re.search(r'^@="(.*)"\r?$', text, re.M)
    return re.sub(r"\\(.)", r"\1", found[1]) if found else None


def run(*args, env=None, cwd=None):
    return subprocess.run([str(a) for a in args], env=dict(os.environ, **(env or {})), cwd=cwd,
                          stdin=subprocess.DEVNULL, capture_output=True, encoding="utf-8", timeout=120)


class ClickCase(StandinJavaCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.remove_runtimes()
        cls.home = cls.install("jre")
        cls.server = LocalServer(http=False).start()
        cls.server.put("fcompare.ini", b"JRE:1.8.0\nmd5:1f Marvique.jar\n")
        cls.server.put("Marvique.jar", b"PK\x03\x04 client")
        cls.link = link_to(cls.server.https_base)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.remove_runtimes()

    def assertOpened(self, link, program, env=None, home=None):
        """program opened link with kovrel.exe, which handed it whole to the client it started."""
        self.forget_records()
        rc, _, out = self.launch(link, home or self.home, env, program)
        self.assertEqual(1, rc, out)
        self.assertClientStarted(link)


class PerUser(ClickCase):
    WIN_EXE = "C:\\kovreltest\\Kovrel Launcher\\kovrel.exe"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.register(32, cls.home)
        # A blank in the path, where the command's quotes matter.
        cls.exe = ROOT / "Kovrel Launcher" / "kovrel.exe"
        cls.exe.parent.mkdir()
        shutil.copy(EXE, cls.exe)

    @classmethod
    def tearDownClass(cls):
        reg("delete", USER_KEY, "/f")
        super().tearDownClass()

    def switch(self, name, *expected):
        result = run("wine", self.exe, name, env=wine_env())
        self.assertEqual((0, list(expected)), (result.returncode, result.stdout.splitlines()), result.stderr)
        self.assertIsNone(self.log_text(), "nothing is logged")
        self.assertFalse((TEMP / "KovrelDocs").exists(), "no work folder")

    def test_register_open_and_unregister(self):
        self.switch("/version", "Kovrel launcher", f"File version:    {VERSION}", f"Product version: {VERSION}")
        win = "C:\\kovreltest\\Kovrel Launcher\\kovrel.exe"
        self.switch("/register", f'Registered kovrel:// links for this user: "{win}" "%1"')
        self.assertEqual(scheme(USER_KEY, win), listing(USER_KEY))
        for tail in TAILS:
            with self.subTest(tail):
                self.assertOpened(self.link + tail, [OPEN_LINK])
        self.setUp()
        self.switch("/unregister", "Removed the kovrel:// registration of this user")
        self.assertIsNone(listing(USER_KEY))
        self.switch("/Unregister", "No kovrel:// registration of this user to remove")

        # Another program's verb below the scheme is not /register's to remove.
        self.switch("/REGISTER", f'Registered kovrel:// links for this user: "{win}" "%1"')
        reg("add", USER_KEY + "\\shell\\edit\\command", "/ve", "/d", "notepad.exe", "/f")
        self.switch("/unregister", "Removed the kovrel:// registration of this user")
        self.assertEqual([USER_KEY + "\\shell", USER_KEY + "\\shell\\edit", USER_KEY + "\\shell\\edit\\command",
                          "(Default) REG_SZ notepad.exe"], listing(USER_KEY))

    def test_register_writes_the_path_as_it_is_or_refuses_a_percent(self):
        for folder, refused in (("日本", False), ("100% sure", True), ("a%PATH%b", True)):
            with self.subTest(folder):
                reg("delete", USER_KEY, "/f")
                self.switch("/register", f'Registered kovrel:// links for this user: "{self.WIN_EXE}" "%1"')
                (PREFIX / "drive_c" / folder).mkdir()
                self.addCleanup(shutil.rmtree, PREFIX / "drive_c" / folder)
                shutil.copy(EXE, PREFIX / "drive_c" / folder)
                win = f"C:\\{folder}\\kovrel.exe"
                result = run("wine", win, "/register", env=wine_env())
                if refused:  # the registration that stood before stays
                    self.assertEqual((1, ""), (result.returncode, result.stdout))
                    self.assertIn(f'holds "%", which the shell would take for an argument or a variable: {win}\n',
                                  result.stderr)
                    self.assertEqual(f'"{self.WIN_EXE}" "%1"', registered_command())
                    continue
                self.assertEqual((0, f'Registered kovrel:// links for this user: "{win}" "%1"\n'),
                                 (result.returncode, result.stdout))
                self.assertEqual(f'"{win}" "%1"', registered_command())
                for switch in ("/version", "/unregister"):
                    self.assertEqual(0, run("wine", win, switch, env=wine_env()).returncode, switch)
                self.assertIsNone(listing(USER_KEY))

    def test_unregister_removes_only_a_command_that_opens_this_exe(self):
        long = f'"C:\\{"x" * 600}.exe" "%1"'
        rows = [  # the open command found, and whether it is this kovrel.exe's
            ('"C:\\KOVRELTEST\\kovrel launcher\\KOVREL.EXE" "%1"', True),
            ('"C:\\日本\\kovrel.exe" "%1"', False),
            (f'"{self.WIN_EXE}.old" "%1"', False),
            (f"{self.WIN_EXE} %1", False),  # unquoted: its program ends at the first blank
            (long, False),
        ]
        for command, ours in rows:
            with self.subTest(command[:60]):
                reg("delete", USER_KEY, "/f")
                self.switch("/register", f'Registered kovrel:// links for this user: "{self.WIN_EXE}" "%1"')
                reg("add", USER_KEY + "\\shell\\open\\command", "/ve", "/d", command, "/f")
                result = run("wine", self.exe, "/unregister", env=wine_env())
                if ours:
                    self.assertEqual((0, "Removed the kovrel:// registration of this user\n", ""),
                                     (result.returncode, result.stdout, result.stderr))
                    self.assertIsNone(listing(USER_KEY))
                    continue
                shown = {long: f"(a value of type 1, {2 * len(long) + 2} bytes)"}.get(command, command)
                self.assertEqual((1, "", "Left the kovrel:// registration of this user as it is: it opens a program "
                                  f"other than this kovrel.exe: {shown}\n"),
                                 (result.returncode, result.stdout, result.stderr))
                self.assertEqual(command, registered_command())
                self.assertEqual(scheme(USER_KEY, self.WIN_EXE)[:-1], listing(USER_KEY)[:-1])


class PerMachine(ClickCase):
    """One fresh prefix: the package installed without settings, replaced by a
    rebuild of the same version with settings, then by itself, then removed."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.prefix = BUILD / "msiprefix"
        cls.env = {"WINEPREFIX": str(cls.prefix), "WINEARCH": "win64", "WINEDLLOVERRIDES": "mscoree,mshtml="}
        shutil.rmtree(cls.prefix, ignore_errors=True)
        new_prefix = [str(REPO / "scripts/new-prefix.sh"), str(cls.prefix)]
        for command in (new_prefix, ["wineserver", "-p"], ["wine", "wineboot"]):
            subprocess.run(command, env=wine_env(cls.env), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=300)
        cls.register(32, zpath(ROOT / "jre"), env=cls.env)

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["wineserver", "-k"], env=wine_env(cls.env), timeout=60)
        shutil.rmtree(cls.prefix, ignore_errors=True)
        super().tearDownClass()

    def msiexec(self, *args):
        result = run("wine", "msiexec", *args, "/qn", env=wine_env(self.env))
        self.assertEqual(0, result.returncode, result.stdout + result.stderr)

    def assertInstalled(self, settings, installed=True):
        files = (self.prefix / "drive_c/Program Files (x86)").glob("Kovrel/*")
        self.assertEqual([(DIST / "kovrel.exe").read_bytes()] * installed, [p.read_bytes() for p in files])
        self.assertEqual(scheme(MACHINE_KEY, "C:\\Program Files (x86)\\Kovrel\\kovrel.exe") if installed else None,
                         listing(MACHINE_KEY, env=self.env))
        self.assertEqual(settings, set(listing(POLICIES, env=self.env) or []) or None)
        listed = listing("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", "/reg:32", env=self.env)
        self.assertEqual(int(installed), listed.count("DisplayName REG_SZ Kovrel launcher"))
        self.assertEqual(int(installed), listed.count("DisplayVersion REG_SZ " + VERSION))

    def test_install_open_replace_with_settings_and_remove(self):
        self.msiexec("/i", zpath(DIST / FILES[1]))
        self.assertInstalled(None)
        env = dict(self.env, KOVREL_STANDIN_RECORD=zpath(ROOT / "record.txt"), KOVREL_STANDIN_DONE=zpath(ROOT / "done.txt"))
        self.assertOpened(self.link + "".join(TAILS), ["start", "/wait"], env, zpath(ROOT / "jre"))

        self.assertEqual(0, run("bash", SCRIPT, DIST / "kovrel.exe", VERSION, self.prefix / "rebuilt").returncode)
        reg("add", POLICIES, "/v", "LockWaitSeconds", "/t", "REG_DWORD", "/d", "9", "/f", env=self.env)
        own = {POLICIES, "LockWaitSeconds REG_DWORD 0x9"}  # not the package's to remove
        pin = "sha256//n4bQgYhMfWWaL+qgxVrQFaO/TxsrC4Is0V1sFbDwCgg="
        self.msiexec("/i", zpath(self.prefix / "rebuilt" / FILES[1]), "ALLOWEDSERVERS=https://a:8443/;https://b/",
                     f"PINNEDPUBLICKEYS={pin}", "VERIFYDIGESTS=1")
        self.assertInstalled(own | {"AllowedServers REG_SZ https://a:8443/;https://b/",
                                    f"PinnedPublicKeys REG_SZ {pin}", "VerifyDigests REG_DWORD 0x1"})
        # An upgrade takes away the settings of the package it replaces.
        self.msiexec("/i", zpath(DIST / FILES[1]), "VERIFYDIGESTS=0")
        self.assertInstalled(own | {"VerifyDigests REG_DWORD 0x0"})
        self.msiexec("/x", zpath(DIST / FILES[1]))
        self.assertInstalled(own, installed=False)


class Package(unittest.TestCase):
    def assertSums(self, folder):
        result = run("sha256sum", "--strict", "-c", "SHA256SUMS", cwd=folder)
        self.assertEqual([f"{name}: OK" for name in FILES], result.stdout.splitlines(), result.stderr)

    def test_default_build_is_unsigned(self):
        self.assertEqual(sorted(FILES + ["SHA256SUMS"]), sorted(p.name for p in DIST.iterdir()))
        self.assertSums(DIST)
        self.assertEqual(EXE.read_bytes(), (DIST / "kovrel.exe").read_bytes())
        for name in FILES:
            self.assertNotEqual(0, run("osslsigncode", "verify", "-in", DIST / name).returncode, name)

    def test_given_certificate_signs_exe_and_package(self):
        with tempfile.TemporaryDirectory() as tmp:
            tmp = Path(tmp)
            (tmp / "pass").write_text("throw-away\n")
            self.assertEqual(0, run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-keyout", tmp / "key.pem",
                                    "-passout", f"file:{tmp / 'pass'}", "-out", tmp / "cert.pem", "-days", "2", "-subj",
                                    "/CN=Kovrel test", "-addext", "extendedKeyUsage=codeSigning").returncode)
            sign = {"KOVREL_SIGN_CERT": str(tmp / "cert.pem"), "KOVREL_SIGN_KEY": str(tmp / "key.pem")}
            result = run("bash", SCRIPT, EXE, VERSION, tmp / "out", env=dict(sign, KOVREL_SIGN_PASSFILE=str(tmp / "pass")))
            self.assertEqual(0, result.returncode, result.stderr)
            self.assertSums(tmp / "out")
            for name in FILES:
                result = run("osslsigncode", "verify", "-CAfile", tmp / "cert.pem", "-in", tmp / "out" / name)
                self.assertIn("Signature verification: ok", result.stdout, result.stdout + result.stderr)
            # The package holds the signed exe.
            run("msiextract", "-C", tmp / "x", tmp / "out" / FILES[1])
            self.assertEqual((tmp / "out/kovrel.exe").read_bytes(), (tmp / "x/Program Files/Kovrel/kovrel.exe").read_bytes())
