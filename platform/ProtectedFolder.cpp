// A new folder under %ProgramData% that only SYSTEM and the Administrators
// can write to, and its removal.
#include "platform/ProtectedFolder.h"

#include <windows.h>

#include <objbase.h>
#include <sddl.h>

#include "platform/SystemLibrary.h"
#include "platform/Unique.h"

namespace platform {

namespace {

// FOLDERID_ProgramData.
constexpr GUID ProgramDataFolder = {0x62AB5D82, 0xFDC1, 0x4DC3, {0xA9, 0xDD, 0x07, 0x0D, 0x1D, 0x49, 0x5D, 0x97}};

// Owner Administrators (so that the user's own unelevated processes do not
// get the owner's right to change the DACL); a protected DACL, so nothing
// is inherited from %ProgramData%, where Users may create folders: full
// access for SYSTEM and Administrators, passed on to the files inside.
constexpr wchar_t FolderSecurity[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// The folder from the system's known-folder table, not from the environment,
// which the user controls. shell32 is loaded only here, from System32.
std::wstring ProgramDataPath() {
    UniqueLibrary shell32 = LoadSystemLibrary(L"shell32.dll");
    if (!shell32) return {};
    using GetKnownFolderPath = HRESULT(WINAPI*)(REFGUID, DWORD, HANDLE, PWSTR*);
    auto getPath = GetFunction<GetKnownFolderPath>(shell32.get(), "SHGetKnownFolderPath");
    if (getPath == nullptr) return {};
    PWSTR path = nullptr;
    HRESULT result = getPath(ProgramDataFolder, 0, nullptr, &path);
    std::wstring folder = SUCCEEDED(result) && path != nullptr ? path : L"";
    CoTaskMemFree(path);
    return folder;
}

}  // namespace

std::wstring NewGuidText() {
    GUID guid;
    if (FAILED(CoCreateGuid(&guid))) return {};
    wchar_t text[40];
    if (StringFromGUID2(guid, text, 40) == 0) return {};
    return text;
}

std::wstring CreateProtectedFolder(const wchar_t* APrefix) {
    std::wstring parent = ProgramDataPath();
    std::wstring name = NewGuidText();
    if (parent.empty() || name.empty()) return {};
    if (parent.back() != L'\\') parent += L'\\';
    std::wstring folder = parent + APrefix + name;

    UniqueLocalMemory descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(FolderSecurity, SDDL_REVISION_1,
                                                              reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()),
                                                              nullptr))
        return {};
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor.get();
    // Fails with ERROR_ALREADY_EXISTS for a name someone made before us.
    if (!CreateDirectoryW(folder.c_str(), &attributes)) return {};
    return folder;
}

void RemoveProtectedFolder(const std::wstring& AFolder, const std::wstring& AFileName) {
    if (AFolder.empty()) return;
    std::wstring file = AFolder + L"\\" + AFileName;
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (DeleteFileW(file.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) break;
        Sleep(100);
    }
    RemoveDirectoryW(AFolder.c_str());
}

}  // namespace platform
