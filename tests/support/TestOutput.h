// What the test programs share: UTF-8 output on stdout, "Name=value" lines,
// and reading the environment.
#pragma once

#include <windows.h>

#include <string>

namespace testoutput {

inline std::string Utf8(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                   nullptr);
    std::string utf8(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(), size, nullptr,
                            nullptr);
    return utf8;
}

inline void Write(const std::wstring& text) {
    std::string utf8 = Utf8(text);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

inline void Print(const std::wstring& name, const std::wstring& value) { Write(name + L"=" + value + L"\n"); }

// The variable's value; empty when it is not set.
inline std::wstring Environment(const wchar_t* name) {
    wchar_t value[1024] = {};
    DWORD length = GetEnvironmentVariableW(name, value, 1024);
    return length < 1024 ? std::wstring(value, length) : std::wstring();
}

// The fake setup program's settings: "NAME=value" lines in this file of the
// prefix, written by the tests before each run. The installer hands the
// setup program none of its own environment, so the settings cannot travel
// there.
constexpr const wchar_t* FakeSetupSettingsFile = L"C:\\users\\Public\\quellox-fake-setup.txt";

// The file's whole text, read as UTF-8; empty when it is missing.
inline std::wstring ReadSettingsFile() {
    HANDLE file = CreateFileW(FakeSetupSettingsFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string bytes;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) bytes.append(buffer, read);
    CloseHandle(file);
    int size = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(size > 0 ? size : 0, L'\0');
    if (size > 0) MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), size);
    return text;
}

// A setting of the fake setup program: the file's line for the name (the
// last one), else the environment's value; empty when neither has one.
inline std::wstring FakeSetupSetting(const wchar_t* name) {
    std::wstring text = ReadSettingsFile();
    std::wstring prefix = std::wstring(name) + L"=";
    std::wstring value;
    bool found = false;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find(L'\n', at);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(at, end - at);
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        if (line.compare(0, prefix.size(), prefix) == 0) {
            value = line.substr(prefix.size());
            found = true;
        }
        at = end + 1;
    }
    return found ? value : Environment(name);
}

// Adds a line to the settings file (a test program passing something of its
// own to the setup program it runs).
inline void AddFakeSetupSetting(const std::wstring& name, const std::wstring& value) {
    HANDLE file = CreateFileW(FakeSetupSettingsFile, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    std::string line = Utf8(L"\n" + name + L"=" + value + L"\n");
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

}  // namespace testoutput
