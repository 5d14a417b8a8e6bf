// Globals: the process-wide settings, gathered once by Init before any
// window or thread exists and only read afterwards, and three small services.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

class Globals {
public:
    Globals() = delete;

    static std::wstring MakerName;
    static std::wstring ProductName;
    static std::wstring FullProductName;
    static std::wstring VersionTag;
    static std::wstring ProductYear;
    static std::wstring SetupFileName;
    static inline int ABVariant = 0;
    static std::wstring Campaign;
    // The campaign as the distribution gave it (switch or stamped cookie),
    // before the variant's suffix: the setup program's command line filters
    // it on its own.
    static std::wstring CampaignSource;
    static std::wstring DownloadPath;
    static std::wstring OpenWebPage;
    static inline bool DisplayOffers = false;
    static inline bool RunApplication = false;
    static inline bool SkipStart = false;
    static inline bool SkipAfterInstallPage = false;
    static inline bool HideTrayIcon = false;
    static std::wstring ErrorCode;
    // The window's language as the command line forces it, or empty.
    static std::wstring ForcedLanguage;
    static std::wstring GAParam;
    static inline bool AutoCSOffer = false;
    static inline bool AutoCSOfferDefault = false;
    // Set and cleared by the window on the GUI thread, read by the worker.
    static inline std::atomic<HWND> MainWindowHandle{nullptr};

    static void Init();

    // Milliseconds since the tick count AValue was read, also across a wrap
    // of the 32-bit counter.
    static DWORD GetTickCountDiff(DWORD AValue);
    static bool IsProductInstalled();
    static std::wstring GetInstanceName();

private:
    static bool IsUninstallKeyPresent(const wchar_t* AGuid);
    static bool IsSameName(const std::wstring& ALeft, const std::wstring& ARight);
    static void CheckOSVersion();
    static void ReadCommandLine();
    static void ReadFileNameGAParam();
    static void ReadFileNameErrorCode();
    static std::wstring ProgramPath();
};
