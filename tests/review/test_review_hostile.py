"""The review server against clients that try to hold it, on loopback only:
200 idle connections, slow clients that send a header line now and then, a
header flood, and more connections than it takes from several addresses. A
reviewer with the token is answered within a second meanwhile; the server
holds a bounded number of connections, cuts the slow ones when a request's
time is up, and its memory stays bounded. Every loop here is bounded in count
and time.
"""

from __future__ import annotations

import socket
import threading
import time
from pathlib import Path
from typing import List

import pytest

import review_support as rs

PER_CLIENT, TOTAL, REQUEST_SECONDS = 32, 256, 10  # the server's limits


@pytest.fixture(scope="module")
def server(tmp_path_factory: pytest.TempPathFactory):
    rs.need_programs()
    exam = rs.make_exam(tmp_path_factory.mktemp("hostile"), 4, {(2, 15): "[1,3]"}, {})
    s = rs.Server(exam.path)
    yield s
    s.stop()


def rss_kib(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise AssertionError("no VmRSS")


def closed(sock: socket.socket) -> bool:
    """Whether the server has closed this connection (without waiting)."""
    sock.setblocking(False)
    try:
        return sock.recv(4096, socket.MSG_PEEK) == b""
    except BlockingIOError:
        return False
    except OSError:
        return True


def connect(port: int, source: str = "127.0.0.1") -> socket.socket:
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind((source, 0))
    sock.settimeout(5)
    sock.connect(("127.0.0.1", port))
    return sock


def reviewer_ms(server: rs.Server) -> float:
    start = time.monotonic()
    status, _, _ = server.request("GET", "/api/queue")
    assert status == 200
    return (time.monotonic() - start) * 1000


def test_idle_slow_and_flooding_clients_do_not_shut_the_reviewer_out(server: rs.Server) -> None:
    before = rss_kib(server.process.pid)
    idle = [connect(server.port) for _ in range(200)]
    stop = threading.Event()
    slow: List[socket.socket] = []
    for _ in range(20):
        s = connect(server.port)
        s.sendall(b"GET /api/queue HTTP/1.1\r\nHost: 127.0.0.1\r\n")
        slow.append(s)

    def drip() -> None:  # a header line now and then, for at most the test's span
        for i in range(60):
            if stop.wait(0.5):
                return
            for s in slow:
                try:
                    s.sendall(b"X-Slow-%d: 1\r\n" % i)
                except OSError:
                    pass

    dripping = threading.Thread(target=drip)
    dripping.start()
    started = time.monotonic()
    try:
        # A flood of header lines: cut once the connection's memory is spent (what the kernel
        # buffers on loopback is sent before the cut shows).
        flood = connect(server.port)
        flood.sendall(b"GET /api/queue HTTP/1.1\r\nHost: 127.0.0.1\r\n")
        sent, line = 0, b"X-Flood: " + b"a" * 1000 + b"\r\n"
        with pytest.raises(OSError):
            while sent < 64 << 20:
                flood.sendall(line)
                sent += len(line)
        assert sent < 16 << 20, sent
        flood.close()

        times = [reviewer_ms(server) for _ in range(5)]
        assert max(times) < 1000, times
        # From one address the server holds its share only: the oldest idle ones made way.
        time.sleep(0.5)
        open_now = sum(not closed(s) for s in idle + slow)
        assert open_now <= PER_CLIENT, open_now

        # A request not whole within its time is cut, however busy the client looks.
        while time.monotonic() - started < REQUEST_SECONDS + 3 and not all(closed(s) for s in slow):
            time.sleep(0.2)
        assert all(closed(s) for s in slow), "slow clients still held after the request time"
        assert max(reviewer_ms(server) for _ in range(3)) < 1000
    finally:
        stop.set()
        dripping.join()
        for s in idle + slow:
            s.close()
    # The flood's memory went back (the library's pools are per connection).
    assert rss_kib(server.process.pid) - before < 16 * 1024


def test_connections_in_all_are_bounded(server: rs.Server) -> None:
    """Ten clients of 30 connections each (under their share): no more than the total is held."""
    socks = []
    try:
        for client in range(10):
            for _ in range(30):
                try:
                    socks.append(connect(server.port, f"127.0.0.{10 + client}"))
                except OSError:
                    pass
        time.sleep(0.5)
        held = sum(not closed(s) for s in socks)
        assert held <= TOTAL, held
        assert reviewer_ms(server) < 1000
    finally:
        for s in socks:
            s.close()
