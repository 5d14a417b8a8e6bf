// The setup file held between the signature check and the launch: nothing
// can change, replace, rename or delete it, and reading it still works.
#include <windows.h>

#include <gtest/gtest.h>

#include "TempDirectory.h"
#include "installer/uInstaller.h"
#include "startup/uGlobals.h"

namespace {

class SetupFileLock : public testing::Test {
protected:
    void SetUp() override {
        saved_ = Globals::SetupFileName;
        Globals::SetupFileName = folder_.File(L"setup.exe");
        folder_.Write(L"setup.exe", {'M', 'Z', 1, 2, 3});
        folder_.Write(L"planted.exe", {'M', 'Z', 6, 6, 6});
    }
    void TearDown() override { Globals::SetupFileName = saved_; }

    std::wstring Setup() const { return Globals::SetupFileName; }
    std::wstring Planted() const { return folder_.File(L"planted.exe"); }

    TempDirectory folder_;
    std::wstring saved_;
};

bool CanOpen(const std::wstring& path, DWORD access, DWORD share) {
    HANDLE file = CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
}

}  // namespace

TEST_F(SetupFileLock, ReplacementAttemptsFailWhileHeld) {
    platform::UniqueFile lock = Installer::LockSetupFile(Setup());
    ASSERT_TRUE(lock);
    const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

    EXPECT_FALSE(CanOpen(Setup(), GENERIC_WRITE, shareAll));
    EXPECT_FALSE(CanOpen(Setup(), FILE_APPEND_DATA, shareAll));
    EXPECT_FALSE(CanOpen(Setup(), DELETE, shareAll));
    EXPECT_FALSE(DeleteFileW(Setup().c_str()));
    EXPECT_FALSE(MoveFileExW(Planted().c_str(), Setup().c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(MoveFileW(Setup().c_str(), folder_.File(L"moved.exe").c_str()));
    EXPECT_FALSE(CopyFileW(Planted().c_str(), Setup().c_str(), FALSE));

    // The signature check and the system's loader only read.
    EXPECT_TRUE(CanOpen(Setup(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_TRUE(CanOpen(Setup(), GENERIC_READ | GENERIC_EXECUTE, FILE_SHARE_READ | FILE_SHARE_DELETE));

    lock.reset();
    EXPECT_TRUE(MoveFileExW(Planted().c_str(), Setup().c_str(), MOVEFILE_REPLACE_EXISTING));
}

TEST_F(SetupFileLock, MissingFileCannotBeLocked) {
    DeleteFileW(Setup().c_str());
    EXPECT_FALSE(Installer::LockSetupFile(Setup()));
}
