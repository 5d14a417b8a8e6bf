// Localizer: every text the installer shows and every address it uses,
// composed once at start-up and only read afterwards.
#pragma once

#include <string>

class Localizer {
public:
    Localizer() = delete;

    static inline std::wstring WindowCaption;
    static inline std::wstring StartInstallText;
    static inline std::wstring CleanerOfferText;
    static inline std::wstring BrandText;
    static inline std::wstring ProductTitleText;
    static inline std::wstring OfferTitleText;
    static inline std::wstring OfferSubtitleText;
    static inline std::wstring LicenseText;
    static inline std::wstring LicenseLinkText;
    static inline std::wstring ProgressText;
    static inline std::wstring FinalizingText;
    static inline std::wstring PausedNoticeText;
    static inline std::wstring CancelConfirmText;
    static inline std::wstring DownloadURLA;
    static inline std::wstring DownloadURLB;
    static inline std::wstring OpenWebPageURL;
    static inline std::wstring AnalyticsURL;
    static inline std::wstring LicenseURL;

    // Runs after Globals::Init and before any window or worker exists.
    static void Init();

    // The setup program's address for this run's A/B variant.
    static const std::wstring& GetDownloadURL();

    // Opens the address in the user's browser, tagged with the linker value.
    static void OpenURL(const std::wstring& AURL);
};
