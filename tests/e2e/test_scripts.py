"""The newcomer's scripts: the set-up is quiet and shows the package
manager's last lines only when a step fails; the demo without a display
walks the window from the start page through a pause to the end and leaves
pictures cropped to the window."""
import os
import pathlib
import re
import shutil
import subprocess

import pytest

from conftest import BIN, PRODUCT_KEY, reg, runs_x86, x86_mode

ROOT = pathlib.Path(__file__).resolve().parents[2]


NO_X86 = "setup: this machine cannot run 32-bit programs; the scripts use the 64-bit build of the installer"
EMULATED_X86 = ("setup: 32-bit programs run here only emulated (qemu-i386): the tests run the shipped 32-bit "
                "file's own set, the 64-bit build every test")
REGISTERED = ("setup: this machine's kernel refuses 32-bit programs: they now run emulated (qemu-i386 registered "
              "with binfmt_misc), and Wine's 32-bit loader answers")


def test_setup_on_a_machine_that_has_everything_prints_one_line():
    result = subprocess.run(["bash", str(ROOT / "scripts/setup.sh")], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0
    lines = result.stdout.splitlines()
    assert lines[0].startswith("setup: all ")
    # A second line only where 32-bit programs do not run natively, saying how.
    assert lines[1:] == {"native": [], "emulated": [EMULATED_X86], "none": [NO_X86]}[x86_mode()]
    assert result.stderr == ""


@pytest.fixture
def machine(tmp_path):
    """A machine of stand-ins, every package installed: binfmt_misc as a
    folder, and Wine's 32-bit loader, which answers when the kernel runs
    32-bit programs ("native") or once the emulator is registered with the F
    flag, as the kernel would then run it."""
    tools, binfmt = tmp_path / "tools", tmp_path / "binfmt"
    tools.mkdir()
    binfmt.mkdir()
    (binfmt / "register").write_text("")
    stand_ins = {
        "dpkg-query": "echo 'install ok installed'",
        "wine": 'test -e "$(dirname "$0")/native" || grep -q "^:qemu-i386:M::.*:%s:F$" %s'
                % (tools / "qemu-i386-static", binfmt / "register"),
        "qemu-i386-static": "exit 0",
    }
    for name, body in stand_ins.items():
        (tools / name).write_text("#!/bin/sh\n" + body + "\n")
        (tools / name).chmod(0o755)

    def run(kind, **env):
        if kind == "native":
            (tools / "native").touch()
        if kind == "emulated":
            (binfmt / "qemu-i386").write_text("enabled\ninterpreter %s\nflags: F\n" % (tools / "qemu-i386-static"))
            (binfmt / "register").write_text(":qemu-i386:M::x:y:%s:F\n" % (tools / "qemu-i386-static"))
        full_env = dict(os.environ, PATH=str(tools) + ":" + os.environ["PATH"], QUELLOX_TEST_LOADER_X86=str(tools / "wine"),
                        QUELLOX_TEST_BINFMT_DIR=str(binfmt), QUELLOX_TEST_EMULATOR=str(tools / "qemu-i386-static"),
                        **env)
        full_env.pop("QUELLOX_NO_EMULATION", None)
        full_env.update(env)
        result = subprocess.run(["bash", str(ROOT / "scripts/setup.sh")], capture_output=True, text=True,
                                env=full_env, timeout=60)
        assert result.returncode == 0, result.stderr
        return result.stdout.splitlines()[1:], (binfmt / "register").read_text()

    return run


@pytest.mark.skipif(os.geteuid() != 0, reason="registering the emulator needs root")
@pytest.mark.parametrize("kind, env, said, registered", [
    # A kernel that runs 32-bit programs itself is left as it is.
    ("native", {}, [], False),
    # One that refuses them gets the emulator, registered with the F flag.
    ("refused", {}, [REGISTERED], True),
    ("refused", {"QUELLOX_NO_EMULATION": "1"}, [NO_X86], False),
    ("emulated", {}, [EMULATED_X86], True),
    ("emulated", {"QUELLOX_NO_EMULATION": "1"}, [NO_X86], True),
])
def test_setup_runs_32_bit_programs_emulated_only_where_the_kernel_refuses_them(machine, kind, env, said, registered):
    lines, register = machine(kind, **env)
    assert lines == said
    assert (":qemu-i386:M::" in register and register.rstrip().endswith(":F")) == registered
    if kind == "refused" and registered:
        assert "\\x7fELF\\x01\\x01\\x01" in register  # i386 ELF programs only


@pytest.mark.parametrize("mode, how, archs, shipped_only", [
    ("native", "all", "x86 x64", "all"),
    ("native", "one", "x86", "all"),
    ("emulated", "all", "x86 x64", "shipped"),
    ("emulated", "one", "x64", "shipped"),
    ("none", "all", "x64", "all"),
])
def test_what_each_command_runs_on_each_sort_of_machine(tmp_path, mode, how, archs, shipped_only):
    loader, binfmt = tmp_path / "wine", tmp_path / "binfmt"
    loader.write_text("#!/bin/sh\nexit %d\n" % (1 if mode == "none" else 0))
    loader.chmod(0o755)
    binfmt.mkdir()
    if mode == "emulated":
        (binfmt / "qemu-i386").write_text("enabled\n")
    env = {k: v for k, v in os.environ.items() if k not in ("QUELLOX_ARCH", "QUELLOX_X86_SET", "QUELLOX_NO_EMULATION")}
    env.update(QUELLOX_TEST_LOADER_X86=str(loader), QUELLOX_TEST_BINFMT_DIR=str(binfmt))
    result = subprocess.run(["bash", "-c", 'source "$1/scripts/arch.sh"; echo "$(quellox_x86_mode)"; '
                             'quellox_choose_archs "$2"; echo "$quellox_archs"; echo "$quellox_x86_set"',
                             "_", str(ROOT), how], capture_output=True, text=True, env=env, timeout=30)
    assert result.stdout.splitlines() == [mode, archs, shipped_only]


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
