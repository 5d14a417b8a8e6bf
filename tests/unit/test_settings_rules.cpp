// The rules that turn the command line and the program's file name into settings.
#include <gtest/gtest.h>

#include <cwctype>

#include "startup/uSettingsRules.h"

using Arguments = std::vector<std::wstring>;

TEST(SplitArguments, FollowsTheRunTimeRule) {
    const struct {
        const wchar_t* Line;
        Arguments Expected;
    } cases[] = {
        {L"prog.exe", {L"prog.exe"}},
        {L"  prog.exe   /a\t/b  ", {L"prog.exe", L"/a", L"/b"}},
        {L"\"C:\\My Files\\prog.exe\" /SkipStart", {L"C:\\My Files\\prog.exe", L"/SkipStart"}},
        // A switch name, a colon and a quoted value with a blank form one argument.
        {L"p /Campaign:\"spring sale\" x", {L"p", L"/Campaign:spring sale", L"x"}},
        {L"p a\"b c\"d", {L"p", L"ab cd"}},
        // A pair of quotes at the start of an argument is skipped.
        {L"p \"\" x", {L"p", L"x"}},
        {L"p \"\"\"\" x", {L"p", L"x"}},
        {L"p \"\"x", {L"p", L"x"}},
        // No escape character: a backslash before a quote is an ordinary character.
        {L"p \"a\\\" b", {L"p", L"a\\", L"b"}},
        // An unterminated quote runs to the end of the line.
        {L"p \"open ended", {L"p", L"open ended"}},
        // Control characters separate like blanks.
        {L"p\x01/a\x1F/b", {L"p", L"/a", L"/b"}},
        {L"", {}},
        {L"p \"\"", {L"p"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.Line)));
        EXPECT_EQ(rules::SplitArguments(c.Line), c.Expected);
    }
}

TEST(SplitSwitch, NameAndValue) {
    const struct {
        const wchar_t* Param;
        const wchar_t* Name;
        const wchar_t* Value;
    } cases[] = {
        {L"/Campaign:spring", L"Campaign", L"spring"},
        {L"-campaign:x", L"campaign", L"x"},
        {L"/Campaign:a:b", L"Campaign", L"a:b"},
        {L"/Campaign:", L"Campaign", L""},
        {L"/SkipStart", L"SkipStart", L""},
        {L"Campaign:x", L"Campaign:x", L""},
        {L"SkipStart", L"SkipStart", L""},
        {L"/", L"", L""},
        {L"/:v", L"", L"v"},
        {L"", L"", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.Param)));
        std::wstring name = L"stale";
        std::wstring value = L"stale";
        rules::SplitSwitch(c.Param, name, value);
        EXPECT_EQ(name, c.Name);
        EXPECT_EQ(value, c.Value);
    }
}

namespace {

// Compares ignoring case, as the program's locale-aware comparison does for
// the switch names.
bool SameNameInUserLocale(const std::wstring& left, const std::wstring& right) {
    if (left.size() != right.size()) return false;
    for (std::size_t i = 0; i < left.size(); ++i)
        if (std::towlower(left[i]) != std::towlower(right[i])) return false;
    return true;
}

rules::TSwitchSettings Read(Arguments arguments) {
    arguments.insert(arguments.begin(), L"C:\\prog.exe");
    rules::TSwitchSettings settings;
    rules::ReadSwitches(arguments, SameNameInUserLocale, settings);
    return settings;
}

}  // namespace

TEST(ReadSwitches, DefaultsWithoutArguments) {
    rules::TSwitchSettings s = Read({});
    EXPECT_FALSE(s.HideTrayIcon);
    EXPECT_TRUE(s.DisplayOffers);
    EXPECT_FALSE(s.RunApplication);
    EXPECT_FALSE(s.SkipStart);
    EXPECT_FALSE(s.SkipAfterInstallPage);
    EXPECT_EQ(s.Campaign, L"");
    EXPECT_EQ(s.DownloadPath, L"");
    EXPECT_EQ(s.OpenWebPage, L"");
}

TEST(ReadSwitches, FlagsAndTheirConditions) {
    EXPECT_TRUE(Read({L"/RunApplication"}).RunApplication);
    EXPECT_FALSE(Read({L"/RunApplication:1"}).RunApplication);
    EXPECT_TRUE(Read({L"/HideTrayIcon"}).HideTrayIcon);
    EXPECT_FALSE(Read({L"/HideTrayIcon:yes"}).HideTrayIcon);
    EXPECT_TRUE(Read({L"SkipStart"}).SkipStart);
    EXPECT_TRUE(Read({L"/SkipStart:no"}).SkipStart);
    EXPECT_TRUE(Read({L"-SKIPAFTERINSTALLPAGE:0"}).SkipAfterInstallPage);
    EXPECT_TRUE(Read({L"/DisplayOffers:no"}).DisplayOffers);
    // The program's own path is never a switch.
    rules::TSwitchSettings s;
    rules::ReadSwitches({L"/SkipStart"}, SameNameInUserLocale, s);
    EXPECT_FALSE(s.SkipStart);
}

TEST(ReadSwitches, Values) {
    EXPECT_EQ(Read({L"/Campaign:spring"}).Campaign, L"spring");
    EXPECT_EQ(Read({L"-campaign:x"}).Campaign, L"x");
    EXPECT_EQ(Read({L"Campaign:x"}).Campaign, L"");
    EXPECT_EQ(Read({L"/Campaign:a:b"}).Campaign, L"a:b");
    EXPECT_EQ(Read({L"/Campaign:one", L"/Campaign:two"}).Campaign, L"two");
    EXPECT_EQ(Read({L"/Campaign:one", L"/Campaign:"}).Campaign, L"");
    EXPECT_EQ(Read({L"/DownloadPath:http://a/b"}).DownloadPath, L"http://a/b");
    EXPECT_EQ(Read({L"/openwebpage:page"}).OpenWebPage, L"page");
    EXPECT_EQ(Read({L"/Unknown:1", L"/Campaign"}).Campaign, L"");
}

TEST(FinishCampaign, SwitchThenCookieThenVariantSuffix) {
    const struct {
        const wchar_t* Switch;
        bool BlockValid;
        const wchar_t* Cookie;
        int Variant;
        const wchar_t* Expected;
    } cases[] = {
        {L"spring", false, L"", 1, L"spring-affiliate_31095-ab_afterinstall_a"},
        {L"", true, L"", 2, L"affiliate_31095-ab_afterinstall_b"},
        {L"", false, L"", 1, L"affiliate_31095-ab_afterinstall_a"},
        {L"", true, L"cookie", 1, L"cookie-affiliate_31095-ab_afterinstall_a"},
        {L"switch", true, L"cookie", 2, L"switch-affiliate_31095-ab_afterinstall_b"},
        // An invalid block's leftovers are never used.
        {L"", false, L"partial", 1, L"affiliate_31095-ab_afterinstall_a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.Expected)));
        EXPECT_EQ(rules::FinishCampaign(c.Switch, c.BlockValid, c.Cookie, c.Variant), c.Expected);
    }
}

TEST(FileNameRules, ErrorCodeAndLinkerValue) {
    const struct {
        const wchar_t* Path;
        const wchar_t* ErrorCode;
        const wchar_t* GAParam;
    } cases[] = {
        {L"C:\\Downloads\\qlx_E12-setup.exe", L"E12", L""},
        {L"C:\\Downloads\\qlx_E12-setup_abc (1).exe", L"E12", L"abc"},
        {L"C:\\Downloads\\qlx_E12-setup_abc - Copy (2).exe", L"E12", L"abc"},
        {L"C:\\Downloads\\QLX_E12-setup.exe", L"", L""},
        {L"C:\\Downloads\\qlx_-setup.exe", L"", L""},
        {L"C:\\Downloads\\other-setup_abc.exe", L"", L"abc"},
        {L"C:\\Downloads\\QuelloxSetup.exe", L"", L""},
        {L"C:\\Downloads\\qlx_E12.exe", L"", L""},
        {L"C:\\Downloads\\qlx_E12-SETUP_x.exe", L"", L""},
        {L"C:\\qlx_dir\\x-setup_v.1.exe", L"", L"v.1"},
        {L"D:qlx_A-setup_B.tar.exe", L"A", L"B.tar"},
        {L"C:\\Downloads\\qlx_E1-setup-setup_g1-setup_g2.exe", L"E1", L"g1-setup_g2"},
        {L"C:\\Downloads\\x-setup_", L"", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.Path)));
        EXPECT_EQ(rules::ReadFileNameErrorCode(c.Path), c.ErrorCode);
        EXPECT_EQ(rules::ReadFileNameGAParam(c.Path), c.GAParam);
    }
}

TEST(FileNameRules, CopyNamesReadBackTheirValues) {
    const struct {
        const wchar_t* ErrorCode;
        const wchar_t* Linker;
        const wchar_t* Name;
    } cases[] = {
        {L"E12", L"forum", L"qlx_E12-setup_forum.exe"},
        {L"", L"spring-news", L"qlx-setup_spring-news.exe"},
        {L"E40", L"", L"qlx_E40-setup.exe"},
        {L"", L"", L"qlx-setup.exe"},
        {L"E 1", L"g1-setup_g2", L"qlx_E 1-setup_g1-setup_g2.exe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.Name)));
        EXPECT_EQ(rules::CopyFileName(c.ErrorCode, c.Linker), c.Name);
        EXPECT_EQ(rules::ReadFileNameErrorCode(c.Name), c.ErrorCode);
        EXPECT_EQ(rules::ReadFileNameGAParam(c.Name), c.Linker);
    }
}

TEST(TickCountDiff, ElapsedMillisecondsAlsoAcrossAWrap) {
    EXPECT_EQ(rules::TickCountDiff(1000, 400), 600u);
    EXPECT_EQ(rules::TickCountDiff(5, 5), 0u);
    EXPECT_EQ(rules::TickCountDiff(59'999, 0xFFFF'FFFFu), 60'000u);
    EXPECT_EQ(rules::TickCountDiff(0, 0xFFFF'FFFFu - 119'999u), 120'000u);
}

TEST(DrawABVariant, OneOrTwoWithEqualChance) {
    int counts[3] = {};
    for (std::uint32_t start = 0; start < 100'000; ++start) {
        int variant = rules::DrawABVariant(start * 2'654'435'761u);
        ASSERT_TRUE(variant == 1 || variant == 2);
        ++counts[variant];
    }
    EXPECT_NEAR(counts[1], 50'000, 1'000);
}
