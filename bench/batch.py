#!/usr/bin/python3
"""quellox-stamp batch against list length: the time per copy and the peak
resident memory for lists of 10 to 10,000 rows (the default stops at 1,000;
give the counts to go further), beside the floor: one process writing the
same number of copies of the same size, each to a new file that is flushed
and renamed into place, as batch does.

    bench/batch.py INSTALLER [ROWS ...]

INSTALLER is a signed installer (osslsigncode sign ... -out signed.exe).
Everything is written under a temporary folder and removed afterwards."""
import os
import pathlib
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
STAMP = pathlib.Path(os.environ.get("QUELLOX_HOST_BIN", ROOT / "build/host/bin")) / "quellox-stamp"


def high_water_mark(pid):
    """The process's peak resident size so far (its own, since its exec: the
    rusage figure would include the forking parent's)."""
    try:
        with open("/proc/%d/status" % pid) as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def measured(args):
    """Seconds and peak resident bytes of one process, the peak read every 10 ms."""
    start = time.monotonic()
    process = subprocess.Popen(args, stdout=subprocess.DEVNULL)
    peak = 0
    while process.poll() is None:
        peak = max(peak, high_water_mark(process.pid))
        time.sleep(0.01)
    seconds = time.monotonic() - start
    if process.returncode != 0:
        sys.exit("failed: %s" % " ".join(map(str, args)))
    return seconds, peak


FLOOR = r"""
import os, sys
data = open(sys.argv[1], "rb").read()
out = sys.argv[2]
os.mkdir(out)
for i in range(int(sys.argv[3])):
    staged = os.path.join(out, ".%d" % i)
    fd = os.open(staged, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    os.write(fd, data)
    os.fsync(fd)
    os.close(fd)
    os.rename(staged, os.path.join(out, "copy%d.exe" % i))
"""


def main():
    installer = pathlib.Path(sys.argv[1])
    counts = [int(n) for n in sys.argv[2:]] or [10, 100, 1000]
    print("%8s %18s %18s %16s %16s" % ("rows", "batch ms/copy", "floor ms/copy", "batch peak MB", "floor peak MB"))
    for count in counts:
        with tempfile.TemporaryDirectory() as work:
            work = pathlib.Path(work)
            listing = work / "list.csv"
            listing.write_text("error_code,linker,cookie,partner,traffic\n" +
                               "".join("E%d,l%d,c%d,p%d,t%d\n" % ((i,) * 5) for i in range(count)))
            batch_seconds, batch_peak = measured([STAMP, "batch", installer, listing, work / "batch"])
            floor_seconds, floor_peak = measured([sys.executable, "-c", FLOOR, installer, work / "floor", str(count)])
            print("%8d %18.2f %18.2f %16.1f %16.1f" % (count, 1000 * batch_seconds / count,
                                                       1000 * floor_seconds / count, batch_peak / 1e6,
                                                       floor_peak / 1e6))


if __name__ == "__main__":
    main()
