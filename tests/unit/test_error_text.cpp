// Texts of the process-wide error report.
#include <gtest/gtest.h>

#include "platform/ErrorText.h"

TEST(ErrorText, SystemErrorMessage) {
    EXPECT_EQ(platform::FormatSystemErrorMessage(32, L"The file is in use"),
              L"System Error.  Code: 32.\r\nThe file is in use");
    EXPECT_EQ(platform::FormatSystemErrorMessage(-2147024891, L""), L"System Error.  Code: -2147024891.\r\n");
}

TEST(ErrorText, SystemDescriptionLosesItsLineBreakAndFullStop) {
    EXPECT_EQ(platform::TrimSystemDescription(L"Access denied.\r\n"), L"Access denied");
    EXPECT_EQ(platform::TrimSystemDescription(L"Sharing violation"), L"Sharing violation");
    EXPECT_EQ(platform::TrimSystemDescription(L".\r\n"), L"");
}

TEST(ErrorText, ApplicationErrorAddsAFullStopOnlyWhenMissing) {
    EXPECT_EQ(platform::FormatApplicationError(L"TSystemError", L"QuelloxSetup.exe", 0x00401A2Bu, 8,
                                               L"System Error.  Code: 32.\r\nSharing violation"),
              L"Exception TSystemError in module QuelloxSetup.exe at 00401A2B.\r\n"
              L"System Error.  Code: 32.\r\nSharing violation.\r\n");
    EXPECT_EQ(platform::FormatApplicationError(L"E", L"m.exe", 0, 8, L"Done."),
              L"Exception E in module m.exe at 00000000.\r\nDone.\r\n");
    EXPECT_EQ(platform::FormatApplicationError(L"E", L"m.exe", 0xFFFFFFFFu, 8, L""),
              L"Exception E in module m.exe at FFFFFFFF.\r\n\r\n");
}

TEST(ErrorText, ApplicationErrorShowsTheWholeAddressOfA64BitProcess) {
    // A 64-bit image lies above 4 GiB (0x140000000 by default): all of it shows.
    EXPECT_EQ(platform::FormatApplicationError(L"E", L"QuelloxSetup.exe", 0x0000000140001A2Bull, 16, L"x"),
              L"Exception E in module QuelloxSetup.exe at 0000000140001A2B.\r\nx.\r\n");
}
