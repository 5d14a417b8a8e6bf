// Starts a program under a duplicate of this process's own access token.
#include "platform/ProcessLaunch.h"

#include <vector>

namespace platform {

bool RunProcess(const std::wstring& AApplicationName, const std::wstring& ACommandLine,
                const std::wstring& ACurrentFolder, const std::wstring& AEnvironment, TProcess& AProcessInfo) {
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
    // No handle of this elevated process passes to the child, and the
    // child's process and thread handles are not inheritable either.
    BOOL created =
        CreateProcessAsUserW(primaryToken.get(), AApplicationName.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                             CREATE_UNICODE_ENVIRONMENT, environment, ACurrentFolder.c_str(), &startup, &info);
    if (!created && GetLastError() == ERROR_PRIVILEGE_NOT_HELD) {
        created = CreateProcessW(AApplicationName.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                                 CREATE_UNICODE_ENVIRONMENT, environment, ACurrentFolder.c_str(), &startup, &info);
    }
    if (!created) return false;
    AProcessInfo.Process.reset(info.hProcess);
    AProcessInfo.Thread.reset(info.hThread);
    return true;
}

}  // namespace platform
