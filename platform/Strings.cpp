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

std::wstring LongPath(std::wstring_view path) { return L"\\\\?\\" + std::wstring(path); }

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

void AppendHex(std::wstring& text, std::uint64_t value, int digits) {
    static constexpr wchar_t hex[] = L"0123456789ABCDEF";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) text.push_back(hex[(value >> shift) & 0xF]);
}

static void AppendEncodedByte(std::wstring& out, unsigned byte) {
    out += L'%';
    AppendHex(out, byte, 2);
}

void AppendPercentEncoded(std::wstring& out, std::wstring_view value, bool (*keep)(char32_t)) {
    for (std::size_t i = 0; i < value.size();) {
        char32_t c = NextCodePoint(value, i);
        if (keep(c)) {
            out += static_cast<wchar_t>(c);
            continue;
        }
        std::string bytes;
        AppendUtf8(bytes, c);
        for (unsigned char byte : bytes) AppendEncodedByte(out, byte);
    }
}

char32_t NextCodePoint(std::wstring_view text, std::size_t& i) {
    char32_t c = static_cast<char32_t>(text[i++]);
    if (c >= 0xD800 && c <= 0xDBFF && i < text.size() && text[i] >= 0xDC00 && text[i] <= 0xDFFF)
        return 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(text[i++]) - 0xDC00);
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return 0xFFFD;
    return c;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace platform
