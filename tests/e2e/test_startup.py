"""The installer's start-up, run for real: the probe program runs the same
start-up code in its own process, under the file names and command lines a
distributed copy meets, and prints the settings it gathered."""
import re
import subprocess
import time

import pytest

from conftest import ARCH, BIN, POINTER_DIGITS, WINE, copy_program, run_wine, stamped_block, winpath  # noqa: F401

SUFFIX = {"1": "affiliate_31095-ab_afterinstall_a", "2": "affiliate_31095-ab_afterinstall_b"}
OFFERED_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{8B3F0C61-2E7D-4A95-B0C4-6D12E9F8A7B3}_is1"


def settings_of(program, *args, env=None):
    result = run_wine(program, *args, env=env)
    assert result.returncode == 0, result.stderr
    settings = dict(line.split("=", 1) for line in result.stdout.decode("utf-8").splitlines())
    assert settings["ABVariant"] in SUFFIX
    return settings


def campaign_given(settings):
    """The campaign without the A/B suffix (and its hyphen)."""
    campaign = settings["Campaign"]
    suffix = SUFFIX[settings["ABVariant"]]
    assert campaign.endswith(suffix)
    return campaign[: -len(suffix)].removesuffix("-")


@pytest.mark.parametrize(
    "name, error_code, ga_param",
    [
        ("qlx_E12-setup.exe", "E12", ""),
        ("qlx_E12-setup_abc (1).exe", "E12", "abc"),
        ("QLX_E12-setup.exe", "", ""),
        ("qlx_-setup.exe", "", ""),
        ("other-setup_abc.exe", "", "abc"),
        ("QuelloxSetup.exe", "", ""),
    ],
)
def test_file_name_gives_error_code_and_linker_value(copy_program, name, error_code, ga_param):
    settings = settings_of(copy_program("startup_probe.exe", name))
    assert (settings["ErrorCode"], settings["GAParam"]) == (error_code, ga_param)


@pytest.mark.parametrize(
    "args, expected",
    [
        ([], {"Campaign": "", "SkipStart": "0", "RunApplication": "0", "HideTrayIcon": "0"}),
        (["/Campaign:spring"], {"Campaign": "spring"}),
        (["-campaign:x"], {"Campaign": "x"}),
        (["Campaign:x"], {"Campaign": ""}),
        (["/Campaign:spring sale"], {"Campaign": "spring sale"}),
        (["/Campaign:one", "/Campaign:two"], {"Campaign": "two"}),
        (["/Campaign:a:b"], {"Campaign": "a:b"}),
        (["SkipStart"], {"SkipStart": "1"}),
        (["/SkipStart:no", "/SKIPAFTERINSTALLPAGE"], {"SkipStart": "1", "SkipAfterInstallPage": "1"}),
        (["/RunApplication:1", "/HideTrayIcon:yes"], {"RunApplication": "0", "HideTrayIcon": "0"}),
        (["/RunApplication", "-HideTrayIcon"], {"RunApplication": "1", "HideTrayIcon": "1"}),
        (["/DownloadPath:http://a.example/x", "/OpenWebPage:http://b.example/"],
         {"DownloadPath": "http://a.example/x", "OpenWebPage": "http://b.example/"}),
    ],
)
def test_command_line_switches(copy_program, args, expected):
    settings = settings_of(copy_program("startup_probe.exe", "QuelloxSetup.exe"), *args)
    gathered = dict(settings, Campaign=campaign_given(settings))
    assert {key: gathered[key] for key in expected} == expected
    assert settings["DisplayOffers"] == "1"


@pytest.mark.parametrize(
    "block, args, campaign",
    [
        (stamped_block("cookie one"), [], "cookie one"),
        (stamped_block("cookie one"), ["/Campaign:mine"], "mine"),
        (stamped_block("cookie one"), ["/Campaign:"], "cookie one"),
        (stamped_block(""), [], ""),
        # Only two of the three records: the block is not valid.
        (stamped_block("cookie one")[: 2 * 231], [], ""),
    ],
)
def test_campaign_from_the_signature_block(copy_program, block, args, campaign):
    # A stamped signature is padded to 8 bytes; the records end before that.
    program = copy_program("startup_probe.exe", "QuelloxSetup.exe", append=block + b"\0" * 4)
    assert campaign_given(settings_of(program, *args)) == campaign


def test_variant_is_drawn_per_run_and_picks_the_suffix():
    seen = set()
    for _ in range(24):
        settings = settings_of(BIN / "startup_probe.exe")
        campaign_given(settings)
        seen.add(settings["ABVariant"])
    assert seen == {"1", "2"}


def test_setup_file_lies_in_the_long_temporary_folder():
    settings = settings_of(BIN / "startup_probe.exe")
    path = settings["SetupFileName"]
    assert re.fullmatch(r"[A-Z]:\\.+\\5D1E7A40-93C2-4B8F-A6E1-0F47C2B9D358_quellox_setup\.exe", path)
    assert "~" not in path


@pytest.fixture
def offered_key():
    def reg(*args):
        subprocess.run([WINE, "reg", *args], capture_output=True, timeout=30)

    yield reg
    for view in ("/reg:32", "/reg:64"):
        reg("delete", OFFERED_KEY, "/f", view)


def test_offer_depends_on_the_32_bit_registry_view(offered_key):
    assert settings_of(BIN / "startup_probe.exe")["AutoCSOffer"] == "1"
    offered_key("add", OFFERED_KEY, "/f", "/reg:64")
    assert settings_of(BIN / "startup_probe.exe")["AutoCSOffer"] == "1"
    offered_key("add", OFFERED_KEY, "/f", "/reg:32")
    assert settings_of(BIN / "startup_probe.exe")["AutoCSOffer"] == "0"


def test_unreadable_program_file_ends_in_the_application_error_box(copy_program):
    program = copy_program("startup_probe.exe", "QuelloxSetup.exe")
    import os

    env = dict(os.environ, QUELLOX_PROBE_LOCK_SELF="1")
    probe = subprocess.Popen([WINE, str(program)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    try:
        answer = run_wine(BIN / "wininspect.exe", "answer", "Application Error", "1", "30000")
        assert answer.returncode == 0, "no Application Error box appeared"
        lines = answer.stdout.decode("utf-8").splitlines()
        assert lines[0].startswith("#32770|")
        text = next(line.split("|")[2] for line in lines if line.startswith("Static|65535|"))
        match = re.fullmatch(
            r"Exception TSystemError in module QuelloxSetup\.exe at ([0-9A-F]{%d})\.\\r\\n"
            r"System Error\.  Code: 32\.\\r\\n[^\\]+\.\\r\\n" % POINTER_DIGITS,
            text,
        )
        assert match, text
        # The whole address: a 64-bit image lies above 4 GiB.
        if ARCH == "x64":
            assert int(match.group(1), 16) > 0xFFFFFFFF, text
        stdout, _ = probe.communicate(timeout=30)
    finally:
        probe.kill()
    assert probe.returncode == 1
    # The process ended in the handler: no settings were printed.
    assert stdout == b""
