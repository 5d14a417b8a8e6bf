// The command line of the setup program. Pure.
#include "installer/uSetupCommandLine.h"

#include "platform/Strings.h"

namespace setupcmd {

namespace {

bool IsUnreserved(char32_t c) {
    return (c >= U'A' && c <= U'Z') || (c >= U'a' && c <= U'z') || (c >= U'0' && c <= U'9') || c == U'-' ||
           c == U'.' || c == U'_' || c == U'~';
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
    platform::AppendPercentEncoded(encoded, value, IsUnreserved);
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
