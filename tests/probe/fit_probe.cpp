// Draws every text of the window in every language of the build, at 96, 144
// and 192 DPI, in the rectangle the window gives it and with the font the
// window would choose, and prints one line for each that does not fit:
//   FAIL <language> <dpi> <text>: <what>
// then "checked <n> texts". Before that, for each language, the language
// the texts were found in and the face chosen for it:
//   language <asked> <shown> <face> <missing glyphs> <install button's text>
// A text fails when its ink leaves its rectangle
// (cut, too wide, or wrapped onto more lines than the rectangle holds); the
// licence link fails when it leaves the sentence's area or touches the
// sentence's ink.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Unique.h"
#include "startup/uGlobals.h"
#include "tests/support/TestOutput.h"
#include "ui/uFonts.h"
#include "ui/uLayout.h"
#include "ui/uLocalizer.h"
#include "ui/uMainWindow.h"
#include "ui/uTexts.h"

namespace {

using testoutput::Write;

// A white picture to draw text into, and where its ink lies.
class TPicture {
public:
    TPicture(int AWidth, int AHeight, bool AMirrored) : Width(AWidth), Height(AHeight) {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = AWidth;
        info.bmiHeader.biHeight = -AHeight;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        Dc.reset(CreateCompatibleDC(nullptr));
        Bitmap.reset(CreateDIBSection(Dc.get(), &info, DIB_RGB_COLORS, &Bits, nullptr, 0));
        SelectObject(Dc.get(), Bitmap.get());
        SetLayout(Dc.get(), AMirrored ? LAYOUT_RTL : 0);
        PatBlt(Dc.get(), 0, 0, AWidth, AHeight, WHITENESS);
        SetTextColor(Dc.get(), RGB(0, 0, 0));
        SetBkMode(Dc.get(), TRANSPARENT);
    }
    bool Ink(int x, int y) const {
        GdiFlush();
        return (static_cast<const std::uint32_t*>(Bits)[y * Width + x] & 0xFFFFFF) != 0xFFFFFF;
    }
    // The ink's bounds in device pixels; empty (Right 0) without ink.
    RECT Bounds() const {
        RECT bounds = {Width, Height, 0, 0};
        for (int y = 0; y < Height; ++y)
            for (int x = 0; x < Width; ++x)
                if (Ink(x, y)) bounds = {std::min<LONG>(bounds.left, x), std::min<LONG>(bounds.top, y),
                                         std::max<LONG>(bounds.right, x + 1), std::max<LONG>(bounds.bottom, y + 1)};
        return bounds;
    }
    int Width, Height;
    // The bitmap outlives the DC it is selected into: the DC goes first.
    platform::UniqueGdiObject Bitmap;
    platform::UniqueMemoryDc Dc;
    void* Bits = nullptr;
};

struct TCheck {
    const wchar_t* Name;
    const std::wstring* Text;
    int FontHeight;
    int Width, Height;  // the room the window gives the text
    UINT Format;
};

int checked = 0, failed = 0;

void Fail(const std::wstring& AWhere, const wchar_t* AName, const std::wstring& AWhat) {
    ++failed;
    Write(L"FAIL " + AWhere + L" " + AName + L": " + AWhat + L"\n");
}

std::wstring Number(long AValue) { return std::to_wstring(AValue); }

// The text drawn in a picture three times its room: its ink must stay in it.
void CheckText(const std::wstring& AWhere, const TCheck& ACheck, UINT AReading) {
    ++checked;
    TPicture picture(ACheck.Width * 3, ACheck.Height * 3, AReading != 0);
    platform::UniqueGdiObject font(fonts::CreatePageFont(MainWindow::FontFaceName, ACheck.FontHeight, false));
    SelectObject(picture.Dc.get(), font.get());
    // Mirrored, the room is the picture's right edge inwards.
    RECT room = {0, 0, ACheck.Width, ACheck.Height};
    DrawTextW(picture.Dc.get(), ACheck.Text->c_str(), static_cast<int>(ACheck.Text->size()), &room,
              ACheck.Format | DT_NOCLIP | AReading);
    RECT ink = picture.Bounds();
    RECT line = {};
    DrawTextW(picture.Dc.get(), ACheck.Text->c_str(), static_cast<int>(ACheck.Text->size()), &line,
              DT_CALCRECT | DT_SINGLELINE | AReading);
    const std::wstring oneLine = L" (on one line " + Number(line.right) + L" px of " + Number(ACheck.Width) + L")";
    const int left = AReading != 0 ? picture.Width - ACheck.Width : 0;
    if (ink.right == 0) Fail(AWhere, ACheck.Name, L"nothing drawn");
    else if (ink.left < left || ink.right > left + ACheck.Width)
        Fail(AWhere, ACheck.Name, L"too wide: ink " + Number(ink.left - left) + L".." + Number(ink.right - left) +
                                      L" in a room " + Number(ACheck.Width) + L" wide" + oneLine);
    else if (ink.bottom > ACheck.Height)
        Fail(AWhere, ACheck.Name, L"cut: ink down to " + Number(ink.bottom) + L" in a room " + Number(ACheck.Height) +
                                      L" high" + oneLine);
}

// The sentence and its link, as the window places the link.
void CheckLicence(const std::wstring& AWhere, int ANormalHeight, int ALinkHeight, int AWidth, int AHeight,
                  UINT AReading) {
    ++checked;
    const bool mirrored = AReading != 0;
    TPicture sentence(AWidth, AHeight * 3, mirrored), link(AWidth, AHeight * 3, mirrored);
    platform::UniqueGdiObject normal(fonts::CreatePageFont(MainWindow::FontFaceName, ANormalHeight, false));
    platform::UniqueGdiObject underlined(fonts::CreatePageFont(MainWindow::FontFaceName, ALinkHeight, true));
    SelectObject(link.Dc.get(), underlined.get());
    RECT linkRect = {};
    DrawTextW(link.Dc.get(), Localizer::LicenseLinkText.c_str(), static_cast<int>(Localizer::LicenseLinkText.size()),
              &linkRect, DT_CALCRECT | DT_SINGLELINE | AReading);
    SelectObject(sentence.Dc.get(), normal.get());
    const fonts::TLinkPlace place =
        fonts::PlaceLink(sentence.Dc.get(), Localizer::LicenseText, linkRect.right, AWidth, AReading);
    const int line = fonts::LineHeight(sentence.Dc.get());
    RECT room = {0, 0, AWidth, AHeight * 3};
    DrawTextW(sentence.Dc.get(), Localizer::LicenseText.c_str(), static_cast<int>(Localizer::LicenseText.size()), &room,
              fonts::LabelFormat | AReading);
    RECT at = {place.Offset, place.Line * line, place.Offset + linkRect.right, place.Line * line + linkRect.bottom};
    DrawTextW(link.Dc.get(), Localizer::LicenseLinkText.c_str(), static_cast<int>(Localizer::LicenseLinkText.size()),
              &at, DT_SINGLELINE | DT_NOCLIP | AReading);
    const RECT words = sentence.Bounds(), linkInk = link.Bounds();
    if (words.bottom > AHeight || linkInk.bottom > AHeight)
        Fail(AWhere, L"licence", L"cut: ink down to " + Number(std::max(words.bottom, linkInk.bottom)) +
                                     L" above the button at " + Number(AHeight));
    if (linkInk.right == 0 || linkInk.left < 0 || linkInk.right > AWidth)
        Fail(AWhere, L"licence link", L"outside the sentence's width");
    for (int y = 0; y < AHeight * 3; ++y)
        for (int x = 0; x < AWidth; ++x)
            if (sentence.Ink(x, y) && link.Ink(x, y)) {
                Fail(AWhere, L"licence link", L"covers the sentence at " + Number(x) + L"," + Number(y));
                return;
            }
}

// How many characters of the window's texts the chosen face has no glyph
// for: each would show as a box.
long MissingGlyphs() {
    platform::UniqueMemoryDc dc(CreateCompatibleDC(nullptr));
    platform::UniqueGdiObject font(fonts::CreatePageFont(MainWindow::FontFaceName, -16, false));
    SelectObject(dc.get(), font.get());
    std::vector<std::uint8_t> buffer(GetFontUnicodeRanges(dc.get(), nullptr));
    auto* glyphs = reinterpret_cast<GLYPHSET*>(buffer.data());
    if (buffer.size() < sizeof(GLYPHSET) || GetFontUnicodeRanges(dc.get(), glyphs) == 0) return -1;
    long missing = 0;
    for (const std::wstring* text :
         {&Localizer::StartInstallText, &Localizer::CleanerOfferText, &Localizer::OfferTitleText,
          &Localizer::OfferSubtitleText, &Localizer::LicenseText, &Localizer::LicenseLinkText, &Localizer::ProgressText,
          &Localizer::FinalizingText, &Localizer::PausedNoticeText, &Localizer::BrandText, &Localizer::ProductTitleText})
        for (wchar_t c : *text) {
            bool found = c < 0x20;
            for (DWORD r = 0; r < glyphs->cRanges && !found; ++r)
                found = c >= glyphs->ranges[r].wcLow && c < glyphs->ranges[r].wcLow + glyphs->ranges[r].cGlyphs;
            missing += found ? 0 : 1;
        }
    return missing;
}

void CheckLanguage(const std::wstring& ATag, bool AWithErrorCode) {
    Globals::ForcedLanguage = ATag;
    Globals::ErrorCode = AWithErrorCode ? L"0x80070005" : L"";
    Localizer::Init();
    MainWindow::ChooseFontFace();
    const std::wstring percent = Localizer::ProgressPercent(100);
    const UINT reading = Localizer::RightToLeft ? DT_RTLREADING : 0;
    for (int dpi : {96, 144, 192}) {
        const std::wstring where = Localizer::LanguageTag + L" " + Number(dpi) + (AWithErrorCode ? L" error" : L"");
        auto s = [dpi](int value) { return layout::ScaleForDpi(value, dpi); };
        // The client area as the window has it at 96 DPI, scaled.
        const layout::TWindowLayout l =
            layout::ComputeLayout(dpi, s(544), s(303), AWithErrorCode, Localizer::LanguageTag != L"en");
        const int button = l.InstallButton.Width() - 2 * l.ButtonCap - 2 * s(8);
        const int checkBox = l.OfferCheckBox.Width() - s(20);
        const layout::TRect& status = l.StatusRect;
        std::vector<TCheck> checks = {
            {L"brand", &Localizer::BrandText, l.NormalFontHeight, l.BrandLabel.Width(), l.BrandLabel.Height(),
             fonts::LabelFormat},
            {L"product title", &Localizer::ProductTitleText, l.LargeFontHeight, l.ProductTitleLabel.Width(),
             l.ProductTitleLabel.Height(), fonts::LabelFormat},
            {L"offer title", &Localizer::OfferTitleText, l.TitleFontHeight, l.OfferTitleLabel.Width(),
             l.OfferTitleLabel.Height(), fonts::LabelFormat},
            {L"install button", &Localizer::StartInstallText, l.LargeFontHeight, button, l.InstallButton.Height(),
             DT_CENTER | DT_VCENTER | DT_SINGLELINE},
            {L"offer check box", &Localizer::CleanerOfferText, l.NormalFontHeight, checkBox,
             l.OfferCheckBox.Height(), fonts::LabelFormat},
            {L"status", &percent, l.NormalFontHeight, status.Width(), status.Height(), DT_CENTER | DT_WORDBREAK},
            {L"finalizing", &Localizer::FinalizingText, l.NormalFontHeight, status.Width(), status.Height(),
             DT_CENTER | DT_WORDBREAK},
            {L"paused notice", &Localizer::PausedNoticeText, l.NormalFontHeight, l.PausedStatusArea.Width(),
             l.PausedStatusArea.Height(), DT_CENTER | DT_WORDBREAK},
        };
        if (AWithErrorCode)
            checks.push_back({L"offer subtitle", &Localizer::OfferSubtitleText, l.NormalFontHeight,
                              l.OfferSubtitleLabel.Width(), l.OfferSubtitleLabel.Height(), fonts::LabelFormat});
        for (const TCheck& check : checks) CheckText(where, check, reading);
        // The sentence keeps clear of the button below it.
        CheckLicence(where, l.NormalFontHeight, l.LinkFontHeight, l.LicenseLabel.Width(),
                     l.InstallButton.Top - l.LicenseLabel.Top - s(4), reading);
    }
    if (!AWithErrorCode)
        Write(L"language " + ATag + L" " + Localizer::LanguageTag + L" " + MainWindow::FontFaceName + L"|" +
              Number(MissingGlyphs()) + L"|" + Localizer::StartInstallText + L"\n");
}

// "measure FILE": for each line "<language>|<height>|<text>" of FILE
// (UTF-8), the text's width on one line in that language's face, for a
// translator trying a shorter text.
int Measure(const wchar_t* APath) {
    platform::UniqueFile file(CreateFileW(APath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return 2;
    std::string bytes(1 << 16, '\0');
    DWORD read = 0;
    ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    bytes.resize(read);
    std::wstring all;
    texts::DecodeUtf8(bytes, all);
    platform::UniqueMemoryDc dc(CreateCompatibleDC(nullptr));
    for (std::size_t at = 0; at < all.size();) {
        std::size_t end = all.find(L'\n', at);
        if (end == std::wstring::npos) end = all.size();
        const std::wstring line = all.substr(at, end - at);
        at = end + 1;
        const std::size_t bar = line.find(L'|'), second = line.find(L'|', bar + 1);
        if (bar == std::wstring::npos || second == std::wstring::npos) continue;
        Globals::ForcedLanguage = line.substr(0, bar);
        Localizer::Init();
        MainWindow::ChooseFontFace();
        const std::wstring text = texts::Fill(line.substr(second + 1), {L"Varnholt Quellox", L"Varnholt", L"0x80070005", L"100"});
        platform::UniqueGdiObject font(fonts::CreatePageFont(MainWindow::FontFaceName, -_wtoi(line.substr(bar + 1).c_str()), false));
        SelectObject(dc.get(), font.get());
        RECT rect = {};
        DrawTextW(dc.get(), text.c_str(), static_cast<int>(text.size()), &rect, DT_CALCRECT | DT_SINGLELINE);
        Write(Number(rect.right) + L" " + text + L"\n");
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Globals::Init();
    MainWindow::LoadFontResource();
    if (argc == 3 && std::wstring(argv[1]) == L"measure") return Measure(argv[2]);
    std::vector<std::wstring> tags = {L"en"};
    HMODULE self = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(self, L"TEXTS", MAKEINTRESOURCEW(10));
    HGLOBAL loaded = found != nullptr ? LoadResource(self, found) : nullptr;
    texts::TTable table;
    if (loaded != nullptr &&
        texts::ReadTable(static_cast<const std::uint8_t*>(LockResource(loaded)), SizeofResource(self, found), table))
        for (std::size_t i = 0; i < table.Count; ++i)
            tags.emplace_back(table.Languages[i].Tag.begin(), table.Languages[i].Tag.end());
    for (const std::wstring& tag : tags) {
        CheckLanguage(tag, false);
        CheckLanguage(tag, true);
    }
    Write(L"checked " + Number(checked) + L" texts in " + Number(static_cast<long>(tags.size())) + L" languages, " +
          Number(failed) + L" do not fit\n");
    return failed == 0 ? 0 : 1;
}
