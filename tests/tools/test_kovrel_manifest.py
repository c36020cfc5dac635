"""kovrel-manifest, the operator's tool, run as a server operator would."""
import base64
import hashlib
import os
import re
import subprocess
import tempfile
import unittest
from pathlib import Path

TOOL = os.environ.get("KOVREL_MANIFEST",
                      str(Path(__file__).resolve().parents[2] / "build" / "native" / "kovrel-manifest"))
CLIENT = b"PK\x03\x04 client"


def run(*args):
    done = subprocess.run([TOOL, *map(str, args)], capture_output=True, timeout=60)
    return done.returncode, done.stdout.decode("latin-1"), done.stderr.decode("latin-1")


class Folders(unittest.TestCase):
    def folder(self, files):
        """A fresh applets folder holding files (name: bytes, or None for a sub-folder)."""
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        root = Path(tmp.name)
        for name, body in files.items():
            path = root / os.fsdecode(name)
            path.mkdir() if body is None else path.write_bytes(body)
        return root


class Tool(Folders):
    def test_write_prints_a_canonical_manifest_that_check_accepts(self):
        files = {"Marvique.jar": CLIENT, "b.jar": b"b", "A.jar": b"", ".hidden": b"h", "fcompare.ini": b"old"}
        root = self.folder(files)
        for args, kind, first in ((["--jre", "1.8.0"], "md5", ["JRE:1.8.0"]), (["--kind", "sha1"], "sha1", [])):
            rc, out, err = run("write", root, *args)
            self.assertEqual((0, ""), (rc, err))
            names = sorted(n for n in files if n != "fcompare.ini")
            self.assertEqual("".join(f"{line}\n" for line in first + [
                f"{kind}:{hashlib.new(kind, files[n]).hexdigest()} {n}" for n in names]), out)
            (root / "fcompare.ini").write_text(out)
            self.assertEqual((0, ""), run("check", root)[:2])

    def test_write_refuses_every_name_the_launcher_would_refuse_or_mishandle(self):
        rows = {
            b"my lib.jar": "a blank", b"CON": "a device name", b"com1.jar": "a device name",
            b"lpt\xb9.txt": "a device name", b"Conout$.log": "a device name", b"fcompare.new": "own file names",
            b"Fcompare.INI": "own file names", b"lib.jar.part": "own file names", b"n" * 104: "too long",
            b"ext": "a sub-folder", b"caf\xc3\xa9.jar": "outside ASCII", b"tab\there": "a control character",
            b"a#b.jar": "changes the URL", b"50%.jar": "changes the URL", b"what?.jar": "changes the URL",
            b"a:b.jar": "leaves the work folder", b"...": "leaves the work folder", b"a|b": "Windows names",
            b"end.": "a trailing dot",
        }
        files = {"Marvique.jar": CLIENT, "fine.jar": b"x"}
        files.update({name: None if name == b"ext" else b"x" for name in rows})
        root = self.folder(files)
        rc, out, err = run("write", root, "--jre", "1.8.0")
        self.assertEqual((1, ""), (rc, out))
        for name, rule in rows.items():
            shown = "".join(chr(c) if 0x20 <= c < 0x7f else f"\\x{c:02x}" for c in name)
            with self.subTest(name=shown):
                self.assertRegex(err, rf"(?m)^kovrel-manifest: {re.escape(f'{root}/{shown}')}: [^\n]*{re.escape(rule)}")
        self.assertNotIn("fine.jar", err)
        self.assertEqual(len(rows), len(err.splitlines()))

    def test_write_follows_a_symbolic_link_only_inside_the_folder(self):
        outside = Path(os.path.realpath(self.folder({"outside.jar": b"o"})))
        root = self.folder({"Marvique-2.jar": CLIENT, "fine.jar": b"x"})
        rows = {  # name: (where the link leads, the rule when it is refused)
            "Marvique.jar": ("Marvique-2.jar", None),
            "abs.jar": (root / "fine.jar", None),
            "round.jar": (f"../{root.name}/fine.jar", None),
            "passwd.txt": ("/etc/passwd", "a symbolic link out of the folder (to /etc/passwd)"),
            "up.jar": (outside / "outside.jar", f"a symbolic link out of the folder (to {outside}/outside.jar)"),
            "self": (".", "a sub-folder (the launcher creates none)"),
            "gone.jar": ("nothing.jar", "No such file or directory"),
        }
        for name, (target, _) in rows.items():
            (root / name).symlink_to(target)
        rc, out, err = run("write", root)
        self.assertEqual((1, ""), (rc, out))
        refused = {name: rule for name, (_, rule) in rows.items() if rule}
        self.assertEqual(sorted(f"kovrel-manifest: {root}/{name}: {rule}" for name, rule in refused.items()),
                         sorted(err.splitlines()))

        for name in refused:
            (root / name).unlink()
        rc, out, err = run("write", root)
        self.assertEqual((0, ""), (rc, err))
        self.assertEqual([f"md5:{hashlib.md5(body).hexdigest()} {name}" for name, body in (
            ("Marvique-2.jar", CLIENT), ("Marvique.jar", CLIENT), ("abs.jar", b"x"), ("fine.jar", b"x"),
            ("round.jar", b"x"))], out.splitlines())

    def test_write_refuses_a_folder_without_the_client_and_a_bad_version(self):
        for files, args, message in (({"a.jar": b"a"}, [], "no Marvique.jar"),
                                     ({"Marvique.jar": CLIENT}, ["--jre", "1.8 0"], "--jre 1.8 0: a blank")):
            rc, out, err = run("write", self.folder(files), *args)
            self.assertEqual((1, ""), (rc, out))
            self.assertIn(message, err)

    def test_check_reports_each_problem_once_on_its_line(self):
        md5 = hashlib.md5(CLIENT).hexdigest()
        good = f"md5:{md5} Marvique.jar\n".encode()
        rows = [  # (manifest, extra files, expected problems as (line, code))
            (good, {}, []),
            (b"JRE:1.8\r\n" + good.replace(b"\n", b"\r\n"), {}, []),
            (b"MD5:abc lib.jar\n" + good, {}, [(1, "passed-over")]),
            (b"md5:\nid:7\n" + good + b"JRE:", {}, [(1, "passed-over"), (2, "passed-over"), (4, "passed-over")]),
            (good + b"md5:abc ../evil.bat\nid:1 aux.jar\n", {}, [(2, "refused-path"), (3, "refused-path")]),
            (good + b"id:1 ext/a.jar\n", {"ext": None}, [(2, "sub-folder")]),
            (good + b"id:1 gone.jar\n", {}, [(2, "missing-file")]),
            (good + b"id:1 lib.jar\nid:2 LIB.jar\n", {"lib.jar": b"l", "LIB.jar": b"L"}, [(3, "duplicate-path")]),
            (good.replace(md5.encode(), md5[::-1].upper().encode()), {}, [(1, "wrong-digest")]),
            (f"sha1:{hashlib.sha1(b'x').hexdigest()} Marvique.jar\n".encode(), {}, [(1, "wrong-digest")]),
            (b"\xef\xbb\xbf" + good, {}, [(1, "bom")]),
            (good + b"id:1 a\x00.jar\n", {}, [(2, "nul-byte"), (2, "missing-file")]),
            (good + b"\x1aid:1 gone.jar\n", {}, [(2, "end-of-file-byte")]),
            (good + b"id:1  lib.jar x\n", {"lib.jar": b"l"}, [(2, "not-canonical")]),
            (good + b"id:1 " + b"p" * 1100 + b"\n", {}, [(2, "refused-path"), (2, "long-line"), (2, "passed-over")]),
            (b"id:1 lib.jar\n", {"lib.jar": b"l"}, [(0, "no-client")]),
        ]
        for text, extra, expected in rows:
            with self.subTest(manifest=text[:60]):
                root = self.folder({"Marvique.jar": CLIENT, "fcompare.ini": text, **extra})
                rc, out, _ = run("check", root)
                found = [re.fullmatch(rf"{re.escape(str(root))}/fcompare\.ini:(\d+): ([a-z-]+): .+", line)
                         for line in out.splitlines()]
                self.assertTrue(all(found), out)
                self.assertEqual(sorted(expected), sorted((int(m[1]), m[2]) for m in found), out)
                self.assertEqual(1 if expected else 0, rc)

    def test_check_takes_what_the_launcher_takes_and_no_more(self):
        good = f"md5:{hashlib.md5(CLIENT).hexdigest()} Marvique.jar\n".encode()
        for size, problem in ((16 << 20, None), ((16 << 20) + 1, ":0: unreadable: larger than 16777216 bytes")):
            with self.subTest(size=size):
                manifest = good + b"\n" * (size - len(good))
                rc, out, _ = run("check", self.folder({"Marvique.jar": CLIENT, "fcompare.ini": manifest}))
                self.assertEqual(1 if problem else 0, rc, out)
                self.assertEqual(problem is not None, problem is not None and problem in out, out)

    def test_check_of_a_folder_without_a_manifest(self):
        rc, out, _ = run("check", self.folder({"Marvique.jar": CLIENT}))
        self.assertEqual(1, rc)
        self.assertRegex(out, r"fcompare\.ini:0: unreadable: No such file")

    def test_pin_matches_openssl(self):
        root = self.folder({})
        cert = root / "c.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                        "-nodes", "-keyout", root / "k.pem", "-out", cert, "-subj", "/CN=kovrel", "-days", "1"],
                       check=True, capture_output=True)
        pubkey = subprocess.run(["openssl", "x509", "-in", cert, "-pubkey", "-noout"], capture_output=True,
                                check=True).stdout
        der = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "der"], input=pubkey,
                             capture_output=True, check=True).stdout
        self.assertEqual((0, f"sha256//{base64.b64encode(hashlib.sha256(der).digest()).decode()}\n"),
                         run("pin", cert)[:2])
        self.assertEqual(1, run("pin", root / "k.pem")[0])

    def test_usage(self):
        rc, out, _ = run("--help")
        self.assertEqual(0, rc)
        self.assertIn("kovrel-manifest write DIR", out)
        for args in ([], ["frob"], ["write"], ["write", "d", "--kind", "sha512"], ["write", "d", "--expires-days", "0"], ["check"], ["pin"]):
            self.assertEqual(2, run(*args)[0], args)


if __name__ == "__main__":
    unittest.main()
