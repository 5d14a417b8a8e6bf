"""The release build is reproducible: linking the installer again, a second
later, gives the same bytes (no link time stamp, and so the same PE
checksum)."""
import shutil
import struct
import subprocess
import time

from conftest import BIN


def pe_fields(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    return {"TimeDateStamp": struct.unpack_from("<I", data, pe + 8)[0],
            "CheckSum": struct.unpack_from("<I", data, pe + 24 + 64)[0]}


def test_linking_again_gives_the_same_bytes(tmp_path):
    build = BIN.parent
    program = BIN / "QuelloxSetup.exe"
    subprocess.run(["cmake", "--build", str(build), "--target", "QuelloxSetup"], check=True, capture_output=True,
                   timeout=1200)
    first = tmp_path / "first.exe"
    shutil.copyfile(program, first)
    program.unlink()
    time.sleep(1.1)  # a link time stamp, if any, would differ
    subprocess.run(["cmake", "--build", str(build), "--target", "QuelloxSetup"], check=True, capture_output=True,
                   timeout=1200)
    assert pe_fields(program.read_bytes()) == pe_fields(first.read_bytes())
    assert pe_fields(program.read_bytes())["TimeDateStamp"] == 0
    assert program.read_bytes() == first.read_bytes()
