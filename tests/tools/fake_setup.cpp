// Stands in for the product's setup program. Appends the command line it
// received, as one UTF-8 line, to the file named by QUELLOX_FAKE_SETUP_LOG;
// then, when QUELLOX_FAKE_SETUP_INSTALL_ON is "always" or the number of this
// run (the log's line count), creates the product's uninstall key in the
// 32-bit registry view; waits QUELLOX_FAKE_SETUP_SLEEP_MS; exits with 0.
#include <windows.h>

#include <string>

#include "tests/support/TestOutput.h"

using testoutput::Environment;

namespace {

// Appends the line and returns the number of lines now in the log.
int AppendToLog(const std::wstring& path, const std::wstring& line) {
    HANDLE log = CreateFileW(path.c_str(), GENERIC_READ | FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0,
                             nullptr);
    if (log == INVALID_HANDLE_VALUE) return 0;
    std::string utf8 = testoutput::Utf8(line + L"\n");
    DWORD written = 0;
    WriteFile(log, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);

    SetFilePointer(log, 0, nullptr, FILE_BEGIN);
    int lines = 0;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(log, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        for (DWORD i = 0; i < read; ++i) lines += buffer[i] == '\n';
    }
    CloseHandle(log);
    return lines;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int run = AppendToLog(Environment(L"QUELLOX_FAKE_SETUP_LOG"), GetCommandLineW());
    std::wstring installOn = Environment(L"QUELLOX_FAKE_SETUP_INSTALL_ON");
    if (installOn == L"always" || (!installOn.empty() && _wtoi(installOn.c_str()) == run)) {
        HKEY key = nullptr;
        RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                        L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                        L"{E49A1D27-6C03-4F58-9B7E-31A5D0C6F2E8}_is1",
                        0, nullptr, 0, KEY_WRITE | KEY_WOW64_32KEY, nullptr, &key, nullptr);
        if (key) RegCloseKey(key);
    }
    std::wstring sleep = Environment(L"QUELLOX_FAKE_SETUP_SLEEP_MS");
    if (!sleep.empty()) Sleep(static_cast<DWORD>(_wtoi(sleep.c_str())));
    return 0;
}
