// The window's texts: the translations' table, its texts, the placeholders,
// and the choice of a language.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "ui/uLanguageChoice.h"
#include "ui/uTexts.h"

namespace {

// The template's msgids in order, line breaks as the program has them.
std::vector<std::wstring> TemplateTexts() {
    std::ifstream file(QUELLOX_SOURCE_DIR "/resources/lang/quellox.pot");
    std::vector<std::string> quoted;  // each msgid's quoted parts, joined
    bool inMsgid = false;
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind("msgid \"", 0) == 0) {
            quoted.push_back(line.substr(7, line.size() - 8));
            inMsgid = true;
        } else if (inMsgid && line.rfind("\"", 0) == 0) {
            quoted.back() += line.substr(1, line.size() - 2);
        } else {
            inMsgid = false;
        }
    }
    std::vector<std::wstring> found;
    for (const std::string& text : quoted) {
        if (text.empty()) continue;  // the header
        std::string plain;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
                plain += "\r\n";
                ++i;
            } else {
                plain += text[i];
            }
        }
        std::wstring wide;
        EXPECT_TRUE(texts::DecodeUtf8(plain, wide)) << text;
        found.push_back(wide);
    }
    return found;
}

using Bytes = std::vector<std::uint8_t>;

// A table of two languages whose texts are ASizes bytes long decompressed
// (ATotal in all, as the head says), with four bytes of compressed stream.
Bytes TwoLanguages(std::uint16_t AFirst, std::uint16_t ASecond, std::uint32_t ATotal, const char* AFirstTag = "de") {
    Bytes table = {2, 0, 0, 0, static_cast<std::uint8_t>(ATotal), static_cast<std::uint8_t>(ATotal >> 8),
                   static_cast<std::uint8_t>(ATotal >> 16), static_cast<std::uint8_t>(ATotal >> 24)};
    auto entry = [&table](std::string tag, std::uint8_t flags, std::uint16_t size) {
        tag.resize(12, '\0');
        table.insert(table.end(), tag.begin(), tag.end());
        table.insert(table.end(), {flags, 0, static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8)});
    };
    entry(AFirstTag, 0, AFirst);
    entry("ar", 1, ASecond);
    table.insert(table.end(), {0xAB, 0xCD, 0xEF, 0x01});
    return table;
}

std::string Joined(const std::vector<std::string>& ATexts) {
    std::string plain;
    for (const std::string& text : ATexts) plain += text + '\0';
    return plain;
}

}  // namespace

TEST(Texts, TheTemplateForTranslatorsIsTheProgramsEnglishInItsOrder) {
    std::vector<std::wstring> pot = TemplateTexts();
    ASSERT_EQ(pot.size(), static_cast<std::size_t>(texts::TextCount));
    for (int i = 0; i < texts::TextCount; ++i) {
        std::wstring english;
        EXPECT_TRUE(texts::DecodeUtf8(texts::English[i], english));
        EXPECT_EQ(pot[i], english) << "text " << i;
    }
}

TEST(Texts, ATableIsReadOnlyWhenItsLanguagesAddUp) {
    // 8 bytes of head, two entries of 16, 4 of stream.
    const Bytes good = TwoLanguages(900, 1200, 2100);
    texts::TTable table;
    ASSERT_TRUE(texts::ReadTable(good.data(), good.size(), table));
    ASSERT_EQ(table.Count, 2u);
    EXPECT_EQ(table.Languages[0].Tag, "de");
    EXPECT_FALSE(table.Languages[0].RightToLeft);
    EXPECT_EQ(table.Languages[0].PlainOffset, 0u);
    EXPECT_EQ(table.Languages[0].PlainSize, 900u);
    EXPECT_EQ(table.Languages[1].Tag, "ar");
    EXPECT_TRUE(table.Languages[1].RightToLeft);
    EXPECT_EQ(table.Languages[1].PlainOffset, 900u);
    EXPECT_EQ(table.Languages[1].PlainSize, 1200u);
    EXPECT_EQ(table.PlainSize, 2100u);
    EXPECT_EQ(table.Packed, good.data() + 40);
    EXPECT_EQ(table.PackedSize, 4u);

    const struct {
        const char* Why;
        Bytes Table;
        std::size_t Size;
    } refused[] = {
        {"sizes short of the whole", TwoLanguages(900, 1200, 2101), 44},
        {"sizes past the whole", TwoLanguages(900, 1200, 2099), 44},
        {"second entry cut short", TwoLanguages(900, 1200, 2100), 30},
        {"head cut short", TwoLanguages(900, 1200, 2100), 7},
        {"tag without its end", TwoLanguages(900, 1200, 2100, "abcdefghijkl"), 44},
        {"empty tag", TwoLanguages(900, 1200, 2100, ""), 44},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.Why);
        EXPECT_FALSE(texts::ReadTable(c.Table.data(), c.Size, table));
        EXPECT_EQ(table.Count, 0u);
    }
    EXPECT_FALSE(texts::ReadTable(nullptr, 0, table));
}

TEST(Texts, ATranslationReplacesWhatItHasAndLeavesEnglishForTheRest) {
    std::vector<std::string> translated(texts::TextCount);
    translated[texts::tiStartInstall] = "Installation starten";
    translated[texts::tiLicenseLink] = "\xE4\xBD\xBF\xE7\x94\xA8\xE8\xA8\xB1\xE8\xAB\xBE";  // 使用許諾
    texts::TTexts patterns;
    for (int i = 0; i < texts::TextCount; ++i) texts::DecodeUtf8(texts::English[i], patterns[i]);
    ASSERT_TRUE(texts::ReadTexts(Joined(translated), patterns));
    EXPECT_EQ(patterns[texts::tiStartInstall], L"Installation starten");
    EXPECT_EQ(patterns[texts::tiLicenseLink], L"\u4F7F\u7528\u8A31\u8AFE");
    EXPECT_EQ(patterns[texts::tiCaption], L"Setup \u2014 {product}");

    // A table that does not hold exactly the program's texts changes nothing.
    const std::vector<std::string> one_short(texts::TextCount - 1, "x");
    std::vector<std::string> one_more(texts::TextCount + 1, "x");
    std::vector<std::string> bad_utf8(texts::TextCount, "x");
    bad_utf8[3] = "\xC3";
    for (const std::string& plain : {Joined(one_short), Joined(one_more), Joined(bad_utf8), std::string("x")}) {
        texts::TTexts kept;
        kept[0] = L"kept";
        EXPECT_FALSE(texts::ReadTexts(plain, kept));
        EXPECT_EQ(kept[0], L"kept");
        EXPECT_EQ(kept[1], L"");
    }
}

TEST(Texts, Utf8IsDecodedOnlyWhenWellFormed) {
    const struct {
        std::string In;
        const wchar_t* Out;  // nullptr: refused
    } cases[] = {
        {"abc", L"abc"},
        {"\xC3\xA9", L"\u00E9"},
        {"\xD0\x98", L"\u0418"},
        {"\xE2\x80\x94", L"\u2014"},
        {"\xF0\x9F\x98\x80", L"\xD83D\xDE00"},  // as UTF-16, on every platform
        {"\xC0\xAF", nullptr},              // overlong '/'
        {"\xE0\x80\xAF", nullptr},          // overlong, three bytes
        {"\xED\xA0\x80", nullptr},          // a surrogate
        {"\xF4\x90\x80\x80", nullptr},      // past U+10FFFF
        {"\xE2\x80", nullptr},              // cut short
        {"\x80", nullptr},                  // a continuation alone
        {"\xE2\x28\xA1", nullptr},          // a continuation missing
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.In));
        std::wstring out;
        EXPECT_EQ(texts::DecodeUtf8(c.In, out), c.Out != nullptr);
        if (c.Out != nullptr) {
            EXPECT_EQ(out, c.Out);
        }
    }
}

TEST(Texts, PlaceholdersAreFilledOnceAndValuesAreNotReadAgain) {
    const texts::TPlaceholders values{L"Varnholt Quellox", L"Varnholt", L"{percent}", L"42"};
    const struct {
        const wchar_t* Pattern;
        const wchar_t* Filled;
    } cases[] = {
        {L"Setup \u2014 {product}", L"Setup \u2014 Varnholt Quellox"},
        {L"({percent} %)", L"(42 %)"},
        {L"(%{percent})", L"(%42)"},
        {L"{error}", L"{percent}"},
        {L"{maker}{maker}", L"VarnholtVarnholt"},
        {L"{unknown} {product", L"{unknown} {product"},
        {L"", L""},
    };
    for (const auto& c : cases) EXPECT_EQ(texts::Fill(c.Pattern, values), c.Filled) << testing::PrintToString(std::wstring(c.Pattern));
}

TEST(LanguageChoice, TheFirstPreferredLanguageTheCopyHasOrFallsBackTo) {
    const std::vector<std::wstring> shipped = {L"de", L"fr", L"es",    L"pt-BR", L"it", L"pl", L"ru",
                                               L"tr", L"ja", L"zh-CN", L"ko",    L"ar", L"he"};
    const struct {
        std::vector<std::wstring> Preferred;
        const wchar_t* Shown;  // "en": English
    } cases[] = {
        {{L"de-DE"}, L"de"},
        {{L"de-AT"}, L"de"},
        {{L"de_CH"}, L"de"},
        {{L"pt-BR"}, L"pt-BR"},
        {{L"pt-PT"}, L"pt-BR"},
        {{L"PT"}, L"pt-BR"},
        {{L"zh-CN"}, L"zh-CN"},
        {{L"zh-SG"}, L"zh-CN"},
        {{L"zh-Hans-HK"}, L"zh-CN"},
        {{L"zh-TW"}, L"en"},
        {{L"zh-HK"}, L"en"},
        {{L"zh-Hant"}, L"en"},
        {{L"zh-TW", L"ja-JP"}, L"ja"},
        {{L"nl-NL", L"fr-BE"}, L"fr"},
        {{L"en-GB", L"de-DE"}, L"en"},
        {{L"nl-NL", L"en-US", L"de-DE"}, L"en"},
        {{L"nl-NL"}, L"en"},
        {{L""}, L"en"},
        {{}, L"en"},
        {{L"ar-EG"}, L"ar"},
        {{L"he-IL"}, L"he"},
        {{L"ko-KR"}, L"ko"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.Preferred));
        const int chosen = languages::Choose(c.Preferred, shipped);
        EXPECT_EQ(chosen < 0 ? std::wstring(L"en") : shipped[static_cast<std::size_t>(chosen)], c.Shown);
    }
    // A region's own translation wins over its language's.
    EXPECT_EQ(languages::Choose({L"pt-PT"}, {L"pt-BR", L"pt-PT"}), 1);
    EXPECT_EQ(languages::Choose({L"pt-AO"}, {L"pt-BR", L"pt-PT"}), 0);
    // A Serbian reader of one script is not given the other.
    EXPECT_EQ(languages::Choose({L"sr-Latn-RS"}, {L"sr-Cyrl"}), -1);
}

TEST(LanguageChoice, TagsAreCarriedInOneForm) {
    EXPECT_EQ(languages::Normalize(L"pt_BR"), L"pt-br");
    EXPECT_EQ(languages::Normalize(L"ZH-cn"), L"zh-cn");
    EXPECT_TRUE(languages::IsEnglish(L"EN_gb"));
    EXPECT_FALSE(languages::IsEnglish(L"eo"));
    EXPECT_FALSE(languages::IsEnglish(L""));
}
