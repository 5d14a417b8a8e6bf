// Small string helpers shared by the units; pure, no platform calls.
#include "platform/Strings.h"

namespace platform {

std::wstring Trim(std::wstring_view text) {
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && text[first] <= L' ') ++first;
    while (last > first && text[last - 1] <= L' ') --last;
    return std::wstring(text.substr(first, last - first));
}

static std::size_t FileNameStart(std::wstring_view path) {
    std::size_t separator = path.find_last_of(L"\\:");
    return separator == std::wstring_view::npos ? 0 : separator + 1;
}

std::wstring ExtractFileName(std::wstring_view path) {
    return std::wstring(path.substr(FileNameStart(path)));
}

std::wstring ChangeFileExt(std::wstring_view AName, std::wstring_view AExt) {
    std::size_t dot = AName.find_last_of(L'.');
    std::wstring result(AName);
    if (dot != std::wstring_view::npos && dot >= FileNameStart(AName)) result.resize(dot);
    result.append(AExt);
    return result;
}

void AppendDecimal(std::wstring& text, std::int64_t value) {
    wchar_t digits[24];
    int count = 0;
    std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) text.push_back(L'-');
    while (count > 0) text.push_back(digits[--count]);
}

void AppendHex(std::wstring& text, std::uint32_t value, int digits) {
    static constexpr wchar_t hex[] = L"0123456789ABCDEF";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) text.push_back(hex[(value >> shift) & 0xF]);
}

}  // namespace platform
