"""The local demo, run by scripts/demo.sh inside the build's Wine prefix.

One loopback server serves the setup program and passes the analytics
events on to quellox-collect, the maker's own collector, on a SQLite file;
the installer reaches it through http_proxy with its own built-in
addresses. The summary prints the funnel from the collector's database and,
where Chromium is installed, pictures its page.

The setup program is a small program of ours that records its command line
and creates the product's uninstall key, signed here with a throwaway
certificate.

On a display the user drives the window. Without one, the demo drives it as
a user would, through the window inspector: it pictures the start page,
clicks "Start installation", pictures the progress page, pauses (picturing
the paused notice) and resumes once, and lets the run finish. Then it starts
the installer once more with the display at 200 % (192 DPI) and pictures its
start page. Each picture is cropped to the window; demo.png puts the pages
at 100 % side by side, demo-200.png is the start page at 200 %."""
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse

ROOT = pathlib.Path(__file__).resolve().parents[1]
BIN = pathlib.Path(os.environ.get("QUELLOX_BIN", ROOT / "build/release/bin"))
SHOTS = pathlib.Path(os.environ.get("QUELLOX_DEMO_SCREENSHOTS", BIN.parent / "demo-screenshots"))
sys.path.insert(0, str(ROOT / "tests/e2e"))
from conftest import fake_setup_settings  # noqa: E402
from loopback_server import LoopbackServer  # noqa: E402

PRODUCT_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{E49A1D27-6C03-4F58-9B7E-31A5D0C6F2E8}_is1"
X11_DRIVER_KEY = r"HKCU\Software\Wine\X11 Driver"
WINDOW_CLASS = "QuelloxStubInstaller"
START_BUTTON, PAUSE_RESUME_COMMAND = 101, 201
PROGRESS_PAGE_HEIGHT = 267
PICTURES = ["start-page", "progress-page", "paused-notice"]


COLLECT = ROOT / "build/host/bin/quellox-collect"
# Wine's loader for the build (scripts/wine-env.sh sets it).
WINE = os.environ.get("QUELLOX_WINE", "wine")
BUILD = os.environ.get("QUELLOX_DEMO_BUILD", "the build in " + str(BIN.parent))


def wine(*args, **kwargs):
    return subprocess.run([WINE, *map(str, args)], capture_output=True, timeout=120, **kwargs)


def sign(work):
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=Quellox Demo Publisher", "-addext", "extendedKeyUsage=codeSigning",
                    "-keyout", work / "key.pem", "-out", work / "cert.pem"], check=True, capture_output=True)
    subprocess.run(["osslsigncode", "sign", "-certs", work / "cert.pem", "-key", work / "key.pem",
                    "-n", "Quellox demo setup", "-in", BIN / "fake_setup.exe", "-out", work / "setup.exe"],
                   check=True, capture_output=True)
    return (work / "setup.exe").read_bytes()


def events(server):
    names = []
    for r in list(server.requests):
        if r["method"] == "POST":
            fields = urllib.parse.parse_qs(r["body"].decode("ascii"), keep_blank_values=True)
            names.append((fields.get("ea", ["?"])[0], fields.get("ec", [""])[0], fields.get("cid", [""])[0]))
    return names


def wait_until(condition, what, timeout=60):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if condition():
            return
        time.sleep(0.1)
    raise SystemExit("demo: timed out waiting for " + what)


def window_rect():
    """The installer window's rectangle on the screen, from the window inspector."""
    result = wine(BIN / "wininspect.exe", "list", WINDOW_CLASS, "30000")
    if result.returncode != 0:
        raise SystemExit("demo: the installer window did not appear")
    first = result.stdout.decode("utf-8").splitlines()[0]
    return tuple(map(int, first.split("|")[3].split(",")))


def picture(name):
    """The screen cut to the installer window, as SHOTS/name.png."""
    left, top, right, bottom = window_rect()
    SHOTS.mkdir(parents=True, exist_ok=True)
    screen = SHOTS / "screen.png"
    subprocess.run(["import", "-window", "root", screen], check=True, capture_output=True, timeout=30)
    subprocess.run(["convert", screen, "-crop", "%dx%d+%d+%d" % (right - left, bottom - top, left, top), "+repage",
                    SHOTS / (name + ".png")], check=True, capture_output=True, timeout=30)
    screen.unlink()
    print("   picture:", os.path.relpath(SHOTS / (name + ".png")))


def combine():
    """The pages side by side on a grey ground, as SHOTS/demo.png."""
    parts = [SHOTS / (name + ".png") for name in PICTURES]
    subprocess.run(["convert", "-background", "#d8dce0", *parts, "-gravity", "northwest", "-splice", "16x16",
                    "+append", "-gravity", "southeast", "-splice", "16x16", "+repage", SHOTS / "demo.png"],
                   check=True, capture_output=True, timeout=60)
    print("   combined picture:", os.path.relpath(SHOTS / "demo.png"))


def set_dpi(dpi):
    """The prefix's display DPI; Wine reads it when its wineserver starts,
    so the server is started afresh."""
    wine("reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f")
    quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    subprocess.run(["wineserver", "-k"], timeout=60, **quiet)
    subprocess.run(["wineserver", "-p"], timeout=60, **quiet)
    subprocess.run([WINE, "wineboot"], timeout=120, **quiet)


def picture_at_200(env):
    """The start page with the display at 200 %, as SHOTS/start-page-200.png
    and SHOTS/demo-200.png (on the same grey ground)."""
    print("   the start page at 200 % (192 DPI)")
    set_dpi(192)
    try:
        installer = subprocess.Popen([WINE, BIN / "QuelloxSetup.exe"], env=env)
        try:
            window_rect()
            time.sleep(1.5)
            picture("start-page-200")
            inspect("close", WINDOW_CLASS)
            installer.wait(timeout=60)
        finally:
            if installer.poll() is None:
                installer.kill()
    finally:
        set_dpi(96)
    subprocess.run(["convert", "-background", "#d8dce0", SHOTS / "start-page-200.png", "-gravity", "northwest",
                    "-splice", "16x16", "-gravity", "southeast", "-splice", "16x16", "+repage",
                    SHOTS / "demo-200.png"], check=True, capture_output=True, timeout=60)
    print("   combined picture:", os.path.relpath(SHOTS / "demo-200.png"))


# The start page in these languages (the window's /Language: switch), for
# SHOTS/demo-languages.png: English and German above, Japanese and Arabic
# below.
LANGUAGES = ["en", "de", "ja", "ar"]


def pictures_in_languages(env):
    """The start page in each of LANGUAGES, as SHOTS/start-page-<tag>.png,
    and the four on one grey ground as SHOTS/demo-languages.png."""
    print("   the start page in English, German, Japanese and Arabic")
    for tag in LANGUAGES:
        installer = subprocess.Popen([WINE, BIN / "QuelloxSetup.exe", "/Language:" + tag], env=env)
        try:
            window_rect()
            time.sleep(1.5)
            picture("start-page-" + tag)
            inspect("close", WINDOW_CLASS)
            installer.wait(timeout=60)
        finally:
            if installer.poll() is None:
                installer.kill()
    shots = [SHOTS / ("start-page-%s.png" % tag) for tag in LANGUAGES]
    subprocess.run(["convert", "-background", "#d8dce0",
                    "(", shots[0], shots[1], "-splice", "16x0", "+append", ")",
                    "(", shots[2], shots[3], "-splice", "16x0", "+append", ")",
                    "-splice", "0x16", "-append", "-gravity", "southeast", "-splice", "16x16", "+repage",
                    SHOTS / "demo-languages.png"], check=True, capture_output=True, timeout=60)
    print("   combined picture:", os.path.relpath(SHOTS / "demo-languages.png"))


def inspect(*args):
    return wine(BIN / "wininspect.exe", *args)


def walk(server):
    """Drives the window from the start page to a resumed download."""
    window_rect()
    time.sleep(1)  # the first paint
    picture("start-page")
    print('   clicking "Start installation"')
    inspect("click", WINDOW_CLASS, str(START_BUTTON))
    wait_until(lambda: window_rect()[3] - window_rect()[1] == PROGRESS_PAGE_HEIGHT, "the progress page")
    wait_until(lambda: any(r["method"] == "GET" for r in server.requests), "the download")
    time.sleep(1.5)
    picture("progress-page")
    print("   pausing")
    inspect("command", WINDOW_CLASS, str(PAUSE_RESUME_COMMAND))
    wait_until(lambda: "install_pause" in [e[0] for e in events(server)], "install_pause")
    time.sleep(0.5)
    picture("paused-notice")
    print("   resuming")
    inspect("command", WINDOW_CLASS, str(PAUSE_RESUME_COMMAND))
    wait_until(lambda: "install_resume" in [e[0] for e in events(server)], "install_resume")
    combine()


def start_collector(store, log):
    """quellox-collect on a free loopback port; the process and the port."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    process = subprocess.Popen([COLLECT, "--store", "sqlite:%s" % store, "--listen", "127.0.0.1:%d" % port],
                               stdout=open(log, "wb"), stderr=subprocess.STDOUT)
    wait_until(lambda: "listening on" in log.read_text(), "the collector to listen", timeout=20)
    return process, port


def picture_page(port, work):
    """The collector's page in headless Chromium, where it is installed."""
    chromium = shutil.which("chromium")
    if not chromium:
        return None
    target = SHOTS / "funnel-page.png"
    SHOTS.mkdir(parents=True, exist_ok=True)
    subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                    "--disable-background-networking", "--disable-component-update", "--disable-sync",
                    "--user-data-dir=%s" % (work / "chromium"), "--virtual-time-budget=5000",
                    "--window-size=1100,900", "--screenshot=%s" % target, "http://127.0.0.1:%d/" % port],
                   capture_output=True, timeout=120)
    return target if target.exists() else None


def main():
    interactive = os.environ.get("QUELLOX_DEMO_INTERACTIVE") == "1"
    work = pathlib.Path(tempfile.mkdtemp(prefix="quellox-demo-"))
    log = work / "setup.log"
    wine("reg", "delete", PRODUCT_KEY, "/f", "/reg:32")
    store = BIN.parent / "demo-events.db"
    for old in (store, pathlib.Path(str(store) + "-wal"), pathlib.Path(str(store) + "-shm")):
        old.unlink(missing_ok=True)
    collector, collector_port = start_collector(store, work / "collect.log")
    server = LoopbackServer(body=sign(work))
    # Slow enough to watch the progress and to pause; the resumed rest comes faster.
    server.plan = [{"delay": 0.006}, {"delay": 0.002}]
    server.post_plan = [{"forward": ("127.0.0.1", collector_port)}]

    args = list(sys.argv[1:])
    env = fake_setup_settings(dict(os.environ, http_proxy=server.proxy,
                                   QUELLOX_FAKE_SETUP_LOG="Z:" + str(log).replace("/", "\\"),
                                   QUELLOX_FAKE_SETUP_INSTALL_ON="always"))
    print("== Running", os.path.relpath(BIN / "QuelloxSetup.exe"), " ".join(args))
    print("   download and analytics server:", server.proxy, "(as http_proxy)")
    print("   events passed on to quellox-collect on 127.0.0.1:%d, store %s" % (collector_port, os.path.relpath(store)))
    if not interactive:
        for name in PICTURES + ["demo", "start-page-200", "demo-200", "demo-languages"] + [
                "start-page-" + tag for tag in LANGUAGES]:
            (SHOTS / (name + ".png")).unlink(missing_ok=True)
        # Xvfb has no window manager to draw the caption and frame: Wine draws
        # them itself for this run, so that the pictures show the whole window.
        wine("reg", "add", X11_DRIVER_KEY, "/v", "Decorated", "/d", "N", "/f")
    installer = subprocess.Popen([WINE, BIN / "QuelloxSetup.exe", *args], env=env)
    try:
        if interactive:
            print("   Click \"Start installation\" in the window.")
        else:
            walk(server)
        code = installer.wait(timeout=900)
        if not interactive:
            picture_at_200(env)
            pictures_in_languages(env)
    finally:
        if installer.poll() is None:
            installer.kill()
        if not interactive:
            wine("reg", "delete", X11_DRIVER_KEY, "/v", "Decorated", "/f")
    time.sleep(0.2)
    server.close()

    print("\n== Summary")
    print("Installer:", BUILD)
    print("Requests served:")
    for r in server.requests:
        extra = " Range: " + r["headers"]["Range"] if "Range" in r["headers"] else ""
        print("  ", r["method"], r["url"] + extra)
    print("Setup command line received:")
    for line in (log.read_text(encoding="utf-8").splitlines() if log.exists() else ["   (the setup program did not run)"]):
        print("  ", line)
    print("Analytics events collected:")
    for name, category, client in events(server):
        print("  ", name, " ec=" + category, " cid=" + client)
    print("The funnel in quellox-collect (%s):" % os.path.relpath(store))
    funnel = subprocess.run([COLLECT, "funnel", "--store", "sqlite:%s" % store], capture_output=True, text=True)
    for line in (funnel.stdout or funnel.stderr).splitlines():
        print("  ", line)
    page = picture_page(collector_port, work)
    print("Funnel page:", os.path.relpath(page) if page else "(no picture: chromium is not installed)")
    collector.send_signal(signal.SIGTERM)
    collector.wait(timeout=60)
    print("Installer exit code:", code)
    print("Screenshots:", SHOTS if not interactive else "(none: the window ran on your display)")
    return 0 if code == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
