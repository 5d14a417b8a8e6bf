// String helpers shared by the units.
#include <gtest/gtest.h>

#include "platform/Strings.h"

TEST(Strings, TrimDropsBlanksAndControlCharactersAtBothEnds) {
    EXPECT_EQ(platform::Trim(std::wstring(L"\0 \t two words \r\n\0", 17)), L"two words");
    EXPECT_EQ(platform::Trim(L"   "), L"");
    EXPECT_EQ(platform::Trim(L""), L"");
    EXPECT_EQ(platform::Trim(L"\x00A0x\x00A0"), L"\x00A0x\x00A0");
}

TEST(Strings, FileNameAndExtension) {
    const struct {
        const wchar_t* Path;
        const wchar_t* FileName;
        const wchar_t* WithoutExtension;
    } cases[] = {
        {L"C:\\dir\\name.exe", L"name.exe", L"C:\\dir\\name"},
        {L"C:\\dir.d\\name", L"name", L"C:\\dir.d\\name"},
        {L"C:name.tar.gz", L"name.tar.gz", L"C:name.tar"},
        {L"name.", L"name.", L"name"},
        {L"C:\\dir\\", L"", L"C:\\dir\\"},
        {L"", L"", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.Path)));
        EXPECT_EQ(platform::ExtractFileName(c.Path), c.FileName);
        EXPECT_EQ(platform::ChangeFileExt(c.Path, L""), c.WithoutExtension);
    }
    EXPECT_EQ(platform::ChangeFileExt(L"a\\b.exe", L".txt"), L"a\\b.txt");
    EXPECT_EQ(platform::ChangeFileExt(L"a.d\\b", L".txt"), L"a.d\\b.txt");
}

TEST(Strings, Numbers) {
    std::wstring text;
    platform::AppendDecimal(text, 0);
    text += L' ';
    platform::AppendDecimal(text, -2147483648LL);
    text += L' ';
    platform::AppendDecimal(text, 4294967295LL);
    text += L' ';
    platform::AppendHex(text, 0x0040ABCDu, 8);
    EXPECT_EQ(text, L"0 -2147483648 4294967295 0040ABCD");
}

TEST(Strings, LongPathOfAFolderOnADrive) {
    EXPECT_EQ(platform::LongPath(L"C:\\ProgramData\\QuelloxSetup-{X}"), L"\\\\?\\C:\\ProgramData\\QuelloxSetup-{X}");
}
