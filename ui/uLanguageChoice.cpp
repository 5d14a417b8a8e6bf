// The choice of the window's language.
#include "ui/uLanguageChoice.h"

namespace languages {

namespace {

wchar_t Folded(wchar_t c) { return c == L'_' ? L'-' : c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c; }

bool SameText(std::wstring_view ALeft, std::wstring_view ARight) {
    if (ALeft.size() != ARight.size()) return false;
    for (std::size_t i = 0; i < ALeft.size(); ++i)
        if (Folded(ALeft[i]) != Folded(ARight[i])) return false;
    return true;
}

struct TParts {
    std::wstring_view Language, Script;
};

// The primary language and its script: a script subtag where given, else
// the one a region implies where a language is written in two (Chinese).
TParts Split(std::wstring_view ATag) {
    TParts parts;
    std::wstring_view region;
    for (int index = 0; !ATag.empty(); ++index) {
        std::size_t end = 0;
        while (end < ATag.size() && Folded(ATag[end]) != L'-') ++end;
        const std::wstring_view subtag = ATag.substr(0, end);
        ATag.remove_prefix(end < ATag.size() ? end + 1 : end);
        if (index == 0) parts.Language = subtag;
        else if (subtag.size() == 4 && parts.Script.empty()) parts.Script = subtag;
        else if ((subtag.size() == 2 || subtag.size() == 3) && region.empty()) region = subtag;
    }
    if (SameText(parts.Language, L"zh") && parts.Script.empty())
        parts.Script = SameText(region, L"tw") || SameText(region, L"hk") || SameText(region, L"mo") ? L"hant" : L"hans";
    return parts;
}

}  // namespace

std::wstring Normalize(std::wstring_view ATag) {
    std::wstring tag;
    for (wchar_t c : ATag) tag += Folded(c);
    return tag;
}

bool IsEnglish(std::wstring_view ATag) { return SameText(Split(ATag).Language, L"en"); }

int Choose(const std::vector<std::wstring>& APreferred, const std::vector<std::wstring>& AAvailable) {
    for (const std::wstring& wanted : APreferred) {
        if (wanted.empty()) continue;
        const TParts parts = Split(wanted);
        if (SameText(parts.Language, L"en")) return -1;
        for (std::size_t i = 0; i < AAvailable.size(); ++i)
            if (SameText(AAvailable[i], wanted)) return static_cast<int>(i);
        for (std::size_t i = 0; i < AAvailable.size(); ++i) {
            const TParts offered = Split(AAvailable[i]);
            if (SameText(offered.Language, parts.Language) &&
                (SameText(offered.Script, parts.Script) || offered.Script.empty() || parts.Script.empty()))
                return static_cast<int>(i);
        }
    }
    return -1;
}

}  // namespace languages
