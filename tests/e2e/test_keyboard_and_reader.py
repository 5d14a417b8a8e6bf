"""The window without a mouse, and what a screen reader learns of it: keys
typed into the real window (SendInput), the accessibility layer asked from
another process (AccessibleObjectFromWindow). Wine's layer gives every
control the generic client role, so names, states and values are checked,
not roles."""
import time

import pytest

from test_painting import capture
from conftest import NETWORK_PATH, not_emulated, scaled
from test_window import CLASS, inspect, listing, wait_until

FOCUSABLE, FOCUSED = 0x100000, 0x4


def focus():
    result = inspect("focus", CLASS)
    assert result.returncode == 0
    cls, ident, text = result.stdout.decode("utf-8").strip().split("|", 2)
    return int(ident)


def keys(*names):
    assert inspect("keys", CLASS, *names).returncode == 0
    time.sleep(0.3)


def accessible():
    """Each visible window's client object: id, name, role, state, value."""
    result = inspect("accessible", CLASS)
    assert result.returncode == 0
    found = []
    for line in result.stdout.decode("utf-8").splitlines():
        ident, name, role, state, value = line.split("|")
        found.append({"id": int(ident), "name": name, "state": int(state, 16) if state != "-" else None,
                      "value": value})
    return found


@pytest.mark.shipped
@not_emulated(NETWORK_PATH)
def test_keyboard_only_walk_installs(run):
    installer = run().start()
    listing()
    wait_until(lambda: focus() == 101, what="the focus on the install button")
    # Tab through the three controls and around, Shift+Tab back.
    walk = []
    for _ in range(3):
        keys("tab")
        walk.append(focus())
    assert walk == [102, 103, 101]
    keys("shift+tab")
    assert focus() == 103
    keys("shift+tab")
    assert focus() == 102
    # Space unticks the offer box; Enter on the button installs.
    keys("space")
    keys("shift+tab")
    assert focus() == 101
    keys("enter")
    assert installer.wait() == 0
    assert installer.events() == ["install_start", "install_finish"]
    [line] = installer.setup_runs()
    assert "/AutoCSOffer" not in line


def test_space_on_the_install_button_installs_and_esc_does_nothing_on_the_progress_page(run, server):
    server.plan = [{"delay": 0.02}]
    installer = run().start()
    listing()
    wait_until(lambda: focus() == 101, what="the focus on the install button")
    keys("space")
    wait_until(lambda: "install_start" in installer.events(), what="install_start")
    # The progress page cannot be closed, by Esc no more than by Alt+F4.
    keys("esc")
    keys("alt+f4")
    time.sleep(0.5)
    assert installer.process.poll() is None
    assert installer.wait() == 0
    assert installer.events() == ["install_start", "install_finish"]


def test_esc_on_the_start_page_closes_as_the_close_button_does(run):
    installer = run().start()
    listing()
    wait_until(lambda: focus() == 101, what="the focus on the install button")
    keys("esc")
    assert installer.wait() == 0
    assert installer.events() == ["install_cancel"]


def luminance(pixel):
    """The relative luminance of an sRGB pixel, as WCAG defines it."""
    def channel(c):
        c /= 255
        return c / 12.92 if c <= 0.03928 else ((c + 0.055) / 1.055) ** 2.4
    r, g, b = pixel
    return 0.2126 * channel(r) + 0.7152 * channel(g) + 0.0722 * channel(b)


def contrast(a, b):
    high, low = sorted((luminance(a), luminance(b)), reverse=True)
    return (high + 0.05) / (low + 0.05)


def test_focus_cue_appears_once_the_keyboard_is_used_and_stands_out_from_the_green(run, tmp_path):
    installer = run().start()
    listing()
    inspect("hover", CLASS, "0")
    wait_until(lambda: focus() == 101, what="the focus on the install button")
    time.sleep(0.5)

    def rows():
        # The button's face from 4 px inside its top edge down: the cue's
        # two rows and the face below them, across the button.
        width, _, pixels = capture(tmp_path, "cue")
        return [[tuple(pixels[3 * (y * width + x):3 * (y * width + x) + 3]) for x in range(212, 500)]
                for y in (148, 149, 150)]

    before = rows()
    keys("tab", "shift+tab")
    assert focus() == 101
    time.sleep(0.5)
    after = rows()
    # Two pixels wide at 96 DPI, and at least 3:1 against the green it lies
    # on at every point; the face below it is untouched.
    for cue, face in zip(after[:2], before[:2]):
        worst = min(contrast(c, f) for c, f in zip(cue, face))
        assert worst >= 3, worst
    assert after[2] == before[2]
    installer.process.kill()


def check_the_start_page_names():
    """Every visible control of the start page has a name a person
    understands, and the focus starts on the button."""
    listing()
    wait_until(lambda: focus() == 101, what="the focus on the install button")
    found = accessible()
    names = {o["name"] for o in found}
    for name in ("Setup \u2014 Varnholt Quellox", "Start installation", "License Agreement",
                 "Install Varnholt Scourwell to scan for junk files", "Verified: safe download",
                 "Compatible with 32-bit and 64-bit Windows", "Install and diagnose your PC"):
        assert name in names, name
    assert not any(o["name"].startswith("LOGO_") for o in found)
    [button] = [o for o in found if o["id"] == 101]
    assert button["state"] & (FOCUSABLE | FOCUSED) == FOCUSABLE | FOCUSED


@pytest.mark.shipped
def test_every_control_of_the_start_page_has_a_name_a_person_understands(run):
    installer = run().start()
    check_the_start_page_names()
    installer.process.kill()


@pytest.mark.shipped
@not_emulated(NETWORK_PATH)
def test_the_progress_bar_is_named_by_the_status_line_with_its_percentage(run, server):
    server.plan, server.post_plan = [{"stall_after": 40000, "stall": 60}], [{}]
    installer = run().start()
    check_the_start_page_names()
    # The bar is named by the status line, which carries the percentage, and
    # it holds the focus.
    keys("enter")
    wait_until(lambda: any(o["name"].startswith("Installing the application (") for o in accessible()),
               what="a percentage in the bar's name")
    [bar] = [o for o in accessible() if o["name"].startswith("Installing the application (")]
    assert bar["name"].endswith("%)")
    assert bar["state"] & FOCUSED
    installer.process.kill()


def focused():
    """The class and the text of the control that has the focus."""
    result = inspect("focus", CLASS)
    assert result.returncode == 0
    cls, _, text = result.stdout.decode("utf-8").strip().split("|", 2)
    return cls.lower(), text


@not_emulated(NETWORK_PATH)
def test_the_paused_notice_takes_the_focus_and_the_bar_gets_it_back(run, server):
    server.plan, server.post_plan = [{"stall_after": 40000, "stall": 60}, {"stall_after": 40000, "stall": 60}], [{}]
    installer = run().start()
    listing()
    wait_until(lambda: focus() == 101, what="the focus on the install button")
    keys("enter")
    wait_until(lambda: focused()[0] == "msctls_progress32", what="the focus on the bar")

    # Paused: the notice takes the bar's place and the focus, and a screen
    # reader finds it by its text.
    assert inspect("command", CLASS, "201").returncode == 0
    wait_until(lambda: "installation paused" in focused()[1], what="the focus on the paused notice")
    [notice] = [o for o in accessible() if "installation paused" in o["name"]]
    assert notice["state"] & FOCUSED
    assert not [o for o in accessible() if o["name"].startswith("Installing the application")]

    # Resumed: the bar has it again, and Tab keeps it there.
    assert inspect("command", CLASS, "201").returncode == 0
    wait_until(lambda: focused()[0] == "msctls_progress32", what="the focus back on the bar")
    keys("tab")
    assert focused()[0] == "msctls_progress32"
    installer.process.kill()


@not_emulated(NETWORK_PATH)
def test_a_reader_hears_the_progress_at_every_tenth_not_at_every_percent(run, server):
    # About a percent every tenth of a second.
    server.plan, server.post_plan = [{"chunk": 8192, "delay": 0.1}], [{}]
    installer = run().start()
    listing()
    wait_until(lambda: focus() == 101, what="the focus on the install button")
    keys("enter")
    said = []
    deadline = time.monotonic() + scaled(60)
    while time.monotonic() < deadline and installer.process.poll() is None:
        bars = [o for o in accessible() if o["name"].startswith("Installing the application (")]
        for bar in bars:
            percent = int(bar["name"].split("(")[1].rstrip("%)"))
            if not said or said[-1] != percent:
                said.append(percent)
        if said and said[-1] >= 90:
            break
    # The name changed at the first percentage and then once a tenth of the
    # way at most.
    assert len(said) >= 3, said
    assert all(later // 10 > earlier // 10 for earlier, later in zip(said, said[1:])), said
    installer.process.kill()


@not_emulated(NETWORK_PATH)
def test_on_resume_the_bar_says_what_is_on_disk_before_the_server_answers(run, server):
    # The resumed attempt's server does not answer at all.
    server.plan, server.post_plan = [{"stall_after": 80000, "stall": 60}, {"hang": True}], [{}]
    installer = run().start()
    listing()
    wait_until(lambda: focus() == 101, what="the focus on the install button")
    keys("enter")
    wait_until(lambda: len(server.requests) >= 1 and focused()[0] == "msctls_progress32", what="the download")
    time.sleep(3)
    assert inspect("command", CLASS, "201").returncode == 0
    wait_until(lambda: "installation paused" in focused()[1], what="the pause")
    assert inspect("command", CLASS, "201").returncode == 0
    wait_until(lambda: focused()[0] == "msctls_progress32", what="the resume")
    [bar] = [o for o in accessible() if o["name"].startswith("Installing the application (")]
    assert int(bar["name"].split("(")[1].rstrip("%)")) > 0, bar
    installer.process.kill()
