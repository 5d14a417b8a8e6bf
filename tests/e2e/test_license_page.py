"""The licence page opens as the signed-in user: the installer runs
elevated, and a browser it started would run elevated on the user's own
profile. The desktop's shell (Wine's explorer, as Explorer on Windows) is
asked to open it; without one, the installer shows the address and starts
nothing. The signed fake setup program stands in for the browser,
registered as the http handler: it logs the address and reports which
program started it."""
import os
import subprocess
import time

import pytest

from conftest import TOOL_BIN, TOOL_WINE, fake_setup_settings, reg, winpath
from test_keyboard_and_reader import focus, keys
from test_window import CLASS, inspect, listing, wait_until

HANDLER = r"HKLM\Software\Classes\http\shell\open\command"


@pytest.fixture
def browser(tmp_path):
    """The fake setup program as the http handler; its log and report."""
    saved = subprocess.run([TOOL_WINE, "reg", "query", HANDLER, "/ve"], capture_output=True,
                           timeout=30).stdout.decode("utf-8", "replace")
    reg("add", HANDLER, "/ve", "/d", '"%s" "%%1"' % winpath(TOOL_BIN / "fake_setup.exe"), "/f")

    class Browser:
        log, report = tmp_path / "browser.log", tmp_path / "browser.txt"

        def ready(self):
            fake_setup_settings({"QUELLOX_FAKE_SETUP_LOG": winpath(self.log),
                                 "QUELLOX_FAKE_SETUP_REPORT": winpath(self.report)})

        def started(self):
            return dict(line.split("=", 1) for line in self.report.read_text(encoding="utf-8").splitlines())

    yield Browser()
    previous = [line.split("REG_SZ", 1)[1].strip() for line in saved.splitlines() if "REG_SZ" in line]
    if previous:
        reg("add", HANDLER, "/ve", "/d", previous[0], "/f")


def open_the_license_page(run, browser, key="space"):
    installer = run().start()
    browser.ready()
    listing()
    wait_until(lambda: focus() == 101, what="the focus on the install button")
    keys("tab")
    keys("tab")
    assert focus() == 103
    keys(key)
    return installer


def test_the_license_page_is_opened_by_the_desktops_shell(run, browser):
    open_the_license_page(run, browser)
    wait_until(browser.log.exists, what="the page to be opened")
    [line] = browser.log.read_text(encoding="utf-8").splitlines()
    assert "http://www.quellox.example/license/" in line
    assert browser.started()["ParentImage"].lower() == "explorer.exe"


def test_without_a_shell_to_ask_the_address_is_shown_and_nothing_started(run, browser, monkeypatch):
    # Without the library that carries the shell's interfaces to its process,
    # the installer cannot ask the desktop's shell, as where none runs.
    monkeypatch.setenv("WINEDLLOVERRIDES", "%s;actxprxy=d" % os.environ.get("WINEDLLOVERRIDES", ""))
    open_the_license_page(run, browser)
    box = inspect("answer", "class:#32770", "1", "20000")
    assert box.returncode == 0
    shown = box.stdout.decode("utf-8")
    assert "open this address in your browser" in shown
    assert "http://www.quellox.example/license/" in shown
    assert inspect("list", CLASS, "5000").returncode == 0  # the window carries on
    assert not browser.log.exists()


@pytest.mark.parametrize("key", ["hold-space", "hold-enter"])
def test_a_key_held_on_the_link_opens_the_page_once(run, browser, key):
    # Six key-downs of the keyboard's auto-repeat, then the key-up.
    open_the_license_page(run, browser, key)
    wait_until(browser.log.exists, what="the page to be opened")
    time.sleep(2)
    assert len(browser.log.read_text(encoding="utf-8").splitlines()) == 1
