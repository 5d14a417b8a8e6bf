// Globals: the process-wide settings, gathered once by Init before any
// window or thread exists and only read afterwards, and three small services.
#include "startup/uGlobals.h"

#include "platform/ProtectedFolder.h"
#include "platform/Unique.h"
#include "startup/uPatcher.h"
#include "startup/uSettingsRules.h"

// The state that needs clean-up, defined in this unit only: an inline
// definition in the header gives every unit that includes it its own copy
// of the start-up and clean-up code.
std::wstring Globals::MakerName;
std::wstring Globals::ProductName;
std::wstring Globals::FullProductName;
std::wstring Globals::VersionTag;
std::wstring Globals::ProductYear;
std::wstring Globals::SetupFileName;
std::wstring Globals::Campaign;
std::wstring Globals::CampaignSource;
std::wstring Globals::DownloadPath;
std::wstring Globals::OpenWebPage;
std::wstring Globals::ErrorCode;
std::wstring Globals::ForcedLanguage;
std::wstring Globals::GAParam;

namespace {

constexpr const wchar_t* ProductGuid = L"E49A1D27-6C03-4F58-9B7E-31A5D0C6F2E8";
constexpr const wchar_t* OfferedProductGuid = L"8B3F0C61-2E7D-4A95-B0C4-6D12E9F8A7B3";
constexpr const wchar_t* DownloadFolderName = L"QuelloxSetup-Download";
constexpr const wchar_t* StubGuid = L"5D1E7A40-93C2-4B8F-A6E1-0F47C2B9D358";

std::uint32_t RandomStart() {
    LARGE_INTEGER counter;
    if (QueryPerformanceCounter(&counter)) return static_cast<std::uint32_t>(counter.QuadPart);
    return GetTickCount();
}

}  // namespace

void Globals::Init() {
    // The system shows no error boxes of its own for this process.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    ABVariant = rules::DrawABVariant(RandomStart());
    CheckOSVersion();

    MakerName = L"Varnholt";
    ProductName = L"Quellox";
    VersionTag = L"quellox1.6.9restart";
    FullProductName = MakerName + L" " + ProductName;
    ProductYear = L"2015";

    HideTrayIcon = false;
    DownloadPath.clear();
    OpenWebPage.clear();
    DisplayOffers = true;
    Campaign.clear();
    CampaignSource.clear();
    RunApplication = false;
    SkipStart = false;
    SkipAfterInstallPage = false;
    GAParam.clear();

    // The download is kept, while partial, in a folder of our own that only
    // SYSTEM and the Administrators can write, never in the user's temporary
    // folder, which the user can point anywhere.
    SetupFileName = platform::ProgramDataFolder() + L"\\" + DownloadFolderName + L"\\" + StubGuid + L"_quellox_setup.exe";
    ReadCommandLine();
    AutoCSOffer = !IsUninstallKeyPresent(OfferedProductGuid);
    AutoCSOfferDefault = true;
    ReadFileNameErrorCode();
}

DWORD Globals::GetTickCountDiff(DWORD AValue) { return rules::TickCountDiff(GetTickCount(), AValue); }

bool Globals::IsProductInstalled() { return IsUninstallKeyPresent(ProductGuid); }

std::wstring Globals::GetInstanceName() {
    return std::wstring(StubGuid) + L"_stub_installer_" + MakerName + L"_" + ProductName;
}

bool Globals::IsUninstallKeyPresent(const wchar_t* AGuid) {
    std::wstring path = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{";
    path += AGuid;
    path += L"}_is1";
    platform::UniqueKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | platform::ProgramRegistryView, key.put()) == ERROR_SUCCESS;
}

bool Globals::IsSameName(const std::wstring& ALeft, const std::wstring& ARight) {
    return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, ALeft.c_str(), static_cast<int>(ALeft.size()),
                          ARight.c_str(), static_cast<int>(ARight.size())) == CSTR_EQUAL;
}

void Globals::CheckOSVersion() {
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version))) ExitProcess(GetLastError());
}

void Globals::ReadCommandLine() {
    rules::TSwitchSettings switches;
    rules::ReadSwitches(rules::SplitArguments(GetCommandLineW()), &Globals::IsSameName, switches);
    HideTrayIcon = switches.HideTrayIcon;
    DisplayOffers = switches.DisplayOffers;
    RunApplication = switches.RunApplication;
    SkipStart = switches.SkipStart;
    SkipAfterInstallPage = switches.SkipAfterInstallPage;
    DownloadPath = switches.DownloadPath;
    OpenWebPage = switches.OpenWebPage;
    ForcedLanguage = switches.Language;

    // The block is read whether or not a campaign came on the command line.
    TSignaturePatcher patcher(ProgramPath());
    CampaignSource = rules::ChooseCampaign(switches.Campaign, patcher.IsValid(), patcher.GetData(dtCookie));
    Campaign = rules::AddVariantSuffix(CampaignSource, ABVariant);
    ReadFileNameGAParam();
}

void Globals::ReadFileNameGAParam() { GAParam = rules::ReadFileNameGAParam(ProgramPath()); }

void Globals::ReadFileNameErrorCode() { ErrorCode = rules::ReadFileNameErrorCode(ProgramPath()); }

std::wstring Globals::ProgramPath() {
    wchar_t path[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH + 1);
    return std::wstring(path, length < MAX_PATH + 1 ? length : MAX_PATH);
}
