"""What the window shows, read back by pixels: the inspector copies the
client area through the window's own DC (under Xvfb) into a PPM file."""
import pathlib
import shutil
import subprocess
import time

import pytest

from conftest import BIN, winpath
from test_window import CLASS, inspect, inspect_inside, listing, wait_until

WHITE = (255, 255, 255)


def capture(tmp_path, name):
    path = tmp_path / (name + ".ppm")
    assert inspect("capture", CLASS, winpath(path)).returncode == 0
    data = path.read_bytes()
    magic, size, depth, pixels = data.split(b"\n", 3)
    assert magic == b"P6" and depth == b"255"
    width, height = map(int, size.split())
    return width, height, pixels


def colours(picture, left, top, right, bottom):
    width, _, pixels = picture
    found = set()
    for y in range(top, bottom):
        row = pixels[3 * (y * width + left):3 * (y * width + right)]
        found.update(tuple(row[i:i + 3]) for i in range(0, len(row), 3))
    return found


def test_paused_notice_leaves_nothing_below_the_bar_after_resume(run, server, tmp_path):
    server.plan = [{"delay": 0.02}]
    installer = run().start("/SkipStart")
    listing()
    wait_until(lambda: server.requests, what="the download")

    def band(picture):
        # Below the bar (client y 120) down to the separator above the footer.
        width, height, _ = picture
        return colours(picture, 34, 121, width - 34, height - 67)

    inspect("command", CLASS, "201")  # pause
    wait_until(lambda: "install_pause" in installer.events(), what="install_pause")
    time.sleep(0.5)
    assert band(capture(tmp_path, "paused")) != {WHITE}, "the paused notice reaches below the bar's place"

    inspect("command", CLASS, "201")  # resume
    wait_until(lambda: "install_resume" in installer.events(), what="install_resume")
    time.sleep(0.5)
    assert band(capture(tmp_path, "resumed")) == {WHITE}
    installer.process.kill()


def fonts():
    result = inspect_inside("fonts", CLASS)
    assert result.returncode == 0
    found = {}
    for line in result.stdout.decode("utf-8").splitlines():
        ident, text, face, height = line.split("|")
        found[text] = (face, int(height) if height else None)
    return found


FACE = "Quellox Narrow"


@pytest.mark.parametrize("name, headline, headline_rect, headline_height, subtitle", [
    ("QuelloxSetup.exe", "Install and diagnose your PC", (206, 29, 507, 68), -26, None),
    ("qlx_E42-setup.exe", "Install and Fix E42 Issue", (206, 22, 507, 45), -18, (206, 45, 507, 68)),
], ids=["without-error-code", "with-error-code"])
def test_start_page_fonts_and_headline_layout(run, tmp_path, name, headline, headline_rect, headline_height,
                                              subtitle):
    program = BIN / name
    if not program.exists():
        shutil.copyfile(BIN / "QuelloxSetup.exe", program)
    try:
        installer = run(name).start()
        window, children = listing()
        [title] = [c for c in children if c["text"] == headline]
        assert title["rect"] == headline_rect
        subtitles = [c for c in children if c["rect"][1] == 45 and c["class"] == "Static"]
        assert [c["rect"] for c in subtitles] == ([subtitle] if subtitle else [])

        found = fonts()
        assert found[headline] == (FACE, headline_height)
        for text, height in (("Varnholt", -13), ("QUELLOX 2015", -19), ("License Agreement", -13),
                             ("Install Varnholt Scourwell to scan for junk files", -13)):
            assert found[text] == (FACE, height), text
        picture = capture(tmp_path, "start")
        # Black headline; a grey subtitle (its text blends grey into white).
        assert min(min(c) for c in colours(picture, *headline_rect)) < 64
        if subtitle:
            assert found[subtitles[0]["text"]] == (FACE, -13)
            shades = colours(picture, *subtitle)
            assert shades != {WHITE}
            assert all(r == g == b and r >= 120 for r, g, b in shades), shades
        installer.process.kill()
        installer.process.wait()
    finally:
        if name != "QuelloxSetup.exe":
            time.sleep(0.5)
            program.unlink(missing_ok=True)


def button_strip():
    """The rows of the button skin at 100 % (resources/art/button-100.png,
    5 x 162): the colour of its middle column, the one stretched across the
    button, top to bottom."""
    path = pathlib.Path(__file__).resolve().parents[2] / "resources/art/button-100.png"
    data = subprocess.run(["convert", str(path), "-depth", "8", "rgb:-"], capture_output=True, check=True).stdout
    width = 5
    return [tuple(data[3 * (y * width + 2):3 * (y * width + 2) + 3]) for y in range(len(data) // (3 * width))]


@pytest.mark.parametrize("state, first_row", [("normal", 0), ("hot", 54), ("pressed", 108)])
def test_install_button_shows_its_row_of_the_strip(run, tmp_path, state, first_row):
    installer = run().start()
    listing()
    inspect("hover", CLASS, "101" if state == "hot" else "0")
    if state == "pressed":
        inspect("press", CLASS, "101", "1")
    # Left of the centred caption: x 216, the button's 54 rows from y 144.
    # The repaint after the pointer moves can take a while on a loaded
    # machine: the picture is taken again until it shows the row, for a few
    # seconds at most.
    expected = button_strip()[first_row:first_row + 54]
    for _ in range(10):
        time.sleep(0.5)
        width, _, pixels = capture(tmp_path, state)
        column = [tuple(pixels[3 * (y * width + 216):3 * (y * width + 216) + 3]) for y in range(144, 198)]
        if column == expected:
            break
    assert column == expected
    installer.process.kill()
