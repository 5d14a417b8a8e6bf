// What the download makes of the server's answer. Pure.
#include "installer/uResumeRules.h"

namespace resume {

namespace {

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// Takes the leading decimal number off AText.
bool TakeNumber(std::wstring_view& AText, std::uint64_t& AValue) {
    std::size_t digits = 0;
    while (digits < AText.size() && IsDigit(AText[digits])) ++digits;
    if (!ParseDecimal(AText.substr(0, digits), AValue)) return false;
    AText.remove_prefix(digits);
    return true;
}

bool TakeChar(std::wstring_view& AText, wchar_t AChar) {
    if (AText.empty() || AText.front() != AChar) return false;
    AText.remove_prefix(1);
    return true;
}

bool IsBytesUnit(std::wstring_view AText) {
    if (AText.size() != 5) return false;
    for (std::size_t i = 0; i < 5; ++i) {
        wchar_t c = AText[i];
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != L"bytes"[i]) return false;
    }
    return true;
}

TPlan Plan(TAction AAction, std::uint64_t ATotal) {
    if (ATotal > MaxSetupSize) return {};
    return {AAction, static_cast<std::uint32_t>(ATotal)};
}

}  // namespace

bool ParseDecimal(std::wstring_view AText, std::uint64_t& AValue) {
    if (AText.empty() || AText.size() > 19) return false;
    std::uint64_t value = 0;
    for (wchar_t c : AText) {
        if (!IsDigit(c)) return false;
        value = value * 10 + static_cast<std::uint64_t>(c - L'0');
    }
    AValue = value;
    return true;
}

bool ParseContentRange(std::wstring_view AText, TContentRange& ARange) {
    ARange = {};
    if (AText.size() < 6 || !IsBytesUnit(AText.substr(0, 5))) return false;
    AText.remove_prefix(5);
    if (!TakeChar(AText, L' ')) return false;
    while (TakeChar(AText, L' ')) {
    }
    if (TakeChar(AText, L'*')) {
        ARange.Satisfied = false;
    } else {
        if (!TakeNumber(AText, ARange.First) || !TakeChar(AText, L'-') || !TakeNumber(AText, ARange.Last) ||
            ARange.Last < ARange.First)
            return false;
        ARange.Satisfied = true;
    }
    if (!TakeChar(AText, L'/')) return false;
    if (AText == L"*") return ARange.Satisfied;
    if (!ParseDecimal(AText, ARange.Total)) return false;
    ARange.HasTotal = true;
    return !ARange.Satisfied || ARange.Last < ARange.Total;
}

TPlan PlanAnswer(std::uint32_t ABytesOnDisk, std::uint32_t AStatus, std::wstring_view AContentLength,
                 std::wstring_view AContentRange) {
    std::uint64_t length = 0;
    bool hasLength = ParseDecimal(AContentLength, length);
    TContentRange range;
    bool hasRange = ParseContentRange(AContentRange, range);
    switch (AStatus) {
    case 200:
    case 203:
        // The whole file, whatever was asked: it starts at byte 0.
        if (!hasLength) return {};
        return Plan(TAction::Restart, length);
    case 206:
        // Only the bytes that follow those on disk, to the end of the file.
        // Without a total ("/*") nothing says the range runs to the end: a
        // part taken for the whole would fail the check and lose the resume.
        if (!hasLength || !hasRange || !range.Satisfied || range.First != ABytesOnDisk ||
            range.Last - range.First + 1 != length || !range.HasTotal || range.Total != range.Last + 1)
            return {};
        return Plan(TAction::Append, ABytesOnDisk + length);
    case 416:
        // Nothing left to send: the file on disk is whole when its size is
        // the one the server names.
        if (ABytesOnDisk == 0 || !hasRange || range.Satisfied || !range.HasTotal || range.Total != ABytesOnDisk)
            return {};
        return Plan(TAction::Complete, ABytesOnDisk);
    default:
        return {};
    }
}

std::uint32_t ReadSize(std::uint32_t AAvailable, std::uint32_t AChunk, std::uint32_t ABytesDone,
                       std::uint32_t ATotalSize) {
    if (ABytesDone >= ATotalSize) return 0;
    std::uint32_t wanted = AAvailable < AChunk ? AAvailable : AChunk;
    return wanted < ATotalSize - ABytesDone ? wanted : ATotalSize - ABytesDone;
}

}  // namespace resume
