"""Safe loading of libraries: a library planted next to the program, under
the name of one the program loads, is never loaded."""
import os
import shutil
import subprocess
import time

import pytest

from conftest import BIN, WINE, fake_setup_settings, run_wine, sign, winpath

# With these overrides Wine searches for the two libraries as Windows does
# for libraries that are not KnownDLLs: the application's folder first.
SEARCH_LIKE_WINDOWS = {"WINEDLLOVERRIDES": "mscoree,mshtml=;wininet,wintrust=n,b"}
PLANTED = ("wininet.dll", "wintrust.dll")


@pytest.fixture
def downloads(tmp_path):
    folder = tmp_path / "Downloads"
    folder.mkdir()
    for name in PLANTED:
        shutil.copyfile(BIN / "planted_library.dll", folder / name)
    for program in ("static_import_control.exe", "startup_probe.exe", "QuelloxSetup.exe"):
        shutil.copyfile(BIN / program, folder / program)
    return folder


def marks(folder):
    found = sorted(path.name.lower() for path in folder.glob("*.loaded"))
    for path in folder.glob("*.loaded"):
        path.unlink()
    return found


def test_planted_library_is_loaded_by_an_ordinary_import(downloads):
    run_wine(downloads / "static_import_control.exe", env=SEARCH_LIKE_WINDOWS)
    assert marks(downloads) == ["wininet.dll.loaded", "wintrust.dll.loaded"]


def test_loader_takes_the_libraries_from_system32_only(downloads):
    result = run_wine(downloads / "startup_probe.exe", env=SEARCH_LIKE_WINDOWS)
    assert result.returncode == 0
    assert b"wininet=1" in result.stdout and b"wintrust=1" in result.stdout
    assert marks(downloads) == []


def test_installer_downloads_and_verifies_without_loading_a_planted_library(downloads, server, tmp_path,
                                                                            signing_identity):
    # The installer downloads (wininet), checks the signature (wintrust) and
    # runs the setup program, which leaves no key; then the user cancels.
    server.body = sign(signing_identity, BIN / "fake_setup.exe", tmp_path / "setup.exe").read_bytes()
    log = tmp_path / "setup.log"
    env = fake_setup_settings(dict(os.environ, http_proxy=server.proxy, QUELLOX_FAKE_SETUP_LOG=winpath(log),
                                   QUELLOX_FAKE_SETUP_INSTALL_ON="never", **SEARCH_LIKE_WINDOWS))
    installer = subprocess.Popen([WINE, str(downloads / "QuelloxSetup.exe"), "/SkipStart"], env=env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        end = time.monotonic() + 60
        while not log.exists() and time.monotonic() < end:
            time.sleep(0.1)
        assert log.exists(), "the setup program never ran"
        run_wine(BIN / "wininspect.exe", "command", "QuelloxStubInstaller", "202")
        assert run_wine(BIN / "wininspect.exe", "answer", "class:#32770", "7", "20000").returncode == 0
        assert installer.wait(timeout=60) == 0
    finally:
        if installer.poll() is None:
            installer.kill()
    assert marks(downloads) == []
