// A fresh folder under the test's temporary folder, removed with its files.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class TempDirectory {
public:
    TempDirectory() {
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        path_ = std::wstring(base) + L"quellox-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(counter_++);
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~TempDirectory() { Remove(path_); }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::wstring& Path() const { return path_; }
    std::wstring File(const std::wstring& name) const { return path_ + L"\\" + name; }

    void Write(const std::wstring& name, const std::vector<unsigned char>& bytes) const {
        HANDLE file = CreateFileW(File(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        if (!bytes.empty()) WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(file);
    }

private:
    static void Remove(const std::wstring& folder) {
        WIN32_FIND_DATAW entry;
        HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = entry.cFileName;
                if (name == L"." || name == L"..") continue;
                std::wstring full = folder + L"\\" + name;
                if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) Remove(full);
                else DeleteFileW(full.c_str());
            } while (FindNextFileW(find, &entry));
            FindClose(find);
        }
        RemoveDirectoryW(folder.c_str());
    }

    static inline int counter_ = 0;
    std::wstring path_;
};
