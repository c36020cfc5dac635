"""scripts/pin.sh in a build without the native side: OpenSSL's tool hashes the
key, and must give what kovrel-manifest gives."""
import subprocess
import tempfile
import unittest
from pathlib import Path

from tests.tools.test_kovrel_manifest import run

PIN = Path(__file__).resolve().parents[2] / "scripts" / "pin.sh"


class PinWithoutTool(unittest.TestCase):
    def test_same_pin_as_the_tool_and_failure_without_certificate(self):
        with tempfile.TemporaryDirectory() as tmp:
            build = Path(tmp) / "build"
            build.mkdir()
            (build / "CMakeCache.txt").write_text("KOVREL_NATIVE:BOOL=OFF\n")
            cert, key = Path(tmp) / "c.pem", Path(tmp) / "k.pem"
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                            "-out", cert, "-subj", "/CN=kovrel", "-days", "1"], check=True, capture_output=True)
            for given, expected in ((cert, run("pin", cert)[:2]), (key, (1, ""))):
                with self.subTest(given.name):
                    done = subprocess.run([PIN, given], capture_output=True, text=True, timeout=60,
                                          env={"PATH": "/usr/bin:/bin", "KOVREL_BUILD": str(build)})
                    self.assertEqual(expected, (done.returncode, done.stdout), done.stderr)
