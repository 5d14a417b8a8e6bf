// The setup program's command line: exact for ordinary settings, and safe
// for values that come from outside the program.
#include <gtest/gtest.h>

#include <algorithm>

#include "installer/uSetupCommandLine.h"

namespace {

const wchar_t* const SetupPath =
    L"C:\\Users\\me\\AppData\\Local\\Temp\\5D1E7A40-93C2-4B8F-A6E1-0F47C2B9D358_quellox_setup.exe";

setupcmd::TSetupSettings Ordinary() {
    setupcmd::TSetupSettings s;
    s.SetupFileName = SetupPath;
    s.AutoCSOffer = true;
    s.DisplayOffers = true;
    s.DownloadSeconds = 42;
    s.ProductName = L"Quellox";
    s.Campaign = L"affiliate_31095-ab_afterinstall_a";
    return s;
}

}  // namespace

TEST(SetupCommandLine, OrdinaryRunGivesTheDocumentedLine) {
    EXPECT_EQ(setupcmd::ComposeSetupCommandLine(Ordinary()),
              L"\"C:\\Users\\me\\AppData\\Local\\Temp\\5D1E7A40-93C2-4B8F-A6E1-0F47C2B9D358_quellox_setup.exe\" "
              L"/verysilent /execute /FromStubInstall /AutoCSOffer /DisplayOffers /showurl "
              L"/urlparams:dt=42&dc=Quellox_affiliate_31095-ab_afterinstall_a "
              L"/Campaign:\"affiliate_31095-ab_afterinstall_a\"");
}

TEST(SetupCommandLine, EveryKeyInItsPlace) {
    setupcmd::TSetupSettings s = Ordinary();
    s.AutoCSOffer = false;
    s.ErrorCode = L"E12";
    s.OpenWebPageURL = L"http://welcome.example/?a=1&b=2";
    s.Campaign = L"spring-affiliate_31095-ab_afterinstall_b";
    s.RunApplication = true;
    s.GAParam = L"1.2.3";
    s.DownloadSeconds = 0;
    EXPECT_EQ(setupcmd::ComposeSetupCommandLine(s),
              std::wstring(L"\"") + SetupPath +
                  L"\" /verysilent /execute /FromStubInstall /DisplayOffers /TestsErrorCode:\"E12\" "
                  L"/OpenWebPage:\"http://welcome.example/?a=1&b=2\" /showurl "
                  L"/urlparams:dt=0&dc=Quellox_spring-affiliate_31095-ab_afterinstall_b "
                  L"/Campaign:\"spring-affiliate_31095-ab_afterinstall_b\" /RunApplication /ga:\"1.2.3\"");
}

TEST(SetupCommandLine, SkipAfterInstallPageDropsShowurlAndUrlparamsButKeepsCampaign) {
    setupcmd::TSetupSettings s = Ordinary();
    s.SkipAfterInstallPage = true;
    s.DisplayOffers = false;
    EXPECT_EQ(setupcmd::ComposeSetupCommandLine(s),
              std::wstring(L"\"") + SetupPath +
                  L"\" /verysilent /execute /FromStubInstall /AutoCSOffer "
                  L"/Campaign:\"affiliate_31095-ab_afterinstall_a\"");
}

TEST(SetupCommandLine, ValuesWithBlanksStayWholeInsideQuotes) {
    setupcmd::TSetupSettings s = Ordinary();
    s.Campaign = L"spring sale-affiliate_31095-ab_afterinstall_a";
    std::wstring line = setupcmd::ComposeSetupCommandLine(s);
    EXPECT_NE(line.find(L"/urlparams:dt=42&dc=Quellox_spring%20sale-affiliate_31095-ab_afterinstall_a /Campaign:"),
              std::wstring::npos);
    EXPECT_NE(line.find(L"/Campaign:\"spring sale-affiliate_31095-ab_afterinstall_a\""), std::wstring::npos);
}

TEST(SetupCommandLine, HostileValuesAddNoSwitchAndKeepTheQuoting) {
    const wchar_t* hostile[] = {
        L"x\" /DIR=\"C:\\evil",
        L"x /SILENT /DIR=C:\\evil",
        L"a\r\n/LOG=C:\\x",
        L"ends with backslash\\",
        L"\\\\\"\\",
        L"\"",
        L"x&dt=999&dc=other",
        L"tab\there",
        L"caf\u00E9 \U0001F600",
    };
    for (const wchar_t* value : hostile) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(value)));
        setupcmd::TSetupSettings s = Ordinary();
        s.Campaign = value;
        s.ErrorCode = value;
        s.OpenWebPageURL = value;
        s.GAParam = value;
        std::wstring line = setupcmd::ComposeSetupCommandLine(s);

        // Exactly the quotes of the path and of the four quoted keys.
        EXPECT_EQ(std::count(line.begin(), line.end(), L'"'), 10);
        // No control characters; every " /" outside quotes starts one of our keys.
        for (wchar_t c : line) EXPECT_GE(static_cast<unsigned>(c), 0x20u);
        std::vector<std::wstring> switches;
        bool quoted = false;
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] == L'"') quoted = !quoted;
            if (!quoted && i + 1 < line.size() && line[i] == L' ' && line[i + 1] == L'/') {
                std::size_t end = line.find_first_of(L": ", i + 1);
                switches.push_back(line.substr(i + 2, end == std::wstring::npos ? end : end - i - 2));
            }
        }
        EXPECT_EQ(switches, (std::vector<std::wstring>{L"verysilent", L"execute", L"FromStubInstall", L"AutoCSOffer",
                                                       L"DisplayOffers", L"TestsErrorCode", L"OpenWebPage", L"showurl",
                                                       L"urlparams", L"Campaign", L"ga"}));
        // No quoted value ends in a backslash that could escape its closing quote.
        EXPECT_EQ(line.find(L"\\\""), std::wstring::npos);
        // The urlparams value holds no blank, quote, "&" or "=" of the campaign.
        std::size_t urlparams = line.find(L"/urlparams:");
        std::size_t end = line.find(L' ', urlparams);
        std::wstring params = line.substr(urlparams, end - urlparams);
        EXPECT_EQ(std::count(params.begin(), params.end(), L'&'), 1);
        EXPECT_EQ(std::count(params.begin(), params.end(), L'='), 2);
    }
}

TEST(SetupCommandLine, UrlParamValueEncodesAsUtf8) {
    EXPECT_EQ(setupcmd::UrlParamValue(L"a-b_c.d~e"), L"a-b_c.d~e");
    EXPECT_EQ(setupcmd::UrlParamValue(L"a b&c=d%\""), L"a%20b%26c%3Dd%25%22");
    EXPECT_EQ(setupcmd::UrlParamValue(L"\u00E9\u20AC"), L"%C3%A9%E2%82%AC");
    EXPECT_EQ(setupcmd::UrlParamValue(L"\U0001F600"), L"%F0%9F%98%80");
}
