"""quellox-stampd on real signed installers, over real HTTP on 127.0.0.1:
signed links give validly signed copies carrying their values, refusals
carry their reasons, and the service reloads, stops and sits behind nginx as
a maker runs it. Only the last test needs Wine."""
import base64
import concurrent.futures
import hashlib
import hmac
import http.client
import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import time
import urllib.parse

import pytest

from conftest import BIN, LONG_MARKERS, ROOT, sign

HOST_BIN = pathlib.Path(os.environ.get("QUELLOX_HOST_BIN", BIN.parents[1] / "host/bin"))
STAMP, STAMPD, LINKS = HOST_BIN / "quellox-stamp", HOST_BIN / "quellox-stampd", HOST_BIN / "quellox-stampd-links"
EXE_TYPE = "application/vnd.microsoft.portable-executable"
NGINX = shutil.which("nginx") or "/usr/sbin/nginx"  # /usr/sbin is not on every user's PATH


def read_values(body):
    """The three values as the installer's reader finds them in the last 4096 bytes."""
    tail = body[-4096:]
    values = []
    for marker in LONG_MARKERS:
        at = tail.find(marker.encode("utf-16-le"))
        assert at >= 0, marker
        start = at + 28
        values.append(tail[start:start + 200].decode("utf-16-le").strip(" "))
    return values


def stamped_reference(installer, tmp_path, cookie="", partner="", traffic=""):
    """What `quellox-stamp set` makes of the installer: the bytes a copy must have."""
    target = tmp_path / ("reference-%s-%s-%s.exe" % (len(cookie), len(partner), len(traffic)))
    shutil.copyfile(installer, target)
    subprocess.run([str(STAMP), "set", str(target), "--cookie", cookie, "--partner", partner, "--traffic", traffic],
                   check=True, capture_output=True)
    return target.read_bytes()


def verifies(path, identity):
    result = subprocess.run(["osslsigncode", "verify", "-CAfile", str(identity[0]), "-in", str(path)],
                            capture_output=True, text=True, timeout=60)
    return result.returncode == 0 and "Succeeded" in result.stdout


def make_key(path):
    """A key as the documentation makes one: 32 random bytes in base64, readable by its owner only."""
    path.write_text(base64.b64encode(os.urandom(32)).decode() + "\n")
    path.chmod(0o600)
    return path


def signed_target(key, name, expires, **values):
    """A signed address made here, from the documented form, with an expiry."""
    text = "quellox-stampd 2\n%s\n%s\n%s\n%s\n%s\n" % (
        name, values.get("cookie", ""), values.get("partner", ""), values.get("traffic", ""), expires)
    sig = hmac.new(key.read_text().rstrip("\n").encode(), text.encode(), hashlib.sha256).hexdigest()
    query = urllib.parse.urlencode([(k, v) for k, v in values.items()] + [("exp", expires), ("sig", sig)])
    return "/%s?%s" % (name, query)


def sized_installer(identity, size, target):
    """The installer with zeros appended up to `size` bytes, then signed: an
    installer of that size as far as the service is concerned."""
    unsigned = target.with_suffix(".unsigned")
    data = (BIN / "QuelloxSetup.exe").read_bytes()
    unsigned.write_bytes(data + bytes(max(0, size - len(data))))
    return sign(identity, unsigned, target)


class Stampd:
    """One service process on a free loopback port; its access log is its stdout."""

    def __init__(self, folder, installer, key, *flags, preexec_fn=None):
        self.log = folder / ("stampd-%d.log" % time.monotonic_ns())
        with open(self.log, "wb") as out:
            self.process = subprocess.Popen([str(STAMPD), "--installer", str(installer), "--key", str(key),
                                             "--listen", "127.0.0.1:0", *map(str, flags)],
                                            stdout=out, stderr=subprocess.STDOUT, preexec_fn=preexec_fn)
        match = self.wait_for(r"listening on 127\.0\.0\.1:(\d+)")
        self.port = int(match.group(1))

    def wait_for(self, pattern, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            match = re.search(pattern, self.log.read_text())
            if match:
                return match
            assert self.process.poll() is None, self.log.read_text()
            time.sleep(0.02)
        raise AssertionError("no %r in the log:\n%s" % (pattern, self.log.read_text()))

    def lines(self):
        return self.log.read_text().splitlines()

    def count(self, text, expected, settle=0.3):
        """Waits until `expected` lines hold `text` (a line is written once its
        response has gone out), then a little longer for any extra one."""
        deadline = time.monotonic() + 10
        while sum(text in line for line in self.lines()) < expected and time.monotonic() < deadline:
            time.sleep(0.02)
        time.sleep(settle)
        return sum(text in line for line in self.lines())

    def request(self, target, method="GET", headers=None, port=None):
        connection = http.client.HTTPConnection("127.0.0.1", port or self.port, timeout=30)
        try:
            connection.request(method, target, headers=headers or {})
            response = connection.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            connection.close()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(timeout=40)


@pytest.fixture(scope="module")
def installer(tmp_path_factory, signing_identity):
    folder = tmp_path_factory.mktemp("stampd")
    return sign(signing_identity, BIN / "QuelloxSetup.exe", folder / "QuelloxSetup-signed.exe")


@pytest.fixture
def keys(tmp_path):
    return make_key(tmp_path / "current.key"), make_key(tmp_path / "previous.key")


@pytest.fixture
def service(tmp_path, installer, keys):
    started = []

    def start(*flags, installer_path=None, preexec_fn=None):
        started.append(Stampd(tmp_path, installer_path or installer, keys[0], *flags, preexec_fn=preexec_fn))
        return started[-1]

    yield start
    for s in started:
        s.stop()


def links(key, base, rows):
    """Signed links from the companion command, for CSV rows (header first)."""
    listing = key.parent / "links.csv"
    listing.write_text("\n".join(rows) + "\n")
    result = subprocess.run([str(LINKS), "--key", str(key), base, str(listing)], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


def target_of(link):
    parts = urllib.parse.urlsplit(link)
    return parts.path + "?" + parts.query


def test_signed_links_give_validly_signed_copies_with_their_values(service, keys, installer, signing_identity, tmp_path):
    stampd = service()
    rows = (ROOT / "examples/partners.csv").read_text().splitlines()
    made = links(keys[0], "http://127.0.0.1:%d/" % stampd.port, rows)
    assert len(made) == 3
    expected_values = [["spring sale", "p17", "t9"], ["forum-2026", "p23", "t2"], ["autumn", "p31", ""]]
    names = ["qlx-setup_spring-news.exe", "qlx_E12-setup_forum.exe", "qlx_E40-setup.exe"]
    for link, values, name in zip(made, expected_values, names):
        copy = tmp_path / name
        result = subprocess.run(["curl", "-sS", "-D", "-", "-o", str(copy), link], capture_output=True, text=True)
        assert result.returncode == 0 and " 200 " in result.stdout.splitlines()[0]
        assert 'content-disposition: attachment; filename="%s"' % name.lower() in result.stdout.lower()
        assert "content-type: " + EXE_TYPE in result.stdout.lower()
        assert verifies(copy, signing_identity)
        shown = subprocess.run([str(STAMP), "show", str(copy)], capture_output=True, text=True).stdout
        assert shown == "cookie=%s\npartner=%s\ntraffic=%s\n" % tuple(values)
        # The same bytes as stamping the file with the tool, checksum included.
        assert copy.read_bytes() == stamped_reference(installer, tmp_path, *values)

        # A download resumed in two ranges (curl -C, as a browser resumes) is the same file.
        parts = tmp_path / ("parts-" + name)
        subprocess.run(["curl", "-sS", "-r", "0-99999", "-o", str(parts), link], check=True)
        subprocess.run(["curl", "-sS", "-C", "-", "-o", str(parts), link], check=True)
        assert parts.read_bytes() == copy.read_bytes()
    assert stampd.count("sig=valid ", 3 + 3 * 2) == 3 + 3 * 2  # each copy, and its two ranges


def test_conditional_requests_head_and_ranges(service, keys):
    stampd = service()
    [link] = links(keys[0], "http://x", ["cookie,partner", "c1,p1"])
    target = target_of(link)
    status, headers, body = stampd.request(target)
    etag = headers["ETag"]
    assert status == 200 and re.fullmatch(r'"[0-9a-f]{32}"', etag)
    assert headers["Cache-Control"].startswith("public, max-age=")
    assert headers["Accept-Ranges"] == "bytes"
    size = len(body)

    cases = [
        ("GET", {"If-None-Match": etag}, 304, b""),
        ("GET", {"If-None-Match": '"other", W/' + etag}, 304, b""),
        ("GET", {"If-None-Match": '"other"'}, 200, body),
        ("HEAD", {}, 200, b""),
        ("GET", {"Range": "bytes=100-199"}, 206, body[100:200]),
        ("GET", {"Range": "bytes=-300"}, 206, body[-300:]),
        ("GET", {"Range": "bytes=100-199", "If-Range": etag}, 206, body[100:200]),
        ("GET", {"Range": "bytes=100-199", "If-Range": '"old"'}, 200, body),
        ("GET", {"Range": "bytes=0-1,5-6"}, 200, body),
        ("GET", {"Range": "bytes=%d-" % size}, 416, None),
    ]
    for method, request_headers, expected_status, expected_body in cases:
        status, headers, answer = stampd.request(target, method, request_headers)
        assert status == expected_status, (method, request_headers)
        if expected_body is not None:
            assert answer == expected_body, (method, request_headers)
        if status in (200, 206, 304):
            assert headers["ETag"] == etag
        if method == "HEAD":
            assert int(headers["Content-Length"]) == size and headers["Content-Type"] == EXE_TYPE
        if status == 206:
            first = size - 300 if "-300" in request_headers["Range"] else 100
            assert headers["Content-Range"] == "bytes %d-%d/%d" % (first, first + len(answer) - 1, size)
        if status == 416:
            assert headers["Content-Range"] == "bytes */%d" % size
            assert headers["Cache-Control"] == "no-store"
    # A range whose end is the size itself ends at the last byte.
    status, headers, answer = stampd.request(target, headers={"Range": "bytes=%d-%d" % (size - 100, size)})
    assert status == 206 and answer == body[-100:]
    assert headers["Content-Range"] == "bytes %d-%d/%d" % (size - 100, size - 1, size)


def test_pipelined_requests_each_get_their_answer(service, keys):
    stampd = service()
    made = links(keys[0], "http://x", ["cookie", "first", "second"])
    requests = "".join("GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % target_of(link) for link in made)
    answer = raw_exchange(stampd.port, (requests + "GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n").encode())
    bodies = []
    while answer:
        header, _, rest = answer.partition(b"\r\n\r\n")
        length = int(re.search(rb"Content-Length: (\d+)", header).group(1))
        bodies.append(rest[:length])
        answer = rest[length:]
    assert [read_values(body)[0] for body in bodies[:2]] == ["first", "second"]
    assert len(bodies) == 3 and bodies[2].startswith(b"ok ")


def forged(link):
    return link[:-64] + "0" * 64


def altered(link):
    return link.replace("partner=p1", "partner=p2")


@pytest.mark.parametrize("policy", ["serve", "refuse"])
def test_unsigned_forged_altered_and_old_key_links(service, keys, installer, tmp_path, policy):
    current, previous = keys
    stampd = service("--unsigned", policy, "--old-key", previous)
    rows = ["error_code,linker,cookie,partner", "E1,l1,c1,p1"]
    [good] = links(current, "http://x", rows)
    [old] = links(previous, "http://x", rows)
    other = make_key(tmp_path / "other.key")
    [foreign] = links(other, "http://x", rows)
    refused = policy == "refuse"
    cases = [
        # link, logged signature state, whether it is honoured, the 403 reason
        (good, "valid", True, None),
        (old, "valid-old-key", True, None),
        (forged(good), "bad", False, "the link's signature does not hold"),
        (altered(good), "bad", False, "the link's signature does not hold"),
        (foreign, "bad", False, "the link's signature does not hold"),
        (good.split("&sig=")[0], "missing", False, "the link is not signed"),
    ]
    blank = stamped_reference(installer, tmp_path)
    for link, state, honoured, reason in cases:
        status, headers, body = stampd.request(target_of(link))
        assert stampd.wait_for(r"sig=%s " % re.escape(state))
        if honoured:
            assert status == 200 and read_values(body) == ["c1", "p1", ""]
            assert headers["Content-Disposition"] == 'attachment; filename="qlx_E1-setup_l1.exe"'
        elif refused:
            assert status == 403 and body.decode() == reason + "\n"
            assert headers["Content-Type"].startswith("text/plain")
        else:
            # No attribution at all: no values, and a name that carries none,
            # never kept by a cache (every forged address would be an entry).
            assert status == 200 and body == blank
            assert headers["Content-Disposition"] == 'attachment; filename="qlx-setup.exe"'
            assert headers["Cache-Control"] == "no-store"
        if honoured:
            assert headers["Cache-Control"].startswith("public, max-age=")
    # Without the previous key configured, its links no longer count.
    plain = service("--unsigned", "refuse")
    assert plain.request(target_of(old))[0] == 403


@pytest.mark.parametrize("policy", ["serve", "refuse"])
def test_links_that_expire(service, keys, installer, tmp_path, policy):
    stampd = service("--unsigned", policy)
    now = int(time.time())
    fresh = signed_target(keys[0], "qlx-setup_x.exe", now + 600, cookie="c1")
    stale = signed_target(keys[0], "qlx-setup_x.exe", now - 1, cookie="c1")
    status, headers, body = stampd.request(fresh)
    assert status == 200 and read_values(body) == ["c1", "", ""]
    # Cached no longer than the link holds.
    assert 590 <= int(headers["Cache-Control"].split("max-age=")[1]) <= 600
    status, headers, body = stampd.request(stale)
    stampd.wait_for(r"sig=expired ")
    if policy == "refuse":
        assert status == 403 and body == b"the link has expired\n"
    else:
        assert status == 200 and body == stamped_reference(installer, tmp_path)
        assert headers["Cache-Control"] == "no-store"
    # A later expiry under the same signature does not hold.
    assert stampd.request(stale.replace("exp=%d" % (now - 1), "exp=%d" % (now + 600)))[0] == (
        403 if policy == "refuse" else 200)
    stampd.wait_for(r"sig=bad ")
    # The links tool makes such links.
    made = subprocess.run([str(LINKS), "--key", str(keys[0]), "--expires", "+1d", "http://x",
                           str(ROOT / "examples/partners.csv")], capture_output=True, text=True)
    assert made.returncode == 0, made.stderr
    for link in made.stdout.splitlines():
        expires = int(re.search(r"&exp=(\d+)&sig=", link).group(1))
        assert abs(expires - (now + 86400)) < 60
        assert stampd.request(target_of(link))[1]["Cache-Control"].startswith("public")
    for when in ("yesterday", "+0d", str(now - 10), "+5y"):
        refused = subprocess.run([str(LINKS), "--key", str(keys[0]), "--expires", when, "http://x",
                                  str(ROOT / "examples/partners.csv")], capture_output=True, text=True)
        assert refused.returncode == 2 and "--expires: value refused" in refused.stderr, when


def test_key_files_that_are_refused(installer, tmp_path):
    good = base64.b64encode(os.urandom(32)).decode() + "\n"
    cases = [
        # text, mode, the reason
        (good, 0o644, "others can reach it (mode 0644)"),
        (good, 0o660, "others can reach it (mode 0660)"),
        ("short\n", 0o600, "the key is not base64"),
        (base64.b64encode(os.urandom(24)).decode(), 0o600, "24 bytes, fewer than 32"),
        ("A" * 44, 0o600, "not random"),
    ]
    for text, mode, reason in cases:
        key = tmp_path / "refused.key"
        key.write_text(text)
        key.chmod(mode)
        for command in ([str(STAMPD), "--installer", str(installer), "--key", str(key), "--listen", "127.0.0.1:0"],
                        [str(LINKS), "--key", str(key), "http://x", str(ROOT / "examples/partners.csv")]):
            result = subprocess.run(command, capture_output=True, text=True, timeout=10)
            assert result.returncode == 1 and reason in result.stderr, (command[0], text, result.stderr)


def raw_exchange(port, data, read_timeout=5):
    """Sends raw bytes and returns everything answered until the server closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=read_timeout) as s:
        s.sendall(data)
        received = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return received
            received += chunk


BAD_REQUESTS = [
    # request line and headers, status, reason
    ("GET /setup.exe", 400, "the file name is not qlx_<error code>-setup_<linker value>.exe"),
    ("GET /qlx-setup_a%2Fb.exe", 400, "the file name holds a character that a file name cannot hold"),
    ("GET /../etc/passwd", 400, "the file name holds a character that a file name cannot hold"),
    ("GET /qlx-setup.exe?cookie=%zz", 400, "malformed percent-encoding in the query"),
    ("GET /qlx-setup.exe?cookie=" + "c" * 101, 400, "cookie refused: longer than 100 characters"),
    ("GET /qlx-setup.exe?partner=%22x%22", 400, "partner refused: double quotes and backslashes are not allowed"),
    ("GET /qlx-setup.exe?traffic=caf%C3%A9", 400, "traffic refused: only printable ASCII characters are allowed"),
    ("GET /qlx-setup.exe?campaign=x", 400, "unknown query field"),
    ("GET /qlx-setup.exe?cookie=a&cookie=b", 400, "a query field is given twice"),
    ("GET /qlx-setup.exe?cookie=" + "%41" * 700, 400, "the address is longer than 2048 characters"),
    ("GET /qlx-setup.exe\r\nX-Big: " + "x" * 9000, 400, "the request header is too large"),
    ("GET /qlx-setup.exe\r\nContent-Length: 3", 400, "a request with a body is refused"),
    ("POST /qlx-setup.exe\r\nContent-Length: 0", 405, "only GET and HEAD are served"),
    ("DELETE /qlx-setup.exe", 405, "only GET and HEAD are served"),
]


def test_bad_requests_get_their_status_and_reason_and_the_service_goes_on(service):
    stampd = service()
    for head, status, reason in BAD_REQUESTS:
        line, _, fields = head.partition("\r\n")
        request = line + " HTTP/1.1\r\n" + (fields + "\r\n" if fields else "") + "Host: x\r\nConnection: close\r\n\r\nabc"
        answer = raw_exchange(stampd.port, request.encode())
        header, _, body = answer.partition(b"\r\n\r\n")
        assert header.startswith(b"HTTP/1.1 %d " % status), (head[:60], answer[:200])
        assert body.decode() == reason + "\n", head[:60]
        assert b"content-type: text/plain; charset=utf-8" in header.lower()
        assert b"x-content-type-options: nosniff" in header.lower() or status == 405
        assert b"content-disposition" not in header.lower()
        assert stampd.request("/healthz")[0] == 200
    # A garbled request line: 400 and the connection ends, the service goes on.
    answer = raw_exchange(stampd.port, b"GARBAGE\x01 / HTTP/9\r\n\r\n")
    assert answer.startswith(b"HTTP/1.1 400 ")
    assert stampd.request("/healthz")[0] == 200
    # Every refusal is logged, the garbled one too.
    refusals = sum(status == 400 for _, status, _ in BAD_REQUESTS) + 1
    assert stampd.count(" 400 ", refusals) == refusals


VALUE_CASES = [
    # field, value, the rule's reason (None: accepted)
    ("cookie", "inj{2E7E63583D84}p99", "holds a record's marker ({2E7E63583D84})"),
    ("partner", "{959C72553805}", "holds a record's marker ({959C72553805})"),
    ("traffic", "t{00868EBA702F}", "holds a record's marker ({00868EBA702F})"),
    ("cookie", "a\"b", "double quotes and backslashes are not allowed"),
    ("partner", "p" * 101, "longer than 100 characters"),
    ("traffic", " t9", "a blank at either end would be lost"),
    ("cookie", "{2E7E63583D8}", None),
]


def test_every_writer_refuses_the_same_values(service, keys, installer, tmp_path):
    """set, batch, the links tool and the service: one rule, one reason."""
    stampd = service()
    for field, value, reason in VALUE_CASES:
        copy = tmp_path / "copy.exe"
        shutil.copyfile(installer, copy)
        set_run = subprocess.run([str(STAMP), "set", str(copy), "--" + field, value], capture_output=True, text=True)
        listing = tmp_path / "values.csv"
        listing.write_text("%s\n\"%s\"\n" % (field, value.replace('"', '""')))
        batch_run = subprocess.run([str(STAMP), "batch", "--check", str(installer), str(listing), str(tmp_path / "out")],
                                   capture_output=True, text=True)
        links_run = subprocess.run([str(LINKS), "--key", str(keys[0]), "http://x", str(listing)],
                                   capture_output=True, text=True)
        status, _, body = stampd.request("/qlx-setup.exe?%s=%s" % (field, urllib.parse.quote(value)))
        if reason is None:
            assert (set_run.returncode, batch_run.returncode, links_run.returncode, status) == (0, 0, 0, 200), value
            continue
        assert set_run.returncode == 1 and reason in set_run.stderr, (value, set_run.stderr)
        assert batch_run.returncode == 1 and reason in batch_run.stderr, (value, batch_run.stderr)
        assert links_run.returncode == 1 and reason in links_run.stderr and links_run.stdout == "", value
        assert status == 400 and body.decode() == "%s refused: %s\n" % (field, reason), value


def test_concurrent_downloads_each_carry_their_own_values(service, keys):
    stampd = service("--threads", "4")
    count = 200
    rows = ["cookie,partner,traffic"] + ["cookie-%03d,partner-%03d,traffic-%03d" % (i, i, i) for i in range(count)]
    targets = [target_of(link) for link in links(keys[0], "http://x", rows)]
    reference = stampd.request(targets[0])[2]

    def fetch(i):
        return i, stampd.request(targets[i])

    with concurrent.futures.ThreadPoolExecutor(max_workers=count) as pool:
        results = list(pool.map(fetch, range(count)))
    tags = set()
    for i, (status, headers, body) in results:
        assert status == 200
        assert read_values(body) == ["cookie-%03d" % i, "partner-%03d" % i, "traffic-%03d" % i]
        # Outside the checksum and the values, every copy is the shared image.
        assert len(body) == len(reference) and body[0x100:-800] == reference[0x100:-800]
        tags.add(headers["ETag"])
    assert len(tags) == count


def test_sighup_switches_to_a_new_installer_without_dropping_requests(service, signing_identity, tmp_path, keys):
    live = tmp_path / "live.exe"
    shutil.copyfile(sized_installer(signing_identity, 300_000, tmp_path / "first.exe"), live)
    stampd = service(installer_path=live)
    [link] = links(keys[0], "http://x", ["cookie", "switch"])
    target = target_of(link)
    first = stampd.request(target)[2]
    assert len(first) > 300_000

    # Requests go on throughout the reload; each gets one whole release or the other.
    second_installer = sized_installer(signing_identity, 400_000, tmp_path / "second.exe")
    with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
        pending = [pool.submit(stampd.request, target) for _ in range(40)]
        shutil.copyfile(second_installer, tmp_path / "next.exe")
        os.replace(tmp_path / "next.exe", live)
        stampd.process.send_signal(signal.SIGHUP)
        pending += [pool.submit(stampd.request, target) for _ in range(40)]
        answers = [p.result() for p in pending]
    stampd.wait_for("reloaded: installer")
    for status, _, body in answers:
        assert status == 200 and read_values(body) == ["switch", "", ""]
        assert len(body) in (len(first), len(stampd.request(target)[2]))
    second = tmp_path / "second-copy.exe"
    second.write_bytes(stampd.request(target)[2])
    assert len(second.read_bytes()) > 400_000 and verifies(second, signing_identity)
    assert read_values(second.read_bytes()) == ["switch", "", ""]

    # A release that cannot be served is refused; the one in use stays.
    live.write_bytes(b"not an installer" * 1000)
    stampd.process.send_signal(signal.SIGHUP)
    stampd.wait_for("reload refused")
    assert stampd.request(target)[2] == second.read_bytes()


def test_sigterm_lets_a_slow_download_finish(service, signing_identity, tmp_path, keys):
    big = sized_installer(signing_identity, 8 * 1024 * 1024, tmp_path / "big.exe")
    stampd = service(installer_path=big)
    [link] = links(keys[0], "http://x", ["cookie", "slow"])
    target = target_of(link)
    expected = stampd.request(target)[2]

    slow = socket.socket()
    slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    slow.connect(("127.0.0.1", stampd.port))
    slow.sendall(("GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % target).encode())
    received = slow.recv(65536)
    stampd.process.send_signal(signal.SIGTERM)
    stampd.wait_for("stopping")
    # No new connections once it stops...
    time.sleep(0.2)
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", stampd.port), timeout=2).close()
    # ...while the slow one still gets every byte.
    assert stampd.process.poll() is None
    while True:
        chunk = slow.recv(65536)
        if not chunk:
            break
        received += chunk
    slow.close()
    header, _, body = received.partition(b"\r\n\r\n")
    assert header.startswith(b"HTTP/1.1 200 ") and body == expected
    assert stampd.process.wait(timeout=10) == 0
    assert "stopped" in stampd.lines()[-1]


def test_a_stop_right_after_a_burst_logs_every_request(service, keys):
    """The access log is written in batches: a stop straight after the
    requests still leaves one line for each, before "stopped"."""
    stampd = service()
    for i in range(40):
        assert stampd.request("/healthz")[0] == 200
    [link] = links(keys[0], "http://x", ["cookie", "burst"])
    assert stampd.request(target_of(link), method="HEAD")[0] == 200
    stampd.process.send_signal(signal.SIGTERM)
    assert stampd.process.wait(timeout=10) == 0
    lines = stampd.lines()
    assert sum(' GET "/healthz" 200 ' in line for line in lines) == 40
    assert sum(" HEAD " in line and "sig=valid" in line for line in lines) == 1
    assert "stopped" in lines[-1]


def stalled_download(stampd, target):
    """A download whose client reads its first bytes and then nothing more."""
    stalled = socket.socket()
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stalled.connect(("127.0.0.1", stampd.port))
    stalled.sendall(("GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % target).encode())
    stalled.recv(1000)
    return stalled


@pytest.mark.parametrize("how", ["stop time-out", "second signal"])
def test_a_stop_ends_a_stalled_download_and_logs_it(service, signing_identity, tmp_path, keys, how):
    big = sized_installer(signing_identity, 8 * 1024 * 1024, tmp_path / "big.exe")
    timeout = "1" if how == "stop time-out" else "60"
    stampd = service("--stop-timeout", timeout, installer_path=big)
    [link] = links(keys[0], "http://x", ["cookie", "stalled"])
    stalled = stalled_download(stampd, target_of(link))
    stampd.process.send_signal(signal.SIGTERM)
    stampd.wait_for("stopping")
    started = time.monotonic()
    if how == "second signal":
        stampd.process.send_signal(signal.SIGINT)
    assert stampd.process.wait(timeout=10) == 0
    assert time.monotonic() - started < 5
    assert stampd.wait_for("stop time-out" if how == "stop time-out" else "a second signal")
    # The download cut off still has its access-log line, with what it sent.
    [line] = [line for line in stampd.lines() if " GET " in line]
    assert re.search(r' 200 (\d+) .* sig=valid .*cookie="stalled".* aborted="cut off by the stop"', line), line
    assert 0 < int(re.search(r" 200 (\d+) ", line).group(1)) < 8 * 1024 * 1024
    assert "stopped" in stampd.lines()[-1]
    stalled.close()


def test_clients_that_go_away_mid_download_leave_the_service_serving(service, signing_identity, tmp_path, keys):
    big = sized_installer(signing_identity, 4 * 1024 * 1024, tmp_path / "big.exe")
    stampd = service(installer_path=big)
    [link] = links(keys[0], "http://x", ["cookie", "gone"])
    for _ in range(5):
        leaving = socket.socket()
        leaving.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        leaving.connect(("127.0.0.1", stampd.port))
        leaving.sendall(("GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % target_of(link)).encode())
        leaving.recv(1000)
        leaving.close()  # with unread bytes: the service's next write meets a reset
        time.sleep(0.1)
    assert stampd.wait_for(r"aborted=")
    assert stampd.request("/healthz")[0] == 200



def cpu_seconds(pid):
    """User and system time the process has used so far."""
    fields = pathlib.Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def test_out_of_descriptors_pauses_accepting_and_says_so(service, keys):
    # A low open-file limit, and more connections than it allows: each
    # accept fails with EMFILE. The service must neither spin nor go silent.
    import resource

    def low_limit():
        resource.setrlimit(resource.RLIMIT_NOFILE, (80, 80))

    stampd = service("--threads", "2", "--max-connections", "1000", preexec_fn=low_limit)
    assert stampd.wait_for(r"open-file limit \(80\) is below --max-connections 1000")
    held = []
    for _ in range(150):
        connection = socket.socket()
        connection.connect(("127.0.0.1", stampd.port))
        held.append(connection)
    stampd.wait_for(r"cannot accept a connection \(Too many open files\), \d+ open: pausing new connections")
    before = cpu_seconds(stampd.process.pid)
    time.sleep(2)
    assert cpu_seconds(stampd.process.pid) - before < 0.5
    for connection in held:
        connection.close()
    stampd.wait_for("accepting connections again")
    assert stampd.request("/healthz")[0] == 200


def test_connections_beyond_the_cap_wait_for_one_to_end(service):
    stampd = service("--max-connections", "2")
    assert stampd.wait_for("at most 2 connections")
    idle = [socket.create_connection(("127.0.0.1", stampd.port)) for _ in range(2)]
    time.sleep(0.2)
    waiting = socket.create_connection(("127.0.0.1", stampd.port), timeout=5)
    waiting.sendall(b"GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
    waiting.settimeout(0.5)
    with pytest.raises(socket.timeout):
        waiting.recv(100)  # not accepted while two are open
    idle[0].close()
    waiting.settimeout(5)
    assert waiting.recv(100).startswith(b"HTTP/1.1 200 ")
    waiting.close()
    idle[1].close()


def test_a_second_instance_on_the_same_port_fails(service, installer, keys):
    first = service()
    second = subprocess.run([str(STAMPD), "--installer", str(installer), "--key", str(keys[0]),
                             "--listen", "127.0.0.1:%d" % first.port], capture_output=True, text=True, timeout=10)
    assert second.returncode == 1
    assert second.stderr == "quellox-stampd: cannot listen on 127.0.0.1:%d: address in use\n" % first.port
    assert second.stdout == ""
    assert all(first.request("/healthz")[0] == 200 for _ in range(10))


def test_command_line_conventions(installer, keys):
    key = str(keys[0])
    cases = [
        # arguments, exit code, standard output holds, standard error holds
        (["--help"], 0, "usage: quellox-stampd", None),
        (["--version"], 0, "quellox-stampd 1.", None),
        (["--foo", "1"], 2, None, "quellox-stampd: unknown flag --foo\n"),
        (["--installer", str(installer)], 2, None, "--key is required"),
        (["--installer", str(installer), "--key", key, "--threads", "many"], 2, None, "--threads: value refused: many"),
        (["--installer", str(installer), "--key", key, "--max-connections", "0"], 2, None, "--max-connections: value refused"),
        (["--installer", str(installer), "--key", key, "--listen", "nowhere:80"], 2, None,
         "quellox-stampd: not an address: nowhere\n"),
        (["--installer", str(installer), "--key", key, "--listen", "192.0.2.1:80"], 1, None,
         "quellox-stampd: cannot listen on 192.0.2.1:80: "),
    ]
    for arguments, code, out, err in cases:
        result = subprocess.run([str(STAMPD), *arguments], capture_output=True, text=True, timeout=10)
        assert result.returncode == code, (arguments, result.stderr)
        if out is not None:
            assert out in result.stdout, arguments
        if err is not None:
            assert err in result.stderr and result.stdout == "", (arguments, result.stdout)


RFC_CASES = [
    # request, status, whether the connection ends after it
    ("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n", 200, False),
    ("GET /healthz HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: identity\r\n\r\n", 400, True),
    ("GET /healthz HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n", 400, True),
    ("GET /healthz HTTP/1.1\r\n\r\n", 400, True),
    ("GET /healthz HTTP/1.1\r\nHost: x\r\nHost: y\r\n\r\n", 400, True),
    ("GET /healthz HTTP/1.0\r\n\r\n", 200, True),
]


def test_http_conformance(service, keys):
    stampd = service()
    for request, status, closes in RFC_CASES:
        with socket.create_connection(("127.0.0.1", stampd.port), timeout=5) as s:
            s.sendall(request.encode())
            answer = b""
            while b"\r\n\r\n" not in answer:
                answer += s.recv(65536)
            header = answer.split(b"\r\n\r\n")[0].decode()
            assert header.startswith("HTTP/1.1 %d " % status), (request, header)
            date = re.search(r"\r\nDate: (.+)", header)
            assert date and time.strptime(date.group(1), "%a, %d %b %Y %H:%M:%S GMT"), header
            s.settimeout(1)
            try:
                while s.recv(65536):
                    pass
                ended = True
            except socket.timeout:
                ended = False
            assert ended == closes, request
    # Every other answer carries the date too: a copy, a 304, a refusal.
    [link] = links(keys[0], "http://x", ["cookie", "dated"])
    status, headers, _ = stampd.request(target_of(link))
    for request_headers in ({}, {"If-None-Match": headers["ETag"]}):
        assert "Date" in stampd.request(target_of(link), headers=request_headers)[1]
    assert "Date" in stampd.request("/setup.exe")[1]

NGINX_SITE = """
{user}
worker_processes 1;
daemon off;
pid {folder}/nginx.pid;
error_log {folder}/error.log;
events {{ worker_connections 256; }}
http {{
    access_log {folder}/access.log;
    client_body_temp_path {folder}/body;
    proxy_temp_path {folder}/proxy;
    fastcgi_temp_path {folder}/fastcgi;
    uwsgi_temp_path {folder}/uwsgi;
    scgi_temp_path {folder}/scgi;
{site}
}}
"""


def nginx_config(folder, nginx_port, stampd_port, previous_port=None):
    """The example configuration, on loopback ports and in the test's folder:
    the current release's service, and the previous release's."""
    site = (ROOT / "examples/nginx-stampd.conf").read_text()
    site = site.replace("/var/cache/nginx/quellox-stampd", str(folder / "cache"))
    site = site.replace("server 127.0.0.1:8080;", "server 127.0.0.1:%d;" % stampd_port)
    site = site.replace("server 127.0.0.1:8081;", "server 127.0.0.1:%d;" % (previous_port or stampd_port))
    site = site.replace("listen 80;", "listen 127.0.0.1:%d;" % nginx_port)
    config = folder / "nginx.conf"
    # Started as root, nginx's workers would take another user, who cannot
    # reach the test's folder; they keep the test's own.
    user = "user root;" if os.geteuid() == 0 else ""
    config.write_text(NGINX_SITE.format(user=user, folder=folder, site=site))
    return config


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def nginx(tmp_path):
    processes = []

    def start(stampd_port, previous_port=None):
        folder = tmp_path / "nginx"
        folder.mkdir()
        port = free_port()
        process = subprocess.Popen([NGINX, "-c", str(nginx_config(folder, port, stampd_port, previous_port)),
                                    "-p", str(folder)],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        processes.append(process)
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return port
            except OSError:
                assert process.poll() is None, process.stderr.read()
                time.sleep(0.05)
        raise AssertionError("nginx did not start")

    yield start
    for process in processes:
        process.terminate()
        process.wait(timeout=10)


def test_nginx_in_front_serves_and_caches_the_copies(service, nginx, keys, installer, signing_identity, tmp_path):
    stampd = service()
    port = nginx(stampd.port)
    made = links(keys[0], "http://127.0.0.1:%d/r2" % port, ["linker,cookie,partner", "news,c-a,pa", "forum,c-b,pb"])
    for link, values in zip(made, [["c-a", "pa", ""], ["c-b", "pb", ""]]):
        target = target_of(link)
        status, headers, body = stampd.request(target, port=port)
        assert status == 200 and headers["X-Cache-Status"] == "MISS"
        again = stampd.request(target, port=port)
        assert again[0] == 200 and again[1]["X-Cache-Status"] == "HIT" and again[2] == body
        assert again[1]["ETag"] == headers["ETag"]
        part = stampd.request(target, headers={"Range": "bytes=1000-1999"}, port=port)
        assert part[0] == 206 and part[2] == body[1000:2000]
        copy = tmp_path / "via-nginx.exe"
        copy.write_bytes(body)
        assert verifies(copy, signing_identity) and read_values(body) == values
        assert body == stamped_reference(installer, tmp_path, *values)
    # Each address reached the service once; refusals are not cached.
    assert stampd.count(" 200 ", 2) == 2
    for _ in range(2):
        status, headers, body = stampd.request("/r2/qlx-setup.exe?cookie=%22", port=port)
        assert status == 400 and body == b"cookie refused: double quotes and backslashes are not allowed\n"
    assert stampd.count(" 400 ", 2) == 2
    assert stampd.request("/other/path", port=port)[0] == 404
    assert stampd.request("/r9/qlx-setup.exe", port=port)[0] == 404  # no such release
    assert stampd.request("/qlx-setup.exe", port=port)[0] == 404     # no release at all
    # Addresses with made-up signatures reach the service every time and leave no entry behind.
    entries = len([f for f in (tmp_path / "nginx/cache").rglob("*") if f.is_file()])
    for _ in range(2):
        for i in range(5):
            status, headers, _ = stampd.request("/r2/qlx-setup.exe?sig=%064x" % i, port=port)
            assert status == 200 and headers["X-Cache-Status"] == "MISS"
    assert stampd.count("sig=bad ", 10) == 10
    assert len([f for f in (tmp_path / "nginx/cache").rglob("*") if f.is_file()]) == entries


def test_a_resume_across_a_release_switch_keeps_to_the_release_it_began_with(service, nginx, keys, signing_identity,
                                                                            tmp_path):
    """The example configuration's way of switching releases: each release
    on addresses of its own, its instance kept while its links are out."""
    first = sized_installer(signing_identity, 300_000, tmp_path / "first.exe")
    second = sized_installer(signing_identity, 400_000, tmp_path / "second.exe")
    previous, current = service(installer_path=first), service(installer_path=second)
    port = nginx(current.port, previous.port)
    [old_link] = links(keys[0], "http://127.0.0.1:%d/r1" % port, ["cookie", "resumed"])
    [new_link] = links(keys[0], "http://127.0.0.1:%d/r2" % port, ["cookie", "resumed"])
    part = tmp_path / "resumed.exe"
    subprocess.run(["curl", "-sS", "-r", "0-99999", "-o", str(part), old_link], check=True)
    # The new release goes out (its links are handed out, its copies cached)...
    whole_new = tmp_path / "new.exe"
    subprocess.run(["curl", "-sS", "-o", str(whole_new), new_link], check=True)
    # ...and the download begun before resumes without If-Range, as curl -C - does.
    subprocess.run(["curl", "-sS", "-C", "-", "-o", str(part), old_link], check=True)
    assert verifies(part, signing_identity) and read_values(part.read_bytes()) == ["resumed", "", ""]
    assert len(part.read_bytes()) < 400_000 <= len(whole_new.read_bytes())
    assert verifies(whole_new, signing_identity)


def test_downloaded_copy_hands_its_cookie_to_the_setup_program(service, keys, run, tmp_path):
    stampd = service()
    [link] = links(keys[0], "http://x", ["error_code,linker,cookie,partner", "E12,forum,from-the-link,p23"])
    status, headers, body = stampd.request(target_of(link))
    assert status == 200 and headers["Content-Disposition"] == 'attachment; filename="qlx_E12-setup_forum.exe"'
    copy = tmp_path / "qlx_E12-setup_forum.exe"
    copy.write_bytes(body)
    installer = run(str(copy)).start("/SkipStart")
    assert installer.wait() == 0
    [line] = installer.setup_runs()
    assert ' /TestsErrorCode:"E12" ' in line
    assert ' /Campaign:"from-the-link-affiliate_31095-ab_afterinstall_' in line
    assert line.rstrip().endswith(' /ga:"forum"')
