"""The publisher-signature check on real files, signed at test time, with
Wine's WinVerifyTrust. Wine checks the signed digest but not the chain up to
a trusted root, so no case here counts on an untrusted-root rejection; the
file signed by another, equally valid certificate is what shows the signer
pin at work."""
import shutil

import pytest

from conftest import BIN, fingerprint, probe_output, run_wine, sign, winpath


def verify(path, pins=None):
    args = ["verify", winpath(path)] + ([pins] if pins is not None else [])
    return probe_output(run_wine(BIN / "installer_probe.exe", *args))["Trusted"]


@pytest.fixture
def signed(tmp_path, signing_identity):
    return sign(signing_identity, BIN / "static_import_control.exe", tmp_path / "signed.exe")


@pytest.fixture
def files(tmp_path, signing_identity, other_identity):
    """The files of the table below, by name."""
    maker = sign(signing_identity, BIN / "static_import_control.exe", tmp_path / "maker.exe")
    other = sign(other_identity, BIN / "static_import_control.exe", tmp_path / "other.exe")
    unsigned = shutil.copyfile(BIN / "static_import_control.exe", tmp_path / "unsigned.exe")
    tampered = tmp_path / "tampered.exe"
    data = bytearray(maker.read_bytes())
    data[0x400 + 16] ^= 0x01
    tampered.write_bytes(data)
    appended = tmp_path / "appended.exe"
    data = maker.read_bytes()
    appended.write_bytes(data[: len(data) // 2] + data)
    return {"maker": maker, "other": other, "unsigned": unsigned, "tampered": tampered, "appended": appended,
            "missing": tmp_path / "missing.exe"}


@pytest.mark.parametrize("pin, trusted", [
    # No pin: any valid publisher, as a build without one behaves.
    ("none", {"maker", "other"}),
    ("maker", {"maker"}),
    ("other", {"other"}),
    ("maker;other", {"maker", "other"}),
    ("other;maker", {"maker", "other"}),
    # A fingerprint of nobody's certificate.
    ("unknown", set()),
])
@pytest.mark.parametrize("file", ["maker", "other", "unsigned", "tampered", "appended", "missing"])
def test_signer_pin(files, signing_identity, other_identity, pin, trusted, file):
    prints = {"maker": fingerprint(signing_identity), "other": fingerprint(other_identity), "unknown": "AB" * 32}
    pins = None if pin == "none" else ";".join(prints[name] for name in pin.split(";"))
    assert verify(files[file], pins) == ("1" if file in trusted else "0")


@pytest.mark.shipped
@pytest.mark.parametrize("where", ["code", "headers-end"])
def test_one_byte_changed_after_signing_is_not_trusted(signed, where):
    data = bytearray(signed.read_bytes())
    offset = {"code": 0x400 + 16, "headers-end": 0x200 - 1}[where]
    data[offset] ^= 0x01
    signed.write_bytes(data)
    assert verify(signed) == "0"
