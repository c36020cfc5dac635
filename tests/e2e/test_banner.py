"""The argument test, the usage text and the start banner."""
import re
import socket

from tests.e2e.harness import LINK, STAMP, KovrelCase

BLOCK = (r"Created: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\r\nSize:    \d+ bytes\r\n\r\n"
         r"cURL:    version 7\.88\.1, SSL Schannel \(enabled\)")
USAGE = ("\r\nKovrelDocs v\\.1\\.0\r\n" + BLOCK + "\r\n\r\nSintax: kovrel <parameter>\r\n"
         r"Ex:     kovrel kovrel://https://\d+\.\d+\.\d+\.\d+:\d+/\w+/servlet/\w+"
         r"\?[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\?\w+\r\n"
         r"(        kovrel /(register  |unregister|version   )   \S.*\r\n){3}\r\n")


class Usage(KovrelCase):
    def test_usage_text_without_exactly_one_argument_or_with_help(self):
        for args in ([], [LINK, LINK], ["/?"]):
            with self.subTest(args=args):
                run = self.run_kovrel(*args)
                self.assertEqual(0, run.rc)
                self.assertRegex(run.stdout, "^" + USAGE + "$")
                self.assertIsNone(self.log_text(), "nothing is logged")

    def test_argument_without_http_is_a_protocol_error(self):
        for arg in ("/?x", "/h", "/registerx", "kovrel://HTTPS://host:1/a/servlet/b?t?u"):
            with self.subTest(arg=arg):
                self.setUp()
                run = self.run_kovrel(arg)
                self.assertEqual(0, run.rc)
                self.assertEqual([f"Error getting protocol url!: {arg}"], self.log_lines())

    def test_over_long_link_is_refused_before_anything_else(self):
        link = "kovrel://https://host:1/" + "a" * (4096 - 24)
        run = self.run_kovrel(link)
        self.assertEqual(0, run.rc)
        self.assertEqual(["Error: link too long (4096 characters, at most 4095)"], self.log_lines())
        run = self.run_kovrel(link[:-1])
        self.assertIn("Parameters:  " + link[:-1], self.log_lines())


class Banner(KovrelCase):
    def test_banner_in_order(self):
        run = self.run_kovrel(LINK)
        lines = self.log_lines()
        self.assertEqual(" ", lines[0])
        self.assertEqual("#" * 74, lines[1])
        self.assertRegex("\r\n".join(lines[2:6]), "^" + BLOCK + "$")
        self.assertRegex(lines[6], "^Start - Time:  " + STAMP + "$")
        self.assertEqual(["Computer:    " + socket.gethostname().upper()[:15],
                          "Windows:     6.1 (7601)",
                          "Parameters:  " + LINK,
                          "Base URL:    https://host:8443/"], lines[7:11])
        self.assertLinesInOrder(lines[11:], [
            "SearchProcesses Start - Time:  " + STAMP,
            "SearchProcesses End - Time:  " + STAMP,
            "createTMPDir Start - Time:  " + STAMP,
            re.escape(r"tmpLibRun:   C:\users") + r".*\\Temp\\KovrelDocs\\librun",
            "createTMPDir End - Time:  " + STAMP,
        ])
        # The console was released, yet redirected output still shows the lines.
        self.assertTrue(run.stdout.startswith(" \r\n" + "#" * 74 + "\r\n"))
