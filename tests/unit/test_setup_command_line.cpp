// The setup program's command line: exact for ordinary settings, and safe
// for values that come from outside the program.
#include <gtest/gtest.h>

#include <algorithm>

#include "installer/uSetupCommandLine.h"
#include "startup/uSettingsRules.h"

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
    s.ABVariant = 1;
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
    s.CampaignSource = L"spring";
    s.ABVariant = 2;
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
    s.CampaignSource = L"spring sale";
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
        L"E1\uFF02 \uFF0FDIR\uFF1D\uFF02C\uFF1A\uFF3CUsers\uFF3CPublic\uFF3CQ",
    };
    for (const wchar_t* value : hostile) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(value)));
        setupcmd::TSetupSettings s = Ordinary();
        s.CampaignSource = value;
        s.ErrorCode = value;
        s.OpenWebPageURL = std::wstring(L"http://welcome.example/") + value;
        s.GAParam = value;
        std::wstring line = setupcmd::ComposeSetupCommandLine(s);

        // A value that the filter empties leaves its key out.
        const bool kept = !rules::SetupValue(value).empty();
        // Exactly the quotes of the path and of the quoted keys.
        EXPECT_EQ(std::count(line.begin(), line.end(), L'"'), kept ? 10 : 6);
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
        std::vector<std::wstring> expected{L"verysilent", L"execute",     L"FromStubInstall", L"AutoCSOffer",
                                           L"DisplayOffers", L"TestsErrorCode", L"OpenWebPage", L"showurl",
                                           L"urlparams",  L"Campaign",     L"ga"};
        if (!kept) std::erase_if(expected, [](const std::wstring& k) { return k == L"TestsErrorCode" || k == L"ga"; });
        EXPECT_EQ(switches, expected);
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

// One filter for every value from outside: printable ASCII without '"' and
// '\', at most 100 characters. Characters that an ANSI program would see as
// punctuation after the system's best-fit conversion are dropped.
TEST(SetupCommandLine, OutsideValuesPassOneFilter) {
    struct Case {
        const wchar_t* Value;
        std::wstring Kept;
    };
    const std::wstring hundred(100, L'v');
    const Case cases[] = {
        {L"E12", L"E12"},
        {L"spring sale_2015-x.y~z", L"spring sale_2015-x.y~z"},
        {L"a\uFF02b", L"ab"},   // fullwidth quotation mark: '"' in code page 1252
        {L"a\uFF0Fb", L"ab"},   // fullwidth solidus: '/'
        {L"a\uFF3Cb", L"ab"},   // fullwidth reverse solidus: '\'
        {L"a\uFF1Ab", L"ab"},   // fullwidth colon: ':'
        {L"a\u02BAb", L"ab"},   // modifier letter double prime: '"'
        {L"a\"b\\c", L"abc"},
        {L"tab\tnew\nline\x7F", L"tabnewline"},
        {L"caf\u00E9", L"caf"},
        {L"E1\uFF02 \uFF0FDIR\uFF1D\uFF02C\uFF1A\uFF3CUsers\uFF3CPublic\uFF3CQ", L"E1 DIRCUsersPublicQ"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.Value)));
        setupcmd::TSetupSettings s = Ordinary();
        s.ErrorCode = c.Value;
        s.GAParam = c.Value;
        s.CampaignSource = c.Value;
        std::wstring line = setupcmd::ComposeSetupCommandLine(s);
        EXPECT_NE(line.find(L"/TestsErrorCode:\"" + c.Kept + L"\" "), std::wstring::npos);
        EXPECT_NE(line.find(L"/ga:\"" + c.Kept + L"\""), std::wstring::npos);
        EXPECT_NE(line.find(L"/Campaign:\"" + c.Kept + L"-affiliate_31095-ab_afterinstall_a\""), std::wstring::npos);
        EXPECT_EQ(setupcmd::SetupCampaign(s), c.Kept + L"-affiliate_31095-ab_afterinstall_a");
    }

    // At most 100 characters; the variant's suffix is the program's own and
    // comes on top.
    setupcmd::TSetupSettings s = Ordinary();
    s.ErrorCode = hundred + L"w";
    s.CampaignSource = hundred + L"w";
    std::wstring line = setupcmd::ComposeSetupCommandLine(s);
    EXPECT_NE(line.find(L"/TestsErrorCode:\"" + hundred + L"\" "), std::wstring::npos);
    EXPECT_NE(line.find(L"/Campaign:\"" + hundred + L"-affiliate_31095-ab_afterinstall_a\""), std::wstring::npos);

    // A value that the filter empties leaves its key out, as an empty one does.
    s = Ordinary();
    s.ErrorCode = L"\uFF02\uFF3C";
    s.CampaignSource = L"\uFF02";
    EXPECT_EQ(setupcmd::ComposeSetupCommandLine(s).find(L"TestsErrorCode"), std::wstring::npos);
    EXPECT_EQ(setupcmd::SetupCampaign(s), L"affiliate_31095-ab_afterinstall_a");
}

TEST(SetupCommandLine, OpenWebPageOnlyAsAnHttpAddress) {
    struct Case {
        const wchar_t* Value;
        const wchar_t* Passed;  // empty: the key is left out
    };
    const Case cases[] = {
        {L"http://welcome.example/?a=1&b=2", L"http://welcome.example/?a=1&b=2"},
        {L"HTTPS://welcome.example/", L"HTTPS://welcome.example/"},
        {L"C:\\x.exe", L""},
        {L"\\\\server\\share\\x.exe", L""},
        {L"file:///C:/x.exe", L""},
        {L"javascript:alert(1)", L""},
        {L"http:/x", L""},
        {L" http://welcome.example/", L""},
        {L"http\uFF1A//welcome.example/", L""},
        {L"https://welcome.example/\uFF3C\uFF02 /DIR", L"https://welcome.example/ /DIR"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.Value)));
        EXPECT_EQ(setupcmd::SetupWebPage(c.Value), c.Passed);
        setupcmd::TSetupSettings s = Ordinary();
        s.OpenWebPageURL = c.Value;
        std::wstring line = setupcmd::ComposeSetupCommandLine(s);
        if (*c.Passed == L'\0') EXPECT_EQ(line.find(L"OpenWebPage"), std::wstring::npos);
        else EXPECT_NE(line.find(std::wstring(L"/OpenWebPage:\"") + c.Passed + L"\" "), std::wstring::npos);
    }
}

namespace {

std::wstring Block(std::initializer_list<const wchar_t*> entries) {
    std::wstring block;
    for (const wchar_t* entry : entries) {
        block += entry;
        block += L'\0';
    }
    return block + L'\0';
}

}  // namespace

TEST(SetupEnvironment, OnlyTheAllowedVariablesOfTheMachinePassWithTheFoldersInPlace) {
    setupcmd::TSetupFolders folders;
    folders.WindowsFolder = L"C:\\Windows";
    folders.UserProfile = L"C:\\Users\\me";
    folders.TempFolder = L"C:\\ProgramData\\QuelloxSetup-Temp";
    // What the folders give, whatever the machine's block says.
    const std::wstring foldersOnly =
        Block({L"HOMEDRIVE=C:", L"HOMEPATH=\\Users\\me", L"SystemDrive=C:", L"SystemRoot=C:\\Windows",
               L"TEMP=C:\\ProgramData\\QuelloxSetup-Temp", L"TMP=C:\\ProgramData\\QuelloxSetup-Temp", L"USERPROFILE=C:\\Users\\me",
               L"windir=C:\\Windows"});
    struct Case {
        std::wstring machine, out;
    } cases[] = {
        // The machine's own values of the allowed names, in any letter case,
        // sorted by name among the folders'.
        {Block({L"Path=C:\\Windows\\system32", L"PATHEXT=.COM;.EXE", L"ComSpec=C:\\cmd.exe", L"OS=Windows_NT",
                L"processor_architecture=AMD64", L"ProgramFiles(x86)=C:\\PF86", L"ProgramData=C:\\PD"}),
         Block({L"ComSpec=C:\\cmd.exe", L"HOMEDRIVE=C:", L"HOMEPATH=\\Users\\me", L"OS=Windows_NT",
                L"Path=C:\\Windows\\system32", L"PATHEXT=.COM;.EXE",
                L"processor_architecture=AMD64", L"ProgramData=C:\\PD", L"ProgramFiles(x86)=C:\\PF86",
                L"SystemDrive=C:", L"SystemRoot=C:\\Windows", L"TEMP=C:\\ProgramData\\QuelloxSetup-Temp",
                L"TMP=C:\\ProgramData\\QuelloxSetup-Temp", L"USERPROFILE=C:\\Users\\me",
                L"windir=C:\\Windows"})},
        // Whatever else reaches the block stays out: a profiler, the
        // compatibility layer, the user's folders, per-drive folders, a name
        // that only begins like an allowed one, a value that only looks like
        // one, an entry without a value.
        {Block({L"COR_ENABLE_PROFILING=1", L"COR_PROFILER_PATH=C:\\evil.dll", L"__COMPAT_LAYER=RunAsInvoker",
                L"APPDATA=C:\\x", L"=C:=C:\\work", L"PATHX=C:\\y", L"TEMPDIR=C:\\c", L"X=PATH=C:\\d", L"OS"}),
         foldersOnly},
        // The folders' own values win over the block's.
        {Block({L"TEMP=C:\\Users\\me\\planted", L"tmp=X:\\elsewhere", L"SYSTEMROOT=X:\\w", L"windir=X:\\w",
                L"SystemDrive=X:", L"UserProfile=X:\\p"}),
         foldersOnly},
        {std::wstring(1, L'\0'), foldersOnly},
    };
    for (const Case& c : cases) EXPECT_EQ(setupcmd::ComposeSetupEnvironment(c.machine, folders), c.out);
}

TEST(SetupEnvironment, TheAccountAndTheArchitectureAreTheElevatedRunsOwn) {
    setupcmd::TSetupFolders account;
    account.UserProfile = L"C:\\Users\\me";
    account.RoamingAppData = L"C:\\Users\\me\\AppData\\Roaming";
    account.LocalAppData = L"C:\\Users\\me\\AppData\\Local";
    account.UserName = L"me";
    account.UserDomain = L"PC";
    setupcmd::TSetupFolders wow64;
    wow64.Wow64 = true;
    const std::wstring accountOnly =
        Block({L"APPDATA=C:\\Users\\me\\AppData\\Roaming", L"HOMEDRIVE=C:", L"HOMEPATH=\\Users\\me",
               L"LOCALAPPDATA=C:\\Users\\me\\AppData\\Local", L"USERDOMAIN=PC", L"USERNAME=me",
               L"USERPROFILE=C:\\Users\\me"});
    struct Case {
        std::wstring machine;
        const setupcmd::TSetupFolders& folders;
        std::wstring out;
    } cases[] = {
        // The account's folders and names, and the home folder on the
        // profile's drive, as Windows sets them for a user without a home
        // folder of its own.
        {std::wstring(1, L'\0'), account, accountOnly},
        // The user's block (or anything else) never sets them.
        {Block({L"APPDATA=C:\\evil", L"LOCALAPPDATA=C:\\evil", L"USERNAME=evil", L"USERDOMAIN=evil",
                L"HOMEDRIVE=X:", L"HOMEPATH=\\evil", L"PROCESSOR_ARCHITEW6432=evil"}),
         account, accountOnly},
        // A 32-bit setup on 64-bit Windows sees what WOW64 gives a 32-bit
        // process: x86, and the machine's own architecture beside it.
        {Block({L"PROCESSOR_ARCHITECTURE=AMD64", L"PROCESSOR_LEVEL=6"}), wow64,
         Block({L"PROCESSOR_ARCHITECTURE=x86", L"PROCESSOR_ARCHITEW6432=AMD64", L"PROCESSOR_LEVEL=6"})},
        {Block({L"Processor_Architecture=ARM64"}), wow64,
         Block({L"PROCESSOR_ARCHITECTURE=x86", L"PROCESSOR_ARCHITEW6432=ARM64"})},
        // Without WOW64 the machine's value stands alone.
        {Block({L"PROCESSOR_ARCHITECTURE=AMD64"}), {}, Block({L"PROCESSOR_ARCHITECTURE=AMD64"})},
    };
    for (const Case& c : cases) EXPECT_EQ(setupcmd::ComposeSetupEnvironment(c.machine, c.folders), c.out);
}

TEST(SetupEnvironment, FoldersThatCouldNotBeReadAreLeftOut) {
    setupcmd::TSetupFolders folders;
    folders.TempFolder = L"C:\\T";
    EXPECT_EQ(setupcmd::ComposeSetupEnvironment(Block({L"OS=Windows_NT"}), folders),
              Block({L"OS=Windows_NT", L"TEMP=C:\\T", L"TMP=C:\\T"}));
    EXPECT_EQ(setupcmd::ComposeSetupEnvironment(std::wstring(1, L'\0'), {}), std::wstring(2, L'\0'));
}
