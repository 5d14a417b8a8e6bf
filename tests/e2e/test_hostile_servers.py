"""Servers that hold a request in every phase: a download whose answer
never finishes its headers, a chunked body whose next size line trickles, a
TLS record that trickles after the handshake; a collector that answers one
header line every 5 s, one that closes every connection, one that drops
only the first. None of them may hold a close, the exit or the last event.

The server speaks on the socket itself (the loopback server of the other
tests finishes what it starts), as the proxy the programs reach through
http_proxy, and records the requests as that server does."""
import socket
import ssl
import threading
import time
import urllib.parse

import pytest

from conftest import BIN, probe_output, run_wine
from test_https import certificates  # noqa: F401  (the fixture)
from test_window import CLASS, inspect, listing, wait_until

TRICKLE = 1.0  # seconds between two pieces of a trickle


class HostileServer:
    """A proxy on 127.0.0.1. `get` and `post` name what it does with each
    request of that method (after reading it whole):
      answer          200 with an empty body, at once (a download gets the
                      whole `body`)
      header-lines    the status line, then one header line every `pace` s
      chunk-size      a chunked answer (that also announces a length): one
                      chunk, then the next chunk's size line one digit every
                      `pace` s
      close           closes the connection without answering
      close-first     closes the first connection so, answers the others
    A CONNECT is tunnelled into TLS with `tls`; there `get` may also be
      tls-record      the header of a 16 KiB TLS record, then one byte of it
                      every `pace` s
    """

    def __init__(self, get="answer", post="answer", pace=TRICKLE, tls=None, body=b""):
        self.get, self.post, self.pace, self.tls, self.body = get, post, pace, tls, body
        self.requests = []
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.proxy = "http://127.0.0.1:%d" % self.listener.getsockname()[1]
        self.closed = False
        threading.Thread(target=self._accept, daemon=True).start()

    def close(self):
        self.closed = True
        self.listener.close()

    def posts(self):
        return [r for r in self.requests if r["method"] == "POST"]

    def _accept(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(connection,), daemon=True).start()

    def _serve(self, connection):
        with connection:
            try:
                channel = Plain(connection)
                head, body = channel.read_request()
                if head.startswith(b"CONNECT "):
                    connection.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
                    channel = Tls(connection, self.tls)
                    head, body = channel.read_request()
                self._answer(channel, head, body)
            except (OSError, ssl.SSLError, ConnectionError):
                return

    def _answer(self, channel, head, body):
        method = head.split(b" ", 1)[0].decode()
        record = {"method": method, "url": head.split(b" ")[1].decode(), "body": body, "time": time.monotonic(),
                  "answered": False}
        self.requests.append(record)
        behaviour = self.post if method == "POST" else self.get
        if behaviour == "close-first":
            behaviour = "close" if len(self.posts()) == 1 else "answer"
        if behaviour == "close":
            return
        if behaviour == "answer":
            payload = self.body if method == "GET" else b""
            channel.send(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % len(payload) + payload)
            record["answered"] = True
            return
        if behaviour == "header-lines":
            channel.send(b"HTTP/1.1 200 OK\r\n")
            while not self.closed:
                time.sleep(self.pace)
                channel.send(b"X-Slow: 1\r\n")
        if behaviour == "chunk-size":
            channel.send(b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\nTransfer-Encoding: chunked\r\n\r\n"
                         b"200\r\n" + b"x" * 0x200 + b"\r\n")
            while not self.closed:
                time.sleep(self.pace)
                channel.send(b"1")
        if behaviour == "tls-record":
            channel.raw(bytes([0x17, 0x03, 0x03, 0x40, 0x00]))
            while not self.closed:
                time.sleep(self.pace)
                channel.raw(b"\x00")


class Plain:
    def __init__(self, connection):
        self.connection = connection
        self.pending = b""

    def receive(self):
        data = self.connection.recv(65536)
        if not data:
            raise ConnectionError("closed")
        return data

    def read_request(self):
        while b"\r\n\r\n" not in self.pending:
            self.pending += self.receive()
        head, _, rest = self.pending.partition(b"\r\n\r\n")
        length = 0
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value)
        while len(rest) < length:
            rest += self.receive()
        self.pending = rest[length:]
        return head, rest[:length]

    def send(self, data):
        self.connection.sendall(data)

    def raw(self, data):
        self.connection.sendall(data)


class Tls(Plain):
    """TLS over the tunnel through memory buffers, so that raw bytes can
    follow the handshake on the same socket."""

    def __init__(self, connection, context):
        super().__init__(connection)
        self.incoming, self.outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.tls = context.wrap_bio(self.incoming, self.outgoing, server_side=True)
        while True:
            try:
                self.tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                self._flush()
                self.incoming.write(super().receive())
        self._flush()

    def _flush(self):
        data = self.outgoing.read()
        if data:
            self.connection.sendall(data)

    def receive(self):
        while True:
            try:
                data = self.tls.read(65536)
                self._flush()
                if not data:
                    raise ConnectionError("closed")
                return data
            except ssl.SSLWantReadError:
                self._flush()
                self.incoming.write(super().receive())

    def send(self, data):
        self.tls.write(data)
        self._flush()


def events(server):
    return [urllib.parse.parse_qs(r["body"].decode("ascii"))["ea"][0] for r in server.posts() if r["answered"]]


# From the window's close to the process's end: the drain limit of the
# installer with short waits (2 s), one analytics attempt's deadline (10 s),
# and Wine's own exit (about 2 s), with room for a loaded machine.
EXIT_BOUND = 2 + 10 + 6


@pytest.mark.parametrize("program, behaviour", [
    # The installer's own time-outs (30 s), so that only the stop can end the wait.
    ("QuelloxSetup.exe", "header-lines"),
    ("QuelloxSetup.exe", "chunk-size"),
    ("QuelloxSetupHttps.exe", "tls-record"),
])
def test_a_download_held_in_any_phase_does_not_hold_the_close(run, signed_setup, certificates, program,  # noqa: F811
                                                              behaviour):
    server = HostileServer(get=behaviour, tls=certificates("ours"), body=signed_setup)
    try:
        installer = run(program)
        installer.server = server
        installer.start("/SkipStart")
        listing()
        wait_until(lambda: [r for r in server.requests if r["method"] == "GET"], what="the download")
        time.sleep(2.5)  # well inside the blocked call
        closed = time.monotonic()
        assert inspect("close", CLASS).returncode == 0
        assert installer.wait(timeout=60) == 0
        assert time.monotonic() - closed < EXIT_BOUND
        assert events(server) == ["install_start", "install_cancel"]
        # The next start is not turned away by a hidden process.
        assert inspect("list", CLASS, "0").returncode == 2
    finally:
        server.close()


def report(server, events, drain_ms):
    env = {"http_proxy": server.proxy, "QUELLOX_PROBE_EVENTS": ",".join(events),
           "QUELLOX_PROBE_DRAIN_MS": str(drain_ms)}
    try:
        return probe_output(run_wine(BIN / "analytics_probe.exe", env=env, timeout=90))
    finally:
        server.close()


def test_a_collector_answering_one_header_line_every_5_s_cannot_hold_the_exit():
    server = HostileServer(post="header-lines", pace=5)
    out = report(server, ["install_cancel"], 3000)
    # The drain limit, and at most one attempt's deadline after it.
    assert 3000 <= int(out["DoneMs"]) <= 3000 + 10000
    assert events(server) == []


def test_a_collector_that_closes_every_connection_is_not_hammered():
    server = HostileServer(post="close")
    out = report(server, ["install_start"], 5000)
    assert int(out["DoneMs"]) >= 5000
    # Retried, but after pauses that grow from 10 ms: 11 attempts at most in
    # 5 s (a fixed 10 ms pause made about 330).
    assert 4 <= len(server.posts()) <= 12


def test_the_runs_last_event_survives_one_dropped_connection():
    server = HostileServer(post="close-first")
    out = report(server, ["install_cancel"], 120000)
    assert events(server) == ["install_cancel"]
    assert len(server.posts()) == 2
    assert int(out["DoneMs"]) < 10000
