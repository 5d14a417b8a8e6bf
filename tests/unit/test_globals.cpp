// Globals inside the test process: defaults, the temporary folder, the
// registry views and the services other units call.
#include <windows.h>

#include <gtest/gtest.h>

#include "TempDirectory.h"
#include "platform/ProtectedFolder.h"
#include "startup/uGlobals.h"

namespace {

constexpr const wchar_t* SetupName = L"5D1E7A40-93C2-4B8F-A6E1-0F47C2B9D358_quellox_setup.exe";

// Points TMP and TEMP elsewhere for one test.
class TempVariables {
public:
    explicit TempVariables(const std::wstring& folder) : tmp_(Get(L"TMP")), temp_(Get(L"TEMP")) {
        SetEnvironmentVariableW(L"TMP", folder.c_str());
        SetEnvironmentVariableW(L"TEMP", folder.c_str());
    }
    ~TempVariables() {
        SetEnvironmentVariableW(L"TMP", tmp_.c_str());
        SetEnvironmentVariableW(L"TEMP", temp_.c_str());
    }

private:
    static std::wstring Get(const wchar_t* name) {
        wchar_t value[MAX_PATH] = {};
        GetEnvironmentVariableW(name, value, MAX_PATH);
        return value;
    }
    std::wstring tmp_;
    std::wstring temp_;
};

// Creates an uninstall key in one registry view and removes it afterwards.
class UninstallKey {
public:
    UninstallKey(const wchar_t* guid, REGSAM view)
        : path_(std::wstring(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{") + guid + L"}_is1"),
          view_(view) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, 0, KEY_WRITE | view_, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    ~UninstallKey() { RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), view_, 0); }

private:
    std::wstring path_;
    REGSAM view_;
};

constexpr const wchar_t* ProductGuid = L"E49A1D27-6C03-4F58-9B7E-31A5D0C6F2E8";

}  // namespace

TEST(Globals, InitGathersTheBuiltInSettingsAndDefaults) {
    Globals::Init();
    EXPECT_EQ(Globals::MakerName, L"Varnholt");
    EXPECT_EQ(Globals::ProductName, L"Quellox");
    EXPECT_EQ(Globals::FullProductName, L"Varnholt Quellox");
    EXPECT_EQ(Globals::VersionTag, L"quellox1.6.9restart");
    EXPECT_EQ(Globals::ProductYear, L"2015");
    ASSERT_FALSE(platform::ProgramDataFolder().empty());
    EXPECT_EQ(Globals::SetupFileName, platform::ProgramDataFolder() + L"\\QuelloxSetup-Download\\" + SetupName);
    EXPECT_TRUE(Globals::ABVariant == 1 || Globals::ABVariant == 2);
    EXPECT_EQ(Globals::Campaign, Globals::ABVariant == 2 ? L"affiliate_31095-ab_afterinstall_b"
                                                         : L"affiliate_31095-ab_afterinstall_a");
    EXPECT_TRUE(Globals::DisplayOffers);
    EXPECT_FALSE(Globals::RunApplication);
    EXPECT_FALSE(Globals::SkipStart);
    EXPECT_FALSE(Globals::SkipAfterInstallPage);
    EXPECT_FALSE(Globals::HideTrayIcon);
    EXPECT_TRUE(Globals::AutoCSOffer);
    EXPECT_TRUE(Globals::AutoCSOfferDefault);
    EXPECT_EQ(Globals::ErrorCode, L"");
    EXPECT_EQ(Globals::GAParam, L"");
    EXPECT_EQ(Globals::MainWindowHandle.load(), nullptr);
}

TEST(Globals, InstanceName) {
    Globals::Init();
    EXPECT_EQ(Globals::GetInstanceName(), L"5D1E7A40-93C2-4B8F-A6E1-0F47C2B9D358_stub_installer_Varnholt_Quellox");
}

TEST(Globals, ProductCountsAsInstalledOnlyInThe32BitView) {
    // Whatever an earlier run of the prefix left behind goes first.
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY})
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE,
                        L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                        L"{E49A1D27-6C03-4F58-9B7E-31A5D0C6F2E8}_is1",
                        view, 0);
    EXPECT_FALSE(Globals::IsProductInstalled());
    {
        UninstallKey key(ProductGuid, KEY_WOW64_64KEY);
        EXPECT_FALSE(Globals::IsProductInstalled());
    }
    {
        UninstallKey key(ProductGuid, KEY_WOW64_32KEY);
        EXPECT_TRUE(Globals::IsProductInstalled());
    }
    EXPECT_FALSE(Globals::IsProductInstalled());
}

TEST(Globals, TickCountDiffMeasuresElapsedMilliseconds) {
    DWORD start = GetTickCount() - 5000;
    DWORD elapsed = Globals::GetTickCountDiff(start);
    EXPECT_GE(elapsed, 5000u);
    EXPECT_LT(elapsed, 65000u);
}

TEST(Globals, TheDownloadNeverFollowsTheTemporaryFolder) {
    // TEMP and TMP are the user's to set (HKCU\Environment): the download's
    // place is the same whatever they say, or when they name nothing.
    Globals::Init();
    const std::wstring fixed = Globals::SetupFileName;
    TempDirectory base;
    for (const std::wstring& folder : {base.File(L""), base.File(L"does-not-exist")}) {
        TempVariables temp(folder);
        Globals::Init();
        EXPECT_EQ(Globals::SetupFileName, fixed) << folder;
    }
}
