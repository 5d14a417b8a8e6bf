// Runs the installer's start-up in a process of its own, under whatever file
// name and arguments the test gives it, and prints the settings it gathered,
// one "Name=value" line each, in UTF-8.
//
// QUELLOX_PROBE_LOCK_SELF=1 first opens the probe's own file without sharing,
// so that reading the signature block fails as it does for an installer
// whose file cannot be opened.
#include <windows.h>

#include <string>

#include "platform/SystemLibrary.h"
#include "platform/Unique.h"
#include "startup/uGlobals.h"
#include "tests/support/TestOutput.h"

namespace {

using testoutput::Print;

void Print(const std::wstring& name, bool value) { Print(name, std::wstring(value ? L"1" : L"0")); }

}  // namespace

int wmain() {
    platform::RestrictDllSearchPath();

    platform::UniqueFile selfLock;
    if (!testoutput::Environment(L"QUELLOX_PROBE_LOCK_SELF").empty()) {
        wchar_t self[MAX_PATH + 1] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH + 1);
        selfLock.reset(CreateFileW(self, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    }

    Globals::Init();

    Print(L"MakerName", Globals::MakerName);
    Print(L"ProductName", Globals::ProductName);
    Print(L"FullProductName", Globals::FullProductName);
    Print(L"VersionTag", Globals::VersionTag);
    Print(L"ProductYear", Globals::ProductYear);
    Print(L"SetupFileName", Globals::SetupFileName);
    Print(L"ABVariant", std::to_wstring(Globals::ABVariant));
    Print(L"Campaign", Globals::Campaign);
    Print(L"DownloadPath", Globals::DownloadPath);
    Print(L"OpenWebPage", Globals::OpenWebPage);
    Print(L"DisplayOffers", Globals::DisplayOffers);
    Print(L"RunApplication", Globals::RunApplication);
    Print(L"SkipStart", Globals::SkipStart);
    Print(L"SkipAfterInstallPage", Globals::SkipAfterInstallPage);
    Print(L"HideTrayIcon", Globals::HideTrayIcon);
    Print(L"ErrorCode", Globals::ErrorCode);
    Print(L"GAParam", Globals::GAParam);
    Print(L"AutoCSOffer", Globals::AutoCSOffer);
    Print(L"AutoCSOfferDefault", Globals::AutoCSOfferDefault);
    Print(L"IsProductInstalled", Globals::IsProductInstalled());
    Print(L"InstanceName", Globals::GetInstanceName());

    // The libraries the program loads at run time, through its own loader.
    Print(L"wininet", static_cast<bool>(platform::LoadSystemLibrary(L"wininet.dll")));
    Print(L"wintrust", static_cast<bool>(platform::LoadSystemLibrary(L"wintrust.dll")));
    return 0;
}
