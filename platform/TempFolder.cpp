// The user's temporary folder in its long form.
#include "platform/TempFolder.h"

#include <windows.h>

namespace platform {

std::wstring GetTempFolder() {
    SetLastError(ERROR_SUCCESS);
    wchar_t shortPath[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, shortPath);
    if (length == 0 || length >= MAX_PATH) return {};

    DWORD needed = GetLongPathNameW(shortPath, nullptr, 0);
    if (needed == 0) return {};
    std::wstring longPath(needed, L'\0');
    DWORD written = GetLongPathNameW(shortPath, longPath.data(), needed);
    if (written == 0 || written >= needed) return {};
    longPath.resize(written);
    return longPath;
}

}  // namespace platform
