"""The test server: what the download tests do not exercise already."""
import http.client
import signal
import ssl
import subprocess
import sys
import tempfile
import unittest
import urllib.parse
import zlib
from pathlib import Path

from tests.support.server import LocalServer

SERVER = Path(__file__).with_name("server.py")
BODY = bytes(range(256)) * 400


def fetch(url, headers=None):
    """(status, headers, body) of one GET; the body read raw (no decoding)."""
    parts = urllib.parse.urlsplit(url)
    if parts.scheme == "https":
        conn = http.client.HTTPSConnection(parts.netloc, timeout=20,
                                           context=ssl._create_unverified_context())
    else:
        conn = http.client.HTTPConnection(parts.netloc, timeout=20)
    try:
        conn.request("GET", parts.path, headers=headers or {})
        response = conn.getresponse()
        return response.status, dict(response.getheaders()), response.read()
    finally:
        conn.close()


class Behaviours(unittest.TestCase):
    """What the download tests cannot see: they always offer deflate, and never
    ask for a path outside the served folder."""

    def test_deflate_only_when_offered_and_nothing_outside_the_root(self):
        with LocalServer(https=False) as server:
            server.put("a.bin", BODY)
            server.behave("a.bin", "deflate")
            url = server.http_base + "XNL/applets/"
            _, headers, body = fetch(url + "a.bin", {"Accept-Encoding": "deflate"})
            self.assertEqual(("deflate", BODY), (headers.get("Content-Encoding"), zlib.decompress(body)))
            _, headers, body = fetch(url + "a.bin")
            self.assertEqual((None, BODY), (headers.get("Content-Encoding"), body))
            (server.root.parent / "secret").write_bytes(b"x")
            self.assertEqual(404, fetch(url + "../../../secret")[0])
            self.assertEqual(404, fetch(url + "%2e%2e/%2e%2e/%2e%2e/secret")[0])


class CommandLine(unittest.TestCase):
    def test_standalone_serves_until_killed(self):
        with tempfile.TemporaryDirectory() as root:
            applets = Path(root, "XNL", "applets")
            applets.mkdir(parents=True)
            (applets / "fcompare.ini").write_bytes(b"JRE:1.8.0\r\n")
            server = subprocess.Popen([sys.executable, str(SERVER), "--root", root, "--https"],
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            try:
                line = server.stdout.readline()
                base = line.split(" at ")[1].strip()
                self.assertTrue(base.startswith("https://127.0.0.1:"), line)
                self.assertEqual(b"JRE:1.8.0\r\n", fetch(base + "fcompare.ini")[2])
            finally:
                server.send_signal(signal.SIGTERM)
                self.assertEqual(0, server.wait(timeout=20))
                server.stdout.close()


if __name__ == "__main__":
    unittest.main()
