"""What runs elevated is the file that was checked, end to end: the worker
probe downloads from a loopback server into the temporary folder, and the
signed fake setup program reports where it ran, what lay beside it, its
folder's security descriptor and its command line as an ANSI program sees
it. The temporary folder is planted with what unelevated code could put
there: a library, a hard link to another file, a folder, a 4 GiB file."""
import ntpath
import os
import re
import shutil
import subprocess

import pytest

from conftest import BIN, WINE, probe_output, run_wine, unix_path, winpath

INSTALLED, STOPPED = "5", "3"
PRODUCT_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{E49A1D27-6C03-4F58-9B7E-31A5D0C6F2E8}_is1"
RUN_FOLDER = re.compile(r"C:\\ProgramData\\QuelloxSetup-\{[0-9A-F-]{36}\}")
# SIDs that stand for unelevated code: Users, Authenticated Users, Everyone,
# Interactive.
UNELEVATED_SIDS = {"BU", "S-1-5-32-545", "AU", "S-1-5-11", "WD", "S-1-1-0", "IU", "S-1-5-4"}


def delete_product_key():
    subprocess.run([WINE, "reg", "delete", PRODUCT_KEY, "/f", "/reg:32"], capture_output=True, timeout=30)


def program_data():
    return unix_path("C:\\ProgramData")


def run_folders():
    return sorted(p.name for p in program_data().glob("QuelloxSetup-*"))


@pytest.fixture
def world(server, signed_setup, tmp_path):
    """Server, setup log and report, a clean registry, and no setup file or
    file of our own left over in the temporary folder."""
    delete_product_key()
    setup_file = unix_path(probe_output(run_wine(BIN / "startup_probe.exe"))["SetupFileName"])
    temp = setup_file.parent

    def own_files():
        return sorted(temp.glob(setup_file.stem + "*"))

    def clean():
        for path in own_files():
            if path.is_dir() and not path.is_symlink():
                shutil.rmtree(path)
            else:
                path.unlink()

    clean()
    server.body = signed_setup
    log, report = tmp_path / "setup.log", tmp_path / "report.txt"
    folders_before = run_folders()

    def run(*args, program=BIN / "worker_probe.exe", launcher=(), cwd=None):
        env = dict(os.environ, http_proxy=server.proxy, QUELLOX_PROBE_RETRY_WAIT_MS="300",
                   QUELLOX_FAKE_SETUP_LOG=winpath(log), QUELLOX_FAKE_SETUP_INSTALL_ON="always",
                   QUELLOX_FAKE_SETUP_REPORT=winpath(report))
        command = list(launcher) if launcher else [WINE, str(program), "run", *args]
        result = subprocess.run(command, capture_output=True, timeout=180, env=env, cwd=cwd)
        return probe_output(result)

    run.setup_file = setup_file
    run.temp = temp
    run.own_files = own_files
    run.runs = lambda: log.read_text(encoding="utf-8").splitlines() if log.exists() else []
    run.report = lambda: dict(line.split("=", 1) for line in report.read_text(encoding="utf-8").splitlines())
    yield run
    delete_product_key()
    clean()
    # Every run folder is gone after the run, however it ended.
    assert run_folders() == folders_before


def aces(sddl):
    """[(type, trustee)] of the DACL's entries."""
    dacl = sddl.split("D:", 1)[1]
    return [(fields[0], fields[5]) for fields in (ace.split(";") for ace in re.findall(r"\(([^)]*)\)", dacl))]


def test_setup_runs_from_a_protected_copy_without_the_planted_library(world):
    planted = world.temp / "version.dll"
    planted.write_bytes(b"MZ planted beside the partial file")
    try:
        out = world()
    finally:
        planted.unlink()
    assert out["FinalState"] == INSTALLED
    report = world.report()

    folder, name = ntpath.split(report["Path"])
    assert RUN_FOLDER.fullmatch(folder), report["Path"]
    assert name == ntpath.basename(out["SetupFileName"])
    assert report["CurrentFolder"] == folder
    assert report["Listing"] == name
    # The command line's first element names the copy that runs.
    [line] = world.runs()
    assert line.startswith(f'"{report["Path"]}" /verysilent /execute ')

    # Read back while the setup ran: SYSTEM and the administrators only
    # (Wine writes the administrators' entry as the user's own SID).
    entries = aces(report["FolderSecurity"])
    assert ("A", "SY") in entries
    assert not {trustee for _, trustee in entries} & UNELEVATED_SIDS, entries

    # The copy and its folder are gone, and so is the download.
    assert not unix_path(folder).exists()
    assert world.own_files() == []


@pytest.mark.parametrize("plant", ["hard-link", "symbolic-link", "folder"])
def test_planted_name_in_the_temporary_folder_neither_redirects_nor_blocks(world, server, tmp_path, plant):
    victim = tmp_path / "victim.txt"
    victim.write_bytes(b"a file the attacker chose")
    if plant == "hard-link":
        os.link(victim, world.setup_file)
    elif plant == "symbolic-link":
        # Wine shows it as a reparse point.
        os.symlink(victim, world.setup_file)
    else:
        world.setup_file.mkdir()
        (world.setup_file / "inside.txt").write_bytes(b"keeps the folder from being removed")

    out = world()
    assert out["Notices"] == f"CLOSE:{INSTALLED}"
    # Nothing was appended to the linked file, and the planted name is left
    # as it was; the download used a name of its own, from the first byte.
    assert victim.read_bytes() == b"a file the attacker chose"
    if plant == "hard-link":
        assert world.setup_file.read_bytes() == b"a file the attacker chose"
        assert victim.stat().st_nlink == 2
    elif plant == "symbolic-link":
        assert world.setup_file.is_symlink()
    else:
        assert (world.setup_file / "inside.txt").exists()
    assert all("Range" not in request["headers"] for request in server.requests)
    assert RUN_FOLDER.fullmatch(ntpath.dirname(world.report()["Path"]))
    # The file under the name of its own is deleted after the run.
    assert world.own_files() == [world.setup_file]


@pytest.mark.parametrize("extra", [0, 1000], ids=["4GiB", "4GiB+1000"])
def test_partial_file_of_4_gib_or_more_is_discarded(world, server, extra):
    with open(world.setup_file, "wb") as f:
        f.truncate(4 * 1024**3 + extra)  # sparse
    out = world()
    assert out["Notices"] == f"CLOSE:{INSTALLED}"
    # Refused before any request, deleted, then downloaded from the first byte.
    assert len(server.requests) == 1
    assert "Range" not in server.requests[0]["headers"]
    assert not world.setup_file.exists()


@pytest.mark.parametrize("temp", [r"C:\no\such\folder", "C:\\" + "t" * 300], ids=["missing", "300-characters"])
def test_no_temporary_folder_fails_and_starts_no_relative_name(world, server, tmp_path, signed_setup, temp):
    # A signed program under the setup file's name beside the installer:
    # a relative name would be found there by the process launch.
    installer_folder, current = tmp_path / "downloads", tmp_path / "current"
    installer_folder.mkdir()
    current.mkdir()
    probe = installer_folder / "worker_probe.exe"
    shutil.copyfile(BIN / "worker_probe.exe", probe)
    beside = installer_folder / world.setup_file.name
    beside.write_bytes(signed_setup)

    # Wine sets TEMP and TMP from its registry; cmd hands its own to the probe.
    launcher = [WINE, "cmd", "/c", f"set TEMP={temp}&& set TMP={temp}&& {winpath(probe)} run"]
    out = world(launcher=launcher, cwd=current)
    assert out["SetupFileName"] == world.setup_file.name  # what the name becomes
    assert out["Notices"] == f"QUERYENDSESSION:{STOPPED},CLOSE:{STOPPED}"
    assert world.runs() == []
    assert server.requests == []
    assert list(current.iterdir()) == []
    assert beside.read_bytes() == signed_setup


def switches(line):
    """The names of the switches outside double quotes, as a program that
    splits its command line on blanks and quotes sees them."""
    names, quoted = [], False
    for i, c in enumerate(line):
        if c == '"':
            quoted = not quoted
        elif not quoted and c == "/" and i > 0 and line[i - 1] == " ":
            names.append(re.match(r"[^:= ]*", line[i + 1:]).group(0))
    return names


def test_outside_values_add_no_switch_in_the_wide_or_the_ansi_view(world, tmp_path):
    # Fullwidth punctuation that code page 1252 turns into '"', '/', ':', '\'.
    name = "qlx_E1\uff02 \uff0fDIR\uff1d\uff02C\uff1a\uff3cUsers\uff3cPublic\uff3cQ-setup.exe"
    probe = tmp_path / name
    shutil.copyfile(BIN / "worker_probe.exe", probe)
    out = world("/Campaign:c\uff02 \uff0fTYPE\uff1dfull", "/OpenWebPage:C:\\x.exe", program=probe)
    assert out["FinalState"] == INSTALLED

    [wide] = world.runs()
    report = world.report()
    assert report["AnsiCodePage"] == "1252"
    ansi = bytes.fromhex(report["AnsiCommandLine"]).decode("cp1252")
    expected = ["verysilent", "execute", "FromStubInstall", "AutoCSOffer", "DisplayOffers", "TestsErrorCode",
                "showurl", "urlparams", "Campaign"]
    assert switches(ansi) == expected, ansi
    assert switches(wide) == expected, wide
    assert '/TestsErrorCode:"E1 DIRCUsersPublicQ"' in ansi
    assert '/Campaign:"c TYPEfull-affiliate_31095-ab_afterinstall_' in ansi
    assert "OpenWebPage" not in wide
