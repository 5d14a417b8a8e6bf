// Files in folders that other users' code can write to, opened and deleted
// through handles that were checked.
#include "platform/PlainFile.h"

#include <vector>

#include "platform/AdminNamespace.h"

namespace platform {

namespace {

// The DOS form of a final path: "\\?\C:\x" is "C:\x", "\\?\UNC\s\x" is "\\s\x".
std::wstring WithoutLongPrefix(const std::wstring& APath) {
    if (APath.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\\\" + APath.substr(8);
    if (APath.compare(0, 4, L"\\\\?\\") == 0) return APath.substr(4);
    return APath;
}

std::wstring FinalPath(HANDLE AFile) {
    DWORD needed = GetFinalPathNameByHandleW(AFile, nullptr, 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (needed == 0) return {};
    std::vector<wchar_t> buffer(needed + 1);
    DWORD length = GetFinalPathNameByHandleW(AFile, buffer.data(), static_cast<DWORD>(buffer.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= buffer.size()) return {};
    return WithoutLongPrefix(std::wstring(buffer.data(), length));
}

bool IsLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

}  // namespace

bool IsAbsolutePath(const std::wstring& APath) {
    if (APath.size() >= 3 && IsLetter(APath[0]) && APath[1] == L':' && APath[2] == L'\\') return true;
    return APath.size() >= 3 && APath[0] == L'\\' && APath[1] == L'\\' && APath[2] != L'\\';
}

UniqueFile OpenWithoutReparse(const std::wstring& APath, DWORD AAccess, DWORD AShare, DWORD ADisposition) {
    // A file it creates is the Administrators' (see OwnedByAdministrators).
    return UniqueFile(CreateFileW(APath.c_str(), AAccess, AShare, OwnedByAdministrators(), ADisposition,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

bool IsPlainFileAt(HANDLE AFile, const std::wstring& APath, std::uint64_t& ASize) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(AFile, &info)) return false;
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) return false;
    if (info.nNumberOfLinks != 1) return false;
    std::wstring finalPath = FinalPath(AFile);
    if (finalPath.empty() ||
        CompareStringOrdinal(finalPath.c_str(), static_cast<int>(finalPath.size()), APath.c_str(),
                             static_cast<int>(APath.size()), TRUE) != CSTR_EQUAL)
        return false;
    ASize = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return true;
}

bool IsFolderAt(HANDLE AFolder, const std::wstring& APath) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(AFolder, &info)) return false;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return false;
    std::wstring finalPath = FinalPath(AFolder);
    return !finalPath.empty() && CompareStringOrdinal(finalPath.c_str(), static_cast<int>(finalPath.size()),
                                                      APath.c_str(), static_cast<int>(APath.size()), TRUE) == CSTR_EQUAL;
}

bool DeleteThroughHandle(HANDLE AFile) {
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(AFile, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

}  // namespace platform
