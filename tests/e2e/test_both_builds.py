"""The 32-bit and the 64-bit installer share one machine's state: run one
after the other in one prefix, the second reuses the analytics client id the
first wrote and sees the same product and offer keys. Needs a machine that
runs both builds, with both built."""
import os
import subprocess

import pytest

from conftest import OFFERED_KEY, PRODUCT_KEY, ROOT, probe_output, runs_x86

BUILDS = {"x86": ("/usr/lib/wine/wine", ROOT / "build/release/bin"),
          "x64": ("/usr/lib/wine/wine64", ROOT / "build/release64/bin")}
CALDERWYN_KEY = r"HKLM\Software\Calderwyn"
NO_NETWORK = {"http_proxy": "http://127.0.0.1:9"}  # nothing listens there

pytestmark = [
    pytest.mark.skipif(not runs_x86(), reason="this machine cannot run 32-bit programs, so not both builds"),
    pytest.mark.skipif(not all((folder / "startup_probe.exe").exists() and (folder / "analytics_probe.exe").exists()
                               for _, folder in BUILDS.values()),
                       reason="needs both builds (presets release and release64) built"),
]


def run(arch, program, env=None):
    loader, folder = BUILDS[arch]
    return probe_output(subprocess.run([loader, str(folder / program)], capture_output=True, timeout=120,
                                       env=dict(os.environ, **NO_NETWORK, **(env or {}))))


def reg(*args):
    subprocess.run([BUILDS["x64"][0], "reg", *args], capture_output=True, timeout=30)


@pytest.fixture
def clean_keys():
    keys = (CALDERWYN_KEY, PRODUCT_KEY, OFFERED_KEY)
    for key in keys:
        for view in ("/reg:32", "/reg:64"):
            reg("delete", key, "/f", view)
    yield
    for key in keys:
        for view in ("/reg:32", "/reg:64"):
            reg("delete", key, "/f", view)


def test_the_64_bit_build_reuses_the_client_id_the_32_bit_build_wrote(clean_keys):
    first = run("x86", "analytics_probe.exe")["ClientID"]
    second = run("x64", "analytics_probe.exe")["ClientID"]
    assert first and second == first


def test_both_builds_see_the_same_product_and_offer_keys(clean_keys):
    for arch in BUILDS:
        settings = run(arch, "startup_probe.exe")
        assert (settings["IsProductInstalled"], settings["AutoCSOffer"]) == ("0", "1"), arch
    reg("add", PRODUCT_KEY, "/f", "/reg:32")
    reg("add", OFFERED_KEY, "/f", "/reg:32")
    for arch in BUILDS:
        settings = run(arch, "startup_probe.exe")
        assert (settings["IsProductInstalled"], settings["AutoCSOffer"]) == ("1", "0"), arch
