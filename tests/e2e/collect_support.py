"""Helpers of the collector's tests: a quellox-collect process on a free
loopback port, a throwaway PostgreSQL server, nginx in front, the
installer's two event forms, and headless Chromium."""
import http.client
import json
import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.parse

from conftest import BIN, ROOT

HOST_BIN = pathlib.Path(os.environ.get("QUELLOX_HOST_BIN", BIN.parents[1] / "host/bin"))
COLLECT = HOST_BIN / "quellox-collect"
NGINX = shutil.which("nginx") or "/usr/sbin/nginx"
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
CATEGORY = "quellox1.6.9restart-%s-affiliate_31095-ab_afterinstall_a"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def form_body(name, campaign="spring", client="{0F4A3C2B-1D2E-4F50-8A6B-7C8D9E0F1A2B}", tracking="UA-00000000-0",
              language=None):
    """A v1 body as the installer composes it (its values need no encoding
    here); the window's language at its end when given, as the translated
    copies send it."""
    category = CATEGORY % campaign if campaign else "quellox1.6.9restart-affiliate_31095-ab_afterinstall_a"
    body = "v=1&tid=%s&cid=%s&t=event&ec=%s&ea=%s&el=&ev=0" % (
        tracking, urllib.parse.quote(client, safe="{}-"), urllib.parse.quote(category, safe="-_"), name)
    return body if language is None else body + "&ul=" + urllib.parse.quote(language, safe="-")


def ga4_body(name, campaign="spring", client="{0F4A3C2B-1D2E-4F50-8A6B-7C8D9E0F1A2B}", device=None):
    """A GA4 body; `device`, when given, is its top-level "device" member as is."""
    finished = campaign + "-affiliate_31095-ab_afterinstall_a"
    body = {"client_id": client}
    if device is not None:
        body["device"] = device
    body["events"] = [{"name": name, "params": {
        "category": "quellox1.6.9restart-" + finished, "campaign": finished, "value": 0,
        "engagement_time_msec": 1, "session_id": "1796889600"}}]
    return json.dumps(body, separators=(",", ":"))


def post(port, path, body, headers=None, timeout=30):
    """Status and body of one POST; None when the connection closed without an answer."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        connection.request("POST", path, body=body.encode() if isinstance(body, str) else body,
                           headers=headers or {"Content-Type": "application/x-www-form-urlencoded"})
        response = connection.getresponse()
        return response.status, response.read()
    except (http.client.RemoteDisconnected, ConnectionResetError, BrokenPipeError):
        return None
    finally:
        connection.close()


def get(port, target, headers=None):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.request("GET", target, headers=headers or {})
        response = connection.getresponse()
        return response.status, dict(response.getheaders()), response.read()
    finally:
        connection.close()


class Collector:
    """One quellox-collect process; its access log is its stdout."""

    def __init__(self, folder, store, *flags, port=None):
        self.log = folder / ("collect-%d.log" % time.monotonic_ns())
        self.port = port or free_port()
        with open(self.log, "wb") as out:
            self.process = subprocess.Popen([str(COLLECT), "--store", store, "--listen", "127.0.0.1:%d" % self.port,
                                             *map(str, flags)], stdout=out, stderr=subprocess.STDOUT)
        self.wait_for(r"listening on 127\.0\.0\.1:%d" % self.port)

    def wait_for(self, pattern, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            match = re.search(pattern, self.log.read_text())
            if match:
                return match
            assert self.process.poll() is None, self.log.read_text()
            time.sleep(0.02)
        raise AssertionError("no %r in the log:\n%s" % (pattern, self.log.read_text()))

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            return self.process.wait(timeout=60)
        return self.process.returncode


def command(*args):
    return subprocess.run([str(COLLECT), *map(str, args)], capture_output=True, text=True, timeout=120)


class Postgres:
    """A throwaway PostgreSQL server (Debian's initdb and pg_ctl) in a
    temporary folder, on a Unix socket there; run as the postgres user when
    the tests run as root, since the server refuses root."""

    def __init__(self):
        bins = sorted(pathlib.Path("/usr/lib/postgresql").glob("*/bin"), key=lambda p: [int(x) for x in re.findall(r"\d+", p.parent.name)])
        assert bins, "Debian's postgresql package is not installed"
        self.bin = bins[-1]
        self.folder = pathlib.Path(tempfile.mkdtemp(prefix="quellox-pg."))
        self.as_user = []
        self.user = pwd_name(os.geteuid())
        if os.geteuid() == 0:
            shutil.chown(self.folder, "postgres")
            self.as_user = ["runuser", "-u", "postgres", "--"]
            self.user = "postgres"
        os.chmod(self.folder, 0o755)
        self.data = self.folder / "data"
        self.run("initdb", "-D", self.data, "-A", "trust", "-U", self.user, "-E", "UTF8")
        self.start()
        self.address = "postgresql:///postgres?host=%s&user=%s" % (self.folder, self.user)

    def run(self, program, *args):
        result = subprocess.run([*self.as_user, str(self.bin / program), *map(str, args)], capture_output=True,
                                text=True, timeout=120)
        assert result.returncode == 0, result.stdout + result.stderr
        return result

    def start(self):
        self.run("pg_ctl", "-D", self.data, "-l", self.folder / "server.log", "-w", "-t", "60", "-o",
                 "-k %s -c listen_addresses= -c max_connections=60" % self.folder, "start")

    def stop(self, mode="fast"):
        self.run("pg_ctl", "-D", self.data, "-m", mode, "-w", "stop")

    def query(self, sql):
        result = subprocess.run([*self.as_user, str(self.bin / "psql"), "-h", str(self.folder), "-U", self.user,
                                 "-d", "postgres", "-At", "-c", sql], capture_output=True, text=True, timeout=60)
        assert result.returncode == 0, result.stderr
        return result.stdout.strip()

    def close(self):
        subprocess.run([*self.as_user, str(self.bin / "pg_ctl"), "-D", str(self.data), "-m", "immediate", "stop"],
                       capture_output=True, timeout=60)
        shutil.rmtree(self.folder, ignore_errors=True)


def pwd_name(uid):
    import pwd
    return pwd.getpwuid(uid).pw_name


NGINX_MAIN = """
{user}
worker_processes 1;
daemon off;
pid {folder}/nginx.pid;
error_log {folder}/error.log;
events {{ worker_connections 1024; }}
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


def start_nginx(folder, site):
    """nginx with `site` in its http block, on the port the site names; the process."""
    folder.mkdir(exist_ok=True)
    config = folder / "nginx.conf"
    user = "user root;" if os.geteuid() == 0 else ""
    config.write_text(NGINX_MAIN.format(user=user, folder=folder, site=site))
    process = subprocess.Popen([NGINX, "-c", str(config), "-p", str(folder)], stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE)
    port = int(re.search(r"listen 127\.0\.0\.1:(\d+)", site).group(1))
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return process
        except OSError:
            assert process.poll() is None, process.stderr.read()
            time.sleep(0.05)
    raise AssertionError("nginx did not start")


def collect_site(port, collector_ports):
    """The example configuration with its upstream on the given collectors."""
    site = (ROOT / "examples/nginx-collect.conf").read_text()
    servers = "".join("    server 127.0.0.1:%d;\n" % p for p in collector_ports)
    site = re.sub(r"    server 127\.0\.0\.1:8090;[^\n]*\n", servers, site)
    return site.replace("listen 80;", "listen 127.0.0.1:%d;" % port)


def chromium(url, folder, picture):
    """The page after its script ran, as headless Chromium leaves its DOM, and
    a picture of it."""
    flags = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--user-data-dir=%s" % (folder / ("chromium-%d" % time.monotonic_ns())), "--virtual-time-budget=5000"]
    dom = subprocess.run([CHROMIUM, *flags, "--dump-dom", url], capture_output=True, text=True, timeout=120)
    assert dom.returncode == 0, dom.stderr
    shot = subprocess.run([CHROMIUM, *flags, "--window-size=1100,1500", "--screenshot=%s" % picture, url],
                          capture_output=True, text=True, timeout=120)
    assert shot.returncode == 0 and pathlib.Path(picture).exists(), shot.stderr
    return dom.stdout


def cells(dom, table, campaign, key="campaign"):
    """The figures of one row of a table, by their data-k names: the row
    whose data-campaign (or data-`key`) is `campaign`."""
    body = re.search(r'<table id="%s">.*?</table>' % table, dom, re.S).group(0)
    row = re.search(r'<tr data-%s="%s">(.*?)</tr>' % (key, re.escape(campaign)), body, re.S)
    assert row, body
    return dict(re.findall(r'<td[^>]*data-k="([a-z_]+)"[^>]*>([^<]*)</td>', row.group(1)))
