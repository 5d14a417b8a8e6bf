"""What runs elevated is the file that was checked, and nothing the user
controls reaches it, end to end: the worker probe downloads from a loopback
server into its folder under %ProgramData%, and the signed fake setup
program reports where it ran, what lay beside it, its folder's security
descriptor, its command line as an ANSI program sees it, its TEMP and TMP
and whether a handle of the installer's reached it. The download's folder
is planted with what a link or an earlier owner could leave there: a
library, a hard link to another file, a folder, a 4 GiB file; TEMP points
wherever a user could point it."""
import ntpath
import os
import pathlib
import re
import shutil
import signal
import subprocess
import time

import pytest

from conftest import BIN, WINE, fake_setup_settings, probe_output, run_wine, unix_path, winpath

INSTALLED, STOPPED = "5", "3"
PRODUCT_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{E49A1D27-6C03-4F58-9B7E-31A5D0C6F2E8}_is1"
RUN_FOLDER = re.compile(r"C:\\ProgramData\\QuelloxSetup-\{[0-9A-F-]{36}\}")
# The setup program's TEMP, kept across runs.
KEPT_TEMP = "C:\\ProgramData\\QuelloxSetup-Temp"
RUN_FOLDER_NAME = re.compile(r"QuelloxSetup-\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\}")
# SIDs that stand for unelevated code: Users, Authenticated Users, Everyone,
# Interactive.
UNELEVATED_SIDS = {"BU", "S-1-5-32-545", "AU", "S-1-5-11", "WD", "S-1-1-0", "IU", "S-1-5-4"}


def delete_product_key():
    subprocess.run([WINE, "reg", "delete", PRODUCT_KEY, "/f", "/reg:32"], capture_output=True, timeout=30)


def program_data():
    return unix_path("C:\\ProgramData")


def run_folders():
    return sorted(p.name for p in program_data().glob("QuelloxSetup-*") if RUN_FOLDER_NAME.fullmatch(p.name))


@pytest.fixture
def world(server, signed_setup, tmp_path):
    """Server, setup log and report, a clean registry, and no setup file or
    file of our own left over in the download's folder."""
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
    if not temp.is_dir():
        # The download's folder, made by the program itself (a failed download).
        server.plan = [{"force_status": 500}]
        run_wine(BIN / "installer_probe.exe", "download", env={"http_proxy": server.proxy})
        server.plan = [{}]
        server.requests.clear()
    server.body = signed_setup
    log, report = tmp_path / "setup.log", tmp_path / "report.txt"
    folders_before = run_folders()

    def environment(extra=None):
        return fake_setup_settings(dict(os.environ, http_proxy=server.proxy, QUELLOX_PROBE_RETRY_WAIT_MS="300",
                                        QUELLOX_FAKE_SETUP_LOG=winpath(log), QUELLOX_FAKE_SETUP_INSTALL_ON="always",
                                        QUELLOX_FAKE_SETUP_REPORT=winpath(report), **(extra or {})))

    def run(*args, program=BIN / "worker_probe.exe", launcher=(), cwd=None, env=None):
        command = list(launcher) if launcher else [WINE, str(program), "run", *args]
        result = subprocess.run(command, capture_output=True, timeout=180, env=environment(env), cwd=cwd)
        return probe_output(result)

    run.environment = environment
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
    # No handle of the installer's reached it.
    assert report["InheritedHandle"] == "0"
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


@pytest.mark.parametrize("leave", ["1", "deep"], ids=["files", "tree-deeper-than-MAX_PATH"])
def test_what_the_setup_leaves_in_its_folder_goes_with_it(world, leave):
    # The fixture checks that every run folder is gone afterwards.
    out = world(env={"QUELLOX_FAKE_SETUP_LEAVE": leave})
    assert out["FinalState"] == INSTALLED


def test_temp_outlives_the_setup_for_the_product_it_starts_and_only_the_administrators_write_it(world):
    # The product that a setup program starts once it has installed inherits
    # TEMP and runs on after the setup has ended and its run folder is gone.
    kept = unix_path(KEPT_TEMP)
    (kept / "for-the-product.txt").unlink(missing_ok=True)
    out = world(env={"QUELLOX_FAKE_SETUP_LEAVE": "1"})
    assert out["FinalState"] == INSTALLED
    report = world.report()
    assert report["Temp"] == report["Tmp"] == KEPT_TEMP
    assert not unix_path(ntpath.dirname(report["Path"])).exists()
    assert (kept / "for-the-product.txt").read_text() == "left in TEMP for the product"
    # Read back while the setup ran: the run folder's owner and DACL, SYSTEM
    # and the Administrators alone (Wine writes the administrators as the
    # user's own SID).
    assert report["TempSecurity"] == report["FolderSecurity"]
    entries = aces(report["TempSecurity"])
    assert ("A", "SY") in entries
    assert not {trustee for _, trustee in entries} & UNELEVATED_SIDS, entries


def test_a_temp_name_someone_else_took_first_is_left_to_them(world):
    # A folder under the kept name that an unelevated process made: never
    # adopted (its files would keep their own rights), and the setup gets a
    # new one of its own.
    kept = unix_path(KEPT_TEMP)
    shutil.rmtree(kept, ignore_errors=True)
    kept.mkdir()
    kept.chmod(0o777)
    (kept / "planted.dll").write_bytes(b"MZ planted")
    try:
        out = world(env={"QUELLOX_FAKE_SETUP_LEAVE": "1"})
        assert out["FinalState"] == INSTALLED
        temp = world.report()["Temp"]
        assert re.fullmatch(r"C:\\ProgramData\\QuelloxSetup-Temp-\{[0-9A-F-]{36}\}", temp), temp
        assert (unix_path(temp) / "for-the-product.txt").exists()
        assert sorted(p.name for p in kept.iterdir()) == ["planted.dll"]
    finally:
        # Without the folder, the next run makes the kept one again.
        shutil.rmtree(kept, ignore_errors=True)
        for folder in program_data().glob("QuelloxSetup-Temp-*"):
            shutil.rmtree(folder, ignore_errors=True)


@pytest.mark.parametrize("plant", ["hard-link", "symbolic-link", "folder"])
def test_planted_name_in_the_download_folder_neither_redirects_nor_blocks(world, server, tmp_path, plant):
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


def remove(path):
    if path.is_symlink() or path.is_file():
        path.unlink()
    elif path.exists():
        shutil.rmtree(path)


@pytest.mark.parametrize("plant", ["empty-file", "link-to-a-users-folder", "folder-of-another-owner"])
def test_a_name_taken_for_the_download_folder_neither_blocks_nor_redirects(world, server, tmp_path, plant):
    # Any user may create files, folders and links under %ProgramData%.
    users_folder = tmp_path / "users-folder"
    users_folder.mkdir()
    (users_folder / "mine.txt").write_text("the user's")
    folder = world.temp
    remove(folder)
    if plant == "empty-file":
        folder.write_bytes(b"")
    elif plant == "link-to-a-users-folder":
        folder.symlink_to(users_folder)
    else:
        # Made first by someone else, with a partial file of theirs in it.
        folder.mkdir()
        folder.chmod(0o777)
        world.setup_file.write_bytes(b"MZ a partial file of someone else's")
    try:
        out = world()
        assert out["Notices"] == f"CLOSE:{INSTALLED}"
        # The download went to a folder of its own, from the first byte, and
        # that folder is gone with the run (the fixture checks).
        assert RUN_FOLDER.fullmatch(ntpath.dirname(out["DownloadFileName"])), out["DownloadFileName"]
        assert [r for r in server.requests if r["method"] == "GET" and "Range" not in r["headers"]]
        assert all("Range" not in r["headers"] for r in server.requests)
        # Nothing was created, changed or deleted under the name or in what
        # it leads to.
        assert sorted(p.name for p in users_folder.iterdir()) == ["mine.txt"]
        if plant == "empty-file":
            assert folder.read_bytes() == b""
        elif plant == "link-to-a-users-folder":
            assert folder.is_symlink()
        else:
            assert world.setup_file.read_bytes() == b"MZ a partial file of someone else's"
    finally:
        remove(folder)


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


def temp_folders(tmp_path):
    """What a user can make TEMP say: {case: (TEMP, the folder it leads to or None)}."""
    elsewhere = tmp_path / "elsewhere"
    (elsewhere / "sub").mkdir(parents=True)
    (tmp_path / "link").symlink_to(elsewhere)
    return {
        "missing": (r"C:\no\such\folder", None),
        "300-characters": ("C:\\" + "t" * 300, None),
        "symbolic-link": (winpath(tmp_path / "link"), elsewhere),
        "reached-through-a-link": (winpath(tmp_path / "link" / "sub"), elsewhere / "sub"),
        "another-folder": (winpath(elsewhere), elsewhere),
    }


def contents(folder):
    return sorted(str(p.relative_to(folder)) for p in folder.rglob("*")) if folder else None


@pytest.mark.parametrize("case", ["missing", "300-characters", "symbolic-link", "reached-through-a-link",
                                  "another-folder"])
def test_temp_points_nowhere_the_download_or_the_setup_goes(world, server, tmp_path, signed_setup, case):
    temp, target = temp_folders(tmp_path)[case]
    before = contents(target)
    # A signed program under the setup file's name beside the installer and
    # in the current folder: a relative name would be found there.
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
    assert out["FinalState"] == INSTALLED
    assert out["SetupFileName"] == "C:\\ProgramData\\QuelloxSetup-Download\\" + world.setup_file.name
    report = world.report()
    assert RUN_FOLDER.fullmatch(ntpath.dirname(report["Path"]))
    assert report["Temp"] == report["Tmp"] == KEPT_TEMP
    # Nothing was created, written or deleted where TEMP pointed.
    assert contents(target) == before
    assert list(current.iterdir()) == []
    assert beside.read_bytes() == signed_setup


@pytest.fixture
def user_environment():
    """Variables in HKCU\\Environment, where the user keeps them and changes
    them without elevation: plant(name, value); each planted one is put back
    as it was afterwards."""
    saved = {}

    def plant(name, value):
        if name not in saved:
            query = subprocess.run([WINE, "reg", "query", r"HKCU\Environment", "/v", name], capture_output=True,
                                   timeout=30).stdout.decode("utf-8", "replace")
            match = re.search(re.escape(name) + r"\s+(REG_\w+)\s+(.*)", query)
            saved[name] = (match.group(1), match.group(2).strip()) if match else None
        subprocess.run([WINE, "reg", "add", r"HKCU\Environment", "/v", name, "/d", value, "/f"],
                       capture_output=True, timeout=30)

    yield plant
    for name, value in saved.items():
        args = ["add", r"HKCU\Environment", "/v", name, "/t", value[0], "/d", value[1], "/f"] if value else \
            ["delete", r"HKCU\Environment", "/v", name, "/f"]
        subprocess.run([WINE, "reg", *args], capture_output=True, timeout=30)


def test_temp_in_the_users_environment_reaches_neither_download_nor_setup(world, tmp_path, user_environment):
    temp, target = temp_folders(tmp_path)["symbolic-link"]
    user_environment("TEMP", temp)
    user_environment("TMP", temp)
    out = world()
    assert out["FinalState"] == INSTALLED
    report = world.report()
    assert report["Temp"] == KEPT_TEMP
    assert contents(target) == ["sub"]


# What the setup program's environment may hold (names in any case): the
# machine's own values, the elevated account's own folders and names, and
# TEMP and TMP in the kept folder.
ALLOWED_VARIABLES = {name.upper() for name in [
    "SystemRoot", "windir", "SystemDrive", "ProgramFiles", "ProgramFiles(x86)", "ProgramW6432",
    "CommonProgramFiles", "CommonProgramFiles(x86)", "CommonProgramW6432", "ProgramData", "ALLUSERSPROFILE",
    "PUBLIC", "Path", "PATHEXT", "ComSpec", "NUMBER_OF_PROCESSORS", "PROCESSOR_ARCHITECTURE",
    "PROCESSOR_IDENTIFIER", "PROCESSOR_LEVEL", "PROCESSOR_REVISION", "PROCESSOR_ARCHITEW6432", "OS",
    "COMPUTERNAME", "USERPROFILE", "APPDATA", "LOCALAPPDATA", "USERNAME", "USERDOMAIN", "HOMEDRIVE", "HOMEPATH",
    "TEMP", "TMP"]}
# What the user can set: the .NET profiler that every .NET Framework process
# would load, the compatibility layer, and library folders on the PATH.
USER_VARIABLES = {
    "COR_ENABLE_PROFILING": "1",
    "COR_PROFILER": "{5E1A6A0C-0000-4000-8000-00000000BAD1}",
    "COR_PROFILER_PATH": r"C:\users\Public\evil.dll",
    "__COMPAT_LAYER": "RunAsInvoker",
    # And the account's own variables, which scripts and custom actions read.
    "APPDATA": r"C:\users\Public\evil-appdata",
    "LOCALAPPDATA": r"C:\users\Public\evil-localappdata",
    "USERNAME": "evil-user",
    "USERDOMAIN": "evil-domain",
    "HOMEDRIVE": "X:",
    "HOMEPATH": r"\evil-home",
}


def setup_environment(report):
    """{NAME: value} of the setup program's environment, from its report;
    the variables Wine itself gives every process (WINE...) left out."""
    variables = {}
    for key, value in report.items():
        if key.startswith("Env:") and not key[4:].upper().startswith("WINE") and key[4:]:
            variables[key[4:].upper()] = value
    return variables


def test_the_setup_gets_the_machines_environment_and_nothing_of_the_users(world, user_environment):
    # The user's own variables, both where they keep them and in the
    # installer's own environment (as the shell passes them on).
    for name, value in USER_VARIABLES.items():
        user_environment(name, value)
    user_environment("PATH", r"C:\users\Public\evil-path")
    user_environment("QUELLOX_USER_VARIABLE", "from the user")
    out = world(env=dict(USER_VARIABLES, WINEPATH=r"C:\users\Public\evil-winepath",
                         QUELLOX_SHELL_VARIABLE="from the shell"))
    assert out["FinalState"] == INSTALLED
    report = world.report()
    variables = setup_environment(report)

    assert set(variables) <= ALLOWED_VARIABLES, sorted(set(variables) - ALLOWED_VARIABLES)
    assert not [value for value in variables.values() if "evil" in value.lower() or "from the" in value]
    # What a setup program needs is there, with the machine's own values.
    for name in ["SYSTEMROOT", "WINDIR", "SYSTEMDRIVE", "PATH", "PATHEXT", "COMSPEC", "PROGRAMDATA",
                 "ALLUSERSPROFILE", "PROGRAMFILES", "COMMONPROGRAMFILES", "OS", "NUMBER_OF_PROCESSORS",
                 "PROCESSOR_ARCHITECTURE"]:
        assert variables.get(name), name
    assert variables["SYSTEMROOT"].lower() == variables["WINDIR"].lower() == "c:\\windows"
    assert variables["SYSTEMDRIVE"].lower() == "c:"
    assert "c:\\windows\\system32" in variables["PATH"].lower().split(";")
    assert variables["TEMP"] == variables["TMP"] == KEPT_TEMP
    # From the 32-bit installer, what WOW64 gives a 32-bit process; from the
    # 64-bit one, the machine's own.
    architecture = (variables["PROCESSOR_ARCHITECTURE"], variables.get("PROCESSOR_ARCHITEW6432"))
    assert architecture == (("x86", "AMD64") if os.environ["QUELLOX_TARGET_ARCH"] == "x86" else ("AMD64", None))
    # The account's variables, from the elevated token: its known folders,
    # its name, and the home folder on its profile.
    profile = variables["USERPROFILE"]
    assert variables["APPDATA"].lower() == (profile + "\\AppData\\Roaming").lower()
    assert variables["LOCALAPPDATA"].lower() == (profile + "\\AppData\\Local").lower()
    assert variables["USERNAME"].lower() == ntpath.basename(profile).lower()
    assert variables["USERDOMAIN"]
    assert variables["HOMEDRIVE"] + variables["HOMEPATH"] == profile


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


def wait_for(condition, what, timeout=60):
    end = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < end, "timed out waiting for " + what
        time.sleep(0.2)


def start_installer():
    """The real installer, as far as its window: its start-up has run then."""
    installer = subprocess.Popen([WINE, str(BIN / "QuelloxSetup.exe")], env=dict(os.environ, http_proxy="http://127.0.0.1:9"),
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    assert run_wine(BIN / "wininspect.exe", "list", "QuelloxStubInstaller", "30000").returncode == 0
    return installer



def own_processes(name):
    """The ids of this test's processes whose command line names `name`: those
    of its own Wine prefix (a shared machine may run other prefixes' copies)."""
    prefix = os.environ["WINEPREFIX"].encode()
    found = []
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit() or int(entry.name) == os.getpid():
            continue
        try:
            if name.encode() not in (entry / "cmdline").read_bytes():
                continue
            if b"WINEPREFIX=" + prefix + b"\0" not in (entry / "environ").read_bytes() + b"\0":
                continue
        except OSError:
            continue  # ended meanwhile, or another user's
        found.append(int(entry.name))
    return found


def end_own_processes(name):
    for pid in own_processes(name):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def test_a_run_folder_left_by_a_killed_run_goes_at_the_next_start_and_no_other(world):
    before = set(run_folders())
    # A run whose setup program is still running holds its folder.
    probe = subprocess.Popen([WINE, str(BIN / "worker_probe.exe"), "run"], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL,
                             env=world.environment({"QUELLOX_FAKE_SETUP_SLEEP_MS": "120000", "QUELLOX_FAKE_SETUP_LEAVE": "deep"}))
    # Folders that only look like ours: another name, another owner's rights.
    others = [program_data() / ("QuelloxSetup-{%s}-copy" % ("0" * 8 + "-0000" * 3 + "-" + "0" * 12)),
              program_data() / ("QuelloxSetup-{%s}" % ("1" * 8 + "-1111" * 3 + "-" + "1" * 12))]
    try:
        wait_for(lambda: world.runs(), "the setup program to start")
        [held] = set(run_folders()) - before
        for folder in others:
            folder.mkdir()
            folder.chmod(0o777)
            (folder / "keep.txt").write_text("not the installer's")

        installer = start_installer()
        installer.kill()
        installer.wait()
        assert (program_data() / held).exists()  # in use: left alone

        # The run is killed, its setup program too: the folder stays behind,
        # with what the setup program left in it.
        probe.kill()
        probe.wait()
        end_own_processes(world.setup_file.name)
        wait_for(lambda: not own_processes(world.setup_file.name), "the setup program to end")
        assert (program_data() / held / "unpacked" / "helper.dll").exists()
        assert (program_data() / held / "/".join(["d" * 100] * 4) / "deeper-than-max-path.txt").exists()

        installer = start_installer()
        installer.kill()
        installer.wait()
        assert not (program_data() / held).exists()
        for folder in others:
            assert (folder / "keep.txt").read_text() == "not the installer's"
    finally:
        probe.kill()
        end_own_processes(world.setup_file.name)
        for folder in others:
            shutil.rmtree(folder, ignore_errors=True)


def test_a_run_folder_whose_setup_still_runs_is_left_to_it(world):
    # The setup program has unpacked a helper into its folder, which is its
    # current folder, when the installer is killed; it runs on. A start of
    # the installer meanwhile leaves the folder alone; the first start after
    # the setup program has ended removes it.
    before = set(run_folders())
    probe = subprocess.Popen([WINE, str(BIN / "worker_probe.exe"), "run"], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL,
                             env=world.environment({"QUELLOX_FAKE_SETUP_SLEEP_MS": "15000",
                                                    "QUELLOX_FAKE_SETUP_LEAVE": "1"}))
    try:
        wait_for(lambda: world.runs(), "the setup program to start")
        [held] = set(run_folders()) - before
        helper = program_data() / held / "unpacked" / "helper.dll"
        wait_for(helper.exists, "the helper to be unpacked")
        probe.kill()
        probe.wait()

        installer = start_installer()
        installer.kill()
        installer.wait()
        assert helper.exists()
        assert world.runs()  # the setup program is still running: its log has its line, no new one

        wait_for(lambda: not subprocess.run(["pgrep", "-f", world.setup_file.name], capture_output=True).stdout,
                 "the setup program to end")
        installer = start_installer()
        installer.kill()
        installer.wait()
        assert not (program_data() / held).exists()
    finally:
        probe.kill()


def test_a_close_during_the_launch_lets_the_setup_run_and_its_folder_go_later(world):
    # The launch is held between the setup program's suspended start and its
    # resume; the window is closed then, as Task Manager's End task does.
    before = set(run_folders())
    installer = subprocess.Popen([WINE, str(BIN / "QuelloxSetupShortWait.exe"), "/SkipStart"],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                 env=world.environment({"QUELLOX_PROBE_LAUNCH_PAUSE_MS": "3000"}))
    try:
        wait_for(lambda: own_processes(world.setup_file.name), "the setup program's suspended start")
        assert world.runs() == []
        assert run_wine(BIN / "wininspect.exe", "close", "QuelloxStubInstaller").returncode == 0
        assert installer.wait(timeout=60) == 0
        # Resumed before the process ended: it runs, and once it has ended,
        # the next start removes its folder.
        wait_for(world.runs, "the setup program to run", timeout=20)
        wait_for(lambda: not own_processes(world.setup_file.name), "the setup program to end")
        assert set(run_folders()) - before
        sweeper = start_installer()
        sweeper.kill()
        sweeper.wait()
    finally:
        installer.kill()
        end_own_processes(world.setup_file.name)
    assert set(run_folders()) == before
