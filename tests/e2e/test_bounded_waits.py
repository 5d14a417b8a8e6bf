"""Waits that must end however slowly a server answers: the download under
a server that trickles its body (each byte inside the receive time-out, so
the time-out never fires), and an analytics attempt whose answer trickles
without end."""
import socket
import threading
import time

import pytest

from conftest import BIN, probe_output, run_wine
from test_window import CLASS, inspect, listing, wait_until


class TricklingCollector:
    """A collector on 127.0.0.1 whose first `trickled` answers announce a
    huge body and send one byte of it every half second until the client
    goes away; later answers are empty, at once."""

    def __init__(self, trickled):
        self.trickled = trickled
        self.connections = 0
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.proxy = "http://127.0.0.1:%d" % self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            self.connections += 1
            threading.Thread(target=self._answer, args=(connection, self.connections), daemon=True).start()

    def _answer(self, connection, number):
        with connection:
            request = b""
            while b"\r\n\r\n" not in request:
                request += connection.recv(4096)
            head, _, body = request.partition(b"\r\n\r\n")
            length = [int(line.split(b":")[1]) for line in head.split(b"\r\n") if line.lower().startswith(b"content-length:")]
            while length and len(body) < length[0]:
                body += connection.recv(4096)
            try:
                if number > self.trickled:
                    connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")
                    return
                connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100000000\r\n\r\n")
                while True:
                    time.sleep(0.5)
                    connection.sendall(b"x")
            except OSError:
                return

    def close(self):
        self.listener.close()


@pytest.mark.parametrize("events, trickled, drain_ms, low, high, connections", [
    # The only event is in flight and the drain limit comes first: the stop
    # at the limit ends the reading of the answer at once.
    (["install_cancel"], 1, 1500, 1500, 4000, 1),
    # The drain is long: the reading of the answer ends at the attempt's
    # deadline (10 s). The status had arrived, so the collector has the
    # event: it is not sent again, the last one as every other.
    (["install_cancel"], 1, 60000, 9000, 20000, 1),
    (["install_start", "install_cancel"], 1, 60000, 9000, 20000, 2),
], ids=["stop-at-the-limit", "attempt-deadline-last-event", "attempt-deadline"])
def test_an_answer_trickling_without_end_ends_the_attempt(events, trickled, drain_ms, low, high, connections):
    collector = TricklingCollector(trickled)
    try:
        env = {"http_proxy": collector.proxy, "QUELLOX_PROBE_EVENTS": ",".join(events),
               "QUELLOX_PROBE_DRAIN_MS": str(drain_ms)}
        out = probe_output(run_wine(BIN / "analytics_probe.exe", env=env, timeout=60))
    finally:
        collector.close()
    assert low <= int(out["DoneMs"]) <= high
    # One connection for each event: the trickled one counts as delivered.
    assert collector.connections == connections


def test_a_trickling_download_does_not_hold_the_close(run, server):
    # One byte every half second: each receive gets its byte well inside the
    # 2 s transfer time-out, so only the stop can end the transfer.
    server.plan = [{"chunk": 1, "delay": 0.5}]
    installer = run("QuelloxSetupShortWait.exe").start("/SkipStart")
    listing()
    wait_until(lambda: [r for r in server.requests if r["method"] == "GET"], what="the download")
    time.sleep(2)
    closed = time.monotonic()
    assert inspect("close", CLASS).returncode == 0
    assert installer.wait(timeout=40) == 0
    # The stop within one receive time-out (2 s), the cancel event, Wine's exit.
    assert time.monotonic() - closed < 10
    assert installer.events() == ["install_start", "install_cancel"]
