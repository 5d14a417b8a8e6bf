"""The figures of quellox-stampd (see bench/stampd/run): throughput and p99
latency for distinct signed links against nginx serving a static file of the
same size, the service's memory as connections grow, the cost of a response
as the installer grows, and the two HTTP libraries it was chosen between.
Everything listens on 127.0.0.1 only."""
import atexit
import base64
import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
HOST_BIN = ROOT / "build/host/bin"
INSTALLER = ROOT / "build/release/bin/QuelloxSetup.exe"
SECONDS = int(sys.argv[1]) if len(sys.argv) > 1 else 3
RUNS = int(sys.argv[2]) if len(sys.argv) > 2 else 3
LINKS = 10000
NGINX_BINARY = shutil.which("nginx") or "/usr/sbin/nginx"

DISTINCT_PATHS = """
local paths = {}
for line in io.lines(os.getenv("QUELLOX_BENCH_PATHS")) do paths[#paths + 1] = line end
local next_index = 0
function init(args) next_index = math.random(#paths) end
function request()
  next_index = next_index % #paths + 1
  return wrk.format("GET", paths[next_index])
end
"""

NGINX = """
worker_processes {workers};
daemon off;
pid {folder}/nginx.pid;
error_log {folder}/error.log;
{user}
events {{ worker_connections 1024; }}
http {{
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    client_body_temp_path {folder}/body;
    proxy_temp_path {folder}/proxy;
    fastcgi_temp_path {folder}/fastcgi;
    uwsgi_temp_path {folder}/uwsgi;
    scgi_temp_path {folder}/scgi;
    server {{
        listen 127.0.0.1:{port};
        root {folder}/www;
        etag on;
    }}
}}
"""


STARTED = []  # every server process, ended on the way out whatever happens


@atexit.register
def end_servers():
    for process in STARTED:
        if process.poll() is None:
            process.kill()
            process.wait()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, process):
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            if process.poll() is not None:
                raise SystemExit("a server did not start")
            time.sleep(0.05)


def signed_installer(folder, size, cert, key):
    """The installer with zeros appended up to `size` bytes, signed."""
    data = INSTALLER.read_bytes()
    unsigned = folder / ("unsigned-%d.exe" % size)
    unsigned.write_bytes(data + bytes(max(0, size - len(data))))
    target = folder / ("signed-%d.exe" % size)
    subprocess.run(["osslsigncode", "sign", "-certs", str(cert), "-key", str(key), "-in", str(unsigned),
                    "-out", str(target)], check=True, capture_output=True)
    return target


def wrk(port, connections, script=None, path="/"):
    threads = min(2, connections)
    command = ["wrk", "-t%d" % threads, "-c%d" % connections, "-d%ds" % SECONDS, "--latency", "--timeout", "10s"]
    if script:
        command += ["-s", str(script)]
    out = subprocess.run(command + ["http://127.0.0.1:%d%s" % (port, path)], capture_output=True, text=True,
                         check=True).stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    p99 = re.search(r"99%\s+([\d.]+)(us|ms|s)", out)
    p99_ms = float(p99.group(1)) * {"us": 0.001, "ms": 1, "s": 1000}[p99.group(2)]
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)|Socket errors: (.*)", out)
    if errors:
        raise SystemExit("wrk saw errors:\n" + out)
    requests = int(re.search(r"(\d+) requests in", out).group(1))
    return rps, p99_ms, requests


LOADS = []  # the machine's load average (1 min) after each run


def paired(first, second):
    """Runs the two measurements in turn RUNS times (so that both see the
    same load on a shared machine) and gives the median of each figure."""
    a, b = [], []
    for _ in range(RUNS):
        a.append(first())
        LOADS.append(os.getloadavg()[0])
        b.append(second())
        LOADS.append(os.getloadavg()[0])

    def median(results):
        return tuple(sorted(column)[len(column) // 2] for column in zip(*results))

    return median(a), median(b)


def load_since(mark):
    """The load averages seen since LOADS held `mark` entries, as "low-high"."""
    seen = LOADS[mark:]
    return "%.1f-%.1f" % (min(seen), max(seen)) if seen else "-"


def status_kb(pid, field):
    text = pathlib.Path("/proc/%d/status" % pid).read_text()
    return int(re.search(field + r":\s+(\d+) kB", text).group(1))


def cpu_seconds(pid):
    fields = pathlib.Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def children(pid):
    """The processes whose parent is `pid` (nginx's workers)."""
    found = []
    for entry in pathlib.Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                fields = (entry / "stat").read_text().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid:
                found.append(int(entry.name))
    return found


def costed(server_cpu, run):
    """A wrk run with the server's CPU per response (in seconds) added."""
    before = server_cpu()
    rps, p99, requests = run()
    return rps, p99, (server_cpu() - before) / requests


class Stampd:
    def __init__(self, folder, installer, key):
        self.port = free_port()
        self.process = subprocess.Popen([str(HOST_BIN / "quellox-stampd"), "--installer", str(installer), "--key",
                                         str(key), "--listen", "127.0.0.1:%d" % self.port],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        STARTED.append(self.process)
        wait_port(self.port, self.process)

    def cpu(self):
        return cpu_seconds(self.process.pid)

    def close(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=60)


class Nginx:
    def __init__(self, folder, body, workers):
        self.folder = pathlib.Path(tempfile.mkdtemp(prefix="nginx-", dir=folder))
        (self.folder / "www").mkdir(parents=True)
        (self.folder / "www/qlx-setup.exe").write_bytes(body)
        self.port = free_port()
        config = self.folder / "nginx.conf"
        user = "user root;" if os.geteuid() == 0 else ""
        config.write_text(NGINX.format(workers=workers, folder=self.folder, port=self.port, user=user))
        self.process = subprocess.Popen([NGINX_BINARY, "-c", str(config), "-p", str(self.folder)],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        STARTED.append(self.process)
        wait_port(self.port, self.process)

    def cpu(self):
        return sum(cpu_seconds(pid) for pid in children(self.process.pid))

    def close(self):
        self.process.send_signal(signal.SIGQUIT)
        self.process.wait(timeout=60)


def row(label, *cells):
    print("%-44s" % label + "".join("%14s" % c for c in cells))


def main():
    folder = pathlib.Path(tempfile.mkdtemp(prefix="stampd-bench-"))
    cert, key = folder / "cert.pem", folder / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                    "/CN=Quellox bench", "-addext", "extendedKeyUsage=codeSigning", "-keyout", str(key),
                    "-out", str(cert)], check=True, capture_output=True)
    link_key = folder / "links.key"
    link_key.write_text(base64.b64encode(os.urandom(32)).decode() + "\n")
    link_key.chmod(0o600)
    listing = folder / "partners.csv"
    listing.write_text("linker,cookie,partner,traffic\n" +
                       "".join("l%d,cookie-%d,partner-%d,traffic-%d\n" % (i % 97, i, i % 500, i % 7) for i in range(LINKS)))
    links = subprocess.run([str(HOST_BIN / "quellox-stampd-links"), "--key", str(link_key), "http://x", str(listing)],
                           check=True, capture_output=True, text=True).stdout.split()
    paths = folder / "paths.txt"
    paths.write_text("\n".join(link[len("http://x"):] for link in links) + "\n")
    script = folder / "distinct.lua"
    script.write_text(DISTINCT_PATHS)
    os.environ["QUELLOX_BENCH_PATHS"] = str(paths)
    cores = os.cpu_count()

    print("quellox-stampd on loopback, %d cores shared with wrk; each figure the median of %d runs of %d s, "
          "the two sides in turn; %d distinct signed links; load: the load average over those runs"
          % (cores, RUNS, SECONDS, LINKS))
    installers = {size: signed_installer(folder, size, cert, key) for size in (0, 1 << 20, 10 << 20)}
    small = installers[0]
    print("installers: %s bytes (the first is %s as built, signed)" % (
        ", ".join(str(i.stat().st_size) for i in installers.values()), INSTALLER.name))
    print()

    # Throughput, p99 and memory as connections grow, beside nginx.
    row("connections (%d-byte installer)" % small.stat().st_size, "stampd req/s", "nginx req/s", "ratio",
        "stampd p99", "nginx p99", "stampd CPU us", "nginx CPU us", "stampd RSS", "load")
    stampd = Stampd(folder, small, link_key)
    copy = subprocess.run(["curl", "-s", "http://127.0.0.1:%d%s" % (stampd.port, paths.read_text().split()[0])],
                          capture_output=True, check=True).stdout
    nginx = Nginx(folder, copy, cores)
    start_rss = status_kb(stampd.process.pid, "VmRSS")
    for connections in (1, 16, 64, 256):
        mark = len(LOADS)
        (s_rps, s_p99, s_cpu), (n_rps, n_p99, n_cpu) = paired(
            lambda: costed(stampd.cpu, lambda: wrk(stampd.port, connections, script)),
            lambda: costed(nginx.cpu, lambda: wrk(nginx.port, connections, path="/qlx-setup.exe")))
        row("  %d" % connections, "%.0f" % s_rps, "%.0f" % n_rps, "%.2f" % (s_rps / n_rps), "%.1f ms" % s_p99,
            "%.1f ms" % n_p99, "%.0f" % (s_cpu * 1e6), "%.0f" % (n_cpu * 1e6),
            "%d KB" % status_kb(stampd.process.pid, "VmRSS"), load_since(mark))
    row("  stampd RSS at start, peak", "", "", "", "", "", "", "%d KB" % start_rss,
        "%d KB" % status_kb(stampd.process.pid, "VmHWM"))
    stampd.close()
    nginx.close()
    print()

    # The cost of a response as the installer grows.
    row("installer size (16 connections)", "stampd req/s", "nginx req/s", "ratio", "stampd MB/s", "CPU us/resp",
        "CPU us/MB", "nginx CPU us", "stampd RSS", "load")
    for size, installer in installers.items():
        stampd = Stampd(folder, installer, link_key)
        copy = subprocess.run(["curl", "-s", "http://127.0.0.1:%d%s" % (stampd.port, paths.read_text().split()[0])],
                              capture_output=True, check=True).stdout
        nginx = Nginx(folder, copy, cores)
        mark = len(LOADS)
        (s_rps, _, cpu_per_response), (n_rps, _, n_cpu) = paired(
            lambda: costed(stampd.cpu, lambda: wrk(stampd.port, 16, script)),
            lambda: costed(nginx.cpu, lambda: wrk(nginx.port, 16, path="/qlx-setup.exe")))
        megabytes = len(copy) / 1e6
        row("  %d bytes" % len(copy), "%.0f" % s_rps, "%.0f" % n_rps, "%.2f" % (s_rps / n_rps),
            "%.0f" % (s_rps * megabytes), "%.0f" % (cpu_per_response * 1e6), "%.0f" % (cpu_per_response / megabytes * 1e6),
            "%.0f" % (n_cpu * 1e6), "%d KB" % status_kb(stampd.process.pid, "VmRSS"), load_since(mark))
        stampd.close()
        nginx.close()
    print()

    # The two libraries the service was chosen between: the same in-memory body.
    row("library (%d-byte body, no stamping)" % small.stat().st_size, "Beast req/s", "httplib req/s", "", "Beast p99", "httplib p99",
        "peak RSS B/h")
    beast_port, httplib_port = free_port(), free_port()
    size = str(small.stat().st_size)
    beast = subprocess.Popen([str(HOST_BIN / "stampd_choice_beast"), str(beast_port), size])
    httplib = subprocess.Popen([str(HOST_BIN / "stampd_choice_httplib"), str(httplib_port), size])
    STARTED.extend([beast, httplib])
    wait_port(beast_port, beast)
    wait_port(httplib_port, httplib)
    for connections in (1, 64, 256):
        (b_rps, b_p99, _), (h_rps, h_p99, _) = paired(lambda: wrk(beast_port, connections),
                                                      lambda: wrk(httplib_port, connections))
        row("  %d connections" % connections, "%.0f" % b_rps, "%.0f" % h_rps, "", "%.1f ms" % b_p99,
            "%.1f ms" % h_p99, "%d/%d KB" % (status_kb(beast.pid, "VmHWM"), status_kb(httplib.pid, "VmHWM")))
    beast.terminate()
    httplib.terminate()
    beast.wait()
    httplib.wait()


if __name__ == "__main__":
    main()
