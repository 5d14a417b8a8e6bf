// Localizer: every text the installer shows and every address it uses,
// composed once at start-up and only read afterwards.
#pragma once

#include <string>

class Localizer {
public:
    Localizer() = delete;

    static std::wstring WindowCaption;
    static std::wstring StartInstallText;
    static std::wstring CleanerOfferText;
    static std::wstring BrandText;
    static std::wstring ProductTitleText;
    static std::wstring OfferTitleText;
    static std::wstring OfferSubtitleText;
    static std::wstring LicenseText;
    static std::wstring LicenseLinkText;
    // What the footer's two logos say, for screen readers.
    static std::wstring TrustLogoText;
    static std::wstring CompatLogoText;
    static std::wstring ProgressText;
    // The status line with the share done: ProgressPercent(APercent).
    static std::wstring ProgressPercentPattern;
    static std::wstring FinalizingText;
    static std::wstring PausedNoticeText;
    static std::wstring CancelConfirmText;
    // Above the licence's address when no shell can open it as the user.
    static std::wstring OpenAddressText;
    static std::wstring DownloadURLA;
    static std::wstring DownloadURLB;
    static std::wstring OpenWebPageURL;
    static std::wstring AnalyticsURL;
    static std::wstring LicenseURL;

    // The language the texts are in, as the events carry it ("en", "de",
    // "pt-br"), and whether it is written right to left.
    static std::wstring LanguageTag;
    static inline bool RightToLeft = false;

    // Runs after Globals::Init and before any window or worker exists.
    static void Init();

    // "Installing the application (42%)", in the window's language.
    static std::wstring ProgressPercent(int APercent);

    // The setup program's address for this run's A/B variant.
    static const std::wstring& GetDownloadURL();

    // Opens the address in the user's browser, tagged with the linker value,
    // as the signed-in user (platform/UserShell.h); where that cannot be
    // done, shows it.
    static void OpenURL(const std::wstring& AURL);
};
