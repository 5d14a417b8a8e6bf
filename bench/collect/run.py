"""Benchmarks of quellox-collect on loopback, beside nginx answering 204 to
the same requests, side by side in one run: events per second accepted and
committed (each 2xx is a committed event) on SQLite and on PostgreSQL at 1,
16, 64 and 256 connections, with the p99 latency and the collector's peak
memory; then the funnel query's time as the events grow.

    bench/collect/run [SECONDS] [EVENTS ...]

SECONDS per point (default 5); EVENTS the store sizes of the query's figures
(default 1000000 10000000; filling 10 million events takes some minutes; 0
leaves the query out)."""
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
    pg_collector = Collector(work, postgres.address)
    print("ingest (POST /collect)   nginx 204 req/s   sqlite ev/s  ratio   p99 ms   postgresql ev/s  ratio   p99 ms"
          "   nginx p99 ms")
    try:
        for connections in CONNECTIONS:
            n_rate, n_p99, _ = wrk(nginx_port, connections, seconds, script)
            s_rate, s_p99, s_bad = wrk(sqlite_collector.port, connections, seconds, script)
            p_rate, p_p99, p_bad = wrk(pg_collector.port, connections, seconds, script)
            assert s_bad == 0 and p_bad == 0, (s_bad, p_bad)
            print("  %3d connections        %10.0f        %10.0f  %5.2f  %7.1f   %14.0f  %5.2f  %7.1f   %9.1f" % (
                connections, n_rate, s_rate, s_rate / n_rate, s_p99, p_rate, p_rate / n_rate, p_p99, n_p99))
        sqlite_peak, pg_peak = peak_kb(sqlite_collector.process.pid), peak_kb(pg_collector.process.pid)
        nginx_worker = subprocess.run(["pgrep", "-P", str(nginx.pid)], capture_output=True, text=True).stdout.split()
        nginx_peak = peak_kb(int(nginx_worker[0])) if nginx_worker else 0
        print("peak memory (KB): collector on sqlite %d, on postgresql %d, nginx worker %d" % (
            sqlite_peak, pg_peak, nginx_peak))
        stored = sqlite3.connect(work / "events.db").execute("SELECT COUNT(*) FROM events").fetchone()[0]
        print("events committed on sqlite: %d; on postgresql: %s" % (
            stored, postgres.query("SELECT COUNT(*) FROM events")))
    finally:
        for c in (sqlite_collector, pg_collector):
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
    out = subprocess.run([str(QUERY), postgres.address, str(sizes[0]), "20"], capture_output=True, text=True,
                         check=True).stdout.strip()
    print("  postgresql ", out)
    postgres.close()


if __name__ == "__main__":
    main()
