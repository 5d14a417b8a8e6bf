"""The installer executable itself: a statically linked GUI program (the
shipped one 32-bit, the same program also built for 64-bit Windows) that
imports only libraries Windows always loads from System32."""
import re
import subprocess

import pytest

from conftest import ARCH, BIN, only_on

# Libraries on the system's KnownDLLs list, plus the C run-time, which
# Windows also takes from System32 only.
KNOWN_SYSTEM_LIBRARIES = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll",
    "ole32.dll", "setupapi.dll", "msvcrt.dll", "comdlg32.dll", "shlwapi.dll",
}


OBJDUMP = {"x86": "i686-w64-mingw32-objdump", "x64": "x86_64-w64-mingw32-objdump"}


def headers():
    return subprocess.run([OBJDUMP[ARCH], "-p", str(BIN / "QuelloxSetup.exe")],
                          capture_output=True, text=True, check=True).stdout


@pytest.mark.parametrize("arch, magic, file_format", [
    pytest.param("x86", r"010b\s+\(PE32\)", "pei-i386", marks=only_on("x86", "the shipped file is PE32 for i386")),
    pytest.param("x64", r"020b\s+\(PE32\+\)", "pei-x86-64", marks=only_on("x64", "the 64-bit file is PE32+ for x86-64")),
])
def test_is_a_gui_program_for_its_processor(arch, magic, file_format):
    text = headers()
    assert re.search(r"^Magic\s+" + magic, text, re.M)
    assert re.search(r"^Subsystem\s+00000002\s+\(Windows GUI\)", text, re.M)
    assert "file format " + file_format in text


def test_imports_only_known_system_libraries():
    imports = {name.lower() for name in re.findall(r"DLL Name: (\S+)", headers())}
    assert imports and imports <= KNOWN_SYSTEM_LIBRARIES, imports - KNOWN_SYSTEM_LIBRARIES
