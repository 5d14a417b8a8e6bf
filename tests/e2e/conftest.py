"""Shared helpers of the end-to-end tests: the built programs, and running
them under Wine in the build tree's prefix (prepared by scripts/test.sh)."""
import os
import pathlib
import shutil
import subprocess
import urllib.parse

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BIN = pathlib.Path(os.environ.get("QUELLOX_BIN", pathlib.Path(__file__).resolve().parents[2] / "build/release/bin"))

# The build under test and the Wine loader that runs it, both given by the
# build tree (tests/CMakeLists.txt): "x86" runs through Wine's 32-bit loader,
# "x64" through its 64-bit loader, each build in a prefix of its own.
ARCH = os.environ.get("QUELLOX_TARGET_ARCH", "x86")
WINE = os.environ.get("QUELLOX_WINE", "wine")
# The build's toolchain file, for the tests that configure a build of their own.
TOOLCHAIN = os.environ.get("QUELLOX_TOOLCHAIN", str(ROOT / "cmake/mingw-i686-posix.cmake"))
# The tests' own tools (the window inspector, the stand-in setup program, the
# probe that names the download's path, reg): the build's own, except where
# the 32-bit build runs emulated, about a minute per process start. There
# they come from the 64-bit build and run natively (scripts/test.sh), and
# only the programs under test run emulated.
TOOL_BIN = pathlib.Path(os.environ.get("QUELLOX_TOOL_BIN") or BIN)
TOOL_WINE = os.environ.get("QUELLOX_TOOL_WINE") or WINE
# The shipped file's own set: where the 32-bit build runs emulated, only the
# tests marked `shipped` run on it (docs/building.md says why these).
SHIPPED_SET_ONLY = os.environ.get("QUELLOX_TEST_SET") == "shipped"
# How much longer than on a native machine the tests wait for the programs
# under test: each emulated process start alone takes about a minute.
TIME_SCALE = float(os.environ.get("QUELLOX_TIME_SCALE") or 1)


def scaled(seconds):
    return seconds * TIME_SCALE
# Hex digits of an address the program prints.
POINTER_DIGITS = 16 if ARCH == "x64" else 8




def pytest_configure(config):
    config.addinivalue_line("markers", "shipped: in the set the shipped 32-bit file runs under emulation")


def pytest_collection_modifyitems(config, items):
    if not SHIPPED_SET_ONLY:
        return
    chosen = [item for item in items if item.get_closest_marker("shipped")]
    config.hook.pytest_deselected(items=[item for item in items if item not in chosen])
    items[:] = chosen


def wine_for(program):
    """The loader of a program: the tools' for the tools, the build's for the rest."""
    return TOOL_WINE if pathlib.Path(program).parent == TOOL_BIN else WINE


def x86_mode():
    """How this machine runs 32-bit programs: native, emulated or none."""
    return subprocess.run(["bash", "-c", 'source "$1/scripts/arch.sh" && quellox_x86_mode', "_", str(ROOT)],
                          capture_output=True, text=True).stdout.strip()


def runs_x86():
    """Whether this machine runs 32-bit programs at all, natively or emulated."""
    return x86_mode() != "none"


# The 32-bit build under user-mode emulation, where some of Wine's 32-bit
# paths fail through faults of the emulator (docs/building.md).
EMULATED = ARCH == "x86" and x86_mode() == "emulated"


def not_emulated(path):
    """Skips, with its reason, a check whose path the emulator is shown to
    break (docs/building.md): it runs where 32-bit programs run natively, and
    on the 64-bit build."""
    return pytest.mark.skipif(EMULATED, reason="the emulator fails %s (docs/building.md); runs natively" % path)


NETWORK_PATH = "Wine's 32-bit asynchronous WinINet"


def only_on(arch, why):
    """Skips, with its reason shown, a check that means something only for
    one of the two builds."""
    return pytest.mark.skipif(ARCH != arch, reason=f"only the {arch} build: {why}")


LONG_MARKERS = ["{00868EBA702F}", "{2E7E63583D84}", "{C5EE17DC10A5}"]


def winpath(path):
    """The Windows name of a Linux path, through Wine's Z: drive."""
    return "Z:" + str(path).replace("/", "\\")


def run_wine(program, *args, env=None, timeout=60):
    if wine_for(program) == WINE:
        timeout = scaled(timeout)
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([wine_for(program), str(program), *args], capture_output=True, timeout=timeout,
                          env=full_env)


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


FAKE_SETUP_SETTINGS = "C:\\users\\Public\\quellox-fake-setup.txt"


def fake_setup_settings(env):
    """Writes the fake setup program's settings, the QUELLOX_FAKE_SETUP_*
    items of env, to the prefix's file that it reads them from (the installer
    hands the setup program none of its own environment); returns env."""
    lines = ["%s=%s" % (name, value) for name, value in env.items() if name.startswith("QUELLOX_FAKE_SETUP_")]
    unix_path(FAKE_SETUP_SETTINGS).write_text("".join(line + "\n" for line in lines), encoding="utf-8")
    return env


def probe_output(result):
    assert result.returncode == 0, result
    return dict(line.split("=", 1) for line in result.stdout.decode("utf-8").splitlines())


def test_identity(publisher, tmp_path_factory):
    """A throwaway code-signing certificate and key: the ones the build made
    when it was configured (the pinned test programs carry the maker's
    fingerprint), or new ones."""
    made = os.environ.get("QUELLOX_TEST_IDENTITY")
    if made:
        folder = pathlib.Path(made)
    else:
        folder = tmp_path_factory.mktemp("identity")
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
             "-subj", "/CN=Quellox Test " + publisher, "-addext", "extendedKeyUsage=codeSigning",
             "-keyout", str(folder / (publisher + "-key.pem")), "-out", str(folder / (publisher + "-cert.pem"))],
            check=True, capture_output=True)
    return folder / (publisher + "-cert.pem"), folder / (publisher + "-key.pem")


@pytest.fixture(scope="session")
def signing_identity(tmp_path_factory):
    """The maker's signing identity."""
    return test_identity("maker", tmp_path_factory)


@pytest.fixture(scope="session")
def other_identity(tmp_path_factory):
    """Another publisher's, equally valid, signing identity."""
    return test_identity("other", tmp_path_factory)


def fingerprint(identity):
    """The SHA-256 fingerprint of an identity's certificate, as the pin holds it."""
    out = subprocess.run(["openssl", "x509", "-in", str(identity[0]), "-noout", "-fingerprint", "-sha256"],
                         check=True, capture_output=True, text=True).stdout
    return out.strip().split("=", 1)[1].replace(":", "").upper()


def sign(identity, source, target):
    cert, key = identity
    subprocess.run(["osslsigncode", "sign", "-certs", str(cert), "-key", str(key), "-n", "Quellox test",
                    "-in", str(source), "-out", str(target)], check=True, capture_output=True)
    return target


PRODUCT_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{E49A1D27-6C03-4F58-9B7E-31A5D0C6F2E8}_is1"
OFFERED_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{8B3F0C61-2E7D-4A95-B0C4-6D12E9F8A7B3}_is1"


def reg(*args):
    subprocess.run([TOOL_WINE, "reg", *args], capture_output=True, timeout=30)


@pytest.fixture(scope="module")
def signed_setup(tmp_path_factory, signing_identity):
    folder = tmp_path_factory.mktemp("setup")
    return sign(signing_identity, TOOL_BIN / "fake_setup.exe", folder / "fake_setup.exe").read_bytes()


class Run:
    def __init__(self, server, log, program, setup_file):
        self.server, self.log, self.program = server, log, program
        self.setup_file = setup_file
        self.process = None

    def start(self, *args, install_on="always"):
        env = fake_setup_settings(dict(os.environ, http_proxy=self.server.proxy,
                                       QUELLOX_FAKE_SETUP_LOG=winpath(self.log),
                                       QUELLOX_FAKE_SETUP_INSTALL_ON=install_on))
        self.process = subprocess.Popen([WINE, str(BIN / self.program), *args], env=env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return self

    def wait(self, timeout=90):
        return self.process.wait(timeout=scaled(timeout))

    def events(self):
        names = []
        for request in self.server.requests:
            if request["method"] == "POST" and request.get("answered", True):
                names += urllib.parse.parse_qs(request["body"].decode("ascii"), keep_blank_values=True)["ea"]
        return names

    def setup_runs(self):
        return self.log.read_text(encoding="utf-8").splitlines() if self.log.exists() else []


@pytest.fixture(scope="session", autouse=True)
def keyboard_cues_as_windows_has_them():
    """Windows' default, which Wine's prefix does not have: focus cues are
    hidden until the keyboard is used (the window's pictures depend on it)."""
    inspector = TOOL_BIN / "wininspect.exe"
    if inspector.exists():
        run_wine(inspector, "keyboardcues", "0")


@pytest.fixture
def run(server, signed_setup, tmp_path):
    for key in (PRODUCT_KEY, OFFERED_KEY):
        reg("delete", key, "/f", "/reg:32")
    setup_file = unix_path(probe_output(run_wine(TOOL_BIN / "startup_probe.exe"))["SetupFileName"])
    setup_file.unlink(missing_ok=True)
    server.body = signed_setup
    runs = []

    def make(program="QuelloxSetup.exe"):
        runs.append(Run(server, tmp_path / ("setup-%d.log" % len(runs)), program, setup_file))
        return runs[-1]

    yield make
    for r in runs:
        if r.process and r.process.poll() is None:
            r.process.kill()
            r.process.wait()
    for key in (PRODUCT_KEY, OFFERED_KEY):
        reg("delete", key, "/f", "/reg:32")
    setup_file.unlink(missing_ok=True)


