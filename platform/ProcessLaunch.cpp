// Starts a program under a duplicate of this process's own access token.
#include "platform/ProcessLaunch.h"

#include <vector>

#include "platform/SystemLibrary.h"

namespace platform {

std::wstring MachineEnvironment() {
    UniqueLibrary userenv = LoadSystemLibrary(L"userenv.dll");
    if (!userenv) return {};
    using CreateBlock = BOOL(WINAPI*)(LPVOID*, HANDLE, BOOL);
    using DestroyBlock = BOOL(WINAPI*)(LPVOID);
    auto create = GetFunction<CreateBlock>(userenv.get(), "CreateEnvironmentBlock");
    auto destroy = GetFunction<DestroyBlock>(userenv.get(), "DestroyEnvironmentBlock");
    if (create == nullptr || destroy == nullptr) return {};
    // No token: the system's variables only. Nothing inherited from this
    // process, whose environment the user's shell and HKCU\Environment made.
    void* block = nullptr;
    if (!create(&block, nullptr, FALSE) || block == nullptr) return {};
    const wchar_t* end = static_cast<const wchar_t*>(block);
    while (*end != L'\0') end += wcslen(end) + 1;
    std::wstring copy(static_cast<const wchar_t*>(block), end + 1);
    destroy(block);
    return copy;
}

std::wstring WindowsFolder() {
    wchar_t path[MAX_PATH + 1] = {};
    UINT length = GetSystemWindowsDirectoryW(path, MAX_PATH + 1);
    return length > 0 && length <= MAX_PATH ? std::wstring(path, length) : std::wstring();
}

std::wstring UserProfileFolder() {
    UniqueLibrary userenv = LoadSystemLibrary(L"userenv.dll");
    if (!userenv) return {};
    using GetProfileFolder = BOOL(WINAPI*)(HANDLE, LPWSTR, LPDWORD);
    auto get = GetFunction<GetProfileFolder>(userenv.get(), "GetUserProfileDirectoryW");
    UniqueHandle token;
    if (get == nullptr || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return {};
    wchar_t path[MAX_PATH + 1] = {};
    DWORD length = MAX_PATH + 1;
    if (!get(token.get(), path, &length)) return {};
    return path;
}

bool AccountName(std::wstring& AName, std::wstring& ADomain) {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
    // TOKEN_USER and the SID that follows it.
    alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenUser, user, sizeof(user), &size)) return false;
    // Account names are at most 256 characters (UNLEN), domains 15 (DNLEN).
    wchar_t name[257], domain[257];
    DWORD nameLength = 257, domainLength = 257;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, reinterpret_cast<TOKEN_USER*>(user)->User.Sid, name, &nameLength, domain,
                           &domainLength, &use))
        return false;
    AName = name;
    ADomain = domain;
    return true;
}

bool IsWow64() {
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

bool RunProcess(const std::wstring& AApplicationName, const std::wstring& ACommandLine,
                const std::wstring& ACurrentFolder, const std::wstring& AEnvironment, HANDLE AHeld,
                TProcess& AProcessInfo) {
    UniqueHandle processToken;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, processToken.put())) return false;
    UniqueHandle primaryToken;
    if (!DuplicateTokenEx(processToken.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary,
                          primaryToken.put()))
        return false;

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    // CreateProcess may write into the command line: give it a copy.
    std::vector<wchar_t> commandLine(ACommandLine.begin(), ACommandLine.end());
    commandLine.push_back(L'\0');

    // The block is read, never written; the API takes it as a plain pointer.
    void* environment = const_cast<wchar_t*>(AEnvironment.c_str());
    // Suspended until it holds what it must hold.
    const DWORD flags = CREATE_UNICODE_ENVIRONMENT | (AHeld != nullptr ? CREATE_SUSPENDED : 0);
    // No handle of this elevated process passes to the child, and the
    // child's process and thread handles are not inheritable either.
    BOOL created =
        CreateProcessAsUserW(primaryToken.get(), AApplicationName.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                             flags, environment, ACurrentFolder.c_str(), &startup, &info);
    if (!created && GetLastError() == ERROR_PRIVILEGE_NOT_HELD) {
        created = CreateProcessW(AApplicationName.c_str(), commandLine.data(), nullptr, nullptr, FALSE, flags,
                                 environment, ACurrentFolder.c_str(), &startup, &info);
    }
    if (!created) return false;
    AProcessInfo.Process.reset(info.hProcess);
    AProcessInfo.Thread.reset(info.hThread);
    if (AHeld == nullptr) return true;
    if (ResumePauseMilliseconds != 0) Sleep(ResumePauseMilliseconds);
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), AHeld, info.hProcess, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS) ||
        ResumeThread(info.hThread) == static_cast<DWORD>(-1)) {
        TerminateProcess(info.hProcess, 1);
        WaitForSingleObject(info.hProcess, INFINITE);
        AProcessInfo = {};
        return false;
    }
    return true;
}

}  // namespace platform
