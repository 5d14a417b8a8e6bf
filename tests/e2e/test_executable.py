"""The installer executable itself: a statically linked 32-bit GUI program
that imports only libraries Windows always loads from System32."""
import re
import subprocess

from conftest import BIN

# Libraries on the system's KnownDLLs list, plus the C run-time, which
# Windows also takes from System32 only.
KNOWN_SYSTEM_LIBRARIES = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll",
    "ole32.dll", "setupapi.dll", "msvcrt.dll", "comdlg32.dll", "shlwapi.dll",
}


def headers():
    return subprocess.run(["i686-w64-mingw32-objdump", "-p", str(BIN / "QuelloxSetup.exe")],
                          capture_output=True, text=True, check=True).stdout


def test_is_a_32_bit_gui_program():
    text = headers()
    assert re.search(r"^Magic\s+010b\s+\(PE32\)", text, re.M)
    assert re.search(r"^Subsystem\s+00000002\s+\(Windows GUI\)", text, re.M)
    assert "file format pei-i386" in text


def test_imports_only_known_system_libraries():
    imports = {name.lower() for name in re.findall(r"DLL Name: (\S+)", headers())}
    assert imports and imports <= KNOWN_SYSTEM_LIBRARIES, imports - KNOWN_SYSTEM_LIBRARIES
