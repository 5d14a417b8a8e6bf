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

}  // namespace testoutput
