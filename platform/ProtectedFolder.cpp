// Folders under %ProgramData% that only SYSTEM and the Administrators can
// write to: made, checked, held and removed.
#include "platform/ProtectedFolder.h"

#include <aclapi.h>
#include <objbase.h>
#include <sddl.h>

#include "platform/PlainFile.h"
#include "platform/Strings.h"
#include "platform/SystemLibrary.h"

namespace platform {

namespace {

// FOLDERID_ProgramData.
constexpr GUID ProgramDataFolderId = {0x62AB5D82, 0xFDC1, 0x4DC3, {0xA9, 0xDD, 0x07, 0x0D, 0x1D, 0x49, 0x5D, 0x97}};

// Owner Administrators (so that the user's own unelevated processes do not
// get the owner's right to change the DACL); a protected DACL, so nothing
// is inherited from %ProgramData%, where Users may create folders: full
// access for SYSTEM and Administrators, passed on to the files inside.
constexpr wchar_t FolderSecurity[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// A folder opened as itself (a reparse point is not followed), shared for
// reading and writing but not for deletion: while it is open, no one can
// delete or rename it.
UniqueFile OpenFolder(const std::wstring& APath, DWORD AAccess) {
    return UniqueFile(CreateFileW(APath.c_str(), AAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// The owner of an open file or folder; ASecurity keeps it. Null on failure.
PSID OwnerOf(HANDLE AObject, UniqueLocalMemory& ASecurity) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(AObject, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS)
        return nullptr;
    ASecurity.reset(descriptor);
    return owner;
}

// Whether the volume of APath keeps ACLs: on one that does not (FAT, some
// network shares), a protected DACL protects nothing.
bool KeepsAcls(const std::wstring& APath) {
    wchar_t root[MAX_PATH + 1] = {};
    DWORD flags = 0;
    return GetVolumePathNameW(APath.c_str(), root, MAX_PATH + 1) &&
           GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
           (flags & FILE_PERSISTENT_ACLS) != 0;
}

// The owner and DACL of an open folder in SDDL form; empty on failure.
std::wstring OwnerAndDacl(HANDLE AFolder) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(AFolder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return {};
    UniqueLocalMemory owned(descriptor);
    UniqueLocalMemory text;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                                              reinterpret_cast<LPWSTR*>(text.put()), nullptr))
        return {};
    return static_cast<const wchar_t*>(text.get());
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper-case hex, as NewGuidText writes it.
bool IsGuidText(const std::wstring& AText) {
    if (AText.size() != 38 || AText.front() != L'{' || AText.back() != L'}') return false;
    for (std::size_t i = 1; i < 37; ++i) {
        wchar_t c = AText[i];
        bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? c != L'-' : !((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'))) return false;
    }
    return true;
}

// Deletes everything inside APath, a path in the "\\?\" form (what a setup
// program unpacked may lie deeper than MAX_PATH); a reparse point inside (a
// junction, a link) is removed itself, never followed. True when the folder
// is empty.
bool DeleteContents(const std::wstring& APath) {
    WIN32_FIND_DATAW entry;
    UniqueFind search(FindFirstFileExW((APath + L"\\*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                       nullptr, 0));
    if (!search) return GetLastError() == ERROR_FILE_NOT_FOUND;
    bool empty = true;
    do {
        std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        std::wstring path = APath + L"\\" + name;
        bool folder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        bool link = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (folder && !link && !DeleteContents(path)) empty = false;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!(folder ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str()))) empty = false;
    } while (FindNextFileW(search.get(), &entry));
    return empty;
}

// Creates APath with the protected DACL; false when it exists or cannot be made.
bool CreateFolderWithSecurity(const std::wstring& APath) {
    UniqueLocalMemory descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(FolderSecurity, SDDL_REVISION_1,
                                                              reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()),
                                                              nullptr))
        return false;
    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor.get();
    return CreateDirectoryW(APath.c_str(), &attributes) != FALSE;
}

// A run folder's prefix, for the reference folder below.
constexpr wchar_t ReferencePrefix[] = L"QuelloxSetup-";

}  // namespace

// What this system gives back, owner and DACL in SDDL form, for a folder made
// with the protected DACL (Wine, for one, writes the Administrators' entries
// as the user's own SID): a folder of another owner or with other rights is
// not ours. Read from a new folder made for the purpose; empty on failure.
static std::wstring ProtectedSecurityText() {
    TProtectedFolder reference = CreateProtectedFolder(ReferencePrefix);
    if (reference.Path.empty()) return {};
    std::wstring text = OwnerAndDacl(reference.Hold.get());
    RemoveProtectedFolder(reference);
    return text;
}

std::wstring ProgramDataFolder() { return KnownFolder(ProgramDataFolderId); }

std::wstring KnownFolder(const GUID& AFolderId) {
    UniqueLibrary shell32 = LoadSystemLibrary(L"shell32.dll");
    if (!shell32) return {};
    using GetKnownFolderPath = HRESULT(WINAPI*)(REFGUID, DWORD, HANDLE, PWSTR*);
    auto getPath = GetFunction<GetKnownFolderPath>(shell32.get(), "SHGetKnownFolderPath");
    if (getPath == nullptr) return {};
    PWSTR path = nullptr;
    HRESULT result = getPath(AFolderId, 0, nullptr, &path);
    std::wstring folder = SUCCEEDED(result) && path != nullptr ? path : L"";
    CoTaskMemFree(path);
    while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
    return folder;
}

std::wstring NewGuidText() {
    GUID guid;
    if (FAILED(CoCreateGuid(&guid))) return {};
    wchar_t text[40];
    if (StringFromGUID2(guid, text, 40) == 0) return {};
    return text;
}

TProtectedFolder CreateProtectedFolder(const wchar_t* APrefix) {
    std::wstring parent = ProgramDataFolder();
    std::wstring name = NewGuidText();
    if (parent.empty() || name.empty() || !KeepsAcls(parent)) return {};
    TProtectedFolder folder;
    std::wstring path = parent + L"\\" + APrefix + name;
    // Fails with ERROR_ALREADY_EXISTS for a name someone made before us.
    if (!CreateFolderWithSecurity(path)) return {};
    folder.Hold = OpenFolder(path, FILE_LIST_DIRECTORY | READ_CONTROL);
    if (!folder.Hold || !IsFolderAt(folder.Hold.get(), path)) {
        folder.Hold.reset();
        RemoveDirectoryW(path.c_str());
        return {};
    }
    folder.Path = path;
    return folder;
}

bool EnsureProtectedFolder(const std::wstring& APath) {
    if (!KeepsAcls(APath)) return false;
    if (CreateFolderWithSecurity(APath)) {
        UniqueFile folder = OpenFolder(APath, FILE_LIST_DIRECTORY | READ_CONTROL);
        return folder && IsFolderAt(folder.get(), APath);
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
    // Read access only: nothing is changed on a folder that is not ours, and
    // one whose DACL denies the Administrators is simply not adopted.
    UniqueFile folder = OpenFolder(APath, FILE_LIST_DIRECTORY | READ_CONTROL);
    if (!folder || !IsFolderAt(folder.get(), APath)) return false;
    std::wstring ours = ProtectedSecurityText();
    return !ours.empty() && OwnerAndDacl(folder.get()) == ours;
}

bool CanProtectFolders() {
    std::wstring parent = ProgramDataFolder();
    if (parent.empty() || !KeepsAcls(parent)) return false;
    UniqueFile folder = OpenFolder(parent, FILE_LIST_DIRECTORY | READ_CONTROL);
    return folder && IsFolderAt(folder.get(), parent);
}

bool IsOwnedByUs(HANDLE AFile, const std::wstring& AFolder) {
    UniqueLocalMemory fileSecurity;
    PSID owner = OwnerOf(AFile, fileSecurity);
    if (owner == nullptr) return false;
    if (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) return true;
    UniqueHandle token;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        union {
            TOKEN_OWNER Owner;
            BYTE Bytes[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE];
        } tokenOwner;
        DWORD size = 0;
        if (GetTokenInformation(token.get(), TokenOwner, &tokenOwner, sizeof(tokenOwner), &size) &&
            EqualSid(owner, tokenOwner.Owner.Owner))
            return true;
    }
    // The protected folder's own owner, as this system writes it (Wine, for
    // one, writes the user's SID for the Administrators).
    UniqueFile folder = OpenFolder(AFolder, READ_CONTROL);
    UniqueLocalMemory folderSecurity;
    PSID folderOwner = folder ? OwnerOf(folder.get(), folderSecurity) : nullptr;
    return folderOwner != nullptr && EqualSid(owner, folderOwner);
}

void RemoveProtectedFolder(TProtectedFolder& AFolder) {
    if (AFolder.Path.empty()) return;
    const std::wstring path = LongPath(AFolder.Path);
    for (int attempt = 0; attempt < 20 && !DeleteContents(path); ++attempt) Sleep(100);
    AFolder.Hold.reset();
    RemoveDirectoryW(path.c_str());
    AFolder.Path.clear();
}

void RemoveAbandonedFolders(const wchar_t* APrefix) {
    std::wstring parent = ProgramDataFolder();
    if (parent.empty()) return;
    std::wstring ours = ProtectedSecurityText();
    if (ours.empty()) return;

    const std::wstring prefix = APrefix;
    WIN32_FIND_DATAW entry;
    UniqueFind search(FindFirstFileExW((parent + L"\\" + prefix + L"*").c_str(), FindExInfoBasic, &entry,
                                       FindExSearchLimitToDirectories, nullptr, 0));
    if (!search) return;
    do {
        std::wstring name = entry.cFileName;
        if (name.compare(0, prefix.size(), prefix) != 0 || !IsGuidText(name.substr(prefix.size()))) continue;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
            (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            continue;
        std::wstring path = parent + L"\\" + name;
        {
            // Asking for delete access fails with a sharing violation while a
            // live installer holds the folder. The handle goes before the
            // folder is emptied: listing it is a share that its delete access
            // would refuse.
            UniqueFile folder = OpenFolder(path, DELETE | READ_CONTROL);
            if (!folder || !IsFolderAt(folder.get(), path) || OwnerAndDacl(folder.get()) != ours) continue;
        }
        path = LongPath(path);
        if (DeleteContents(path)) RemoveDirectoryW(path.c_str());
    } while (FindNextFileW(search.get(), &entry));
}

}  // namespace platform
