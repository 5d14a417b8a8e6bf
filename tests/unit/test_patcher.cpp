// TSignaturePatcher on real files: what it reads, and what it leaves alone.
#include <windows.h>

#include <gtest/gtest.h>

#include "SignatureFixture.h"
#include "TempDirectory.h"
#include "startup/uPatcher.h"

TEST(SignaturePatcher, ReadsTheStampedBlockAtTheEndOfALargeFile) {
    TempDirectory folder;
    // A stamped signature ends the file, padded to 8 bytes as signing tools do.
    folder.Write(L"stamped.exe", Concat({Filler(100'000), StampedBlock(L"spring sale", L"p-1", L"t-2"), Bytes(4)}));
    TSignaturePatcher patcher(folder.File(L"stamped.exe"));
    ASSERT_TRUE(patcher.IsValid());
    EXPECT_EQ(patcher.GetData(dtCookie), L"spring sale");
    EXPECT_EQ(patcher.GetData(dtIdPartner), L"p-1");
    EXPECT_EQ(patcher.GetData(dtIdTraffic), L"t-2");
}

TEST(SignaturePatcher, UnusableFilesAreSilentlyInvalid) {
    TempDirectory folder;
    folder.Write(L"short.exe", TailWith(StampedBlock(L"c", L"p", L"t"), 0, 4095));
    folder.Write(L"empty.exe", {});
    folder.Write(L"unstamped.exe", Filler(10'000));
    CreateDirectoryW(folder.File(L"folder.exe").c_str(), nullptr);

    for (const wchar_t* name : {L"missing.exe", L"short.exe", L"empty.exe", L"unstamped.exe", L"folder.exe"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
        TSignaturePatcher patcher(folder.File(name));
        EXPECT_FALSE(patcher.IsValid());
        EXPECT_EQ(patcher.GetData(dtCookie), L"");
    }
}

TEST(SignaturePatcher, AFileOfExactly4096BytesCarriesABlock) {
    // The smallest file that can: 4095 bytes cannot (see above).
    TempDirectory folder;
    folder.Write(L"exact.exe", TailWith(StampedBlock(L"exact", L"p", L"t"), 0, 4096));
    TSignaturePatcher patcher(folder.File(L"exact.exe"));
    ASSERT_TRUE(patcher.IsValid());
    EXPECT_EQ(patcher.GetData(dtCookie), L"exact");
}

TEST(SignaturePatcher, ReadsAFileThatOthersHaveOpenForWriting) {
    TempDirectory folder;
    folder.Write(L"busy.exe", TailWith(StampedBlock(L"busy", L"", L""), 0, 8192));
    HANDLE writer = CreateFileW(folder.File(L"busy.exe").c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    TSignaturePatcher patcher(folder.File(L"busy.exe"));
    CloseHandle(writer);
    EXPECT_TRUE(patcher.IsValid());
    EXPECT_EQ(patcher.GetData(dtCookie), L"busy");
}

TEST(SignaturePatcher, ClosesTheFileItRead) {
    TempDirectory folder;
    folder.Write(L"read.exe", TailWith(StampedBlock(L"c", L"p", L"t"), 0));
    { TSignaturePatcher patcher(folder.File(L"read.exe")); }
    // An exclusive open succeeds only when no handle is left behind.
    HANDLE exclusive = CreateFileW(folder.File(L"read.exe").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                   nullptr);
    EXPECT_NE(exclusive, INVALID_HANDLE_VALUE);
    CloseHandle(exclusive);
}
