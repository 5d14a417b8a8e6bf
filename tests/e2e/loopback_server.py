"""A small HTTP server on 127.0.0.1 for the tests. The programs under test
reach it as their proxy (http_proxy), so it receives their requests for the
compiled-in addresses as absolute URIs and never resolves a host name.

Each request takes the next entry of `plan` (the last one repeats): a dict
of behaviours, all optional (a POST, as to an analytics collector, gets an
empty answer and heeds only force_status, drop and hang; `post_plan`, when
set, is used for POSTs instead of `plan`):
  status        status of a whole-body answer (default 200)
  honour_range  answer a "Range: bytes=N-" request with 206 (default True),
                or with 416 when N is at or past the end
  range_from_zero  answer a "Range: bytes=N-" request with a 206 of the
                whole body, its Content-Range starting at 0
  force_status  answer with this status and an empty body (or force_body),
                whatever was asked
  no_length     send no Content-Length (the body ends with the connection)
  cut_after     close the connection after this many body bytes
  delay         seconds to wait before each piece of the body
  chunk         size of those pieces (default 512)
  stall_after   send this many body bytes, then nothing for `stall` seconds
  declared      the Content-Length to send instead of the body's own
  drop          close the connection without answering
  hang          keep the connection open this many seconds without answering
  headers       extra headers of the answer, a dict (a Set-Cookie, say)
  forward       (host, port): a POST goes on to that collector, and its
                answer comes back (no answer there, none here)
Each recorded request notes whether it was answered.

With `tls` set to an ssl.SSLContext, the server also answers CONNECT as a
proxy does for https: it accepts the tunnel, speaks TLS inside it with that
context's certificate, and serves the requests that come through it like any
other (recorded with "tls": True). Each CONNECT target is recorded in
`tunnels`, each failed handshake in `tls_errors`.
"""
import http.server
import re
import socket
import ssl
import threading
import time


class LoopbackServer:
    def __init__(self, body=b"", port=0):
        self.body = body
        self.plan = [{}]
        self.post_plan = None
        self.requests = []  # dicts: method, url, headers, body, time, tls
        self.tls = None
        self.tunnels = []
        self.tls_errors = []
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                server._answer(self)

            def do_POST(self):
                server._answer(self)

            def do_CONNECT(self):
                server._tunnel(self, Handler)

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
        self.httpd.daemon_threads = True
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    @property
    def proxy(self):
        return "http://127.0.0.1:%d" % self.httpd.server_address[1]

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()

    def _tunnel(self, handler, handler_class):
        self.tunnels.append(handler.path)
        handler.close_connection = True
        if self.tls is None:
            handler.send_error(405)
            return
        handler.send_response(200, "Connection established")
        handler.end_headers()
        try:
            wrapped = self.tls.wrap_socket(handler.connection, server_side=True)
        except (ssl.SSLError, OSError) as error:
            self.tls_errors.append(str(error))
            return
        try:
            handler_class(wrapped, handler.client_address, self.httpd)  # serves the tunnel's requests
        except OSError:
            pass
        finally:
            try:
                wrapped.close()
            except OSError:
                pass

    def _behaviour(self):
        method = self.requests[-1]["method"]
        plan = self.post_plan if method == "POST" and self.post_plan is not None else self.plan
        count = sum(1 for r in self.requests if (r["method"] == method) or plan is self.plan)
        return plan[min(count - 1, len(plan) - 1)]

    def _forward(self, address):
        """The recorded POST, sent on; the status and body of the answer, or None."""
        import http.client
        import urllib.parse

        request = self.requests[-1]
        parts = urllib.parse.urlsplit(request["url"])
        target = parts.path + ("?" + parts.query if parts.query else "")
        connection = http.client.HTTPConnection(*address, timeout=30)
        try:
            connection.request("POST", target, body=request["body"],
                               headers={"Content-Type": request["headers"].get("Content-Type", "")})
            answer = connection.getresponse()
            return answer.status, answer.read()
        except (OSError, http.client.HTTPException):
            return None, b""
        finally:
            connection.close()

    def _answer(self, handler):
        length = int(handler.headers.get("Content-Length") or 0)
        self.requests.append({
            "method": handler.command,
            "url": handler.path,
            "headers": dict(handler.headers.items()),
            "body": handler.rfile.read(length) if length else b"",
            "time": time.monotonic(),
            "tls": isinstance(handler.connection, ssl.SSLSocket),
        })
        plan = self._behaviour()
        self.requests[-1]["answered"] = not (plan.get("drop") or plan.get("hang"))
        if plan.get("hang"):
            time.sleep(plan["hang"])
        if plan.get("drop") or plan.get("hang"):
            handler.close_connection = True
            try:
                handler.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            return
        status, payload, extra = plan.get("status", 200), self.body, {}
        if handler.command == "POST":
            # A collector: an empty answer, at once.
            plan = {key: plan[key] for key in ("force_status", "headers", "forward") if key in plan}
            payload = b""
            if "forward" in plan:
                status, payload = self._forward(plan["forward"])
                if status is None:
                    self.requests[-1]["answered"] = False
                    handler.close_connection = True
                    try:
                        handler.connection.shutdown(socket.SHUT_RDWR)
                    except OSError:
                        pass
                    return
        ranged = re.fullmatch(r"bytes=(\d+)-", handler.headers.get("Range", ""))
        if "force_status" in plan:
            status, payload = plan["force_status"], plan.get("force_body", b"")
        elif ranged and plan.get("range_from_zero"):
            status, payload = 206, self.body
            extra["Content-Range"] = "bytes 0-%d/%d" % (len(self.body) - 1, len(self.body))
        elif ranged and plan.get("honour_range", True):
            start = int(ranged.group(1))
            if start >= len(self.body):
                status, payload = 416, b""
                extra["Content-Range"] = "bytes */%d" % len(self.body)
            else:
                status, payload = 206, self.body[start:]
                extra["Content-Range"] = "bytes %d-%d/%d" % (start, len(self.body) - 1, len(self.body))

        handler.send_response(status)
        handler.send_header("Content-Type", "application/octet-stream")
        extra.update(plan.get("headers", {}))
        for name, value in extra.items():
            handler.send_header(name, value)
        if plan.get("no_length"):
            handler.send_header("Connection", "close")
            handler.close_connection = True
        else:
            handler.send_header("Content-Length", str(plan.get("declared", len(payload))))
        handler.end_headers()

        cut = plan.get("cut_after", plan.get("stall_after"))
        to_send = payload if cut is None else payload[:cut]
        chunk = plan.get("chunk", 512)
        for offset in range(0, len(to_send), chunk):
            if plan.get("delay"):
                time.sleep(plan["delay"])
            try:
                handler.wfile.write(to_send[offset:offset + chunk])
                handler.wfile.flush()
            except OSError:
                return
        if "stall_after" in plan:
            time.sleep(plan.get("stall", 60))
        if cut is not None or "declared" in plan:
            handler.close_connection = True
            try:
                handler.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
