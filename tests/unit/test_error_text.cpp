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
    EXPECT_EQ(platform::FormatApplicationError(L"TSystemError", L"QuelloxSetup.exe", 0x00401A2Bu,
                                               L"System Error.  Code: 32.\r\nSharing violation"),
              L"Exception TSystemError in module QuelloxSetup.exe at 00401A2B.\r\n"
              L"System Error.  Code: 32.\r\nSharing violation.\r\n");
    EXPECT_EQ(platform::FormatApplicationError(L"E", L"m.exe", 0, L"Done."),
              L"Exception E in module m.exe at 00000000.\r\nDone.\r\n");
    EXPECT_EQ(platform::FormatApplicationError(L"E", L"m.exe", 0xFFFFFFFFu, L""),
              L"Exception E in module m.exe at FFFFFFFF.\r\n\r\n");
}
