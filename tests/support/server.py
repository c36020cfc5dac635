#!/usr/bin/env python3
"""The project's test server: the launcher's server side, on loopback.

It serves a folder over HTTP and HTTPS (a self-signed certificate made with
the openssl tool at start) on ports chosen at run time; the launcher fetches
<base>/XNL/applets/<path>, which is the file <root>/XNL/applets/<path>. Any
path can be told to answer as real servers do (see Behaviour), and every
request is recorded (method, path, headers).

Three ways to use it:

  * from Python:
        with LocalServer() as server:
            (server.applets / "fcompare.ini").write_bytes(b"...")
            server.behave("fcompare.ini", "slow", seconds=2)
            ... server.http_base, server.https_base, server.requests ...

  * as a wrapper around a command (for test programs that cannot import it):
        server.py --run -- wine download_test.exe
    The command gets KOVREL_HTTP_BASE and KOVREL_HTTPS_BASE (ending in "/"),
    KOVREL_APPLETS (the applets folder to fill), KOVREL_BEHAVIOUR (a file of
    behaviour lines, read again at every request) and KOVREL_REQUESTS (the
    request record, one block per request); the exit code is the command's.

  * standalone, until killed:
        server.py --root DIR [--https] [--port N] [--behaviour FILE]

Behaviour lines: "<path> <kind> [key=value ...]", the path relative to the
applets folder (or absolute, starting with "/"), "#" starts a comment:
    fcompare.ini chunked          no length, chunked transfer coding
    fcompare.ini deflate          deflate-coded when the request offers it
    big.bin slow seconds=3 pieces=12
    big.bin cut                   headers and half the body, then the connection drops
    old.jar redirect location=/XNL/applets/new.jar [status=301]
    gone.jar 404                  (any status number): an error page
    fcompare.ini silent           reads the request, answers nothing
    big.bin stall                 headers and half the body, then nothing
    fcompare.ini bomb coding=gzip mib=64
                                  that many MiB of zeros in that coding (deflate,
                                  gzip or identity), whatever the request offered
    lib.jar close                 the connection closed after the body, unannounced
                                  (as at the end of a keep-alive timeout)
    big.bin cut times=2           cut the first two answers, then whole ones
    big.bin norange               a whole 200 whatever Range asks
    big.bin badrange              a 206 from byte 0 whatever Range asks
    big.bin shortrange            a 206 to Range that stops halfway to the end
    big.bin longrange             a 206 to Range whose chunked body runs past the end
    big.bin 416 ranged=1          ranged=1: only a request with Range behaves so,
                                  the others get the file
    big.bin chunked cuts=2        cuts=N: any kind's first N answers cut halfway, as cut's
    big.bin endless               200 with no length, zeros at full speed until
                                  the client goes away
Paths with no behaviour are served as files with a known length and a strong
ETag, or 404; a "Range: bytes=N-" request (with an If-Range that matches the
ETag, or none) gets the rest as a 206. The most requests served at once is
kept in most_active.
Whatever stays silent holds the connection until the client goes away.
SilentServer accepts connections and never answers at all, not even a TLS
handshake.
"""
import argparse
import hashlib
import http.server
import os
import posixpath
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import zlib
from dataclasses import dataclass, field
from pathlib import Path

APPLETS = "/XNL/applets/"
KINDS = ("file", "chunked", "deflate", "slow", "cut", "redirect", "status", "silent", "stall", "bomb", "close",
         "norange", "badrange", "shortrange", "longrange", "endless")
# Window bits of zlib for each content coding of a bomb.
BOMB_CODINGS = {"deflate": zlib.MAX_WBITS, "gzip": 16 + zlib.MAX_WBITS, "identity": None}


@dataclass
class Request:
    scheme: str
    method: str
    path: str
    headers: list  # (name, value) pairs in the order received
    port: int = 0  # the client's port: one per connection

    def header(self, name):
        """The first value of a header (name case-insensitive), or None."""
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None

    def text(self):
        lines = [f"{self.scheme} {self.method} {self.path}"]
        lines += [f"{key}: {value}" for key, value in self.headers]
        return "\n".join(lines) + "\n\n"


@dataclass
class Behaviour:
    kind: str = "file"
    status: int = 200
    location: str = ""
    seconds: float = 3.0
    pieces: int = 12
    coding: str = "deflate"
    mib: int = 64
    times: int = 0  # cut: only the first this many answers (0: all)
    cuts: int = 0  # any kind: the first this many answers cut
    ranged: int = 0  # 1: only requests with Range behave so
    served: int = 0


def _url_path(path):
    return path if path.startswith("/") else APPLETS + path


def make_behaviour(kind, **options):
    if isinstance(kind, int) or str(kind).isdigit():
        behaviour = Behaviour(kind="status", status=int(kind))
    elif kind not in KINDS:
        raise ValueError(f"unknown behaviour {kind!r}")
    else:
        behaviour = Behaviour(kind=kind, status=302 if kind == "redirect" else 200)
    for key, value in options.items():
        if not hasattr(behaviour, key):
            raise ValueError(f"unknown behaviour option {key!r}")
        setattr(behaviour, key, type(getattr(behaviour, key))(value))
    return behaviour


def parse_behaviours(text):
    """{url path: Behaviour} from behaviour lines."""
    result = {}
    for line in text.splitlines():
        words = line.split("#", 1)[0].split()
        if len(words) < 2:
            continue
        options = dict(word.split("=", 1) for word in words[2:])
        result[_url_path(words[0])] = make_behaviour(words[1], **options)
    return result


def make_certificate(folder):
    """A self-signed certificate for a name that is not the address served."""
    cert, key = Path(folder) / "cert.pem", Path(folder) / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=kovrel-test.invalid", "-keyout", str(key), "-out", str(cert)],
                   check=True, capture_output=True)
    return cert, key


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "KovrelTest/1.0"
    timeout = 30

    def do_GET(self):
        self.server.owner._serve(self)

    def log_message(self, format, *args):
        if self.server.owner.verbose:
            sys.stderr.write("server: " + (format % args) + "\n")


class _HTTPServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False
    scheme = "http"

    def handle_error(self, request, client_address):
        # Clients that drop the connection are part of the tests.
        if self.owner.verbose:
            super().handle_error(request, client_address)


class _HTTPSServer(_HTTPServer):
    scheme = "https"

    def finish_request(self, request, client_address):
        # The handshake runs in the request's thread, not in the accept loop.
        request.settimeout(30)
        try:
            tls = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        try:
            super().finish_request(tls, client_address)
        finally:
            tls.close()


class LocalServer:
    """HTTP and HTTPS on loopback, serving root (a temporary folder by default)."""

    def __init__(self, root=None, http=True, https=True, host="127.0.0.1", http_port=0,
                 https_port=0, behaviour_file=None, request_log=None, verbose=False, certificate=None):
        """certificate: (PEM certificate, PEM key) for HTTPS instead of a self-signed one."""
        self.root = Path(root) if root else None
        self.host = host
        self.want = {"http": http_port if http else None, "https": https_port if https else None}
        self.behaviour_file = Path(behaviour_file) if behaviour_file else None
        self.request_log = Path(request_log) if request_log else None
        self.verbose = verbose
        self.requests = []
        self.behaviours = {}
        self.http_base = self.https_base = None
        self.certificate = None  # the HTTPS server's PEM certificate
        self._given = certificate
        self._servers = []
        self._tmp = None
        self._lock = threading.Lock()
        self._bombs = {}
        self.active = self.most_active = 0

    @property
    def applets(self):
        return self.root / APPLETS.strip("/")

    def start(self):
        self._tmp = Path(tempfile.mkdtemp(prefix="kovrel-server-"))
        if self.root is None:
            self.root = self._tmp / "www"
        self.applets.mkdir(parents=True, exist_ok=True)
        for scheme, port in self.want.items():
            if port is None:
                continue
            if scheme == "https":
                server = _HTTPSServer((self.host, port), _Handler)
                server.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                self.certificate, key = self._given or make_certificate(self._tmp)
                server.context.load_cert_chain(self.certificate, key)
            else:
                server = _HTTPServer((self.host, port), _Handler)
            server.owner = self
            base = f"{scheme}://{self.host}:{server.server_address[1]}/"
            setattr(self, scheme + "_base", base)
            threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1},
                             daemon=True).start()
            self._servers.append(server)
        return self

    def stop(self):
        for server in self._servers:
            server.shutdown()
            server.server_close()
        self._servers = []
        if self._tmp:
            shutil.rmtree(self._tmp, ignore_errors=True)
            self._tmp = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def behave(self, path, kind, **options):
        """How path (relative to the applets folder, or absolute) answers from now on."""
        self.behaviours[_url_path(path)] = make_behaviour(kind, **options)

    def put(self, path, content):
        """Writes a file below the applets folder."""
        target = self.applets / path
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(content.encode() if isinstance(content, str) else content)
        return target

    def clear_requests(self):
        with self._lock:
            self.requests.clear()
            self.most_active = 0

    # --- serving -----------------------------------------------------------------

    def _behaviour(self, path):
        if self.behaviour_file and self.behaviour_file.exists():
            found = parse_behaviours(self.behaviour_file.read_text()).get(path)
            if found:
                return found
        return self.behaviours.get(path, Behaviour())

    def _record(self, handler, path):
        request = Request(handler.server.scheme, handler.command, path, list(handler.headers.items()),
                          handler.client_address[1])
        with self._lock:
            self.requests.append(request)
            if self.request_log:
                with open(self.request_log, "a") as log:
                    log.write(request.text())

    def _file(self, path):
        relative = posixpath.normpath(urllib.parse.unquote(path)).lstrip("/")
        if relative.startswith(".."):
            return None
        target = self.root / relative
        return target if target.is_file() else None

    def _serve(self, h):
        with self._lock:
            self.active += 1
            self.most_active = max(self.most_active, self.active)
        try:
            self._answer(h)
        finally:
            with self._lock:
                self.active -= 1

    def _answer(self, h):
        path = urllib.parse.urlsplit(h.path).path
        self._record(h, h.path)
        behaviour = self._behaviour(path)
        if behaviour.ranged and not h.headers.get("Range"):
            behaviour = Behaviour()
        if behaviour.kind == "status":
            return self._page(h, behaviour.status)
        if behaviour.kind == "redirect":
            return self._page(h, behaviour.status, {"Location": behaviour.location or "/"})
        if behaviour.kind == "silent":
            return self._hold(h)
        headers = {"Content-Type": "application/octet-stream"}
        if behaviour.kind == "bomb":
            if behaviour.coding != "identity":
                headers["Content-Encoding"] = behaviour.coding
            body = self.bomb(behaviour.coding, behaviour.mib)
            self._head(h, 200, dict(headers, **{"Content-Length": str(len(body))}))
            h.wfile.write(body)
            return
        if behaviour.kind == "endless":
            h.close_connection = True
            self._head(h, 200, headers)
            zeros = bytes(1 << 16)
            try:
                while True:
                    h.wfile.write(zeros)
            except OSError:
                return
        target = self._file(path)
        if target is None:
            return self._page(h, 404)
        body = target.read_bytes()
        headers["ETag"] = '"%s"' % hashlib.sha1(body).hexdigest()[:16]
        wanted = h.headers.get("Range") or ""
        if wanted.startswith("bytes=") and wanted.endswith("-") and behaviour.kind != "norange":
            first = int(wanted[6:-1]) if wanted[6:-1].isdigit() else -1
            if behaviour.kind == "badrange":
                first = 0
            if 0 <= first < len(body) and h.headers.get("If-Range", headers["ETag"]) == headers["ETag"]:
                last = (first + len(body)) // 2 if behaviour.kind == "shortrange" else len(body) - 1
                headers["Content-Range"] = f"bytes {first}-{last}/{len(body)}"
                extra = b"past the end" if behaviour.kind == "longrange" else b""
                return self._send(h, 206, headers, body[first:last + 1] + extra, behaviour)
        return self._send(h, 200, headers, body, behaviour)

    def _send(self, h, status, headers, body, behaviour):
        with self._lock:
            behaviour.served += 1
            cutting = (behaviour.kind == "cut" and (not behaviour.times or behaviour.served <= behaviour.times)
                       or behaviour.served <= behaviour.cuts)
        if behaviour.kind in ("chunked", "longrange"):
            self._head(h, status, dict(headers, **{"Transfer-Encoding": "chunked"}))
            pieces = (body[i:i + 4096] for i in range(0, len(body), 4096))
            body = b"".join(b"%x\r\n%s\r\n" % (len(piece), piece) for piece in pieces) + b"0\r\n\r\n"
        else:
            if behaviour.kind == "close":
                h.close_connection = True
            if behaviour.kind == "deflate" and "deflate" in (h.headers.get("Accept-Encoding") or ""):
                body = zlib.compress(body)
                headers.update({"Content-Encoding": "deflate", "Vary": "Accept-Encoding"})
            self._head(h, status, dict(headers, **{"Content-Length": str(len(body))}))
        if behaviour.kind == "slow":
            pieces = max(1, behaviour.pieces)
            size = -(-len(body) // pieces)
            for i in range(pieces):
                if i:
                    time.sleep(behaviour.seconds / (pieces - 1 or 1))
                h.wfile.write(body[i * size:(i + 1) * size])
                h.wfile.flush()
        elif behaviour.kind == "stall":
            h.wfile.write(body[:len(body) // 2])
            h.wfile.flush()
            self._hold(h)
        elif cutting:
            h.wfile.write(body[:len(body) // 2])
            h.wfile.flush()
            h.close_connection = True
            try:
                h.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        else:
            h.wfile.write(body)

    def bomb(self, coding, mib):
        """The coded body of a bomb: mib MiB of zeros in coding."""
        with self._lock:
            if (coding, mib) not in self._bombs:
                zeros = bytes(1 << 20)
                if BOMB_CODINGS[coding] is None:
                    body = zeros * mib
                else:
                    packer = zlib.compressobj(9, zlib.DEFLATED, BOMB_CODINGS[coding])
                    body = b"".join(packer.compress(zeros) for _ in range(mib)) + packer.flush()
                self._bombs[coding, mib] = body
            return self._bombs[coding, mib]

    @staticmethod
    def _hold(h):
        """Sends nothing more until the client closes (or the handler's timeout)."""
        h.close_connection = True
        try:
            while h.connection.recv(4096):
                pass
        except OSError:
            pass

    @staticmethod
    def _head(h, status, headers):
        h.send_response(status)
        for key, value in headers.items():
            h.send_header(key, value)
        h.end_headers()

    def _page(self, h, status, headers=None):
        reason = http.server.BaseHTTPRequestHandler.responses.get(status, ("Status",))[0]
        body = f"<html><body><h1>{status} {reason}</h1></body></html>\n".encode()
        self._head(h, status, dict(headers or {}, **{"Content-Type": "text/html",
                                                     "Content-Length": str(len(body))}))
        h.wfile.write(body)


class SilentServer:
    """Accepts connections on loopback and never answers; base is an https URL."""

    def __init__(self, host="127.0.0.1"):
        self.host = host
        self.base = None
        self._listener = None
        self._held = []
        self._stop = threading.Event()

    def start(self):
        self._listener = socket.create_server((self.host, 0))
        self._listener.settimeout(0.1)
        self.base = f"https://{self.host}:{self._listener.getsockname()[1]}/"
        threading.Thread(target=self._accept, daemon=True).start()
        return self

    def _accept(self):
        while not self._stop.is_set():
            try:
                self._held.append(self._listener.accept()[0])
            except socket.timeout:
                pass
            except OSError:
                return

    def stop(self):
        self._stop.set()
        self._listener.close()
        for conn in self._held:
            conn.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


# --- command line -------------------------------------------------------------------

def _run(args):
    work = Path(tempfile.mkdtemp(prefix="kovrel-run-"))
    behaviour, record = work / "behaviour.txt", work / "requests.txt"
    behaviour.touch()
    record.touch()
    server = LocalServer(root=args.root or work / "www", behaviour_file=behaviour,
                        request_log=record, verbose=args.verbose)
    try:
        with server:
            env = dict(os.environ, KOVREL_HTTP_BASE=server.http_base,
                       KOVREL_HTTPS_BASE=server.https_base, KOVREL_APPLETS=str(server.applets),
                       KOVREL_BEHAVIOUR=str(behaviour), KOVREL_REQUESTS=str(record))
            return subprocess.run(args.command, env=env, stdin=subprocess.DEVNULL).returncode
    finally:
        shutil.rmtree(work, ignore_errors=True)


def _serve_until_killed(args):
    https = args.https
    server = LocalServer(root=args.root, http=not https, https=https, host=args.host,
                        http_port=args.port, https_port=args.port,
                        behaviour_file=args.behaviour, verbose=True)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    with server:
        base = server.https_base if https else server.http_base
        print(f"serving {server.applets} at {base}XNL/applets/", flush=True)
        while not stop.wait(0.5):
            pass
    return 0


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    command = []
    if "--" in argv:
        i = argv.index("--")
        argv, command = argv[:i], argv[i + 1:]
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--run", action="store_true", help="run the command after -- against the server")
    parser.add_argument("--root", type=Path, help="the folder served (its XNL/applets is the applets folder)")
    parser.add_argument("--https", action="store_true", help="standalone: serve HTTPS instead of HTTP")
    parser.add_argument("--port", type=int, default=0, help="standalone: the port (0: any free one)")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--behaviour", type=Path, help="a file of behaviour lines")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args(argv)
    args.command = command
    if args.run:
        if not command:
            parser.error("--run needs a command after --")
        return _run(args)
    if not args.root:
        parser.error("--root is needed to serve")
    return _serve_until_killed(args)


if __name__ == "__main__":
    sys.exit(main())
