"""What configuring accepts as deployment values and what it refuses, with
the message a maker sees; and the signer pin as the build carries it."""
import re
import subprocess

import pytest

from conftest import ROOT

REAL = "https://download.maker.test/q/quellox-setup.exe"
PIN = "ab:CD:" + "ef" * 30  # as openssl prints it, in any case
PIN_DIGITS = "ABCD" + "EF" * 30
OTHER = "12" * 32


def configure(tmp_path, **values):
    args = ["cmake", "-S", str(ROOT / "tests/deployment"), "-B", str(tmp_path / "build")]
    args += ["-DQUELLOX_%s=%s" % item for item in values.items()]
    result = subprocess.run(args, capture_output=True, text=True, timeout=60)
    header = tmp_path / "build/generated/Deployment.h"
    pins = re.search(r'SignerPins = "([^"]*)"', header.read_text()).group(1) if result.returncode == 0 else None
    return result, pins


@pytest.mark.parametrize("values, pins", [
    ({}, ""),
    ({"DOWNLOAD_URL": REAL, "SIGNER_SHA256": "any"}, ""),
    ({"DOWNLOAD_URL": REAL, "SIGNER_SHA256": PIN}, PIN_DIGITS),
    ({"DOWNLOAD_URL": REAL, "SIGNER_SHA256": PIN + ";" + OTHER}, PIN_DIGITS + ";" + OTHER),
    ({"DOWNLOAD_URL": REAL, "SIGNER_SHA256": OTHER + "; " + PIN}, OTHER + ";" + PIN_DIGITS),
    ({"SIGNER_SHA256": OTHER}, OTHER),
    ({"DOWNLOAD_URL": "https://download.quellox.example:8443/f/quellox-setup.exe"}, ""),
    ({"ANALYTICS_URL": "https://analytics.quellox.example/collect", "LICENSE_URL": "https://www.quellox.example/license/"}, ""),
    ({"ANALYTICS_URL": "http://analytics.quellox.example:8080/collect"}, ""),
], ids=["defaults", "any-publisher", "one-pin", "two-pins", "second-pin-as-printed", "pin-on-example", "https-download", "https-others",
        "analytics-port"])
def test_accepted(tmp_path, values, pins):
    result, written = configure(tmp_path, **values)
    assert result.returncode == 0, result.stderr
    assert written == pins


@pytest.mark.parametrize("values, message", [
    ({"DOWNLOAD_URL": REAL}, "no QUELLOX_SIGNER_SHA256 is set"),
    ({"DOWNLOAD_URL": REAL, "SIGNER_SHA256": PIN[:-1]}, "is not a SHA-256 fingerprint"),
    ({"SIGNER_SHA256": "G" * 64}, "is not a SHA-256 fingerprint"),
    ({"SIGNER_SHA256": OTHER + ";"}, None),
    ({"DOWNLOAD_URL": "ftp://download.quellox.example/f/quellox-setup.exe"}, "QUELLOX_DOWNLOAD_URL"),
    ({"ANALYTICS_URL": "https://analytics.quellox.example:70000/collect"}, "is not between 1 and 65535"),
    ({"DOWNLOAD_URL": REAL.replace("https://", "http://"), "SIGNER_SHA256": "any"},
     "Use an https:// download address, or pin your code-signing certificate"),
], ids=["real-without-pin", "short-pin", "not-hex", "empty-entry", "ftp", "bad-port", "any-over-plain-http"])
def test_refused(tmp_path, values, message):
    result, _ = configure(tmp_path, **values)
    assert result.returncode != 0
    said = " ".join(result.stderr.split())
    if message:
        assert message in said
    # The message says how to get the fingerprint.
    if "SIGNER_SHA256" in values or message == "no QUELLOX_SIGNER_SHA256 is set":
        assert "openssl x509 -in maker.crt -noout -fingerprint -sha256" in said
