"""The newcomer's scripts: the set-up is quiet and shows the package
manager's last lines only when a step fails; the demo without a display
walks the window from the start page through a pause to the end and leaves
pictures cropped to the window."""
import os
import pathlib
import re
import shutil
import subprocess

from conftest import BIN, PRODUCT_KEY, reg, runs_x86

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_setup_on_a_machine_that_has_everything_prints_one_line():
    result = subprocess.run(["bash", str(ROOT / "scripts/setup.sh")], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0
    lines = result.stdout.splitlines()
    assert lines[0].startswith("setup: all ")
    # A second line only where 32-bit programs cannot run, saying so.
    assert lines[1:] == ([] if runs_x86() else [
        "setup: this machine cannot run 32-bit programs; the scripts use the 64-bit build of the installer"])
    assert result.stderr == ""


def test_a_failing_setup_step_shows_the_end_of_its_log(tmp_path):
    # The script runs from a copy of the tree, so that its log lands there,
    # with stand-ins for the package tools: every package is missing, and the
    # installation fails after much output.
    (tmp_path / "scripts").mkdir()
    for script in ("setup.sh", "steps.sh", "arch.sh"):
        shutil.copy(ROOT / "scripts" / script, tmp_path / "scripts" / script)
    tools = tmp_path / "tools"
    tools.mkdir()
    stand_ins = {
        "dpkg-query": "exit 1",
        "dpkg": "echo i386",
        "sudo": 'exec "$@"',
        "apt-get": 'if [ "$1" = update ]; then echo "lists read"; exit 0; fi\n'
                   'for i in $(seq 1 60); do echo "unpacking part $i"; done\necho "E: no room left"; exit 100',
    }
    for name, body in stand_ins.items():
        (tools / name).write_text("#!/bin/sh\n" + body + "\n")
        (tools / name).chmod(0o755)
    env = dict(os.environ, PATH=str(tools) + ":" + os.environ["PATH"])
    result = subprocess.run(["bash", str(tmp_path / "scripts/setup.sh")], capture_output=True, text=True, env=env,
                            timeout=60)
    assert result.returncode == 100
    lines = result.stdout.splitlines()
    assert lines[0] == "setup: updating the package lists ... done"
    assert re.fullmatch(r"setup: installing \d+ packages: cmake .* \.\.\. failed \(exit code 100\)", lines[1])
    assert len(lines) == 2
    assert "E: no room left" in result.stderr and "unpacking part 60" in result.stderr
    assert "unpacking part 1\n" not in result.stderr  # the tail only
    assert "unpacking part 1\n" in (tmp_path / "build/setup.log").read_text()


def test_the_demo_without_a_display_walks_the_window_and_pictures_it(tmp_path):
    shots = tmp_path / "shots"
    env = dict(os.environ, QUELLOX_DEMO_INTERACTIVE="0", QUELLOX_DEMO_SCREENSHOTS=str(shots), QUELLOX_BIN=str(BIN))
    try:
        result = subprocess.run(["/usr/bin/python3", str(ROOT / "scripts/demo.py")], capture_output=True, text=True,
                                env=env, timeout=600)
    finally:
        reg("delete", PRODUCT_KEY, "/f", "/reg:32")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "/SkipStart" not in result.stdout
    summary = result.stdout.split("== Summary")[1]
    for event in ["install_start", "install_pause", "install_resume", "install_finish"]:
        assert event in summary
    assert "Range: bytes=" in summary  # the resumed download
    sizes = {}
    for name in ["start-page", "progress-page", "paused-notice", "demo"]:
        out = subprocess.run(["identify", "-format", "%w %h %k", str(shots / (name + ".png"))], capture_output=True,
                             text=True, check=True).stdout.split()
        width, height, colours = map(int, out)
        assert colours > 20, name  # a picture of the window, not an empty screen
        sizes[name] = (width, height)
    assert sizes["start-page"] == (554, 332)
    assert sizes["progress-page"] == sizes["paused-notice"] == (554, 267)
    assert sizes["demo"] == (3 * 554 + 4 * 16, 332 + 2 * 16)
