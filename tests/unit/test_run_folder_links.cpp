// A run folder holds whatever the setup program left in it, links too:
// removing the folder empties its real subfolders and removes each link
// itself, never what the link leads to.
#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TempDirectory.h"
#include "platform/ProtectedFolder.h"

namespace {

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void WriteFileAt(const std::wstring& path, const char* text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

TEST(RunFolderLinks, RemovingARunFolderRemovesItsLinksAndNeverFollowsThem) {
    TempDirectory outside;
    ASSERT_TRUE(CreateDirectoryW(outside.File(L"sub").c_str(), nullptr));
    WriteFileAt(outside.File(L"keep.txt"), "not the run's");
    WriteFileAt(outside.File(L"sub\\keep.txt"), "not the run's either");

    platform::TProtectedFolder folder = platform::CreateProtectedFolder(L"QuelloxSetupLinkTest-");
    ASSERT_FALSE(folder.Path.empty());
    // What a setup program leaves: real folders with files, and links out of the folder.
    const std::wstring temp = folder.Path + L"\\Temp", unpacked = temp + L"\\unpacked";
    ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(unpacked.c_str(), nullptr));
    WriteFileAt(unpacked + L"\\helper.dll", "MZ");
    for (const std::wstring& link : {folder.Path + L"\\to-a-folder", temp + L"\\to-a-folder"})
        ASSERT_TRUE(CreateSymbolicLinkW(link.c_str(), outside.Path().c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY)) << GetLastError();
    ASSERT_TRUE(CreateSymbolicLinkW((unpacked + L"\\to-a-file.txt").c_str(), outside.File(L"keep.txt").c_str(), 0))
        << GetLastError();
    // The link must be seen as one where the removal looks (else this test would test nothing).
    ASSERT_NE(GetFileAttributesW((temp + L"\\to-a-folder").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);

    platform::RemoveProtectedFolder(folder);

    EXPECT_FALSE(Exists(unpacked + L"\\helper.dll"));
    EXPECT_FALSE(Exists(temp));
    EXPECT_FALSE(Exists(folder.Path));
    for (const wchar_t* kept : {L"keep.txt", L"sub\\keep.txt", L"sub"}) {
        SCOPED_TRACE(testing::Message() << "outside\\" << std::string(kept, kept + wcslen(kept)));
        EXPECT_TRUE(Exists(outside.File(kept)));
    }
}
