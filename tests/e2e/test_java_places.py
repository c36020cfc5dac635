"""The places where today's Java installers register a runtime, the manifest's
minimum version, and the administrator's Java values, with stand-in runtimes.

Each run's launcher finds no javaw.exe on its search path, so that the runtime
it takes is the one that starts: its bin folder is put first on the PATH of
cmd.exe, and the log line that says so names it.
"""
from tests.e2e.harness import ROOT, TEMP, WIN_ROOT, reg, wait_for
from tests.e2e.test_java import NO_EXECUTABLE, NO_RUNTIME, OPEN_ERROR, PAGE, JavaCase

POLICY_KEY = "HKLM\\SOFTWARE\\Policies\\Kovrel"
VENDOR_KEYS = ("Eclipse Adoptium", "AdoptOpenJDK", "Microsoft\\JDK", "Azul Systems")
NOWHERE = f"{WIN_ROOT}\\none"  # the search path of every run: no Java there


def register_at(bits, key, version, home, value="JavaHome", suffix="", current=None):
    """A home below HKLM\\SOFTWARE\\<key>\\<version><suffix>, with CurrentVersion when given."""
    view = f"/reg:{bits}"
    if current:
        reg("add", f"HKLM\\SOFTWARE\\{key}", "/v", "CurrentVersion", "/d", current, "/f", view)
    reg("add", f"HKLM\\SOFTWARE\\{key}\\{version}{suffix}", "/v", value, "/d", home, "/f", view)


def put_first(home):
    return f"javaw.exe is found neither in the work folder nor on the search path: {home}\\bin put first on the PATH of cmd.exe"


class Places(JavaCase):
    def clean(self):
        super().clean()
        for view in ("/reg:32", "/reg:64"):
            for key in VENDOR_KEYS:
                reg("delete", f"HKLM\\SOFTWARE\\{key}", "/f", view)
        reg("delete", POLICY_KEY, "/f")
        self.server.put("fcompare.ini", b"JRE:1.8.0\nid:1 Marvique.jar\n")
        self.server.behaviours.clear()

    def runtime(self, name, version=None):
        """A stand-in home whose release file states version (none: no file)."""
        home = self.install(name)
        if version:
            (self.root_of(name) / "release").write_text(f'IMPLEMENTOR="Test"\nJAVA_VERSION="{version}"\n')
        return home

    @staticmethod
    def root_of(name):
        return ROOT / name

    def java_lines(self):
        lines = self.log_lines()
        return lines[lines.index(f"Changing to LIBRUN folder: {self.work_folder(lines)}") + 1:]

    def assertStartedWith(self, home, taken):
        rc, _, _ = self.launch(self.link, NOWHERE)
        lines = self.java_lines()
        self.assertEqual(1, rc, lines)
        self.assertIn(taken, lines)
        self.assertEqual(["ProgName: javaw.exe -jar Marvique.jar", put_first(home)], lines[-2:])
        self.assertClientStarted(self.link)
        return lines

    def test_each_place_alone_starts_the_client_with_its_runtime(self):
        rows = [
            ("JavaSoft JDK", "17", lambda h: register_at(32, "JavaSoft\\JDK", "17", h, current="17"),
             "JavaSoft\\JDK\\17 (32-bit)", "17"),
            ("JavaSoft JRE 9, version from the registry", None,
             lambda h: register_at(32, "JavaSoft\\JRE", "9.0.4", h, current="9.0.4"),
             "JavaSoft\\JRE\\9.0.4 (32-bit)", "9.0.4"),
            ("JavaSoft JDK without CurrentVersion: the newest", "17.0.9",
             lambda h: (register_at(32, "JavaSoft\\JDK", "11", f"{WIN_ROOT}\\old"),
                        register_at(32, "JavaSoft\\JDK", "17", h)),
             "JavaSoft\\JDK\\17 (32-bit)", "17.0.9"),
            ("Eclipse Adoptium", "17.0.9",
             lambda h: register_at(32, "Eclipse Adoptium\\JDK", "17.0.9.9", h, "Path", "\\hotspot\\MSI"),
             "Eclipse Adoptium\\JDK\\17.0.9.9 (32-bit)", "17.0.9"),
            ("AdoptOpenJDK", "11.0.11",
             lambda h: register_at(32, "AdoptOpenJDK\\JRE", "11.0.11.9", h, "Path", "\\hotspot\\MSI"),
             "AdoptOpenJDK\\JRE\\11.0.11.9 (32-bit)", "11.0.11"),
            ("Microsoft", "21.0.1",
             lambda h: register_at(32, "Microsoft\\JDK", "21.0.1.12", h, "Path", "\\hotspot\\MSI"),
             "Microsoft\\JDK\\21.0.1.12 (32-bit)", "21.0.1"),
            ("Azul Zulu", None,
             lambda h: register_at(32, "Azul Systems\\Zulu", "zulu-17", h, "InstallationPath"),
             "Azul Systems\\Zulu\\zulu-17 (32-bit)", "17"),
            ("the 64-bit view alone", "17.0.9",
             lambda h: register_at(64, "JavaSoft\\JDK", "17", h, current="17"),
             "JavaSoft\\JDK\\17 (64-bit)", "17.0.9"),
        ]
        for what, release, arrange, where, version in rows:
            with self.subTest(what):
                self.setUp()
                home = self.runtime("jdk", release)
                arrange(home)
                lines = self.assertStartedWith(home, f"Java runtime taken: {where}: {home}, version {version}")
                # The design's lookup comes first, with its lines as ever.
                self.assertEqual([OPEN_ERROR, OPEN_ERROR, NO_RUNTIME,
                                  f"Java runtime: {where}: {home}, version {version}: usable"], lines[:4])

    def test_java_home_alone(self):
        home = self.runtime("jdk", "21")
        rc, _, _ = self.launch(self.link, NOWHERE, {"JAVA_HOME": home})
        self.assertEqual(1, rc)
        lines = self.java_lines()
        self.assertEqual([OPEN_ERROR, OPEN_ERROR, NO_RUNTIME, f"Java runtime: JAVA_HOME: {home}, version 21: usable",
                          f"Java runtime taken: JAVA_HOME: {home}, version 21",
                          "ProgName: javaw.exe -jar Marvique.jar", put_first(home)], lines)
        self.assertClientStarted(self.link)

    def test_minimum_version_takes_the_first_runtime_that_meets_it(self):
        self.server.put("fcompare.ini", b"JRE:11\nid:1 Marvique.jar\n")
        legacy = self.runtime("jre8")
        self.register(32, legacy)
        jdk = self.runtime("jdk17", "17.0.9")
        register_at(32, "JavaSoft\\JDK", "17", jdk, current="17")
        lines = self.assertStartedWith(jdk, f"Java runtime taken: JavaSoft\\JDK\\17 (32-bit): {jdk}, version 17.0.9")
        self.assertIn(f"Java runtime: JavaSoft\\Java Runtime Environment (32-bit): {legacy}, version 1.8: "
                      "below the minimum 11, skipped", lines)

    def test_no_runtime_meets_the_minimum(self):
        self.server.put("fcompare.ini", b"JRE:11\nid:1 Marvique.jar\n")
        legacy = self.runtime("jre8", "1.8.0_392")
        self.register(32, legacy)
        rc, _, _ = self.launch(self.link, NOWHERE)
        self.assertEqual(0, rc)
        self.assertEqual([f"Java runtime: JavaSoft\\Java Runtime Environment (32-bit): {legacy}, version 1.8.0_392: "
                          "below the minimum 11, skipped",
                          f"No Java runtime of version 11 or newer: 1 found too old, opening {PAGE}"],
                         self.java_lines()[-2:])
        self.assertDownloadPageOnly()

    def test_installed_manifest_minimum_applies_when_the_manifest_is_not_downloaded(self):
        self.server.put("fcompare.ini", b"JRE:11\nid:1 Marvique.jar\n")
        legacy = self.runtime("jre8")
        self.register(32, legacy)
        self.assertEqual(0, self.launch(self.link, NOWHERE)[0])  # installs the manifest and the client
        self.assertTrue(wait_for(lambda: self.opened.exists()))
        self.opened.unlink()
        # The work folder stays: a new log, the same installed files.
        (TEMP / "Kovrel.log").unlink()
        self.server.behave("fcompare.ini", "503")
        rc, _, _ = self.launch(self.link, NOWHERE)
        self.assertEqual(0, rc)
        lines = self.log_lines()
        self.assertIn("Manifest not downloaded: the run goes on with the installed files", lines)
        self.assertEqual(f"No Java runtime of version 11 or newer: 1 found too old, opening {PAGE}", lines[-1])
        self.assertDownloadPageOnly()

    def test_administrators_java_home_comes_first_and_is_skipped_without_javaw(self):
        shipped = self.runtime("shipped", "11.0.2")
        legacy = self.runtime("jre8")
        self.register(32, legacy)
        reg("add", POLICY_KEY, "/v", "JavaHome", "/d", shipped, "/f")
        lines = self.assertStartedWith(
            shipped, f"Java runtime taken: administrator's JavaHome: {shipped}, version 11.0.2")
        self.assertEqual(f"Java runtime: administrator's JavaHome: {shipped}, version 11.0.2: usable", lines[0])
        self.assertNotIn(OPEN_ERROR, lines)  # nothing else looked at

        self.next_run()
        missing = f"{WIN_ROOT}\\gone"
        reg("add", POLICY_KEY, "/v", "JavaHome", "/d", missing, "/f")
        lines = self.assertStartedWith(legacy, f"Java runtime taken: JavaSoft\\Java Runtime Environment (32-bit): "
                                               f"{legacy}, version 1.8")
        self.assertEqual(f"Java runtime: administrator's JavaHome: {missing}, version unknown: no bin\\javaw.exe, "
                         "skipped", lines[0])

    def test_registered_home_without_javaw_is_skipped_for_the_next_place(self):
        missing = f"{WIN_ROOT}\\gone"
        register_at(32, "JavaSoft\\JDK", "17", missing, current="17")
        home = self.runtime("temurin", "17.0.9")
        register_at(32, "Eclipse Adoptium\\JDK", "17.0.9.9", home, "Path", "\\hotspot\\MSI")
        lines = self.assertStartedWith(home, f"Java runtime taken: Eclipse Adoptium\\JDK\\17.0.9.9 (32-bit): {home}, "
                                             "version 17.0.9")
        self.assertIn(f"Java runtime: JavaSoft\\JDK\\17 (32-bit): {missing}, version 17: no bin\\javaw.exe, skipped",
                      lines)

    def test_preferred_bits_choose_between_qualifying_runtimes(self):
        home32, home64 = self.runtime("jdk32", "17.0.9"), self.runtime("jdk64", "17.0.9")
        register_at(32, "JavaSoft\\JDK", "17", home32, current="17")
        register_at(64, "JavaSoft\\JDK", "17", home64, current="17")
        self.assertStartedWith(home32, f"Java runtime taken: JavaSoft\\JDK\\17 (32-bit): {home32}, version 17.0.9")
        self.next_run()
        reg("add", POLICY_KEY, "/v", "PreferredJavaBits", "/t", "REG_DWORD", "/d", "64", "/f")
        self.assertStartedWith(home64, f"Java runtime taken: JavaSoft\\JDK\\17 (64-bit): {home64}, version 17.0.9")

    def test_download_url_reaches_the_browser_intact(self):
        # Wine's shell expands %NAME% and its browser escapes '^': '&' is what
        # cmd.exe alone would have taken.
        url = "https://intranet.example/java?os=win&arch=x86&&lang=es"
        reg("add", POLICY_KEY, "/v", "JavaDownloadURL", "/d", url, "/f")
        rc, _, _ = self.launch(self.link, NOWHERE)
        self.assertEqual(0, rc)
        self.assertEqual([OPEN_ERROR, OPEN_ERROR, NO_RUNTIME], self.java_lines())
        self.assertTrue(wait_for(lambda: self.opened.exists()), "the browser was not asked")
        self.assertEqual(url + "\n", self.opened.read_text())
