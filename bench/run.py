"""The benchmark table (run by bench/run inside the build's Wine prefix)."""
import os
import pathlib
import re
import statistics
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
BIN = pathlib.Path(os.environ.get("QUELLOX_BIN", ROOT / "build/release/bin"))
BUILD = os.environ.get("QUELLOX_BENCH_BUILD", "the build in " + str(BIN.parent))
WINE = os.environ.get("QUELLOX_WINE", "wine")
OBJDUMP = {"x86": "i686-w64-mingw32-objdump", "x64": "x86_64-w64-mingw32-objdump"}[os.environ.get("QUELLOX_TARGET_ARCH", "x86")]
sys.path.insert(0, str(ROOT / "tests/e2e"))
from loopback_server import LoopbackServer  # noqa: E402

sys.path.insert(0, str(ROOT / "bench"))
import size_report  # noqa: E402

RUNS = int(sys.argv[1]) if len(sys.argv) > 1 else 5
DOWNLOAD_URL = "http://download.quellox.example/files/quellox-setup.exe"
MIB = 1024 * 1024


def wine(*args, env=None, timeout=300):
    full = dict(os.environ, **(env or {}))
    return subprocess.run([WINE, *map(str, args)], capture_output=True, timeout=timeout, env=full)


def harness(*args, env=None):
    out = wine(BIN / "bench_harness.exe", *args, env=env).stdout.decode()
    match = re.search(r"value=([\d.]+)", out)
    return float(match.group(1)) if match else float("nan")


def median(measure):
    return statistics.median(measure() for _ in range(RUNS))


def setup_file():
    out = wine(BIN / "startup_probe.exe").stdout.decode()
    path = dict(line.split("=", 1) for line in out.splitlines())["SetupFileName"]
    drive, rest = path.split(":", 1)
    return pathlib.Path(os.environ["WINEPREFIX"]) / "dosdevices" / (drive.lower() + ":") / rest.lstrip("\\").replace("\\", "/")


def size_rows():
    """The file's size, its sections (bytes in the file) and its resources, as bench/size-report reads them."""
    image = size_report.Image(BIN / "QuelloxSetup.exe")
    rows = [("Executable size (bytes)", len(image.data), None, "<= 153600 (150 KiB)")]
    rows += [("  section " + name, size, None, "") for name, size in image.section_rows()]
    rows += [("  resource " + name, size, None, "") for name, size in image.resource_rows()]
    return rows


def calls(*program, env):
    """The WinINet calls of one run, counted by the harness as its debugger."""
    out = wine(BIN / "bench_harness.exe", "calls", *program, env=env).stdout.decode()
    return {name: int(value) for name, value in re.findall(r"(reads|counts)=(\d+)", out)}


def call_rows():
    """The download reads only what has arrived, asking for the count again
    only when it is used up: a fast transfer makes the same 512-byte reads
    as the minimal loop, and a few counts more. One run each: the counts do
    not vary, and every call stops the program under its debugger."""
    server = LoopbackServer(body=os.urandom(4 * MIB))
    server.plan = [{"chunk": MIB}]
    proxy = {"http_proxy": server.proxy}
    target = setup_file()
    target.unlink(missing_ok=True)
    ours = calls(BIN / "installer_probe.exe", "download", env=dict(proxy, QUELLOX_PROBE_ATTEMPTS="1"))
    target.unlink(missing_ok=True)
    loop = calls(BIN / "minimal_download.exe", DOWNLOAD_URL, "C:\\minimal-download.bin", env=proxy)
    server.close()
    return [
        ("Download 4 MiB: InternetReadFile calls", ours.get("reads", 0), loop.get("reads", 0), "ratio 1.0"),
        ("Download 4 MiB: InternetQueryDataAvailable calls", ours.get("counts", 0), None, "context"),
    ]


def main():
    no_network = {"http_proxy": "http://127.0.0.1:9"}  # nothing listens: no request leaves the machine
    rows = size_rows()

    startup = median(lambda: harness("startup", BIN / "QuelloxSetup.exe", "QuelloxStubInstaller", env=no_network))
    bare = median(lambda: harness("startup", BIN / "bare_window.exe", "BareWindow"))
    rows.append(("Start-up to window shown (ms)", startup, bare, "ratio <= 1.3"))

    server = LoopbackServer(body=os.urandom(64 * MIB))
    server.plan = [{"chunk": MIB}]
    proxy = {"http_proxy": server.proxy}
    target = setup_file()

    def ours():
        target.unlink(missing_ok=True)
        out = wine(BIN / "installer_probe.exe", "download", env=dict(proxy, QUELLOX_PROBE_ATTEMPTS="1")).stdout.decode()
        return float(re.search(r"Attempt1\.ElapsedMs=(\d+)", out).group(1))

    def minimal():
        out = wine(BIN / "minimal_download.exe", DOWNLOAD_URL, "C:\\minimal-download.bin", env=proxy).stdout.decode()
        return float(re.search(r"ms=(\d+)", out).group(1))

    def curl():
        started = time.perf_counter()
        subprocess.run(["curl", "-s", "-x", server.proxy, "-o", "/dev/null", DOWNLOAD_URL], check=True)
        return 1000 * (time.perf_counter() - started)

    download, loop, with_curl = median(ours), median(minimal), median(curl)
    target.unlink(missing_ok=True)
    rows.append(("Download 64 MiB, vs minimal 512-byte loop (ms)", download, loop, "ratio <= 1.1"))
    rows.append(("Download 64 MiB, vs curl (ms)", download, with_curl, "context"))
    rows += call_rows()

    memory = median(lambda: harness("memory", BIN / "QuelloxSetup.exe", "QuelloxStubInstaller", "8000",
                                    "/SkipStart", env=proxy))
    bare_memory = median(lambda: harness("memory", BIN / "bare_window.exe", "BareWindow", "2000"))
    target.unlink(missing_ok=True)
    rows.append(("Peak working set during a download (bytes)", memory, bare_memory, "ratio <= 1.5"))

    failing = LoopbackServer()
    failing.plan = [{"force_status": 500}]
    cpu = median(lambda: harness("cpu", BIN / "QuelloxSetup.exe", "QuelloxStubInstaller", "2000", "5000",
                                 "/SkipStart", env={"http_proxy": failing.proxy}))
    rows.append(("CPU while waiting between attempts (ms per 5 s)", cpu, None, "near 0"))

    # The close itself queues "install_cancel", which is delivered before the
    # exit; the bare window shows what Wine's own process exit costs.
    close = median(lambda: harness("close", BIN / "QuelloxSetup.exe", "QuelloxStubInstaller", env=proxy))
    bare_close = median(lambda: harness("close", BIN / "bare_window.exe", "BareWindow"))
    rows.append(("Close request to exit, queue drained (ms)", close, bare_close, "<= 500 above baseline"))
    server.close()
    failing.close()

    print("\nInstaller:", BUILD)
    print("%-52s %14s %14s %8s  %s" % ("figure (median of %d)" % RUNS, "installer", "baseline", "ratio", "goal"))
    for name, value, baseline, goal in rows:
        ratio = "%.2f" % (value / baseline) if baseline else ""
        base = "%.0f" % baseline if baseline else ""
        print("%-52s %14.0f %14s %8s  %s" % (name, value, base, ratio, goal))


if __name__ == "__main__":
    main()
