"""What the window shows, read back by pixels: the inspector copies the
client area through the window's own DC (under Xvfb) into a PPM file."""
import time

from conftest import winpath
from test_window import CLASS, inspect, listing, wait_until

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
