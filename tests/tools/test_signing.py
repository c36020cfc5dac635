"""kovrel-manifest keygen, write --serial/--expires-days, sign and verify, run
natively as a publisher would; verify decides every case as the launcher does
(tests/e2e/test_signed.py runs the same cases against the launcher)."""
import base64
import hashlib
import os
import re
import stat
import subprocess

from tests.tools.test_kovrel_manifest import CLIENT, TOOL, Folders, run

SPKI_PREFIX = bytes.fromhex("3059301306072a8648ce3d020106082a8648ce3d030107034200")


class Signing(Folders):
    def keys(self, *names):
        root = self.folder({})
        entries = {}
        for name in names:
            rc, out, err = run("keygen", root / f"{name}.pem")
            self.assertEqual((0, ""), (rc, err))
            entries[name] = out.strip()
        return root, entries

    def test_keygen_writes_an_owner_only_key_and_prints_its_public_entry(self):
        root, entries = self.keys("publisher-2026")
        key = root / "publisher-2026.pem"
        self.assertEqual(0o600, stat.S_IMODE(os.stat(key).st_mode))
        public = subprocess.run(["openssl", "pkey", "-in", key, "-pubout", "-outform", "der"], capture_output=True,
                                check=True).stdout
        self.assertTrue(public.startswith(SPKI_PREFIX))
        self.assertEqual(f"publisher-2026:{base64.b64encode(public).decode()}", entries["publisher-2026"])

        before = key.read_bytes()
        rc, out, err = run("keygen", key)
        self.assertEqual((1, ""), (rc, out))
        self.assertIn("File exists", err)
        self.assertEqual(before, key.read_bytes())
        self.assertEqual(2, run("keygen", root / "bad id.pem")[0])
        self.assertEqual(0, run("keygen", root / "bad id.pem", "--id", "good")[0])

        # An entry that cannot be printed fails keygen whole: no key is left
        # that nothing names, so that it can run again.
        with open("/dev/full", "w") as full:
            done = subprocess.run([TOOL, "keygen", root / "lost.pem"], stdout=full, stderr=subprocess.PIPE, text=True)
        self.assertEqual(1, done.returncode)
        self.assertIn("No space left on device", done.stderr)
        self.assertFalse((root / "lost.pem").exists())

    def publish(self, keys, signers=("first",), serial="1", days="30", kind="sha256"):
        root = self.folder({"Marvique.jar": CLIENT, "lib.jar": b"lib"})
        rc, text, err = run("write", root, "--kind", kind, "--serial", serial, "--expires-days", days)
        self.assertEqual((0, ""), (rc, err))
        (root / "fcompare.ini").write_text(text)
        for name in signers:
            self.assertEqual((0, "", ""), run("sign", root, "--key", keys / f"{name}.pem", "--id", name))
        return root

    def test_write_puts_the_freshness_lines_first(self):
        root = self.folder({"Marvique.jar": CLIENT, "fcompare.ini.sig": b"x"})
        rc, out, _ = run("write", root, "--kind", "sha256", "--jre", "1.8.0", "--serial", "9223372036854775808",
                         "--expires-days", "2")
        self.assertEqual(0, rc)
        lines = out.splitlines()
        self.assertEqual("serial 9223372036854775808", lines[0])
        self.assertRegex(lines[1], r"^expires \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        self.assertEqual(["JRE:1.8.0", f"sha256:{hashlib.sha256(CLIENT).hexdigest()} Marvique.jar"], lines[2:])
        self.assertEqual(2, run("write", root, "--serial", "9223372036854775809")[0])

    def test_sign_adds_or_replaces_its_own_line_and_openssl_agrees(self):
        keys, entries = self.keys("first", "second")
        root = self.publish(keys, signers=("first", "second", "first"))
        lines = (root / "fcompare.ini.sig").read_text().splitlines()
        self.assertEqual(["second", "first"], [line.split(" ")[0] for line in lines])
        der = base64.b64decode(lines[1].split(" ")[1])
        (root / "sig.der").write_bytes(der)
        subprocess.run(["openssl", "pkey", "-in", keys / "first.pem", "-pubout", "-out", root / "first.pub"],
                       check=True)
        done = subprocess.run(["openssl", "dgst", "-sha256", "-verify", root / "first.pub", "-signature",
                               root / "sig.der", root / "fcompare.ini"], capture_output=True, text=True)
        self.assertEqual("Verified OK", done.stdout.strip())

    def test_verify_decides_as_the_launcher(self):
        keys, entries = self.keys("first", "second")
        # A key made again under the same file name: one id listed twice, each key tried.
        entries["first, made again"] = "first:" + entries["second"].partition(":")[2]

        def changed(name, change):
            def edit(root):
                (root / name).write_bytes(change((root / name).read_bytes()))
            return edit
        rows = [  # (publish options, change after signing, trusted keys, --last-serial, refusal regex or None)
            ({}, None, ["first"], None, None),
            ({}, changed("fcompare.ini", lambda b: b.replace(b"serial 1", b"serial 2")), ["first"], None,
             r"key id first: bad signature"),
            ({"signers": ()}, None, ["first"], None, r"refused: no signature file"),
            ({"signers": ("second",)}, None, ["first"], None, r"key id second: unknown id"),
            ({}, changed("fcompare.ini.sig", lambda b: b[:40]), ["first"], None, r"malformed, .+"),
            ({"signers": ("second",)}, None, ["first", "second"], None, None),
            ({"signers": ("second", "first")}, None, ["first"], None, None),
            ({}, None, ["first, made again", "first"], None, None),
            ({"serial": "4"}, None, ["first"], "5", r"rollback: serial 4 is below 5, accepted before"),
            ({"serial": "5"}, None, ["first"], "5", None),
            ({}, changed("fcompare.ini", lambda b: re.sub(rb"expires \S+", b"expires 2020-01-01T00:00:00Z", b)),
             ["first"], None, r"bad signature"),
            ({}, changed("lib.jar", lambda b: b + b"!"), ["first"], None, r"lib.jar does not have this sha256 digest"),
            ({"kind": "md5"}, None, ["first"], None, r":3: refused: not a sha256 entry"),
        ]
        for options, change, trusted, last, refusal in rows:
            with self.subTest(options=options, trusted=trusted, last=last, refusal=refusal):
                root = self.publish(keys, **options)
                if change:
                    change(root)
                args = ["--last-serial", last] if last else []
                rc, out, err = run("verify", root, "--public", *(entries[n] for n in trusted), *args)
                self.assertEqual(("", 1 if refusal else 0), (err, rc), out)
                self.assertRegex(out, refusal or r"accepted, signed by key id \w+")

    def test_verify_reads_freshness_after_the_signature(self):
        keys, entries = self.keys("first")
        root = self.folder({"Marvique.jar": CLIENT})
        for text, refusal in ((f"sha256:{hashlib.sha256(CLIENT).hexdigest()} Marvique.jar\n", "no expires line"),
                              ("expires 2020-02-29T23:59:59Z\n", "expired at 2020-02-29T23:59:59Z")):
            with self.subTest(refusal):
                (root / "fcompare.ini").write_text(text)
                (root / "fcompare.ini.sig").unlink(missing_ok=True)
                run("sign", root, "--key", keys / "first.pem", "--id", "first")
                rc, out, _ = run("verify", root, "--public", entries["first"])
                self.assertEqual(1, rc)
                self.assertIn(f"refused: {refusal}", out)

    def test_check_of_a_signed_folder_reports_what_the_launcher_refuses(self):
        md5 = hashlib.md5(CLIENT).hexdigest()
        root = self.folder({"Marvique.jar": CLIENT, "fcompare.ini.sig": b"",
                            "fcompare.ini": f"serial x\nmd5:{md5} Marvique.jar\n".encode()})
        rc, out, _ = run("check", root)
        self.assertEqual(1, rc)
        self.assertEqual(["2: unsigned-kind", "1: freshness"],
                         [re.search(r":(\d+: [a-z-]+):", line)[1] for line in out.splitlines()])
        (root / "fcompare.ini.sig").unlink()
        self.assertEqual(0, run("check", root)[0])
