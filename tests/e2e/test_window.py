"""The whole installer under Wine and Xvfb: its window inspected and driven
from another process of the prefix, the download from a loopback server
through http_proxy, a signed fake setup program, and the analytics events
collected by the same server."""
import os
import pathlib
import subprocess
import time
import urllib.parse

import pytest

from conftest import BIN, NETWORK_PATH, OFFERED_KEY, TOOL_BIN, WINE, not_emulated, probe_output, reg, run_wine, scaled

CLASS = "QuelloxStubInstaller"
SCREENSHOTS = pathlib.Path(os.environ.get("QUELLOX_SCREENSHOTS", BIN.parent / "screenshots"))
WS_VISIBLE, WS_CHILD, SS_NOTIFY, SS_BITMAP = 0x10000000, 0x40000000, 0x100, 0xE


def inspect(*args, timeout=60):
    return run_wine(TOOL_BIN / "wininspect.exe", *args, timeout=scaled(timeout))


def inspect_inside(*args, timeout=60):
    """The inspector for what it reads from inside the window's process (it
    loads a library there): the build's own, of the program's bitness."""
    return run_wine(BIN / "wininspect.exe", *args, timeout=timeout)


def listing(timeout_ms=30000):
    result = inspect("list", CLASS, str(int(scaled(timeout_ms))))
    assert result.returncode == 0, "the installer window did not appear"
    windows = []
    for line in result.stdout.decode("utf-8").splitlines():
        cls, ident, text, rect, style = line.split("|")
        windows.append({"class": cls, "id": int(ident), "text": text.replace("\\r\\n", "\r\n"),
                        "rect": tuple(map(int, rect.split(","))), "style": int(style, 16)})
    return windows[0], windows[1:]


def wait_until(condition, timeout=30, what="condition"):
    end = time.monotonic() + scaled(timeout)
    while time.monotonic() < end:
        if condition():
            return
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


def screenshot(name):
    SCREENSHOTS.mkdir(parents=True, exist_ok=True)
    subprocess.run(["import", "-window", "root", str(SCREENSHOTS / (name + ".png"))], check=True, timeout=30)


def by_id(children, ident):
    return [c for c in children if c["id"] == ident]


def test_start_page_layout_and_texts(run):
    installer = run().start()
    window, children = listing()
    left, top, right, bottom = window["rect"]
    assert (right - left, bottom - top) == (554, 332)
    work = tuple(map(int, inspect("workarea").stdout.decode().split(",")))
    assert left == work[0] + (work[2] - work[0] - 554) // 2
    assert top == work[1] + (work[3] - work[1] - 332) // 2
    assert window["text"] == "Setup \u2014 Varnholt Quellox"
    assert window["style"] & 0x00010000 == 0  # no maximise box
    assert window["style"] & 0x00080000  # system menu

    expected = [
        ("Static", 0, "Varnholt", (34, 164, 253, 185), 0),
        ("Static", 0, "QUELLOX 2015", (34, 182, 253, 210), 0),
        ("Static", 0, "Install and diagnose your PC", (206, 29, 507, 68), 0),
        ("Static", 0, "By installing this application you confirm that you have read and accepted the Varnholt",
         (206, 68, 486, 170), 0),
        ("Static", 103, "License Agreement", (361, 85, 455, 105), SS_NOTIFY),
        ("Button", 101, "Start installation", (206, 144, 507, 198), 0),
        ("Button", 102, "Install Varnholt Scourwell to scan for junk files", (207, 204, 487, 229), 0x2403),
    ]
    for cls, ident, text, rect, style in expected:
        matches = [c for c in children if c["text"] == text]
        assert len(matches) == 1, text
        assert (matches[0]["class"], matches[0]["id"], matches[0]["rect"]) == (cls, ident, rect)
        assert matches[0]["style"] & (WS_CHILD | WS_VISIBLE | style) == WS_CHILD | WS_VISIBLE | style
    [footer] = [c for c in children if c["class"] == "Static" and c["text"] == ""]
    width, footer_top = footer["rect"][2], footer["rect"][1]
    assert footer["rect"] == (0, footer_top, width, footer_top + 65)
    [trust] = [c for c in children if c["text"] == "Verified: safe download"]
    [compat] = [c for c in children if c["text"] == "Compatible with 32-bit and 64-bit Windows"]
    assert trust["rect"] == (21, footer_top + 10, 21 + 106, footer_top + 10 + 44)
    assert compat["rect"] == (width - 21 - 148, footer_top + 17, width - 21, footer_top + 17 + 31)
    assert trust["style"] & SS_BITMAP == SS_BITMAP and compat["style"] & SS_BITMAP == SS_BITMAP
    screenshot("start-page")
    installer.process.kill()


@pytest.mark.shipped
@not_emulated(NETWORK_PATH)
def test_install_button_switches_to_the_progress_page_and_installs(run, server):
    server.plan = [{"delay": 0.01}]
    installer = run().start()
    listing()
    inspect("click", CLASS, "101")

    def progress_page():
        window, _ = listing()
        return window["rect"][3] - window["rect"][1] == 267

    wait_until(progress_page, what="the progress page")
    window, children = listing()
    assert by_id(children, 101) == [] and by_id(children, 102) == [] and by_id(children, 103) == []
    bars = [c for c in children if c["class"] == "msctls_progress32"]
    assert len(bars) == 1
    client_width = bars[0]["rect"][2] + 34
    assert bars[0]["rect"] == (34, 103, client_width - 34, 120)
    # The close button and Alt+F4 do nothing on the progress page.
    inspect("syscommand", CLASS, str(0xF060))
    time.sleep(0.3)
    screenshot("progress-page")
    assert installer.process.poll() is None

    assert installer.wait() == 0
    assert installer.events() == ["install_start", "install_finish"]
    [line] = installer.setup_runs()
    assert " /FromStubInstall /AutoCSOffer /DisplayOffers /showurl " in line


def test_unticked_offer_is_passed_on(run):
    installer = run().start()
    listing()
    inspect("click", CLASS, "102")
    time.sleep(0.3)
    inspect("click", CLASS, "101")
    assert installer.wait() == 0
    [line] = installer.setup_runs()
    assert "/AutoCSOffer" not in line


def test_no_offer_when_the_offered_product_is_installed(run):
    reg("add", OFFERED_KEY, "/f", "/reg:32")
    installer = run().start()
    _, children = listing()
    assert by_id(children, 102) == []
    inspect("click", CLASS, "101")
    assert installer.wait() == 0
    assert "/AutoCSOffer" not in installer.setup_runs()[0]


@pytest.mark.shipped
@not_emulated(NETWORK_PATH)
def test_pause_resume_and_cancel(run, server):
    server.plan = [{"delay": 0.02}]
    installer = run().start("/SkipStart")
    window, children = listing()
    assert window["rect"][3] - window["rect"][1] == 267
    assert by_id(children, 101) == []
    wait_until(lambda: len(server.requests) >= 1, what="the download")

    inspect("command", CLASS, "201")  # pause
    wait_until(lambda: "install_pause" in installer.events(), what="install_pause")
    time.sleep(0.5)
    screenshot("paused-notice")
    inspect("command", CLASS, "201")  # resume
    wait_until(lambda: "install_resume" in installer.events(), what="install_resume")
    assert "Range" in server.requests[-1]["headers"] or len(server.requests) >= 2

    inspect("command", CLASS, "202")  # cancel?
    time.sleep(0.5)
    screenshot("cancel-question")
    answer = inspect("answer", "class:#32770", "7", str(int(scaled(20000))))  # No: cancel
    assert answer.returncode == 0
    assert "Continue installation?" in answer.stdout.decode("utf-8")
    assert installer.wait() == 0
    assert installer.events() == ["install_start", "install_pause", "install_resume", "install_cancel",
                                  "install_cancel"]
    assert installer.setup_runs() == []


def test_cancel_question_answered_yes_keeps_installing(run, server):
    server.plan = [{"delay": 0.01}]
    installer = run().start("/SkipStart")
    listing()
    inspect("command", CLASS, "202")
    assert inspect("answer", "class:#32770", "6", str(int(scaled(20000)))).returncode == 0  # Yes
    assert installer.wait() == 0
    assert installer.events() == ["install_start", "install_finish"]


def test_second_instance_brings_the_first_forward(run):
    first = run().start()
    listing()
    inspect("lower", CLASS)
    second = run().start()
    assert second.wait(timeout=30) == 0
    wait_until(lambda: inspect("foreground", CLASS).returncode == 0, what="the first window in front")
    assert first.process.poll() is None


def test_activation_requests_in_a_loop_bring_the_window_forward_at_most_once_a_second(run):
    # Each request that brings the window forward may hold its thread for
    # up to 2 s: a program that posts them in a loop would starve its input.
    run().start()
    listing()
    name = probe_output(run_wine(BIN / "startup_probe.exe"))["InstanceName"]
    result = inspect("activate", CLASS, name, "10")
    assert result.returncode == 0
    counts = dict(item.split("=") for item in result.stdout.decode().split())
    assert 1 <= int(counts["forward"]) <= int(counts["elapsed"]) // 1000 + 1, counts


def test_a_guard_taken_by_another_program_is_told_and_fails(run):
    # Any program of the session can create the guard's plain name first,
    # with a DACL that lets nobody open it: the installer must not end
    # silently with 0, as a second instance does.
    name = probe_output(run_wine(BIN / "startup_probe.exe"))["InstanceName"]
    squatter = subprocess.Popen([WINE, str(BIN / "wininspect.exe"), "squat", name, "deny", "60"],
                                stdout=subprocess.PIPE)
    try:
        assert squatter.stdout.readline().strip() == b"ready"
        installer = run().start()
        assert inspect("answer", "Application Error", "1", "30000").returncode == 0, "no error box"
        assert installer.wait(timeout=30) != 0
    finally:
        squatter.kill()
        squatter.wait()


def test_five_failed_attempts_close_the_window(run, server):
    # The download's server fails; the collector answers (a 5xx there is
    # retried).
    server.plan, server.post_plan = [{"force_status": 500}], [{}]
    installer = run("QuelloxSetupShortWait.exe").start("/SkipStart")
    assert installer.wait() == 0
    downloads = [r for r in server.requests if r["method"] == "GET"]
    assert len(downloads) == 5
    assert installer.events() == ["install_start", "install_cancel"]
