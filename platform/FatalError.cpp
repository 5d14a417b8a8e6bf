// The process-wide handler for errors that nothing catches: a task-modal
// "Application Error" box, then exit code 1.
#include "platform/FatalError.h"

#include "platform/ErrorText.h"
#include "platform/Strings.h"
#include "platform/Unique.h"

namespace platform {

namespace {

std::wstring ModuleNameAt(const void* address) {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       static_cast<LPCWSTR>(address), &module);
    wchar_t path[MAX_PATH + 1] = {};
    GetModuleFileNameW(module, path, MAX_PATH + 1);
    return ExtractFileName(path);
}

std::wstring SystemDescription(DWORD code) {
    UniqueLocalMemory buffer;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, reinterpret_cast<LPWSTR>(buffer.put()), 0, nullptr);
    if (length == 0) return {};
    return TrimSystemDescription(std::wstring_view(static_cast<const wchar_t*>(buffer.get()), length));
}

}  // namespace

void HandleUncaughtError(const wchar_t* errorClass, const void* address, const std::wstring& message) {
    std::wstring text = FormatApplicationError(errorClass, ModuleNameAt(address), reinterpret_cast<std::uintptr_t>(address),
                                               2 * sizeof(address), message);
    MessageBoxW(nullptr, text.c_str(), L"Application Error", MB_OK | MB_ICONERROR | MB_TASKMODAL);
    ExitProcess(1);
}

// Never inlined, also across units at link time: inlined into a window
// procedure, the return address would be the system's, not the caller's.
[[gnu::noinline]] void RaiseSystemError(DWORD code) {
    const void* address = __builtin_return_address(0);
    HandleUncaughtError(L"TSystemError", address,
                        FormatSystemErrorMessage(static_cast<std::int32_t>(code), SystemDescription(code)));
}

}  // namespace platform
