"""The window at several display scales. At 96 DPI its pages are compared,
pixel for pixel, with pictures taken before the window learnt to scale
(tests/e2e/pictures, gzipped binary PPM: the client area as the inspector
copies it). At 144 and 192 DPI every control is the 96-DPI layout scaled by
DPI / 96, within one pixel, and the pictures are kept for a look; at
120 DPI, between the drawn scales, the same holds with pictures made smaller.

Wine reads the display's DPI from HKCU\\Control Panel\\Desktop\\LogPixels
when its wineserver starts: each scale gets a wineserver started afresh.
QUELLOX_RECORD_PICTURES=1 writes the 96-DPI pictures instead of comparing."""
import gzip
import os
import pathlib
import subprocess
import time

import pytest

from conftest import NETWORK_PATH, TOOL_WINE, not_emulated
from test_painting import capture
from test_window import CLASS, SCREENSHOTS, inspect, inspect_inside, listing, wait_until

PICTURES = pathlib.Path(__file__).resolve().parent / "pictures"
RECORD = os.environ.get("QUELLOX_RECORD_PICTURES") == "1"


def set_dpi(dpi):
    """Sets the prefix's DPI and restarts its wineserver, so that the next
    Wine process reads it."""
    subprocess.run([TOOL_WINE, "reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t", "REG_DWORD",
                    "/d", str(dpi), "/f"], capture_output=True, timeout=60, check=True)
    # The new server and the services it starts outlive these calls: none
    # of them may hold a pipe of the test's.
    quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    subprocess.run(["wineserver", "-k"], timeout=60, **quiet)
    subprocess.run(["wineserver", "-p"], timeout=60, **quiet)
    subprocess.run([TOOL_WINE, "wineboot"], timeout=120, **quiet)


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


@pytest.mark.shipped
@pytest.mark.parametrize("dpi", [96], indirect=True)
def test_start_page_at_96_dpi_is_the_picture_of_before(run, tmp_path, dpi):
    inspect("hover", CLASS, "0")
    installer = run().start()
    listing()
    inspect("hover", CLASS, "0")
    compare_with_reference(steady_capture(tmp_path, "start"), "start-page")
    installer.process.kill()
    installer.process.wait()


@pytest.mark.shipped
@not_emulated(NETWORK_PATH)
@pytest.mark.parametrize("dpi", [96], indirect=True)
def test_progress_page_and_paused_notice_at_96_dpi_are_the_pictures_of_before(run, server, tmp_path, dpi):
    # No answer from the download server: the status line stays at its
    # first text and the bar at 0.
    server.plan, server.post_plan = [{"hang": 60}], [{}]
    installer = run().start("/SkipStart")
    listing()
    wait_until(lambda: any(r["method"] == "GET" for r in server.requests), what="the download")
    compare_with_reference(steady_capture(tmp_path, "progress"), "progress-page")
    inspect("command", CLASS, "201")  # pause
    wait_until(lambda: "install_pause" in installer.events(), what="install_pause")
    compare_with_reference(steady_capture(tmp_path, "paused"), "paused-notice")
    installer.process.kill()
    installer.process.wait()


# The start page's controls at 96 DPI, in client coordinates, by text.
START_PAGE = {
    "Varnholt": (34, 164, 253, 185),
    "QUELLOX 2015": (34, 182, 253, 210),
    "Install and diagnose your PC": (206, 29, 507, 68),
    "By installing this application you confirm that you have read and accepted the Varnholt": (206, 68, 486, 170),
    "License Agreement": (361, 85, 641, 105),
    "Start installation": (206, 144, 507, 198),
    "Install Varnholt Scourwell to scan for junk files": (207, 204, 487, 229),
}
LOGOS = {"Verified: safe download": (106, 44), "Compatible with 32-bit and 64-bit Windows": (148, 31)}


def scaled(value, dpi):
    """A 96-DPI length at DPI, halves rounded up, as the window rounds."""
    return (value * dpi + 48) // 96


def near(actual, expected, dpi):
    """Whether each edge is the 96-DPI one times DPI / 96, within a pixel."""
    return all(abs(a * 96 - e * dpi) <= 96 for a, e in zip(actual, expected))


def overlap(a, b):
    return a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]


@pytest.mark.parametrize("dpi", [120, 144, pytest.param(192, marks=pytest.mark.shipped)], indirect=True)
def test_start_page_scales_with_the_display(run, server, tmp_path, dpi):
    inspect("hover", CLASS, "0")
    installer = run().start()
    window, children = listing()
    left, top, right, bottom = window["rect"]
    assert (right - left, bottom - top) == (scaled(554, dpi), scaled(332, dpi))
    for text, rect in START_PAGE.items():
        [control] = [c for c in children if c["text"] == text]
        if text == "License Agreement":
            # The link follows the sentence's last line, wherever the
            # scaled text breaks it: only its line is the scaled one.
            [sentence] = [c for c in children if c["text"].startswith("By installing")]
            assert near(control["rect"][1::2], rect[1::2], dpi)
            assert sentence["rect"][0] < control["rect"][0] < sentence["rect"][2]
            continue
        assert near(control["rect"], rect, dpi), (text, control["rect"])
    [footer] = [c for c in children if c["class"] == "Static" and c["text"] == ""]
    height = footer["rect"][3]
    assert footer["rect"][1] == height - scaled(65, dpi)
    for text, (w, h) in LOGOS.items():
        [logo] = [c for c in children if c["text"] == text]
        assert (logo["rect"][2] - logo["rect"][0], logo["rect"][3] - logo["rect"][1]) == \
            (scaled(w, dpi), scaled(h, dpi)), text
        assert logo["rect"][1] >= footer["rect"][1] and logo["rect"][3] <= height
    # Nothing overlaps that did not at 96 DPI (the licence link lies in its
    # sentence's area, the product title's box reaches over the brand's),
    # and nothing reaches into the footer band.
    shown = [c for c in children if c["text"] in START_PAGE]
    for i, a in enumerate(shown):
        assert a["rect"][3] <= footer["rect"][1], a["text"]
        for b in shown[i + 1:]:
            if not overlap(START_PAGE[a["text"]], START_PAGE[b["text"]]):
                assert not overlap(a["rect"], b["rect"]), (a["text"], b["text"])

    picture = steady_capture(tmp_path, "start")
    SCREENSHOTS.mkdir(parents=True, exist_ok=True)
    (SCREENSHOTS / ("start-page-%ddpi.ppm" % dpi)).write_bytes(ppm(picture))
    # The art drawn for the scale, not the 96-DPI pictures stretched: the
    # product picture shows the same number of distinct colours as the
    # picture drawn for this scale holds (a stretched one has the 96-DPI
    # picture's blocks and far fewer edges).
    size, at = scaled(121, dpi), scaled(34, dpi)
    width = picture[0]
    rows = [picture[2][3 * ((at + y) * width + at):3 * ((at + y) * width + at + size)] for y in range(size)]
    if dpi * 100 // 96 not in (100, 150, 200):
        # Between the drawn scales (125 %): the 150 % picture made smaller
        # by the imaging component, which leaves no blank and keeps the
        # drawing's many shades.
        shades = {row[i:i + 3] for row in rows for i in range(0, len(row), 3)}
        assert len(shades) > 100, len(shades)
        installer.process.kill()
        installer.process.wait()
        return
    art = subprocess.run(["convert", str(PICTURES.parents[2] / ("resources/art/product-%d.png" % (dpi * 100 // 96))),
                          "-depth", "8", "rgb:-"], capture_output=True, check=True).stdout
    assert b"".join(rows) == art, "the product picture is not the one drawn for %d DPI" % dpi
    installer.process.kill()
    installer.process.wait()


# The inspector reads the fonts from inside the program, through a thread it
# starts there, which Wine creates by a signal-delivered call the emulator
# breaks.
@not_emulated("a thread started in another process")
@pytest.mark.parametrize("dpi", [120, 144, 192], indirect=True)
def test_start_page_fonts_are_the_96_dpi_heights_scaled(run, dpi):
    installer = run().start()
    listing()
    found = {}
    for line in inspect_inside("fonts", CLASS).stdout.decode("utf-8").splitlines():
        _, text, face, font_height = line.split("|")
        found[text] = int(font_height) if font_height else None
    for text, font_height in (("Varnholt", 13), ("QUELLOX 2015", 19), ("Install and diagnose your PC", 26)):
        assert found[text] == -scaled(font_height, dpi), text
    installer.process.kill()
    installer.process.wait()


@pytest.mark.parametrize("dpi", [240], indirect=True)
def test_a_window_larger_than_the_work_area_keeps_its_caption_inside_it(run, dpi):
    # At 250 % the window is wider than the 1280-pixel display.
    run().start()
    window, _ = listing()
    left, top, right, bottom = window["rect"]
    work = tuple(map(int, inspect("workarea").stdout.decode().strip().split(",")))
    assert right - left > work[2] - work[0]
    assert left >= work[0] and top >= work[1], (window["rect"], work)


@pytest.mark.parametrize("dpi", [96, 192], indirect=True)
def test_the_caption_shows_the_icon_drawn_for_its_size(run, dpi):
    # The 16-px image drawn for the caption, not the 32-px one shrunk; both
    # at the window's scale.
    run().start()
    listing()
    result = inspect_inside("icons", CLASS)
    assert result.returncode == 0
    small, big = 16 * dpi // 96, 32 * dpi // 96
    assert result.stdout.decode().split("\n")[:2] == [f"small {small}x{small} same", f"big {big}x{big} same"]
