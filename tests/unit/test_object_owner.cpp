// What the elevated run creates (the download, the copy; its folders take
// the protected descriptor, owner included) names the Administrators as
// its owner: left to the token's default owner, policy can make it the user's own SID, whose unelevated
// programs could then change its DACL. (Wine keeps no owner on files, so
// the descriptor the calls pass is what is checked.)
#include <windows.h>

#include <gtest/gtest.h>

#include "TempDirectory.h"
#include "platform/AdminNamespace.h"
#include "platform/PlainFile.h"

TEST(ObjectOwner, NewObjectsNameTheAdministratorsAndInheritTheirDacl) {
    SECURITY_ATTRIBUTES* attributes = platform::OwnedByAdministrators();
    ASSERT_EQ(attributes->nLength, sizeof(SECURITY_ATTRIBUTES));
    EXPECT_FALSE(attributes->bInheritHandle);
    PSECURITY_DESCRIPTOR descriptor = attributes->lpSecurityDescriptor;
    ASSERT_TRUE(IsValidSecurityDescriptor(descriptor));
    PSID owner = nullptr;
    BOOL defaulted = TRUE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(descriptor, &owner, &defaulted));
    ASSERT_NE(owner, nullptr);
    EXPECT_TRUE(IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
    EXPECT_FALSE(defaulted);
    PACL dacl = nullptr;
    BOOL present = TRUE;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    EXPECT_FALSE(present);

    // The calls that create take it.
    TempDirectory folder;
    std::wstring file = folder.Path() + L"\\created.bin";
    EXPECT_TRUE(platform::OpenWithoutReparse(file, GENERIC_WRITE, 0, CREATE_NEW)) << GetLastError();
    EXPECT_TRUE(CreateDirectoryW((folder.Path() + L"\\Temp").c_str(), attributes)) << GetLastError();
}
