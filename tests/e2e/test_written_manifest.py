"""A manifest made by kovrel-manifest write, served by the test server, taken by
the launcher under Wine: everything on the first run, nothing but the manifest
on the second."""
import subprocess

from tests.e2e.harness import BUILD, WORK, StandinJavaCase, link_to
from tests.support.server import LocalServer

TOOL = BUILD / "native" / "kovrel-manifest"
FILES = {"Marvique.jar": b"PK\x03\x04 client\r\n\x00\xff", "kovrel-lib.jar": bytes(range(256)) * 64,
         ".settings": b"", "Z-last.txt": b"z"}


class WrittenManifest(StandinJavaCase):
    def test_written_manifest_installs_everything_then_fetches_only_itself(self):
        self.remove_runtimes()
        home = self.install("jre")
        self.register(32, home)
        self.addCleanup(self.remove_runtimes)
        with LocalServer(http=False) as server:
            for name, body in FILES.items():
                server.put(name, body)
            manifest = subprocess.run([TOOL, "write", server.applets, "--kind", "sha1", "--jre", "1.8.0"],
                                      capture_output=True, check=True, timeout=60).stdout
            server.put("fcompare.ini", manifest)
            link = link_to(server.https_base)

            rc, _, stdout = self.launch(link, home)
            self.assertEqual(1, rc, stdout)
            self.assertEqual(sorted(f"/XNL/applets/{name}" for name in [*FILES, "fcompare.ini"]),
                             sorted(r.path for r in server.requests))
            for name, body in FILES.items():
                self.assertEqual(body, (WORK / name).read_bytes(), name)
            self.assertEqual(manifest, (WORK / "fcompare.ini").read_bytes())
            self.assertClientStarted(link)

            self.forget_records()
            server.clear_requests()
            rc, _, stdout = self.launch(link, home)
            self.assertEqual(1, rc, stdout)
            self.assertEqual(["/XNL/applets/fcompare.ini"], [r.path for r in server.requests])
            self.assertEqual(len(FILES), sum(line.startswith("File already exists and same version")
                                             for line in self.log_lines()))
            self.assertClientStarted(link)
