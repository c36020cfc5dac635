"""Corporate networks: the proxy of the administrator key, of the user's Windows
settings and of a PAC, the proxy login with the Windows account, and the
Windows certificate store."""
import os
import re
import socket
import struct
import subprocess
import tempfile
import threading
import time
from pathlib import Path

from tests.e2e.harness import BUILD, reg, wait_for, wine_env
from tests.e2e.test_trust import PIN_TOOL, WRONG_PIN, set_policy
from tests.e2e.test_update import KEPT, MANIFEST_PATH, POLICY_KEY, V1, UpdateCase
from tests.support.server import LocalServer

ADD_ROOT = Path(os.environ.get("KOVREL_ADD_ROOT", BUILD / "tests" / "add_root.exe"))
CONNECTIONS = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections"
# Flags of the user's settings: direct, named proxy, auto-config URL.
DIRECT, NAMED, PAC = 1, 2, 4


def closed_port():
    """A loopback port on which nothing listens."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def user_settings(flags, proxy="", bypass="", pac=""):
    """The user's Windows proxy settings, as Internet Options writes them."""
    def text(value):
        data = value.encode()
        return struct.pack("<I", len(data)) + data
    blob = struct.pack("<III", 0x46, 1, flags) + text(proxy) + text(bypass) + text(pac) + bytes(32)
    reg("add", CONNECTIONS, "/v", "DefaultConnectionSettings", "/t", "REG_BINARY", "/d", blob.hex(), "/f")


class Tinyproxy:
    """Debian's tinyproxy on a free loopback port, with its own configuration
    and log; the log shows each CONNECT."""

    def __init__(self):
        self.folder = Path(tempfile.mkdtemp(prefix="kovrel-tinyproxy-"))
        self.port = closed_port()
        self.address = f"127.0.0.1:{self.port}"
        self.log = self.folder / "tinyproxy.log"
        conf = self.folder / "tinyproxy.conf"
        # No ConnectPort line: every port may be tunnelled.
        conf.write_text(f"Port {self.port}\nListen 127.0.0.1\nLogFile \"{self.log}\"\nLogLevel Connect\n"
                        "Allow 127.0.0.1\nTimeout 60\n")
        self.proc = subprocess.Popen(["tinyproxy", "-d", "-c", str(conf)], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(self.listening, 10):
            self.stop()
            raise RuntimeError("tinyproxy did not start")

    def listening(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), 0.2).close()
            return True
        except OSError:
            return False

    def connects(self):
        """The targets of the CONNECTs logged so far."""
        text = self.log.read_text(errors="replace") if self.log.exists() else ""
        return re.findall(r"Request \(file descriptor \d+\): CONNECT (\S+)", text)

    def forget(self):
        self.log.write_text("")

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


class LoginProxy:
    """A proxy that answers every request with 407, offering Negotiate and NTLM,
    and keeps the Proxy-Authorization headers it receives."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen()
        self.address = "127.0.0.1:%d" % self.sock.getsockname()[1]
        self.authorizations = []
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()

    def serve(self, conn):
        with conn, conn.makefile("rb") as stream:
            while True:
                lines = []
                while (line := stream.readline()) not in (b"\r\n", b"\n", b""):
                    lines.append(line.decode("latin-1").rstrip())
                if not lines:
                    return
                self.authorizations += [h.split(":", 1)[1].strip() for h in lines
                                        if h.lower().startswith("proxy-authorization:")]
                conn.sendall(b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                             b"Proxy-Authenticate: Negotiate\r\nProxy-Authenticate: NTLM\r\n"
                             b"Content-Length: 0\r\nConnection: keep-alive\r\n\r\n")

    def stop(self):
        self.sock.close()


class Proxy(UpdateCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.tinyproxy = Tinyproxy()
        cls.port = cls.server.https_base.split(":")[2].rstrip("/")

    @classmethod
    def tearDownClass(cls):
        cls.tinyproxy.stop()
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        self.tinyproxy.forget()
        reg("delete", POLICY_KEY, "/f", "/reg:64")
        self.addCleanup(reg, "delete", POLICY_KEY, "/f", "/reg:64")
        self.addCleanup(reg, "delete", CONNECTIONS, "/v", "DefaultConnectionSettings", "/f")

    def assertThrough(self, proxy_line, tunnelled=True):
        """A whole good run, the Proxy line in the log, and every request through
        tinyproxy (or none of them)."""
        self.serve(V1)
        rc, _, stdout = self.launch(self.link, self.home, env=getattr(self, "env", None))
        self.assertEqual(1, rc, stdout)
        self.assertClientStarted(self.link)
        self.assertWorkHolds(V1)
        lines = self.log_lines()
        self.assertEqual([proxy_line], [line for line in lines if re.fullmatch(r"Proxy: .* \(from .*\)", line)])
        self.assertEqual(3, len(self.requested()))
        expected = [f"127.0.0.1:{self.port}"] if tunnelled else []
        # One tunnel carries the run: the connection is reused.
        self.assertEqual(expected, sorted(set(self.tinyproxy.connects())))
        # The pass's files side by side too: each connection the server saw
        # came through a tunnel of its own.
        if tunnelled:
            self.assertEqual(len({r.port for r in self.server.requests}), len(self.tinyproxy.connects()))

    def test_user_setting_named_proxy_and_its_bypass_list(self):
        tp = self.tinyproxy.address
        # A managed network's list may be longer than a kilobyte.
        long_list = "; ".join(f"host{i}.corp.example" for i in range(60)) + "; 127.0.0.*"
        for bypass, line, tunnelled in (
                ("", f"Proxy:       {tp} (from Windows settings)", True),
                ("*.corp.example; 127.0.0.*", "Proxy:       DIRECT (from Windows settings, bypass list)", False),
                (long_list, "Proxy:       DIRECT (from Windows settings, bypass list)", False)):
            with self.subTest(bypass=bypass):
                self.setUp()
                user_settings(DIRECT | NAMED, tp, bypass)
                self.assertThrough(line, tunnelled)

    def test_pac_naming_the_proxy_or_direct(self):
        pac_server = LocalServer(https=False).start()
        self.addCleanup(pac_server.stop)
        pac_url = pac_server.http_base + "XNL/applets/proxy.pac"
        tp = self.tinyproxy.address
        for answer, where, line, tunnelled in (
                (f"PROXY {tp}; DIRECT", "policy",
                 f"Proxy:       {tp} (from administrator ProxyAutoConfigURL {pac_url})", True),
                ("DIRECT", "user", f"Proxy:       DIRECT (from Windows settings, auto-config {pac_url})", False)):
            with self.subTest(answer=answer):
                self.setUp()
                pac_server.put("proxy.pac", 'function FindProxyForURL(url, host) { return "%s"; }' % answer)
                if where == "policy":
                    set_policy("ProxyAutoConfigURL", pac_url)
                else:
                    user_settings(DIRECT | PAC, pac=pac_url)
                self.assertThrough(line, tunnelled)

    def test_broken_pac_is_an_error_and_the_next_source_applies(self):
        pac_server = LocalServer(https=False).start()
        self.addCleanup(pac_server.stop)
        pac_url = pac_server.http_base + "XNL/applets/missing.pac"
        set_policy("ProxyAutoConfigURL", pac_url)
        user_settings(DIRECT | NAMED, self.tinyproxy.address)
        self.assertThrough(f"Proxy:       {self.tinyproxy.address} (from Windows settings)")
        self.assertTrue(any(re.fullmatch(f"Error: proxy auto-config {re.escape(pac_url)} not usable: .*"
                                         ": the next proxy source applies", line) for line in self.log_lines()))

    def test_list_whose_first_proxy_is_closed_goes_through_the_second(self):
        closed = f"127.0.0.1:{closed_port()}"
        set_policy("ProxyServer", f"{closed};{self.tinyproxy.address}")
        self.assertThrough(f"Proxy:       {closed}; {self.tinyproxy.address} (from administrator ProxyServer)")
        self.assertEqual(1, sum(line.startswith(f"Proxy:       {closed} not reached") for line in self.log_lines()))

    def test_administrator_proxy_wins_over_the_user_setting(self):
        for value, line, tunnelled in (
                (self.tinyproxy.address, f"Proxy:       {self.tinyproxy.address} (from administrator ProxyServer)",
                 True),
                ("direct", "Proxy:       DIRECT (from administrator ProxyServer)", False)):
            with self.subTest(value=value):
                self.setUp()
                user_settings(DIRECT | NAMED, f"127.0.0.1:{closed_port()}")
                set_policy("ProxyServer", value)
                self.assertThrough(line, tunnelled)

    def test_administrator_proxy_naming_none_for_the_scheme_is_logged_masked(self):
        user_settings(DIRECT)
        set_policy("ProxyServer", "http=user:secret@127.0.0.1:1")  # the server is https
        self.assertThrough("Proxy:       DIRECT (from no proxy setting)", tunnelled=False)
        self.assertIn("Error: administrator ProxyServer names no proxy: http=user:***@127.0.0.1:1", self.log_lines())
        self.assertNotIn("secret", self.log_text())

    def test_environment_variable_when_windows_names_no_proxy(self):
        # Nothing stored (automatic detection, which finds nothing here), then
        # a stored direct connection, which is read without WinHTTP.
        for stored in (False, True):
            with self.subTest(stored=stored):
                self.setUp()
                if stored:
                    user_settings(DIRECT)
                self.env = {"https_proxy": f"http://user:secret@{self.tinyproxy.address}"}
                self.assertThrough(f"Proxy:       http://user:***@{self.tinyproxy.address} "
                                   "(from environment variable https_proxy)")

    def test_winhttp_only_where_the_settings_need_it(self):
        # Nothing stored means automatic detection, through WinHTTP; a stored
        # direct connection needs none, unless a machine policy puts the
        # machine's settings in the user's place. A run without a window
        # never loads the common controls.
        self.serve(V1)
        machine = "HKLM\\SOFTWARE\\Policies\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"
        self.addCleanup(reg, "delete", machine, "/v", "ProxySettingsPerUser", "/f")
        for stored, per_machine, winhttp in ((False, False, True), (True, False, False), (True, True, True)):
            with self.subTest(stored=stored, per_machine=per_machine):
                if stored:
                    user_settings(DIRECT)
                if per_machine:
                    reg("add", machine, "/v", "ProxySettingsPerUser", "/t", "REG_DWORD", "/d", "0", "/f")
                rc, _, stdout = self.launch(self.link, self.home, env={"WINEDEBUG": "+pid,+loaddll"})
                self.assertEqual(1, rc, stdout)
                # The launcher's lines come first, before those of the client it starts.
                pid = re.search(r"^([0-9a-f]+):[0-9a-f]+:trace:loaddll:", stdout, re.M).group(1)
                loaded = "\n".join(line.lower() for line in stdout.splitlines() if line.startswith(pid + ":"))
                self.assertEqual(winhttp, "winhttp.dll" in loaded)
                self.assertNotIn("comctl32.dll", loaded)

    def test_unreachable_proxy_without_direct_never_goes_direct(self):
        self.serve(V1)
        self.good_run(V1)
        self.limits(2)
        closed = f"127.0.0.1:{closed_port()}"
        set_policy("ProxyServer", closed)
        start = time.monotonic()
        rc, stdout = self.run_update()
        self.assertLess(time.monotonic() - start, 60)
        lines = self.log_lines()
        self.assertIn(f"Proxy:       {closed} (from administrator ProxyServer)", lines)
        self.assertIn(KEPT, lines)
        self.assertEqual(1, rc, stdout)
        self.assertClientStarted(self.link)
        self.assertEqual([], self.requested())

    def test_proxy_login_sends_an_ntlm_negotiate_message(self):
        proxy = LoginProxy()
        self.addCleanup(proxy.stop)
        set_policy("ProxyServer", proxy.address)
        self.serve(V1)
        rc, _ = self.run_update()
        self.assertIn("Proxy login: Negotiate gave the proxy no answer, NTLM alone from now on", self.log_lines())
        self.assertTrue(any(a.startswith("NTLM TlRMTVNTUAAB") for a in proxy.authorizations),
                        proxy.authorizations)
        self.assertEqual([], self.requested())

    def test_pins_hold_through_the_tunnel(self):
        pin = subprocess.run([PIN_TOOL, str(self.server.certificate)], check=True, capture_output=True,
                             text=True).stdout.strip()
        set_policy("ProxyServer", self.tinyproxy.address)
        set_policy("PinnedPublicKeys", pin)
        self.assertThrough(f"Proxy:       {self.tinyproxy.address} (from administrator ProxyServer)")

        self.forget_run()
        self.tinyproxy.forget()
        set_policy("PinnedPublicKeys", WRONG_PIN)
        rc, stdout = self.run_update()
        self.assertIn("getHTTPFile - the server's key does not match the pinned public keys, nothing stored",
                      self.log_lines())
        self.assertEqual([f"127.0.0.1:{self.port}"], self.tinyproxy.connects())
        self.assertEqual([], self.requested())
        self.assertEqual(1, rc, stdout)
        self.assertClientStarted(self.link)


def issued_certificate(folder):
    """A certificate authority and a server certificate it issued for 127.0.0.1."""
    def openssl(*args):
        subprocess.run(["openssl", *args], check=True, capture_output=True, cwd=folder)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Kovrel Test CA",
            "-keyout", "ca.key", "-out", "ca.pem")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout", "server.key",
            "-out", "server.csr")
    Path(folder, "ext").write_text("subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-days", "2", "-extfile", "ext", "-out", "server.pem")
    return Path(folder, "ca.pem"), (Path(folder, "server.pem"), Path(folder, "server.key"))


class WindowsStore(UpdateCase):
    def setUp(self):
        super().setUp()
        reg("delete", POLICY_KEY, "/f", "/reg:64")
        self.addCleanup(reg, "delete", POLICY_KEY, "/f", "/reg:64")
        set_policy("VerifyServerCertificate", "1", "REG_DWORD")

    def test_verify_server_certificate_against_the_machine_store(self):
        controls = ("Controls:    allowed servers: 0, pinned public keys: 0, verified digests: off, "
                    "server certificate: verified by Windows")
        self.serve(V1)
        rc, _ = self.run_update()
        lines = self.log_lines()
        self.assertIn(controls, lines)
        self.assertTrue(any(line.startswith("getHTTPFile - the server's certificate is not trusted by the "
                                            "machine's store: ") for line in lines), lines)
        self.assertIn(KEPT, lines)
        self.assertEqual(0, rc)
        # Wine's Schannel completes the handshake; Windows' stops before the request.
        self.assertIn(self.requested(), ([], [("GET", MANIFEST_PATH)]))

        folder = tempfile.mkdtemp(prefix="kovrel-ca-")
        ca, certificate = issued_certificate(folder)
        issued = LocalServer(http=False, certificate=certificate).start()
        self.addCleanup(issued.stop)
        self.serve(V1, issued)

        def add_root(action):
            return subprocess.run(["wine", str(ADD_ROOT), action, str(ca)], env=wine_env(),
                                  stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        self.assertEqual(0, add_root("add").returncode)
        self.addCleanup(add_root, "remove")
        self.setUp()
        link = self.link.replace(self.server.https_base, issued.https_base)
        rc, stdout = self.run_update(link)
        self.assertIn(controls, self.log_lines())
        self.assertEqual(1, rc, stdout)
        self.assertClientStarted(link)
        self.assertWorkHolds(V1)
