"""The manifest download of a run: its stages in the log and "fcompare.new"."""
import re

from tests.e2e.harness import STAMP, WORK, KovrelCase, link_to
from tests.support.server import LocalServer

# Lines that an update pass passes over, and bytes that must arrive unchanged.
MANIFEST = b"JRE:1.8.0\r\n# e2e manifest \xe9\xff\t end\n"
NEW = WORK / "fcompare.new"
STALE = b"id:1 Marvique.jar\r\n"


class ManifestDownload(KovrelCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.server = LocalServer().start()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        super().setUp()
        self.server.clear_requests()
        self.server.behaviours.clear()
        (self.server.applets / "fcompare.ini").unlink(missing_ok=True)

    def new_manifest(self):
        """What the run left as the new manifest. Once the update pass follows
        the download, a pass with no failed line promotes it to fcompare.ini."""
        if NEW.exists():
            return NEW.read_bytes()
        promoted = WORK / "fcompare.ini"
        self.assertTrue(promoted.exists(), "neither fcompare.new nor fcompare.ini in the work folder")
        return promoted.read_bytes()

    def test_manifest_stored_over_http_and_https(self):
        for base in (self.server.http_base, self.server.https_base):
            with self.subTest(base=base):
                self.setUp()
                self.server.put("fcompare.ini", MANIFEST)
                url = base + "XNL/applets/fcompare.ini"
                run = self.run_kovrel(link_to(base))
                self.assertEqual(0, run.rc)
                lines = self.log_lines()
                size = len(MANIFEST)
                self.assertLinesInOrder(lines, [
                    "createTMPDir Start - Time:  " + STAMP,
                    re.escape(r"tmpLibRun:   C:\users") + r".*\\Temp\\KovrelDocs\\librun",
                    "createTMPDir End - Time:  " + STAMP,
                    re.escape("Downloading: " + url),
                    "getHTTPFile Start - Time:  " + STAMP,
                    "getHTTPFile - Start - Time:  " + STAMP,
                    re.escape(f"getHTTPFile - URL: {url}, filename: C:\\users") +
                    r".*\\Temp\\KovrelDocs\\librun\\fcompare\.new",
                    "",
                    f"NowDownloaded: {size} of TotalToDownload: {size} - Time:  " + STAMP,
                    " ",
                    "getHTTPFile - End - Time:  " + STAMP,
                ])
                self.assertEqual(MANIFEST, self.new_manifest())
                self.assertEqual([], [p.name for p in WORK.iterdir() if p.suffix == ".part"])

                [request] = self.server.requests
                self.assertEqual(("GET", "/XNL/applets/fcompare.ini"), (request.method, request.path))
                self.assertEqual("deflate", request.header("Accept-Encoding"))
                names = {name.lower() for name, _ in request.headers}
                self.assertEqual(set(), names & {"authorization", "cookie", "proxy-authorization"})

    def test_failed_download_on_a_first_run_starts_nothing(self):
        # Server stopped (nothing listens on the port) or answering 404: the
        # work folder stays as it was, and with no client in it nothing starts.
        stopped = LocalServer(https=False).start()
        dead = stopped.http_base
        stopped.stop()
        cases = [(dead, "getHTTPFile - curl_easy_perform\\(\\) failed: Couldn't connect to server"),
                 (self.server.https_base, "getHTTPFile - HTTP status 404: not a success, nothing stored")]
        for base, failure in cases:
            for earlier in (STALE, None):
                with self.subTest(base=base, earlier=earlier):
                    self.setUp()
                    WORK.mkdir(parents=True)
                    if earlier:
                        NEW.write_bytes(earlier)
                    run = self.run_kovrel(link_to(base))
                    self.assertEqual(0, run.rc)
                    lines = self.log_lines()
                    self.assertLinesInOrder(lines, [
                        re.escape("Downloading: " + base + "XNL/applets/fcompare.ini"),
                        "getHTTPFile - End - Time:  " + STAMP,
                        failure,
                        "Manifest not downloaded: the run goes on with the installed files",
                        r"No installed client \(C:\\.*\\librun\\Marvique\.jar\): nothing started",
                    ])
                    self.assertFalse(any(line.startswith(("Processing file", "Changing to")) for line in lines))
                    self.assertEqual(earlier, NEW.read_bytes() if NEW.exists() else None)
                    self.assertEqual(["fcompare.new"] if earlier else [], [p.name for p in WORK.iterdir()])
