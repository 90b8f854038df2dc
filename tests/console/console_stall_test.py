"""Clients that hold connections without finishing a request: hundreds of
them, some dribbling a partial head a header line at a time and some silent,
must neither keep the console from answering anyone else nor stay open past
the request deadline; one address gets only so many connections."""
import os
import select
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from consolefixture import Client, Console  # noqa: E402

ZORHOSTD = os.environ["ZORHOSTD"]
STALLED = 500
ADDRESSES = 50  # loopback sources, 10 connections each: under the per-address cap
DEADLINE = 10   # the default --console-request-timeout


class StalledConnections(unittest.TestCase):
    def setUp(self):
        self.console = Console(ZORHOSTD)
        self.sockets = []

    def tearDown(self):
        for s in self.sockets:
            s.close()
        self.assertEqual(self.console.close(), 0)

    def connect(self, source):
        s = socket.create_connection(("127.0.0.1", self.console.port), timeout=30, source_address=(source, 0))
        self.sockets.append(s)
        return s

    def test_stalled_heads(self):
        dribbling, silent = [], []
        for i in range(STALLED):
            s = self.connect("127.0.0.%d" % (10 + i % ADDRESSES))
            if i % 2:
                s.sendall(b"GET /login HTTP/1.1\r\nHost: console\r\n")
                dribbling.append(s)
            else:
                silent.append(s)
        self.assertEqual(Client(self.console.base).call("GET", "/login")[0], 200)
        # All of them were still open while that client was answered.
        self.assertEqual(select.select(self.sockets, [], [], 0)[0], [])

        # A header line a second keeps each read well inside the idle
        # timeout: only the deadline for the whole request closes them.
        open_ = set(self.sockets)
        for line in range(6 * DEADLINE):
            if not open_:
                break
            for s in dribbling:
                if s in open_:
                    try:
                        s.sendall(b"X-Line-%d: x\r\n" % line)
                    except ConnectionError:
                        pass
            for s in select.select(list(open_), [], [], 1)[0]:
                try:
                    answer = s.recv(4096)
                except ConnectionError:
                    answer = b""
                self.assertEqual(answer, b"", "a stalled request was answered")
                open_.discard(s)
        self.assertEqual(len(open_), 0, "stalled connections still open after the request deadline")

        # One address may hold 32 connections: the next is closed unanswered,
        # while another address is served.
        crowd = [self.connect("127.0.0.200") for _ in range(32)]
        self.assertEqual(select.select(crowd, [], [], 0)[0], [])
        # The server takes the crowd in from its backlog at its own pace (an
        # emulated build is slow at it), so the next one is tried until the
        # cap has caught up with all 32.
        refused = False
        for _ in range(60):
            try:
                Client(self.console.base, source="127.0.0.200").call("GET", "/login")
            except OSError:
                refused = True
                break
            time.sleep(1)
        self.assertTrue(refused, "a 33rd connection from one address was served")
        self.assertEqual(Client(self.console.base, source="127.0.0.201").call("GET", "/login")[0], 200)


if __name__ == "__main__":
    unittest.main()
