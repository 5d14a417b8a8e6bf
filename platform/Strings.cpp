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

static void AppendEncodedByte(std::wstring& out, unsigned byte) {
    out += L'%';
    AppendHex(out, byte, 2);
}

void AppendPercentEncoded(std::wstring& out, std::wstring_view value, bool (*keep)(char32_t)) {
    for (std::size_t i = 0; i < value.size(); ++i) {
        char32_t c = static_cast<char32_t>(value[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < value.size() && value[i + 1] >= 0xDC00 && value[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(value[++i]) - 0xDC00);
        } else if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            c = 0xFFFD;
        }
        if (keep(c)) {
            out += static_cast<wchar_t>(c);
        } else if (c < 0x80) {
            AppendEncodedByte(out, static_cast<unsigned>(c));
        } else if (c < 0x800) {
            AppendEncodedByte(out, 0xC0 | (c >> 6));
            AppendEncodedByte(out, 0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            AppendEncodedByte(out, 0xE0 | (c >> 12));
            AppendEncodedByte(out, 0x80 | ((c >> 6) & 0x3F));
            AppendEncodedByte(out, 0x80 | (c & 0x3F));
        } else {
            AppendEncodedByte(out, 0xF0 | (c >> 18));
            AppendEncodedByte(out, 0x80 | ((c >> 12) & 0x3F));
            AppendEncodedByte(out, 0x80 | ((c >> 6) & 0x3F));
            AppendEncodedByte(out, 0x80 | (c & 0x3F));
        }
    }
}

}  // namespace platform
