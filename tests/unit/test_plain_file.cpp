// Files in a folder that others can write to: a name is used only when its
// handle shows one plain file with one link at that very path, and a
// delete through such a handle removes that name and nothing else.
#include <windows.h>

#include <gtest/gtest.h>

#include "TempDirectory.h"
#include "platform/PlainFile.h"

namespace {

platform::UniqueFile OpenForDownload(const std::wstring& path) {
    return platform::OpenWithoutReparse(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        OPEN_ALWAYS);
}

std::string Contents(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    char buffer[256];
    DWORD read = 0;
    ReadFile(file, buffer, sizeof(buffer), &read, nullptr);
    CloseHandle(file);
    return std::string(buffer, read);
}

}  // namespace

TEST(PlainFile, AbsolutePathsOnly) {
    struct Case {
        const wchar_t* Path;
        bool Absolute;
    };
    const Case cases[] = {
        {L"C:\\Users\\me\\AppData\\Local\\Temp\\x_quellox_setup.exe", true},
        {L"z:\\x.exe", true},
        {L"\\\\server\\share\\x.exe", true},
        {L"5D1E7A40-93C2-4B8F-A6E1-0F47C2B9D358_quellox_setup.exe", false},  // no temporary folder
        {L"C:x.exe", false},      // relative to the drive's current folder
        {L"\\x.exe", false},      // relative to the current drive
        {L"\\\\\\x.exe", false},
        {L"", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::IsAbsolutePath(c.Path), c.Absolute) << testing::PrintToString(std::wstring(c.Path));
}

TEST(PlainFile, OwnFileIsAcceptedWithItsWholeSize) {
    TempDirectory folder;
    const std::wstring path = folder.File(L"setup.exe");
    platform::UniqueFile file = OpenForDownload(path);
    ASSERT_TRUE(file);
    // Past 4 GiB: the high part counts (the file is sparse).
    LARGE_INTEGER end;
    end.QuadPart = 0x100000000LL + 1000;
    ASSERT_TRUE(SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(file.get()));
    std::uint64_t size = 0;
    EXPECT_TRUE(platform::IsPlainFileAt(file.get(), path, size));
    EXPECT_EQ(size, 0x100000000ULL + 1000);
}

TEST(PlainFile, SecondHardLinkIsRefusedAndItsTargetKept) {
    TempDirectory folder;
    folder.Write(L"chosen.txt", {'k', 'e', 'p', 't'});
    const std::wstring path = folder.File(L"setup.exe");
    ASSERT_TRUE(CreateHardLinkW(path.c_str(), folder.File(L"chosen.txt").c_str(), nullptr));
    platform::UniqueFile file = OpenForDownload(path);
    ASSERT_TRUE(file);
    std::uint64_t size = 0;
    EXPECT_FALSE(platform::IsPlainFileAt(file.get(), path, size));
    file.reset();
    EXPECT_EQ(Contents(folder.File(L"chosen.txt")), "kept");
}

TEST(PlainFile, HandleOfAnotherPathIsRefused) {
    TempDirectory folder;
    folder.Write(L"other.exe", {'M', 'Z'});
    platform::UniqueFile file = OpenForDownload(folder.File(L"other.exe"));
    ASSERT_TRUE(file);
    std::uint64_t size = 0;
    EXPECT_FALSE(platform::IsPlainFileAt(file.get(), folder.File(L"setup.exe"), size));
    // The comparison ignores case, as the file system does.
    std::wstring upper = folder.File(L"OTHER.EXE");
    EXPECT_TRUE(platform::IsPlainFileAt(file.get(), upper, size));
}

TEST(PlainFile, FolderUnderTheNameCannotBeOpenedAsTheFile) {
    TempDirectory folder;
    const std::wstring path = folder.File(L"setup.exe");
    ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
    EXPECT_FALSE(OpenForDownload(path));
    EXPECT_NE(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

TEST(PlainFile, DeleteThroughHandleRemovesOnlyThatName) {
    TempDirectory folder;
    folder.Write(L"chosen.txt", {'k', 'e', 'p', 't'});
    const std::wstring path = folder.File(L"setup.exe");
    ASSERT_TRUE(CreateHardLinkW(path.c_str(), folder.File(L"chosen.txt").c_str(), nullptr));
    platform::UniqueFile file = platform::OpenWithoutReparse(
        path, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING);
    ASSERT_TRUE(file);
    EXPECT_TRUE(platform::DeleteThroughHandle(file.get()));
    file.reset();
    EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(Contents(folder.File(L"chosen.txt")), "kept");
}
