// The command line of the setup program. Pure.
#include "installer/uSetupCommandLine.h"

#include "platform/Strings.h"

namespace setupcmd {

namespace {

bool IsUnreserved(char32_t c) {
    return (c >= U'A' && c <= U'Z') || (c >= U'a' && c <= U'z') || (c >= U'0' && c <= U'9') || c == U'-' ||
           c == U'.' || c == U'_' || c == U'~';
}

void AppendPercentEncoded(std::wstring& out, unsigned byte) {
    out += L'%';
    platform::AppendHex(out, byte, 2);
}

// One code point as UTF-8, percent-encoded; a lone surrogate becomes U+FFFD.
void AppendEncodedCodePoint(std::wstring& out, char32_t c) {
    if (c < 0x80) {
        AppendPercentEncoded(out, static_cast<unsigned>(c));
    } else if (c < 0x800) {
        AppendPercentEncoded(out, 0xC0 | (c >> 6));
        AppendPercentEncoded(out, 0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        AppendPercentEncoded(out, 0xE0 | (c >> 12));
        AppendPercentEncoded(out, 0x80 | ((c >> 6) & 0x3F));
        AppendPercentEncoded(out, 0x80 | (c & 0x3F));
    } else {
        AppendPercentEncoded(out, 0xF0 | (c >> 18));
        AppendPercentEncoded(out, 0x80 | ((c >> 12) & 0x3F));
        AppendPercentEncoded(out, 0x80 | ((c >> 6) & 0x3F));
        AppendPercentEncoded(out, 0x80 | (c & 0x3F));
    }
}

void AppendKey(std::wstring& line, const wchar_t* key) {
    line += L" /";
    line += key;
}

void AppendQuotedKey(std::wstring& line, const wchar_t* key, const std::wstring& value) {
    AppendKey(line, key);
    line += L":\"";
    line += QuotedValue(value);
    line += L'"';
}

}  // namespace

std::wstring QuotedValue(const std::wstring& value) {
    std::wstring safe;
    for (wchar_t c : value) {
        if (c != L'"' && static_cast<std::uint32_t>(c) >= 0x20 && c != 0x7F) safe += c;
    }
    while (!safe.empty() && safe.back() == L'\\') safe.pop_back();
    return safe;
}

std::wstring UrlParamValue(const std::wstring& value) {
    std::wstring encoded;
    for (std::size_t i = 0; i < value.size(); ++i) {
        char32_t c = static_cast<char32_t>(value[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < value.size() && value[i + 1] >= 0xDC00 && value[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(value[++i]) - 0xDC00);
        } else if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            c = 0xFFFD;
        }
        if (IsUnreserved(c)) encoded += static_cast<wchar_t>(c);
        else AppendEncodedCodePoint(encoded, c);
    }
    return encoded;
}

std::wstring ComposeSetupCommandLine(const TSetupSettings& s) {
    std::wstring line = L"\"" + s.SetupFileName + L"\" /verysilent /execute";
    AppendKey(line, L"FromStubInstall");
    if (s.AutoCSOffer) AppendKey(line, L"AutoCSOffer");
    if (s.DisplayOffers) AppendKey(line, L"DisplayOffers");
    if (!s.ErrorCode.empty()) AppendQuotedKey(line, L"TestsErrorCode", s.ErrorCode);
    if (!s.OpenWebPageURL.empty()) AppendQuotedKey(line, L"OpenWebPage", s.OpenWebPageURL);
    if (!s.SkipAfterInstallPage) {
        AppendKey(line, L"showurl");
        AppendKey(line, L"urlparams");
        line += L":dt=";
        platform::AppendDecimal(line, s.DownloadSeconds);
        line += L"&dc=";
        line += s.ProductName;
        if (!s.Campaign.empty()) line += L"_" + UrlParamValue(s.Campaign);
    }
    if (!s.Campaign.empty()) AppendQuotedKey(line, L"Campaign", s.Campaign);
    if (s.RunApplication) AppendKey(line, L"RunApplication");
    if (!s.GAParam.empty()) AppendQuotedKey(line, L"ga", s.GAParam);
    return line;
}

}  // namespace setupcmd
