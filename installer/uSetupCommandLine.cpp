// The command line of the setup program. Pure.
#include "installer/uSetupCommandLine.h"

#include <algorithm>
#include <vector>

#include "platform/Strings.h"
#include "startup/uSettingsRules.h"

namespace setupcmd {

namespace {

bool IsUnreserved(char32_t c) {
    return (c >= U'A' && c <= U'Z') || (c >= U'a' && c <= U'z') || (c >= U'0' && c <= U'9') || c == U'-' ||
           c == U'.' || c == U'_' || c == U'~';
}

bool StartsWithIgnoringCase(const std::wstring& text, const wchar_t* prefix) {
    for (std::size_t i = 0; prefix[i] != L'\0'; ++i) {
        if (i >= text.size()) return false;
        wchar_t c = text[i];
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

void AppendKey(std::wstring& line, const wchar_t* key) {
    line += L" /";
    line += key;
}

// AValue has passed the filter: no quote can end it early and no backslash
// can escape its closing quote.
void AppendQuotedKey(std::wstring& line, const wchar_t* key, const std::wstring& AValue) {
    AppendKey(line, key);
    line += L":\"";
    line += AValue;
    line += L'"';
}

}  // namespace

std::wstring SetupCampaign(const TSetupSettings& s) {
    return rules::AddVariantSuffix(rules::SetupValue(s.CampaignSource), s.ABVariant);
}

std::wstring SetupWebPage(const std::wstring& AURL) {
    std::wstring url = rules::SetupValue(AURL);
    if (StartsWithIgnoringCase(url, L"http://") || StartsWithIgnoringCase(url, L"https://")) return url;
    return {};
}

std::wstring UrlParamValue(const std::wstring& value) {
    std::wstring encoded;
    platform::AppendPercentEncoded(encoded, value, IsUnreserved);
    return encoded;
}

std::wstring ComposeSetupCommandLine(const TSetupSettings& s) {
    const std::wstring errorCode = rules::SetupValue(s.ErrorCode);
    const std::wstring webPage = SetupWebPage(s.OpenWebPageURL);
    const std::wstring campaign = SetupCampaign(s);
    const std::wstring gaParam = rules::SetupValue(s.GAParam);

    std::wstring line = L"\"" + s.SetupFileName + L"\" /verysilent /execute";
    AppendKey(line, L"FromStubInstall");
    if (s.AutoCSOffer) AppendKey(line, L"AutoCSOffer");
    if (s.DisplayOffers) AppendKey(line, L"DisplayOffers");
    if (!errorCode.empty()) AppendQuotedKey(line, L"TestsErrorCode", errorCode);
    if (!webPage.empty()) AppendQuotedKey(line, L"OpenWebPage", webPage);
    if (!s.SkipAfterInstallPage) {
        AppendKey(line, L"showurl");
        AppendKey(line, L"urlparams");
        line += L":dt=";
        platform::AppendDecimal(line, s.DownloadSeconds);
        line += L"&dc=";
        line += s.ProductName;
        line += L"_" + UrlParamValue(campaign);
    }
    AppendQuotedKey(line, L"Campaign", campaign);
    if (s.RunApplication) AppendKey(line, L"RunApplication");
    if (!gaParam.empty()) AppendQuotedKey(line, L"ga", gaParam);
    return line;
}

namespace {

wchar_t UpperAscii(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

// The name of "NAME=value" in upper case; a name may itself begin with "="
// (the per-drive folders, "=C:=C:\...").
std::wstring UpperName(std::wstring_view entry) {
    std::size_t equals = entry.find(L'=', 1);
    std::wstring name(entry.substr(0, equals));
    std::transform(name.begin(), name.end(), name.begin(), UpperAscii);
    return name;
}

}  // namespace

const wchar_t* const SetupEnvironmentNames[] = {
    L"SYSTEMROOT", L"WINDIR", L"SYSTEMDRIVE",
    L"PROGRAMFILES", L"PROGRAMFILES(X86)", L"PROGRAMW6432",
    L"COMMONPROGRAMFILES", L"COMMONPROGRAMFILES(X86)", L"COMMONPROGRAMW6432",
    L"PROGRAMDATA", L"ALLUSERSPROFILE", L"PUBLIC",
    L"PATH", L"PATHEXT", L"COMSPEC",
    L"NUMBER_OF_PROCESSORS", L"PROCESSOR_ARCHITECTURE", L"PROCESSOR_IDENTIFIER", L"PROCESSOR_LEVEL",
    L"PROCESSOR_REVISION", L"OS", L"COMPUTERNAME",
    L"USERPROFILE", L"TEMP", L"TMP",
};
const std::size_t SetupEnvironmentNameCount = sizeof(SetupEnvironmentNames) / sizeof(SetupEnvironmentNames[0]);

namespace {

bool IsOneOf(const std::wstring& AUpperName, const wchar_t* const* ANames, std::size_t ACount) {
    for (std::size_t i = 0; i < ACount; ++i)
        if (AUpperName == ANames[i]) return true;
    return false;
}

// The names whose values come from AFolders, never from the block.
const wchar_t* const FolderNames[] = {L"SYSTEMROOT", L"WINDIR", L"SYSTEMDRIVE", L"USERPROFILE", L"TEMP", L"TMP"};

// Whether the entry a sorts before b: by name without regard to case, then
// by the whole entry, so that the order is fixed. No copies: the sort
// compares often.
bool SortsBefore(const std::wstring& a, const std::wstring& b) {
    for (std::size_t i = 0;; ++i) {
        // A name ends at its first "=" after the first character.
        wchar_t left = i < a.size() && (i == 0 || a[i] != L'=') ? UpperAscii(a[i]) : L'\0';
        wchar_t right = i < b.size() && (i == 0 || b[i] != L'=') ? UpperAscii(b[i]) : L'\0';
        if (left != right) return left < right;
        if (left == L'\0') return a < b;
    }
}

// The drive of a drive path ("C:"), else empty.
std::wstring DriveOf(const std::wstring& APath) {
    return APath.size() >= 2 && APath[1] == L':' ? APath.substr(0, 2) : std::wstring();
}

}  // namespace

std::wstring ComposeSetupEnvironment(std::wstring_view AMachineEnvironment, const TSetupFolders& AFolders) {
    std::vector<std::wstring> entries;
    for (std::size_t at = 0; at < AMachineEnvironment.size() && AMachineEnvironment[at] != L'\0';) {
        std::size_t end = AMachineEnvironment.find(L'\0', at);
        if (end == std::wstring_view::npos) end = AMachineEnvironment.size();
        std::wstring_view entry = AMachineEnvironment.substr(at, end - at);
        std::wstring name = UpperName(entry);
        at = end + 1;
        if (entry.find(L'=', 1) == std::wstring_view::npos ||
            !IsOneOf(name, SetupEnvironmentNames, SetupEnvironmentNameCount) ||
            IsOneOf(name, FolderNames, sizeof(FolderNames) / sizeof(FolderNames[0])))
            continue;
        // What WOW64 gives a 32-bit process: the machine's architecture
        // moves to PROCESSOR_ARCHITEW6432, and x86 takes its place (below).
        if (AFolders.Wow64 && name == L"PROCESSOR_ARCHITECTURE")
            entries.push_back(L"PROCESSOR_ARCHITEW6432" + std::wstring(entry.substr(name.size())));
        else
            entries.emplace_back(entry);
    }
    const std::wstring& profile = AFolders.UserProfile;
    const std::wstring systemDrive = DriveOf(AFolders.WindowsFolder), homeDrive = DriveOf(profile);
    // Windows sets the home folder of a user without one of its own to the
    // profile.
    const std::wstring homePath = homeDrive.empty() ? std::wstring() : profile.substr(2);
    const std::wstring architecture = AFolders.Wow64 ? L"x86" : L"";
    const struct {
        const wchar_t* Name;
        const std::wstring& Value;
    } values[] = {
        {L"SystemRoot", AFolders.WindowsFolder}, {L"windir", AFolders.WindowsFolder},
        {L"SystemDrive", systemDrive},           {L"USERPROFILE", profile},
        {L"HOMEDRIVE", homeDrive},               {L"HOMEPATH", homePath},
        {L"APPDATA", AFolders.RoamingAppData},   {L"LOCALAPPDATA", AFolders.LocalAppData},
        {L"USERNAME", AFolders.UserName},        {L"USERDOMAIN", AFolders.UserDomain},
        {L"TEMP", AFolders.TempFolder},          {L"TMP", AFolders.TempFolder},
        {L"PROCESSOR_ARCHITECTURE", architecture},
    };
    for (const auto& value : values)
        if (!value.Value.empty()) entries.push_back(value.Name + (L"=" + value.Value));
    // std::sort needs no buffer of its own (a stable sort would bring in the
    // C++ library's allocation and exception support).
    std::sort(entries.begin(), entries.end(), SortsBefore);
    std::wstring block;
    for (const std::wstring& entry : entries) {
        block += entry;
        block += L'\0';
    }
    // An empty block is two nulls.
    if (entries.empty()) block += L'\0';
    block += L'\0';
    return block;
}

}  // namespace setupcmd
