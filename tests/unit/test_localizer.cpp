// Localizer: the texts the installer shows and the addresses it uses.
#include <gtest/gtest.h>

#include "Deployment.h"
#include "startup/uGlobals.h"
#include "ui/uLinks.h"
#include "ui/uLocalizer.h"

namespace {

class LocalizerTexts : public testing::Test {
protected:
    void SetUp() override {
        Globals::Init();
        Globals::ErrorCode.clear();
        Globals::OpenWebPage.clear();
    }
};

}  // namespace

TEST_F(LocalizerTexts, FixedTextsAsTheWindowShowsThem) {
    Localizer::Init();
    EXPECT_EQ(Localizer::WindowCaption, L"Setup \u2014 Varnholt Quellox");
    EXPECT_EQ(Localizer::StartInstallText, L"Start installation");
    EXPECT_EQ(Localizer::CleanerOfferText, L"Install Varnholt Scourwell to scan for junk files");
    EXPECT_EQ(Localizer::BrandText, L"Varnholt");
    EXPECT_EQ(Localizer::ProductTitleText, L"QUELLOX 2015");
    EXPECT_EQ(Localizer::LicenseText,
              L"By installing this application you confirm that you have read and accepted the Varnholt");
    EXPECT_EQ(Localizer::LicenseLinkText, L"License Agreement");
    EXPECT_EQ(Localizer::ProgressText, L"Installing the application");
    EXPECT_EQ(Localizer::FinalizingText, L"Finalizing the installation...");
    for (int percent : {0, 7, 42, 99})
        EXPECT_EQ(Localizer::ProgressPercent(percent),
                  L"Installing the application (" + std::to_wstring(percent) + L"%)");
    EXPECT_EQ(Localizer::LanguageTag, L"en");
    EXPECT_FALSE(Localizer::RightToLeft);
    EXPECT_EQ(Localizer::PausedNoticeText,
              L"Varnholt Quellox installation paused...\r\n\r\nResume installation and in only a few seconds you "
              L"will be able to run thorough and complete optimization on your PC.");
    EXPECT_EQ(Localizer::CancelConfirmText,
              L"Installation will complete in only a few seconds. If you abort it now, you will not be able to run "
              L"thorough and complete optimization on your PC.\r\nContinue installation?");
    EXPECT_EQ(Localizer::AnalyticsURL, deployment::AnalyticsURL);
    EXPECT_EQ(Localizer::LicenseURL, deployment::LicenseURL);
}

TEST_F(LocalizerTexts, HeadlineFollowsTheErrorCode) {
    Localizer::Init();
    EXPECT_EQ(Localizer::OfferTitleText, L"Install and diagnose your PC");
    EXPECT_EQ(Localizer::OfferSubtitleText, L"");

    Globals::ErrorCode = L"E12";
    Localizer::Init();
    EXPECT_EQ(Localizer::OfferTitleText, L"Install and Fix E12 Issue");
    EXPECT_EQ(Localizer::OfferSubtitleText, L"and other stability issues");
}

TEST_F(LocalizerTexts, WebPageToOpenAfterInstallation) {
    Localizer::Init();
    EXPECT_EQ(Localizer::OpenWebPageURL, L"");
    Globals::OpenWebPage = L"http://welcome.example/";
    Localizer::Init();
    EXPECT_EQ(Localizer::OpenWebPageURL, L"http://welcome.example/");
}

TEST_F(LocalizerTexts, DownloadAddressFollowsTheVariant) {
    Localizer::Init();
    Globals::ABVariant = 1;
    EXPECT_EQ(Localizer::GetDownloadURL(), Localizer::DownloadURLA);
    Globals::ABVariant = 2;
    EXPECT_EQ(Localizer::GetDownloadURL(), Localizer::DownloadURLB);

    // B is A with source/<build code>/ before the file name.
    const std::wstring& a = Localizer::DownloadURLA;
    const std::wstring& b = Localizer::DownloadURLB;
    std::size_t slash = a.rfind(L'/');
    ASSERT_EQ(b.compare(0, slash + 1, a, 0, slash + 1), 0);
    EXPECT_EQ(b.compare(slash + 1, 7, L"source/"), 0);
    EXPECT_TRUE(b.ends_with(a.substr(slash)));
    EXPECT_TRUE(a.ends_with(L"-setup.exe"));
    EXPECT_TRUE(a.starts_with(L"http://"));
}

TEST(Links, AddURLParam) {
    const struct {
        const wchar_t* URL;
        const wchar_t* Expected;
    } cases[] = {
        {L"http://a.example/license/", L"http://a.example/license/?_ga=v1"},
        {L"http://a.example/license/?x=1", L"http://a.example/license/?x=1&_ga=v1"},
        {L"http://a.example/license/?", L"http://a.example/license/?_ga=v1"},
        {L"http://a.example/license/?x=1&", L"http://a.example/license/?x=1&_ga=v1"},
        {L"  http://a.example/p \r\n", L"http://a.example/p?_ga=v1"},
        // The fragment is not considered: the parameter goes at the very end.
        {L"http://a.example/p#top", L"http://a.example/p#top?_ga=v1"},
        {L"", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.URL)));
        EXPECT_EQ(links::AddURLParam(c.URL, L"_ga", L"v1"), c.Expected);
    }
    EXPECT_EQ(links::AddURLParam(L" http://a.example/ ", L"", L"v"), L"http://a.example/");
}

TEST(Links, AddressToOpenIsTaggedOnlyWithALinkerValue) {
    EXPECT_EQ(links::AddressToOpen(L" http://a.example/ ", L""), L" http://a.example/ ");
    EXPECT_EQ(links::AddressToOpen(L" http://a.example/ ", L"abc"), L"http://a.example/?_ga=abc");
}
