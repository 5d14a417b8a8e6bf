// Starts a program under a duplicate of this process's own access token.
#include "platform/ProcessLaunch.h"

#include <vector>

namespace platform {

bool RunProcess(const std::wstring& AApplicationName, const std::wstring& ACommandLine,
                const std::wstring& ACurrentFolder, TProcess& AProcessInfo) {
    UniqueHandle processToken;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, processToken.put())) return false;
    UniqueHandle primaryToken;
    if (!DuplicateTokenEx(processToken.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary,
                          primaryToken.put()))
        return false;

    SECURITY_ATTRIBUTES attributes = {};
    attributes.nLength = sizeof(attributes);
    attributes.bInheritHandle = TRUE;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    // CreateProcess may write into the command line: give it a copy.
    std::vector<wchar_t> commandLine(ACommandLine.begin(), ACommandLine.end());
    commandLine.push_back(L'\0');

    BOOL created = CreateProcessAsUserW(primaryToken.get(), AApplicationName.c_str(), commandLine.data(), &attributes,
                                        &attributes, TRUE, 0, nullptr, ACurrentFolder.c_str(), &startup, &info);
    if (!created && GetLastError() == ERROR_PRIVILEGE_NOT_HELD) {
        created = CreateProcessW(AApplicationName.c_str(), commandLine.data(), &attributes, &attributes, TRUE, 0,
                                 nullptr, ACurrentFolder.c_str(), &startup, &info);
    }
    if (!created) return false;
    AProcessInfo.Process.reset(info.hProcess);
    AProcessInfo.Thread.reset(info.hThread);
    return true;
}

}  // namespace platform
