"""The local demo, run by scripts/demo.sh inside the build's Wine prefix.

One loopback server serves the setup program and collects the analytics
events; the installer reaches it through http_proxy with its own built-in
addresses. The setup program is a small program of ours that records its
command line and creates the product's uninstall key, signed here with a
throwaway certificate."""
import os
import pathlib
import subprocess
import sys
import tempfile
import time
import urllib.parse

ROOT = pathlib.Path(__file__).resolve().parents[1]
BIN = ROOT / "build/release/bin"
SHOTS = ROOT / "build/release/demo-screenshots"
sys.path.insert(0, str(ROOT / "tests/e2e"))
from loopback_server import LoopbackServer  # noqa: E402

PRODUCT_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{E49A1D27-6C03-4F58-9B7E-31A5D0C6F2E8}_is1"


def wine(*args, **kwargs):
    return subprocess.run(["wine", *map(str, args)], capture_output=True, timeout=120, **kwargs)


def sign(work):
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=Quellox Demo Publisher", "-addext", "extendedKeyUsage=codeSigning",
                    "-keyout", work / "key.pem", "-out", work / "cert.pem"], check=True, capture_output=True)
    subprocess.run(["osslsigncode", "sign", "-certs", work / "cert.pem", "-key", work / "key.pem",
                    "-n", "Quellox demo setup", "-in", BIN / "fake_setup.exe", "-out", work / "setup.exe"],
                   check=True, capture_output=True)
    return (work / "setup.exe").read_bytes()


def screenshot(name):
    SHOTS.mkdir(parents=True, exist_ok=True)
    subprocess.run(["import", "-window", "root", SHOTS / (name + ".png")], capture_output=True, timeout=30)


def main():
    interactive = os.environ.get("QUELLOX_DEMO_INTERACTIVE") == "1"
    work = pathlib.Path(tempfile.mkdtemp(prefix="quellox-demo-"))
    log = work / "setup.log"
    wine("reg", "delete", PRODUCT_KEY, "/f", "/reg:32")
    server = LoopbackServer(body=sign(work))
    server.plan = [{"delay": 0.003}]  # slow enough to watch the progress

    args = list(sys.argv[1:]) + ([] if interactive else ["/SkipStart"])
    env = dict(os.environ, http_proxy=server.proxy, QUELLOX_FAKE_SETUP_LOG="Z:" + str(log).replace("/", "\\"),
               QUELLOX_FAKE_SETUP_INSTALL_ON="always")
    print("== Running build/release/bin/QuelloxSetup.exe", " ".join(args))
    print("   download and analytics server:", server.proxy, "(as http_proxy)")
    installer = subprocess.Popen(["wine", BIN / "QuelloxSetup.exe", *args], env=env)
    if interactive:
        print("   Click \"Start installation\" in the window.")
    else:
        wine(BIN / "wininspect.exe", "list", "QuelloxStubInstaller", "30000")
        time.sleep(0.5)
        screenshot("progress-page")
    code = installer.wait(timeout=900)
    time.sleep(0.2)
    server.close()

    print("\n== Summary")
    print("Requests served:")
    for r in server.requests:
        extra = " Range: " + r["headers"]["Range"] if "Range" in r["headers"] else ""
        print("  ", r["method"], r["url"] + extra)
    print("Setup command line received:")
    for line in (log.read_text(encoding="utf-8").splitlines() if log.exists() else ["   (the setup program did not run)"]):
        print("  ", line)
    print("Analytics events collected:")
    for r in server.requests:
        if r["method"] == "POST":
            fields = urllib.parse.parse_qs(r["body"].decode("ascii"), keep_blank_values=True)
            print("  ", fields.get("ea", ["?"])[0], " ec=" + fields.get("ec", [""])[0], " cid=" + fields.get("cid", [""])[0])
    print("Installer exit code:", code)
    print("Screenshots:", SHOTS if SHOTS.exists() else "(none: the window ran on your display)")
    return 0 if code == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
