// Localizer: every text the installer shows and every address it uses,
// composed once at start-up and only read afterwards.
#include "ui/uLocalizer.h"

#include <windows.h>

#include "Deployment.h"
#include "platform/UserShell.h"
#include "startup/uGlobals.h"
#include "ui/uLinks.h"

// The state that needs clean-up, defined in this unit only: an inline
// definition in the header gives every unit that includes it its own copy
// of the start-up and clean-up code.
std::wstring Localizer::WindowCaption;
std::wstring Localizer::StartInstallText;
std::wstring Localizer::CleanerOfferText;
std::wstring Localizer::BrandText;
std::wstring Localizer::ProductTitleText;
std::wstring Localizer::OfferTitleText;
std::wstring Localizer::OfferSubtitleText;
std::wstring Localizer::LicenseText;
std::wstring Localizer::LicenseLinkText;
std::wstring Localizer::TrustLogoText;
std::wstring Localizer::CompatLogoText;
std::wstring Localizer::ProgressText;
std::wstring Localizer::FinalizingText;
std::wstring Localizer::PausedNoticeText;
std::wstring Localizer::CancelConfirmText;
std::wstring Localizer::OpenAddressText;
std::wstring Localizer::DownloadURLA;
std::wstring Localizer::DownloadURLB;
std::wstring Localizer::OpenWebPageURL;
std::wstring Localizer::AnalyticsURL;
std::wstring Localizer::LicenseURL;

void Localizer::Init() {
    WindowCaption = L"Setup \u2014 " + Globals::FullProductName;
    StartInstallText = L"Start installation";
    CleanerOfferText = L"Install " + Globals::MakerName + L" Scourwell to scan for junk files";
    BrandText = L"Varnholt";
    ProductTitleText = L"QUELLOX " + Globals::ProductYear;
    if (!Globals::ErrorCode.empty()) {
        OfferTitleText = L"Install and Fix " + Globals::ErrorCode + L" Issue";
        OfferSubtitleText = L"and other stability issues";
    } else {
        OfferTitleText = L"Install and diagnose your PC";
    }
    LicenseText = L"By installing this application you confirm that you have read and accepted the Varnholt";
    LicenseLinkText = L"License Agreement";
    TrustLogoText = L"Verified: safe download";
    CompatLogoText = L"Compatible with 32-bit and 64-bit Windows";
    ProgressText = L"Installing the application";
    FinalizingText = L"Finalizing the installation...";
    PausedNoticeText = Globals::FullProductName + L" installation paused...\r\n" + L"\r\n" +
                       L"Resume installation and in only a few seconds you will be able to run thorough and "
                       L"complete optimization on your PC.";
    CancelConfirmText =
        L"Installation will complete in only a few seconds. If you abort it now, you will not be able to run "
        L"thorough and complete optimization on your PC.\r\nContinue installation?";
    OpenAddressText = L"To read the License Agreement, open this address in your browser:";
    DownloadURLA = deployment::DownloadURLA;
    DownloadURLB = deployment::DownloadURLB;
    OpenWebPageURL = Globals::OpenWebPage;
    AnalyticsURL = deployment::AnalyticsURL;
    LicenseURL = deployment::LicenseURL;
}

const std::wstring& Localizer::GetDownloadURL() { return Globals::ABVariant == 2 ? DownloadURLB : DownloadURLA; }

void Localizer::OpenURL(const std::wstring& AURL) {
    std::wstring address = links::AddressToOpen(AURL, Globals::GAParam);
    if (platform::OpenAsDesktopUser(address)) return;
    // Without a desktop shell to ask, the page is not opened from this
    // elevated process: the user is given the address to open.
    std::wstring text = OpenAddressText + L"\r\n\r\n" + address;
    MessageBoxW(Globals::MainWindowHandle.load(), text.c_str(), WindowCaption.c_str(), MB_OK | MB_ICONINFORMATION);
}
