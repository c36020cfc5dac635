"""Signed manifests: ManifestPublicKeys set, keys made at test time by
kovrel-manifest keygen, manifests written and signed by the tool, and the
tool's verify agreeing with the launcher on every case."""
import re
import subprocess
import tempfile
from pathlib import Path

from tests.e2e.harness import BUILD, WORK, reg
from tests.e2e.test_update import FAILED, MANIFEST_PATH, POLICY_KEY, UpdateCase

TOOL = BUILD / "native" / "kovrel-manifest"
SIG_PATH = MANIFEST_PATH + ".sig"
V1 = {"Marvique.jar": b"PK\x03\x04 client v1\r\n\x00\xff", "kovrel-lib.jar": bytes(range(256)) * 64}
V2 = dict(V1, **{"kovrel-lib.jar": b"lib v2"})
KEPT = "Manifest refused: the run goes on with the installed files"
UNVERIFIED = "signedManifest - no signature of a listed key verifies: manifest refused"


def tool(*args, check=True):
    return subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True, timeout=60, check=check)


class Signed(UpdateCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.keys = Path(tempfile.mkdtemp(prefix="kovrel-keys-"))
        cls.entry = {name: tool("keygen", cls.keys / f"{name}.pem").stdout.strip() for name in ("first", "second")}

    @classmethod
    def tearDownClass(cls):
        for key in cls.keys.iterdir():
            key.unlink()
        cls.keys.rmdir()
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        self.trust("first")
        self.addCleanup(reg, "delete", POLICY_KEY, "/f", "/reg:64")

    def trust(self, *names):
        reg("add", POLICY_KEY, "/v", "ManifestPublicKeys", "/t", "REG_MULTI_SZ", "/d",
            "\\0".join(self.entry[name] for name in names), "/f", "/reg:64")

    def publish(self, files, signers=("first",), serial="1", days="30", kind="sha256", edit=None):
        """The files, their manifest as the tool writes it (edit changes its text
        before signing) and its signatures; returns the manifest."""
        for name in list(self.server.applets.iterdir()):
            name.unlink()
        for name, body in files.items():
            self.server.put(name, body)
        text = tool("write", self.server.applets, "--kind", kind, "--jre", "1.8.0", "--serial", serial,
                    "--expires-days", days).stdout
        text = edit(text) if edit else text
        self.server.put("fcompare.ini", text)
        for name in signers:
            tool("sign", self.server.applets, "--key", self.keys / f"{name}.pem", "--id", name)
        return text.encode()

    def verify(self, *names, last=None):
        args = ["verify", self.server.applets, "--public", *(self.entry[n] for n in names)]
        return tool(*args, *(["--last-serial", last] if last else []), check=False)

    def assertAgrees(self, accepted, *names, last=None):
        """The tool's verify decides as the launcher did."""
        done = self.verify(*names, last=last)
        self.assertEqual(0 if accepted else 1, done.returncode, done.stdout + done.stderr)

    def assertRefusedKeepingV1(self, reason, names=("first",), last=None):
        """The launcher refused the manifest for reason (a regex of a log line):
        nothing but the manifest and its signatures asked for, the installed
        files and manifest kept, and the installed client started."""
        rc, stdout = self.run_update()
        lines = self.log_lines()
        self.assertEqual(1, rc, stdout)
        self.assertLinesInOrder(lines, [reason, KEPT, "Changing to LIBRUN folder: .*"])
        self.assertEqual([("GET", MANIFEST_PATH), ("GET", SIG_PATH)], self.requested())
        self.assertWorkHolds({name: (None, body) for name, body in V1.items()})
        self.assertEqual(self.v1_text, (WORK / "fcompare.ini").read_bytes())
        self.assertClientStarted(self.link)
        self.assertAgrees(False, *names, last=last)
        self.forget_run()

    def install_v1(self, **options):
        """A run that installs V1; returns its log."""
        self.v1_text = self.publish(V1, **options)
        rc, stdout = self.run_update()
        self.assertEqual(1, rc, stdout)
        self.assertClientStarted(self.link)
        self.assertWorkHolds({name: (None, body) for name, body in V1.items()})
        lines = self.log_lines()
        self.forget_run()
        return lines

    def served(self, name, change):
        """Changes a published file after signing."""
        path = self.server.applets / name
        path.write_bytes(change(path.read_bytes()))

    def test_good_signature_runs_the_update_and_each_bad_one_keeps_the_installed_client(self):
        # A first run with a tampered manifest starts nothing.
        self.publish(V1)
        self.served("fcompare.ini", lambda text: text.replace(b"1.8.0", b"1.9.0"))
        rc, _ = self.run_update()
        self.assertEqual(0, rc)
        self.assertLinesInOrder(self.log_lines(), ["signedManifest - key id first: bad signature", UNVERIFIED, KEPT,
                                                   "No installed client .*: nothing started"])
        self.assertEqual([], self.records())
        self.assertEqual(["fcompare.new"], sorted(p.name for p in WORK.iterdir()))
        self.forget_run()

        self.assertIn("Controls:    allowed servers: 0, pinned public keys: 0, verified digests: off, "
                      "signed manifests: 1 keys", self.install_v1())
        self.assertEqual("1\n", (WORK / "fcompare.serial").read_text())
        self.assertAgrees(True, "first")

        rows = [
            ("tampered", lambda: (self.publish(V2, serial="2"),
                                  self.served("fcompare.ini", lambda b: b.replace(b"serial 2", b"serial 3"))),
             "signedManifest - key id first: bad signature"),
            ("no .sig", lambda: self.publish(V2, serial="2", signers=()),
             "signedManifest - signature file not downloaded: manifest refused"),
            ("unknown id", lambda: self.publish(V2, serial="2", signers=("second",)),
             "signedManifest - key id second: unknown id"),
            ("truncated", lambda: (self.publish(V2, serial="2"), self.served("fcompare.ini.sig", lambda b: b[:40])),
             "signedManifest - line 1: malformed, (the signature is not base64|not a DER ECDSA P-256 signature)"),
        ]
        for name, serve, reason in rows:
            with self.subTest(name):
                serve()
                self.assertRefusedKeepingV1(reason)

    def test_rotation_two_keys_listed_or_two_signatures_served(self):
        self.trust("first", "second")
        lines = self.install_v1(signers=("second",))
        self.assertIn("signedManifest - signed by key id second, serial 1, expires "
                      f"{re.search(r'expires (.+)', self.v1_text.decode()).group(1)}: manifest accepted", lines)
        self.assertAgrees(True, "first", "second")

        self.trust("first")
        self.publish(V2, serial="2", signers=("second", "first"))
        self.assertEqual(1, self.run_update()[0])
        self.assertLinesInOrder(self.log_lines(), ["signedManifest - key id second: unknown id",
                                                   "signedManifest - signed by key id first, serial 2, .*"])
        self.assertWorkHolds({name: (None, body) for name, body in V2.items()})
        self.assertAgrees(True, "first")

    def test_a_lower_serial_is_a_rollback_and_the_same_serial_is_fine(self):
        self.install_v1(serial="5")
        self.publish(V2, serial="4")
        self.assertRefusedKeepingV1("signedManifest - signed by key id first, but refused: "
                                    "rollback: serial 4 is below 5, accepted before", last="5")
        self.v1_text = self.publish(V1, serial="5")
        self.assertEqual(1, self.run_update()[0])
        self.assertIn("signedManifest - signed by key id first, serial 5, expires ", "\n".join(self.log_lines()))
        self.assertEqual([("GET", MANIFEST_PATH), ("GET", SIG_PATH)], self.requested())
        self.assertEqual("5\n", (WORK / "fcompare.serial").read_text())
        self.assertAgrees(True, "first", last="5")

    def test_past_or_missing_expiry_is_refused(self):
        self.install_v1()
        rows = [
            ("past", lambda t: re.sub(r"expires .*", "expires 2020-02-29T23:59:59Z", t),
             "expired at 2020-02-29T23:59:59Z"),
            ("missing", lambda t: re.sub(r"expires .*\n", "", t), "no expires line"),
        ]
        for name, edit, why in rows:
            with self.subTest(name):
                self.publish(V2, serial="2", edit=edit)
                self.assertRefusedKeepingV1(f"signedManifest - signed by key id first, but refused: {why}")

    def test_digests_a_changed_file_or_an_md5_entry_fails_the_pass(self):
        self.install_v1()
        self.publish(V2, serial="2")
        self.server.put("kovrel-lib.jar", b"lib v2, altered on the server")
        rc, _ = self.run_update()
        lines = self.log_lines()
        self.assertFailedRun(rc, lines)
        self.assertLinesInOrder(lines, [r"getHTTPFile - digest mismatch, file not replaced: manifest sha256:\w{64}, "
                                        r"file sha256:\w{64}"])
        self.assertWorkHolds({name: (None, body) for name, body in V1.items()})
        self.assertEqual(self.v1_text, (WORK / "fcompare.ini").read_bytes())
        self.assertAgrees(False, "first")
        self.forget_run()

        self.publish(V2, serial="2", kind="md5")
        rc, _ = self.run_update()
        lines = self.log_lines()
        self.assertFailedRun(rc, lines)
        self.assertLinesInOrder(lines, ["workFileVersion - not a sha256 entry, which signed manifests require, "
                                        r"refused: md5:\w{32} Marvique.jar"])
        self.assertEqual([("GET", MANIFEST_PATH), ("GET", SIG_PATH)], self.requested())
        self.assertWorkHolds({name: (None, body) for name, body in V1.items()})
        self.assertAgrees(False, "first")
