"""The window at several display scales. At 96 DPI its pages are compared,
pixel for pixel, with pictures taken before the window learnt to scale
(tests/e2e/pictures, gzipped binary PPM: the client area as the inspector
copies it). At 144 and 192 DPI every control is the 96-DPI layout scaled by
DPI / 96, within one pixel, and the pictures are kept for a look.

Wine reads the display's DPI from HKCU\\Control Panel\\Desktop\\LogPixels
when its wineserver starts: each scale gets a wineserver started afresh.
QUELLOX_RECORD_PICTURES=1 writes the 96-DPI pictures instead of comparing."""
import gzip
import os
import pathlib
import subprocess
import time

import pytest

from conftest import WINE
from test_painting import capture
from test_window import CLASS, SCREENSHOTS, inspect, listing, wait_until

PICTURES = pathlib.Path(__file__).resolve().parent / "pictures"
RECORD = os.environ.get("QUELLOX_RECORD_PICTURES") == "1"


def set_dpi(dpi):
    """Sets the prefix's DPI and restarts its wineserver, so that the next
    Wine process reads it."""
    subprocess.run([WINE, "reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t", "REG_DWORD",
                    "/d", str(dpi), "/f"], capture_output=True, timeout=60, check=True)
    # The new server and the services it starts outlive these calls: none
    # of them may hold a pipe of the test's.
    quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    subprocess.run(["wineserver", "-k"], timeout=60, **quiet)
    subprocess.run(["wineserver", "-p"], timeout=60, **quiet)
    subprocess.run([WINE, "wineboot"], timeout=120, **quiet)


@pytest.fixture
def dpi(request):
    """The DPI of the test's parameter, back to 96 afterwards."""
    set_dpi(request.param)
    yield request.param
    if request.param != 96:
        set_dpi(96)


def ppm(picture):
    width, height, pixels = picture
    return b"P6\n%d %d\n255\n" % (width, height) + pixels


def compare_with_reference(picture, name):
    reference = PICTURES / (name + ".ppm.gz")
    if RECORD:
        PICTURES.mkdir(exist_ok=True)
        reference.write_bytes(gzip.compress(ppm(picture), mtime=0))
        return
    SCREENSHOTS.mkdir(parents=True, exist_ok=True)
    (SCREENSHOTS / (name + "-96dpi.ppm")).write_bytes(ppm(picture))
    expected = gzip.decompress(reference.read_bytes())
    actual = ppm(picture)
    assert actual[:20].split(b"\n")[1] == expected[:20].split(b"\n")[1], "the client area's size changed"
    if actual != expected:
        width = picture[0]
        header = len(actual) - len(picture[2])
        first = next(i for i in range(header, len(actual)) if actual[i] != expected[i]) - header
        raise AssertionError("%s differs from the picture of before, first at x %d, y %d"
                             % (name, first // 3 % width, first // 3 // width))


def steady_capture(tmp_path, name):
    """The client area once two pictures in a row agree (a repaint may be
    under way when the first is taken)."""
    previous = None
    for _ in range(20):
        time.sleep(0.3)
        picture = capture(tmp_path, name)
        if picture == previous:
            return picture
        previous = picture
    return picture


@pytest.mark.parametrize("dpi", [96], indirect=True)
def test_pages_at_96_dpi_are_the_pictures_of_before(run, server, tmp_path, dpi):
    # No answer from the download server: the status line stays at its
    # first text and the bar at 0.
    server.plan, server.post_plan = [{"hang": 60}], [{}]
    inspect("hover", CLASS, "0")
    installer = run().start()
    listing()
    inspect("hover", CLASS, "0")
    compare_with_reference(steady_capture(tmp_path, "start"), "start-page")
    installer.process.kill()
    installer.process.wait()

    installer = run().start("/SkipStart")
    listing()
    wait_until(lambda: any(r["method"] == "GET" for r in server.requests), what="the download")
    compare_with_reference(steady_capture(tmp_path, "progress"), "progress-page")
    inspect("command", CLASS, "201")  # pause
    wait_until(lambda: "install_pause" in installer.events(), what="install_pause")
    compare_with_reference(steady_capture(tmp_path, "paused"), "paused-notice")
    installer.process.kill()
    installer.process.wait()
