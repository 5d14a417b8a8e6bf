// The window's fonts and the licence link's place (see uFonts.h).
#include "ui/uFonts.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

#include "platform/Unique.h"

namespace fonts {

namespace {

// Whether a font of AFace exists (not another face in its place) and has a
// glyph of its own for every character of AText (the system may draw the
// others from a linked face, or as boxes).
bool FaceCovers(HDC dc, const std::wstring& AFace, const std::wstring& AText) {
    if (AFace.empty() || AFace.size() >= LF_FACESIZE) return false;
    platform::UniqueGdiObject font(CreatePageFont(AFace, -16, false));
    if (!font) return false;
    HGDIOBJ previous = SelectObject(dc, font.get());
    wchar_t face[LF_FACESIZE] = {};
    bool covers = GetTextFaceW(dc, LF_FACESIZE, face) > 0 && lstrcmpiW(face, AFace.c_str()) == 0;
    const DWORD size = covers ? GetFontUnicodeRanges(dc, nullptr) : 0;
    std::vector<std::uint8_t> buffer(size);
    auto* ranges = reinterpret_cast<GLYPHSET*>(buffer.data());
    covers = size >= sizeof(GLYPHSET) && GetFontUnicodeRanges(dc, ranges) == size;
    for (std::size_t i = 0; covers && i < AText.size(); ++i) {
        bool found = AText[i] < 0x20;
        for (DWORD r = 0; r < ranges->cRanges && !found; ++r)
            found = AText[i] >= ranges->ranges[r].wcLow && AText[i] < ranges->ranges[r].wcLow + ranges->ranges[r].cGlyphs;
        covers = found;
    }
    SelectObject(dc, previous);
    return covers;
}

// What the enumeration of every installed face looks for, and finds.
struct TSearch {
    HDC Dc;
    const std::wstring* Shown;
    std::wstring Found;
};

int CALLBACK TryFace(const LOGFONTW* AFont, const TEXTMETRICW*, DWORD, LPARAM ASearch) {
    auto* search = reinterpret_cast<TSearch*>(ASearch);
    // Faces for vertical writing ("@…") draw every line sideways.
    if (AFont->lfFaceName[0] == L'@' || !FaceCovers(search->Dc, AFont->lfFaceName, *search->Shown)) return 1;
    search->Found = AFont->lfFaceName;
    return 0;
}

// How many lines the label makes of the first ALength characters.
int Lines(HDC dc, const std::wstring& AText, std::size_t ALength, int AWidth, UINT AReading) {
    RECT rect = {0, 0, AWidth, 0};
    DrawTextW(dc, AText.c_str(), static_cast<int>(ALength), &rect, LabelFormat | DT_CALCRECT | AReading);
    const int line = LineHeight(dc);
    return line > 0 ? (rect.bottom + line - 1) / line : 0;
}

int Width(HDC dc, const wchar_t* AText, std::size_t ALength, UINT AReading) {
    RECT rect = {};
    DrawTextW(dc, AText, static_cast<int>(ALength), &rect, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX | AReading);
    return rect.right - rect.left;
}

}  // namespace

std::wstring ChooseFace(const wchar_t* AEmbedded, const std::wstring& ALanguage, const std::wstring& AShown) {
    // Chinese in traditional characters, Japanese and Korean each have faces
    // of their own: the same character is drawn differently in each.
    static constexpr const wchar_t* Japanese[] = {L"Yu Gothic UI", L"Meiryo UI", L"MS UI Gothic", L"Noto Sans CJK JP"};
    static constexpr const wchar_t* Traditional[] = {L"Microsoft JhengHei UI", L"Noto Sans CJK TC"};
    static constexpr const wchar_t* Simplified[] = {L"Microsoft YaHei UI", L"Noto Sans CJK SC"};
    static constexpr const wchar_t* Korean[] = {L"Malgun Gothic", L"Noto Sans CJK KR"};
    static constexpr const wchar_t* Others[] = {L"Segoe UI", L"Tahoma", L"Noto Sans", L"DejaVu Sans"};
    const std::wstring primary = ALanguage.substr(0, ALanguage.find(L'-'));
    const bool traditional = ALanguage == L"zh-tw" || ALanguage == L"zh-hk" || ALanguage == L"zh-mo" ||
                             ALanguage.find(L"hant") != std::wstring::npos;
    struct TList {
        const wchar_t* const* Faces;
        std::size_t Count;
    } lists[] = {{&AEmbedded, 1},
                 {Japanese, primary == L"ja" ? std::size(Japanese) : 0},
                 {Traditional, primary == L"zh" && traditional ? std::size(Traditional) : 0},
                 {Simplified, primary == L"zh" && !traditional ? std::size(Simplified) : 0},
                 {Korean, primary == L"ko" ? std::size(Korean) : 0},
                 {Others, std::size(Others)}};
    HDC screen = GetDC(nullptr);
    if (screen == nullptr) return AEmbedded;
    TSearch search = {screen, &AShown, {}};
    for (const TList& list : lists)
        for (std::size_t i = 0; i < list.Count && search.Found.empty(); ++i)
            if (FaceCovers(screen, list.Faces[i], AShown)) search.Found = list.Faces[i];
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof(metrics);
    if (search.Found.empty() && SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0) &&
        FaceCovers(screen, metrics.lfMessageFont.lfFaceName, AShown))
        search.Found = metrics.lfMessageFont.lfFaceName;
    LOGFONTW all = {};
    all.lfCharSet = DEFAULT_CHARSET;
    if (search.Found.empty()) EnumFontFamiliesExW(screen, &all, TryFace, reinterpret_cast<LPARAM>(&search), 0);
    ReleaseDC(nullptr, screen);
    return search.Found.empty() ? std::wstring(AEmbedded) : search.Found;
}

HFONT CreatePageFont(const std::wstring& AFace, int AHeight, bool AUnderline) {
    LOGFONTW font = {};
    font.lfHeight = AHeight;
    font.lfWeight = FW_NORMAL;
    font.lfUnderline = AUnderline;
    font.lfCharSet = DEFAULT_CHARSET;
    AFace.copy(font.lfFaceName, LF_FACESIZE - 1);
    return CreateFontIndirectW(&font);
}

int LineHeight(HDC ADc) {
    TEXTMETRICW metrics = {};
    return GetTextMetricsW(ADc, &metrics) ? metrics.tmHeight : 0;
}

TLinkPlace PlaceLink(HDC ADc, const std::wstring& ASentence, int ALinkWidth, int AWidth, UINT AReading) {
    // The sentence drawn as the label draws it, black on white, into a
    // picture of its own: the last line's ink ends where the link may begin.
    TLinkPlace place;
    const int line = LineHeight(ADc), lines = Lines(ADc, ASentence, ASentence.size(), AWidth, AReading);
    if (line <= 0 || lines <= 0 || AWidth <= 0) return place;
    place.Line = lines - 1;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = AWidth;
    info.bmiHeader.biHeight = -lines * line;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    platform::UniqueMemoryDc memory(CreateCompatibleDC(ADc));
    platform::UniqueGdiObject picture(memory ? CreateDIBSection(memory.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0)
                                             : nullptr);
    if (!picture || bits == nullptr) return place;
    // Laid out as the label's own DC lays it out, mirrored or not: the
    // picture's pixels are then the label's, and a mirrored line's end is
    // its leftmost ink.
    const bool mirrored = (GetLayout(ADc) & LAYOUT_RTL) != 0;
    HGDIOBJ previousPicture = SelectObject(memory.get(), picture.get());
    SetLayout(memory.get(), mirrored ? LAYOUT_RTL : 0);
    HGDIOBJ previousFont = SelectObject(memory.get(), GetCurrentObject(ADc, OBJ_FONT));
    PatBlt(memory.get(), 0, 0, AWidth, lines * line, WHITENESS);
    SetTextColor(memory.get(), RGB(0, 0, 0));
    SetBkMode(memory.get(), TRANSPARENT);
    RECT rect = {0, 0, AWidth, lines * line};
    DrawTextW(memory.get(), ASentence.c_str(), static_cast<int>(ASentence.size()), &rect, LabelFormat | AReading);
    GdiFlush();
    int end = 0;
    const auto* pixels = static_cast<const std::uint32_t*>(bits);
    for (int y = place.Line * line; y < lines * line; ++y)
        for (int x = 0; x < AWidth; ++x)
            if ((pixels[y * AWidth + x] & 0xFFFFFF) != 0xFFFFFF) end = std::max(end, mirrored ? AWidth - x : x + 1);
    SelectObject(memory.get(), previousFont);
    SelectObject(memory.get(), previousPicture);
    place.Offset = end + Width(ADc, L" ", 1, 0);
    if (place.Offset + ALinkWidth > AWidth) {
        place.Offset = 0;
        place.Line = lines;
    }
    return place;
}

}  // namespace fonts
