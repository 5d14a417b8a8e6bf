"""The window in the visitor's language. Wine takes a process's UI language
from its LANG and LC_ALL (Debian's locales-all); the installer asks Windows
for the user's preferred UI languages and shows the first it has a
translation for, falling back from a region to its language, else English.
Every text of every language is drawn in its place at 96, 144 and 192 DPI
with the window's own fonts (fit_probe), and pictures of each language's
start page at 96 and 192 DPI are kept for a person to look at."""
import signal
import subprocess
import urllib.parse

import pytest

from conftest import BIN, EMULATED, NETWORK_PATH, not_emulated, run_wine, scaled
from test_display_scale import dpi, ppm, steady_capture  # noqa: F401 (dpi: a fixture)
from test_window import CLASS, SCREENSHOTS, inspect, listing, wait_until

WS_EX_LAYOUTRTL = 0x400000
SHIPPED = ["de", "fr", "es", "pt-BR", "it", "pl", "ru", "tr", "ja", "zh-CN", "ko", "ar", "he"]
# Each language's install button, as its translation has it.
BUTTON = {"en": "Start installation", "de": "Installation starten", "pt-BR": "Iniciar instalação",
          "ja": "インストールを開始", "ar": "بدء التثبيت"}


def closed(installer):
    """The installer ended well once closed. Under emulation the 32-bit Wine
    loader itself may crash as the process ends (a host SIGSEGV, never a
    Windows exit code; docs/building.md): that is the emulator's, and only
    it is let pass there."""
    code = installer.wait(30)
    return code == 0 or (EMULATED and code == -signal.SIGSEGV)


def in_language(monkeypatch, locale):
    monkeypatch.setenv("LANG", locale)
    monkeypatch.setenv("LC_ALL", locale)


def button_text():
    _, children = listing()
    [button] = [c for c in children if c["id"] == 101]
    return button["text"]


def on_screen():
    """The window and its controls, with their rectangles on the screen."""
    listing()  # once it is shown
    result = inspect("screen", CLASS)
    assert result.returncode == 0
    found = []
    for line in result.stdout.decode("utf-8").splitlines():
        cls, ident, text, rect, exstyle = line.split("|")
        found.append({"class": cls, "id": int(ident), "text": text, "rect": tuple(map(int, rect.split(","))),
                      "exstyle": int(exstyle, 16)})
    return found[0], found[1:]


def test_every_text_of_every_language_fits_with_every_glyph_at_96_144_and_192_dpi():
    result = run_wine(BIN / "fit_probe.exe", timeout=300)
    out = result.stdout.decode("utf-8")
    failures = [line for line in out.splitlines() if line.startswith("FAIL")]
    assert failures == [], "texts that do not fit:\n" + "\n".join(failures)
    assert result.returncode == 0, out
    shown = {}
    for line in out.splitlines():
        if line.startswith("language "):
            asked, found, rest = line[len("language "):].split(" ", 2)
            face, missing, button = rest.split("|")
            shown[asked] = (found, face, int(missing), button)
    assert sorted(shown) == sorted(SHIPPED + ["en"])
    for tag, (found, face, missing, button) in shown.items():
        # Every translation is in the file, whole, and read back as itself.
        assert found == tag.lower(), (tag, found)
        assert missing == 0, "%s: %d characters without a glyph in %s" % (tag, missing, face)
        assert (button == "Start installation") == (tag == "en"), (tag, button)


@pytest.mark.parametrize("locale, shown", [
    pytest.param("de_DE.UTF-8", "de", marks=pytest.mark.shipped),
    ("de_AT.UTF-8", "de"),
    ("pt_PT.UTF-8", "pt-BR"),
    ("ja_JP.UTF-8", "ja"),
    ("en_GB.UTF-8", "en"),
    ("nl_NL.UTF-8", "en"),
    # Chinese in traditional characters does not read the simplified
    # translation: English instead.
    ("zh_TW.UTF-8", "en"),
])
def test_the_window_speaks_the_users_language(run, monkeypatch, locale, shown):
    in_language(monkeypatch, locale)
    installer = run().start()
    assert button_text() == BUTTON[shown]
    window, _ = listing()
    if shown == "en":
        assert window["text"] == "Setup \u2014 Varnholt Quellox"
    inspect("close", CLASS)
    assert closed(installer)


@pytest.mark.parametrize("locale, switch, shown", [
    ("de_DE.UTF-8", "/Language:ja", "ja"),
    ("de_DE.UTF-8", "/language:EN", "en"),
    ("en_US.UTF-8", "/Language:pt-PT", "pt-BR"),
    # A language the copy lacks leaves the user's own.
    ("de_DE.UTF-8", "/Language:xx", "de"),
])
def test_a_language_forced_on_the_command_line_wins_where_the_copy_has_it(run, monkeypatch, locale, switch, shown):
    in_language(monkeypatch, locale)
    installer = run().start(switch)
    assert button_text() == BUTTON[shown]
    inspect("close", CLASS)
    assert closed(installer)


@not_emulated(NETWORK_PATH)
def test_each_event_carries_the_language_the_window_showed(run, server, monkeypatch):
    in_language(monkeypatch, "de_AT.UTF-8")
    server.plan = [{"delay": 0.01}]
    installer = run().start()
    assert button_text() == BUTTON["de"]
    inspect("click", CLASS, "101")
    assert installer.wait() == 0
    bodies = [urllib.parse.parse_qs(r["body"].decode("ascii"), keep_blank_values=True)
              for r in server.requests if r["method"] == "POST"]
    assert [b["ea"] for b in bodies] == [["install_start"], ["install_finish"]]
    assert all(b["ul"] == ["de"] for b in bodies), bodies


def pixels(picture, left, top, width, height):
    full_width, _, data = picture
    return b"".join(data[3 * ((top + y) * full_width + left):3 * ((top + y) * full_width + left + width)]
                    for y in range(height))


@pytest.mark.shipped
def test_arabic_mirrors_the_window_but_not_its_pictures(run, monkeypatch, tmp_path):
    in_language(monkeypatch, "en_US.UTF-8")
    english = run().start()
    window, english_controls = on_screen()
    assert window["exstyle"] & WS_EX_LAYOUTRTL == 0
    english_picture = steady_capture(tmp_path, "english")
    inspect("close", CLASS)
    assert closed(english)

    in_language(monkeypatch, "ar_EG.UTF-8")
    arabic = run().start()
    assert button_text() == BUTTON["ar"]
    window, arabic_controls = on_screen()
    assert window["exstyle"] & WS_EX_LAYOUTRTL
    arabic_picture = steady_capture(tmp_path, "arabic")

    # Each control has changed sides: on the screen, its left edge in one
    # window and its right edge in the other are as far from the client
    # area's two sides, so their sum is the same for every control.
    pairs = {c["id"]: c for c in english_controls if c["id"] in (101, 102)}
    sums = set()
    for control in arabic_controls:
        if control["id"] in pairs:
            sums.add(pairs[control["id"]]["rect"][0] + control["rect"][2])
            # Same height on the screen (the offer box of a translation may
            # reach one line lower).
            assert control["rect"][1] == pairs[control["id"]]["rect"][1]
    assert len(sums) == 1, sums
    # The product picture and the trust logo are drawn on the other side,
    # the right way round: the same pixels, within a pixel of the mirrored
    # place (a mirrored DC may place a picture one pixel over).
    width, height = english_picture[0], english_picture[1]
    for left, top, w, h in ((34, 34, 121, 121), (21, height - 65 + 10, 106, 44)):
        drawn = pixels(english_picture, left, top, w, h)
        assert any(pixels(arabic_picture, width - left - w + dx, top, w, h) == drawn for dx in (-1, 0, 1)), (left, top)
    inspect("close", CLASS)
    assert closed(arabic)


@pytest.mark.parametrize("dpi", [96, 192], indirect=True)
def test_pictures_of_every_language_are_kept_for_a_look(run, tmp_path, dpi):
    folder = SCREENSHOTS / "languages"
    folder.mkdir(parents=True, exist_ok=True)
    for tag in ["en"] + SHIPPED:
        installer = run().start("/Language:" + tag)
        listing()
        picture = steady_capture(tmp_path, tag)
        (folder / ("%s-%ddpi.ppm" % (tag, dpi))).write_bytes(ppm(picture))
        if tag in BUTTON:
            assert button_text() == BUTTON[tag]
        inspect("close", CLASS)
        assert closed(installer)
    # PNG beside each, where ImageMagick is at hand.
    subprocess.run(["mogrify", "-format", "png", *map(str, folder.glob("*-%ddpi.ppm" % dpi))],
                   capture_output=True, timeout=scaled(120))
