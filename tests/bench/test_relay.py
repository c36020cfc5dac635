"""The benchmark's relay: bytes intact, each direction held back, ends with the benchmark."""
import socket
import subprocess
import sys
import threading
import time
import unittest
from pathlib import Path

RELAY = Path(__file__).resolve().parents[2] / "bench" / "relay.py"
DELAY = 0.05


class EchoServer:
    """Sends back whatever each connection sends, until it closes."""

    def __init__(self):
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self.echo, args=(conn,), daemon=True).start()

    @staticmethod
    def echo(conn):
        with conn:
            while data := conn.recv(65536):
                conn.sendall(data)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def receive(sock, size):
    data = b""
    while len(data) < size:
        chunk = sock.recv(size - len(data))
        if not chunk:
            break
        data += chunk
    return data


class Relay(unittest.TestCase):
    def setUp(self):
        self.echo = EchoServer()
        self.addCleanup(self.echo.sock.close)
        # The process the relay watches, standing for the benchmark.
        self.watched = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
        self.addCleanup(self.watched.wait)
        self.addCleanup(self.watched.kill)
        self.port = free_port()
        self.relay = subprocess.Popen([sys.executable, str(RELAY), str(self.port), str(self.echo.port),
                                       str(int(DELAY * 1000)), str(self.watched.pid)],
                                      stdout=subprocess.PIPE, text=True)
        self.addCleanup(self.stop_relay)
        self.assertEqual("ready", self.relay.stdout.readline().strip())

    def stop_relay(self):
        self.relay.kill()
        self.relay.wait()
        self.relay.stdout.close()

    def test_round_trips_cost_twice_the_delay_and_a_new_connection_one_more(self):
        # what is sent on one connection, the least and the most a round trip may take
        exchanges = [("first bytes after connect", b"hello", 4 * DELAY, 4 * DELAY + 0.5),
                     ("the next exchange", b"again", 2 * DELAY, 2 * DELAY + 0.5),
                     ("2 MiB, whole and in order", bytes(range(256)) * 8192, 2 * DELAY, 2 * DELAY + 2.0)]
        # Timed from before the connect: the relay may accept before this
        # process is scheduled again after its connect returns.
        start = time.monotonic()
        with socket.create_connection(("127.0.0.1", self.port)) as sock:
            for name, data, least, most in exchanges:
                with self.subTest(name):
                    threading.Thread(target=sock.sendall, args=(data,), daemon=True).start()
                    got = receive(sock, len(data))
                    took = time.monotonic() - start
                    self.assertEqual(data, got)
                    self.assertGreaterEqual(took, least)
                    self.assertLess(took, most)
                start = time.monotonic()

    def test_ends_when_the_watched_process_has_gone(self):
        self.watched.kill()
        self.watched.wait()
        self.assertEqual(0, self.relay.wait(timeout=10))


if __name__ == "__main__":
    unittest.main()
