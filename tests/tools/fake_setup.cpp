// Stands in for the product's setup program. Appends the command line it
// received, as one UTF-8 line, to the file named by QUELLOX_FAKE_SETUP_LOG;
// then, when QUELLOX_FAKE_SETUP_INSTALL_ON is "always" or the number of this
// run (the log's line count), creates the product's uninstall key in the
// 32-bit registry view; waits QUELLOX_FAKE_SETUP_SLEEP_MS; exits with
// QUELLOX_FAKE_SETUP_EXIT_CODE, else 0.
// When QUELLOX_FAKE_SETUP_REPORT names a file, it also writes there, as
// "Name=value" lines (the last run's only): its own path, its current
// folder, the file name of the program that started it, the names in its
// own folder, its folder's security descriptor in SDDL, its command line as a program reading it as ANSI sees it
// (GetCommandLineA, in hex), its TEMP and TMP, TEMP's security descriptor
// in SDDL, every variable of its
// environment ("Env:NAME=value"), and whether the handle that
// QUELLOX_FAKE_SETUP_INHERITABLE names (an inheritable event of the process
// that started the installer) reached it. With QUELLOX_FAKE_SETUP_LEAVE=1 it
// leaves files behind, as setup programs do: one beside itself, a folder
// with a file beside itself, which becomes its current folder, and a file
// in its TEMP for the product it would start; with "deep", also a tree
// beside itself whose paths pass MAX_PATH. Its settings come from the tests'
// settings file (testoutput::FakeSetupSetting), else from its environment.
#include <windows.h>

#include <sddl.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "tests/support/TestOutput.h"

using testoutput::Environment;
using testoutput::FakeSetupSetting;

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

std::wstring Folder(const std::wstring& path) { return path.substr(0, path.rfind(L'\\')); }

std::wstring OwnPath() {
    wchar_t path[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH + 1);
    return std::wstring(path, length);
}

// The file name of the program that started this one, or "-".
std::wstring ParentImage() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return L"-";
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    DWORD self = GetCurrentProcessId(), parent = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
    std::wstring image = L"-";
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        if (parent != 0 && entry.th32ProcessID == parent) image = entry.szExeFile;
    CloseHandle(snapshot);
    return image;
}

std::wstring CurrentFolder() {
    wchar_t path[MAX_PATH + 1] = {};
    DWORD length = GetCurrentDirectoryW(MAX_PATH + 1, path);
    return std::wstring(path, length);
}

// The names in the folder, "|"-separated, without "." and "..".
std::wstring Listing(const std::wstring& folder) {
    std::wstring names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (!names.empty()) names += L'|';
        names += name;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

std::wstring SecurityText(const std::wstring& path) {
    const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD needed = 0;
    GetFileSecurityW(path.c_str(), wanted, nullptr, 0, &needed);
    if (needed == 0) return L"error " + std::to_wstring(GetLastError());
    std::string buffer(needed, '\0');
    if (!GetFileSecurityW(path.c_str(), wanted, buffer.data(), needed, &needed))
        return L"error " + std::to_wstring(GetLastError());
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(buffer.data(), SDDL_REVISION_1, wanted, &text, nullptr))
        return L"error " + std::to_wstring(GetLastError());
    std::wstring result = text;
    LocalFree(text);
    return result;
}

std::wstring Hex(const char* bytes) {
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring hex;
    for (const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes); *b != 0; ++b) {
        hex += digits[*b >> 4];
        hex += digits[*b & 15];
    }
    return hex;
}

// "1" when the named handle value is an event in this process too: it was
// inherited. "0" when not, "" when no handle was named.
std::wstring InheritedHandle() {
    std::wstring value = FakeSetupSetting(L"QUELLOX_FAKE_SETUP_INHERITABLE");
    if (value.empty()) return L"";
    HANDLE handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(_wcstoui64(value.c_str(), nullptr, 10)));
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) && SetEvent(handle) ? L"1" : L"0";
}

// Every variable of the environment, one "Env:NAME=value" line each.
std::wstring EnvironmentLines() {
    std::wstring lines;
    wchar_t* block = GetEnvironmentStringsW();
    if (block == nullptr) return lines;
    for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
        std::wstring text = entry;
        for (wchar_t& c : text)
            if (c == L'\n' || c == L'\r') c = L' ';
        lines += L"Env:" + text + L"\n";
    }
    FreeEnvironmentStringsW(block);
    return lines;
}

void WriteReport(const std::wstring& path) {
    std::wstring own = OwnPath();
    std::wstring report = L"Path=" + own + L"\n";
    report += L"CurrentFolder=" + CurrentFolder() + L"\n";
    report += L"ParentImage=" + ParentImage() + L"\n";
    report += L"Listing=" + Listing(Folder(own)) + L"\n";
    report += L"FolderSecurity=" + SecurityText(Folder(own)) + L"\n";
    report += L"AnsiCodePage=" + std::to_wstring(GetACP()) + L"\n";
    report += L"AnsiCommandLine=" + Hex(GetCommandLineA()) + L"\n";
    report += L"Temp=" + Environment(L"TEMP") + L"\n";
    report += L"Tmp=" + Environment(L"TMP") + L"\n";
    report += L"TempSecurity=" + SecurityText(Environment(L"TEMP")) + L"\n";
    report += L"InheritedHandle=" + InheritedHandle() + L"\n";
    report += EnvironmentLines();
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    std::string utf8 = testoutput::Utf8(report);
    DWORD written = 0;
    WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    CloseHandle(file);
}

void WriteText(const std::wstring& path, const char* text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    CloseHandle(file);
}

void LeaveFilesBehind() {
    WriteText(Folder(OwnPath()) + L"\\setup-left-this.log", "left beside the setup program");
    WriteText(Environment(L"TEMP") + L"\\for-the-product.txt", "left in TEMP for the product");
    std::wstring unpacked = Folder(OwnPath()) + L"\\unpacked";
    CreateDirectoryW(unpacked.c_str(), nullptr);
    WriteText(unpacked + L"\\helper.dll", "MZ unpacked helper");
    // As setup programs do before they load what they unpacked.
    SetCurrentDirectoryW(unpacked.c_str());
}

// Four levels of 100-character names and a file at the bottom, made through
// "\\?\" paths as an unpacker that supports long paths makes them.
void LeaveDeepTree() {
    std::wstring path = L"\\\\?\\" + Folder(OwnPath());
    for (int level = 0; level < 4; ++level) {
        path += L"\\" + std::wstring(100, L'd');
        CreateDirectoryW(path.c_str(), nullptr);
    }
    WriteText(path + L"\\deeper-than-max-path.txt", "deep");
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int run = AppendToLog(FakeSetupSetting(L"QUELLOX_FAKE_SETUP_LOG"), GetCommandLineW());
    std::wstring report = FakeSetupSetting(L"QUELLOX_FAKE_SETUP_REPORT");
    if (!report.empty()) WriteReport(report);
    std::wstring leave = FakeSetupSetting(L"QUELLOX_FAKE_SETUP_LEAVE");
    if (leave == L"1" || leave == L"deep") LeaveFilesBehind();
    if (leave == L"deep") LeaveDeepTree();
    std::wstring installOn = FakeSetupSetting(L"QUELLOX_FAKE_SETUP_INSTALL_ON");
    if (installOn == L"always" || (!installOn.empty() && _wtoi(installOn.c_str()) == run)) {
        HKEY key = nullptr;
        RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                        L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                        L"{E49A1D27-6C03-4F58-9B7E-31A5D0C6F2E8}_is1",
                        0, nullptr, 0, KEY_WRITE | KEY_WOW64_32KEY, nullptr, &key, nullptr);
        if (key) RegCloseKey(key);
    }
    std::wstring sleep = FakeSetupSetting(L"QUELLOX_FAKE_SETUP_SLEEP_MS");
    if (!sleep.empty()) Sleep(static_cast<DWORD>(_wtoi(sleep.c_str())));
    return _wtoi(FakeSetupSetting(L"QUELLOX_FAKE_SETUP_EXIT_CODE").c_str());
}
