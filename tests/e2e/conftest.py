"""Shared helpers of the end-to-end tests: the built programs, and running
them under Wine in the build tree's prefix (prepared by scripts/test.sh)."""
import os
import pathlib
import shutil
import subprocess

import pytest

BIN = pathlib.Path(os.environ.get("QUELLOX_BIN", pathlib.Path(__file__).resolve().parents[2] / "build/release/bin"))

LONG_MARKERS = ["{00868EBA702F}", "{2E7E63583D84}", "{C5EE17DC10A5}"]


def winpath(path):
    """The Windows name of a Linux path, through Wine's Z: drive."""
    return "Z:" + str(path).replace("/", "\\")


def run_wine(program, *args, env=None, timeout=60):
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run(["wine", str(program), *args], capture_output=True, timeout=timeout, env=full_env)


def stamped_block(cookie="", partner="", traffic=""):
    """The three long-form records as a stamped signature carries them."""
    block = b""
    for marker, value in zip(LONG_MARKERS, (cookie, partner, traffic)):
        block += b"\x1e\x81\xe4" + (marker + value.ljust(100)).encode("utf-16-le")
    return block


@pytest.fixture
def copy_program(tmp_path):
    """Copies a built program into the test's folder under another name,
    optionally with bytes appended (a signature block)."""

    def copy(program, name, append=b""):
        target = tmp_path / name
        shutil.copyfile(BIN / program, target)
        if append:
            with open(target, "ab") as f:
                f.write(append)
        return target

    return copy


@pytest.fixture
def server():
    from loopback_server import LoopbackServer

    instance = LoopbackServer()
    yield instance
    instance.close()


def unix_path(windows_path):
    """The Linux path of a C: path inside the prefix."""
    drive, rest = windows_path.split(":", 1)
    return pathlib.Path(os.environ["WINEPREFIX"]) / "dosdevices" / (drive.lower() + ":") / rest.lstrip("\\").replace("\\", "/")


def probe_output(result):
    assert result.returncode == 0, result
    return dict(line.split("=", 1) for line in result.stdout.decode("utf-8").splitlines())


@pytest.fixture(scope="session")
def signing_identity(tmp_path_factory):
    """A throwaway code-signing certificate and key, made for this run."""
    folder = tmp_path_factory.mktemp("identity")
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
         "-subj", "/CN=Quellox Test Publisher", "-addext", "extendedKeyUsage=codeSigning",
         "-keyout", str(folder / "key.pem"), "-out", str(folder / "cert.pem")],
        check=True, capture_output=True)
    return folder / "cert.pem", folder / "key.pem"


def sign(identity, source, target):
    cert, key = identity
    subprocess.run(["osslsigncode", "sign", "-certs", str(cert), "-key", str(key), "-n", "Quellox test",
                    "-in", str(source), "-out", str(target)], check=True, capture_output=True)
    return target
