// Safe loading of libraries; see the header.
#include "platform/SystemLibrary.h"

#include <string>

namespace platform {

void RestrictDllSearchPath() {
    // SetDefaultDllDirectories exists from Windows 8 on, and on Vista and 7
    // with update KB2533623; without it, at least drop the current folder.
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    auto setDefaultDllDirectories =
        GetFunction<SetDefaultDllDirectoriesFunction>(kernel32, "SetDefaultDllDirectories");
    if (setDefaultDllDirectories == nullptr || !setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        SetDllDirectoryW(L"");
}

UniqueLibrary LoadSystemLibrary(const wchar_t* name) {
    UniqueLibrary library(LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (library || GetLastError() != ERROR_INVALID_PARAMETER) return library;

    // Systems without the search flags: name the file in System32 in full.
    wchar_t folder[MAX_PATH];
    UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return library;
    std::wstring path(folder, length);
    path += L'\\';
    path += name;
    library.reset(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    return library;
}

bool LoadFunctions(HMODULE library, std::initializer_list<TFunctionSlot> slots) {
    bool all = true;
    for (const TFunctionSlot& slot : slots) {
        *slot.Target = reinterpret_cast<void*>(GetProcAddress(library, slot.Name));
        all = all && *slot.Target != nullptr;
    }
    return all;
}

}  // namespace platform
