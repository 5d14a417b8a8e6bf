"""The stamping tool on real signed installers: the signature still
verifies (osslsigncode and Wine's WinVerifyTrust), the program's reader
reads the values, and refused files stay untouched."""
import os
import pathlib
import shutil
import subprocess

import pytest

from conftest import BIN, probe_output, run_wine, sign, winpath

STAMP = pathlib.Path(os.environ.get("QUELLOX_HOST_BIN", BIN.parents[1] / "host/bin")) / "quellox-stamp"


def stamp(*args):
    return subprocess.run([str(STAMP), *map(str, args)], capture_output=True, text=True, timeout=60)


def osslsigncode_verifies(path, identity):
    result = subprocess.run(["osslsigncode", "verify", "-CAfile", str(identity[0]), "-in", str(path)],
                            capture_output=True, text=True, timeout=60)
    return result.returncode == 0 and "Succeeded" in result.stdout


def read_back(path):
    return probe_output(run_wine(BIN / "installer_probe.exe", "read", winpath(path)))


def trusted(path):
    return probe_output(run_wine(BIN / "installer_probe.exe", "verify", winpath(path)))["Trusted"] == "1"


@pytest.fixture
def signed_installer(tmp_path, signing_identity):
    return sign(signing_identity, BIN / "QuelloxSetup.exe", tmp_path / "QuelloxSetup.exe")


def test_stamping_keeps_the_signature_and_the_reader_reads_the_values(signed_installer, signing_identity):
    unsigned_size = signed_installer.stat().st_size
    assert stamp("set", signed_installer, "--cookie", "spring sale", "--partner", "p-17", "--traffic", "t:9").returncode == 0
    first_size = signed_installer.stat().st_size
    assert first_size > unsigned_size and first_size % 8 == 0
    assert osslsigncode_verifies(signed_installer, signing_identity)
    assert trusted(signed_installer)
    assert read_back(signed_installer) == {"IsValid": "1", "cookie": "spring sale", "partner": "p-17", "traffic": "t:9"}
    assert stamp("show", signed_installer).stdout == "cookie=spring sale\npartner=p-17\ntraffic=t:9\n"

    # A second stamping rewrites in place; a value not given keeps its own.
    assert stamp("set", signed_installer, "--cookie", "autumn").returncode == 0
    assert signed_installer.stat().st_size == first_size
    assert osslsigncode_verifies(signed_installer, signing_identity)
    assert trusted(signed_installer)
    assert read_back(signed_installer)["cookie"] == "autumn"
    assert stamp("show", signed_installer).stdout == "cookie=autumn\npartner=p-17\ntraffic=t:9\n"


def test_blank_stamp_reads_as_empty_values(signed_installer):
    assert stamp("set", signed_installer).returncode == 0
    assert read_back(signed_installer) == {"IsValid": "1", "cookie": "", "partner": "", "traffic": ""}


def test_the_stamped_program_uses_the_stamped_campaign(tmp_path, signing_identity):
    probe = sign(signing_identity, BIN / "startup_probe.exe", tmp_path / "QuelloxSetup.exe")
    assert stamp("set", probe, "--cookie", "from-the-block").returncode == 0
    settings = probe_output(run_wine(probe))
    assert settings["Campaign"].startswith("from-the-block-affiliate_31095-ab_afterinstall_")


def test_block_follows_existing_unauthenticated_attributes(signed_installer, tmp_path, signing_identity):
    # A nested signature is kept among the signer's unauthenticated attributes.
    cert, key = signing_identity
    nested = tmp_path / "nested.exe"
    subprocess.run(["osslsigncode", "sign", "-nest", "-certs", str(cert), "-key", str(key), "-h", "sha1",
                    "-in", str(signed_installer), "-out", str(nested)], check=True, capture_output=True)
    assert stamp("set", nested, "--cookie", "nested").returncode == 0
    assert osslsigncode_verifies(nested, signing_identity)
    assert trusted(nested)
    assert read_back(nested)["cookie"] == "nested"


def test_windows_build_of_the_tool_reads_the_same(signed_installer):
    stamp("set", signed_installer, "--cookie", "c1", "--partner", "p1", "--traffic", "t1")
    result = run_wine(BIN / "quellox-stamp.exe", "show", winpath(signed_installer))
    assert result.stdout.decode().replace("\r\n", "\n") == "cookie=c1\npartner=p1\ntraffic=t1\n"


def test_program_writes_its_own_block_with_the_same_code(signed_installer, signing_identity):
    out = probe_output(run_wine(BIN / "installer_probe.exe", "stamp", winpath(signed_installer), "c", "p", "t"))
    assert out["Updated"] == "1"
    assert osslsigncode_verifies(signed_installer, signing_identity)
    assert stamp("show", signed_installer).stdout == "cookie=c\npartner=p\ntraffic=t\n"


def truncated(path):
    data = path.read_bytes()
    path.write_bytes(data[:-100])


def not_signed(path):
    shutil.copyfile(BIN / "QuelloxSetup.exe", path)


def not_a_pe(path):
    path.write_bytes(b"just some text" * 500)


def trailing_bytes(path):
    with open(path, "ab") as f:
        f.write(b"\0" * 16)


@pytest.mark.parametrize(
    "damage, args, message",
    [
        (not_signed, ["--cookie", "x"], "not signed"),
        (truncated, ["--cookie", "x"], "truncated"),
        (trailing_bytes, ["--cookie", "x"], "does not end the file"),
        (not_a_pe, ["--cookie", "x"], "not a PE"),
        (None, ["--cookie", "x" * 101], "longer than 100"),
        (None, ["--partner", 'say "hi"'], "quotes"),
        (None, ["--traffic", "tab\there"], "printable ASCII"),
        (None, ["--cookie", "caf\u00e9"], "printable ASCII"),
        (None, ["--cookie", " padded"], "blank"),
    ],
)
def test_refused_files_and_values_leave_the_file_untouched(signed_installer, damage, args, message):
    if damage:
        damage(signed_installer)
    before = signed_installer.read_bytes()
    result = stamp("set", signed_installer, *args)
    assert result.returncode != 0
    assert message in result.stderr
    assert signed_installer.read_bytes() == before
    assert not pathlib.Path(str(signed_installer) + ".stamping").exists()
