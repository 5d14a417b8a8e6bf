"""Benchmarks of quellox-collect on loopback, beside nginx answering 204 to
the same requests, side by side in one run: events per second accepted and
committed (each 2xx is a committed event) on SQLite and on PostgreSQL at 1,
16, 64 and 256 connections, with the p99 latency and the collector's peak
memory; then the funnel query's time as the events grow.

    bench/collect/run [SECONDS] [EVENTS ...]

SECONDS per point (default 5); EVENTS the store sizes of the query's figures
(default 1000000 10000000; 0 leaves the query out). The stores are filled
directly in SQL (generated rows and their rollups in one transaction), not
through the collector: filling 10 million events through its writes takes
tens of minutes."""
import os
import pathlib
import re
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests/e2e"))
os.environ.setdefault("QUELLOX_HOST_BIN", str(ROOT / "build/host/bin"))
from collect_support import COLLECT, Collector, Postgres, form_body, free_port, start_nginx  # noqa: E402

QUERY = ROOT / "build/host/bin/collect_bench_query"
CONNECTIONS = [1, 16, 64, 256]

LUA = """
wrk.method = "POST"
wrk.body = "%s"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
"""

NGINX_204 = """
server {
    listen 127.0.0.1:%d;
    location / {
        return 204;
    }
}
"""


def wrk(port, connections, seconds, script):
    out = subprocess.run(["wrk", "-t", str(min(2, connections)), "-c", str(connections), "-d", "%ds" % seconds, "--latency", "-s",
                          str(script), "http://127.0.0.1:%d/collect" % port], capture_output=True, text=True,
                         timeout=seconds + 60).stdout
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    p99 = re.search(r"99%\s+([\d.]+)(us|ms|s)", out)
    scale = {"us": 0.001, "ms": 1, "s": 1000}[p99.group(2)]
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    return rate, float(p99.group(1)) * scale, int(errors.group(1)) if errors else 0


def peak_kb(pid):
    status = pathlib.Path("/proc/%d/status" % pid).read_text()
    return int(re.search(r"VmHWM:\s+(\d+)", status).group(1))


def main():
    seconds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    sizes = [int(a) for a in sys.argv[2:]] or [1000000, 10000000]
    work = pathlib.Path(tempfile.mkdtemp(prefix="quellox-collect-bench."))
    script = work / "post.lua"
    script.write_text(LUA % form_body("install_start"))
    nginx_port = free_port()
    nginx = start_nginx(work / "nginx", NGINX_204 % nginx_port)
    postgres = Postgres()
    sqlite_collector = Collector(work, "sqlite:%s" % (work / "events.db"))
    normal_collector = Collector(work, "sqlite:%s" % (work / "events-normal.db"), "--sqlite-sync", "normal")
    pg_collector = Collector(work, postgres.address)
    sides = [("sqlite", sqlite_collector), ("sqlite normal", normal_collector), ("postgresql", pg_collector)]
    print("ingest (POST /collect), events/s and p99 ms; ratio to nginx answering 204")
    print("  connections     nginx 204   " + "".join("%-27s" % name for name, _ in sides))
    answered = {name: 0 for name, _ in sides}
    try:
        for connections in CONNECTIONS:
            n_rate, n_p99, _ = wrk(nginx_port, connections, seconds, script)
            line = "  %11d  %7.0f %5.1f   " % (connections, n_rate, n_p99)
            for name, collector in sides:
                rate, p99, bad = wrk(collector.port, connections, seconds, script)
                assert bad == 0, (name, bad)
                answered[name] += rate * seconds
                line += "%7.0f %5.2fx %6.1f ms    " % (rate, rate / n_rate, p99)
            print(line)
        nginx_worker = subprocess.run(["pgrep", "-P", str(nginx.pid)], capture_output=True, text=True).stdout.split()
        nginx_peak = peak_kb(int(nginx_worker[0])) if nginx_worker else 0
        print("peak memory (KB): " + ", ".join("%s %d" % (name, peak_kb(c.process.pid)) for name, c in sides) +
              ", nginx worker %d" % nginx_peak)
        stored = [sqlite3.connect(work / f).execute("SELECT COUNT(*) FROM events").fetchone()[0]
                  for f in ("events.db", "events-normal.db")]
        print("events committed: sqlite %d, sqlite normal %d, postgresql %s (answered 2xx, from wrk's rates: %s)" % (
            stored[0], stored[1], postgres.query("SELECT COUNT(*) FROM events"),
            ", ".join("%.0f" % answered[name] for name, _ in sides)))
    finally:
        for _, c in sides:
            c.stop()
        nginx.terminate()
        nginx.wait(timeout=10)
    if sizes == [0]:
        postgres.close()
        return
    print("funnel query, 90 days, grouped by campaign, version and day (median of 20; from the events: median of 4)")
    for size in sizes:
        db = work / ("query-%d.db" % size)
        out = subprocess.run([str(QUERY), "sqlite:%s" % db, str(size), "20"], capture_output=True, text=True,
                             check=True).stdout.strip()
        print("  sqlite     ", out)
        db.unlink()
        for suffix in ("-wal", "-shm"):
            pathlib.Path(str(db) + suffix).unlink(missing_ok=True)
    # One database grown from size to size: each fill adds the difference.
    for size in sizes:
        out = subprocess.run([str(QUERY), postgres.address, str(size), "20"], capture_output=True, text=True,
                             check=True).stdout.strip()
        print("  postgresql ", out)
    postgres.close()


if __name__ == "__main__":
    main()
