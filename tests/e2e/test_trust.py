"""The publisher-signature check on real files, signed at test time, with
Wine's WinVerifyTrust. Wine checks the signed digest but not the chain up to
a trusted root, so no case here counts on an untrusted-root rejection."""
import shutil

import pytest

from conftest import BIN, probe_output, run_wine, sign, winpath


def verify(path):
    return probe_output(run_wine(BIN / "installer_probe.exe", "verify", winpath(path)))["Trusted"]


@pytest.fixture
def signed(tmp_path, signing_identity):
    return sign(signing_identity, BIN / "static_import_control.exe", tmp_path / "signed.exe")


def test_signed_file_is_trusted(signed):
    assert verify(signed) == "1"


def test_missing_file_is_not_trusted(tmp_path):
    assert verify(tmp_path / "missing.exe") == "0"


def test_unsigned_file_is_not_trusted_by_signature_or_catalog(tmp_path):
    unsigned = shutil.copyfile(BIN / "static_import_control.exe", tmp_path / "unsigned.exe")
    assert verify(unsigned) == "0"


@pytest.mark.parametrize("where", ["code", "headers-end"])
def test_one_byte_changed_after_signing_is_not_trusted(signed, where):
    data = bytearray(signed.read_bytes())
    offset = {"code": 0x400 + 16, "headers-end": 0x200 - 1}[where]
    data[offset] ^= 0x01
    signed.write_bytes(data)
    assert verify(signed) == "0"


def test_partial_file_with_a_complete_copy_appended_is_not_trusted(signed, tmp_path):
    data = signed.read_bytes()
    resumed = tmp_path / "resumed.exe"
    resumed.write_bytes(data[: len(data) // 2] + data)
    assert verify(resumed) == "0"
