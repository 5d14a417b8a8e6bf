"""Safe loading of libraries: a library planted next to the program, under
the name of one the program loads, is never loaded."""
import shutil

import pytest

from conftest import BIN, run_wine

# With these overrides Wine searches for the two libraries as Windows does
# for libraries that are not KnownDLLs: the application's folder first.
SEARCH_LIKE_WINDOWS = {"WINEDLLOVERRIDES": "mscoree,mshtml=;wininet,wintrust=n,b"}
PLANTED = ("wininet.dll", "wintrust.dll")


@pytest.fixture
def downloads(tmp_path):
    for name in PLANTED:
        shutil.copyfile(BIN / "planted_library.dll", tmp_path / name)
    for program in ("static_import_control.exe", "startup_probe.exe", "QuelloxSetup.exe"):
        shutil.copyfile(BIN / program, tmp_path / program)
    return tmp_path


def marks(folder):
    found = sorted(path.name.lower() for path in folder.glob("*.loaded"))
    for path in folder.glob("*.loaded"):
        path.unlink()
    return found


def test_planted_library_is_loaded_by_an_ordinary_import(downloads):
    run_wine(downloads / "static_import_control.exe", env=SEARCH_LIKE_WINDOWS)
    assert marks(downloads) == ["wininet.dll.loaded", "wintrust.dll.loaded"]


def test_program_loads_its_libraries_from_system32_only(downloads):
    result = run_wine(downloads / "startup_probe.exe", env=SEARCH_LIKE_WINDOWS)
    assert result.returncode == 0
    assert b"wininet=1" in result.stdout and b"wintrust=1" in result.stdout
    assert marks(downloads) == []

    assert run_wine(downloads / "QuelloxSetup.exe", env=SEARCH_LIKE_WINDOWS).returncode == 0
    assert marks(downloads) == []
