// The window's fonts and how its licence sentence lies: the face for the
// texts' script, the fonts made of it, and the link's place after the
// sentence as the label draws it. Shared by the window and its fitting test.
#pragma once

#include <windows.h>

#include <string>

namespace fonts {

// How a label (a static control) lays out its text, and the reading order
// of the window's language.
constexpr UINT LabelFormat = DT_LEFT | DT_EXPANDTABS | DT_WORDBREAK;

// The face for texts that hold every character of AShown, in the language
// ALanguage ("ja", "zh-cn"): AEmbedded (the window's own font) where it has
// them all, else the system's usual user-interface face for that language,
// a free face often installed in its place, the message boxes' face, or any
// installed face that has them.
std::wstring ChooseFace(const wchar_t* AEmbedded, const std::wstring& ALanguage, const std::wstring& AShown);

// A font of AFace, AHeight high (negative: the characters' height).
HFONT CreatePageFont(const std::wstring& AFace, int AHeight, bool AUnderline);

// Where the licence link goes: on the sentence's last line, a blank after
// its end, where the link (ALinkWidth wide) still fits in AWidth; else at
// the start of the line below. AOffset runs from the label's reading start
// (its right edge in a mirrored window). Measured as the label breaks the
// sentence, in the font selected into ADc.
struct TLinkPlace {
    int Offset = 0;
    int Line = 0;
};
TLinkPlace PlaceLink(HDC ADc, const std::wstring& ASentence, int ALinkWidth, int AWidth, UINT AReading);

// The height of one line of the font selected into ADc, as labels step.
int LineHeight(HDC ADc);

}  // namespace fonts
