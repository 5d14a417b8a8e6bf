// The process-wide handler for errors that nothing catches: a task-modal
// "Application Error" box, then exit code 1.
#pragma once

#include <windows.h>

#include <string>

namespace platform {

// Reports the error and ends the process; never returns.
[[noreturn]] void HandleUncaughtError(const wchar_t* errorClass, const void* address, const std::wstring& message);

// Raises the system error `code` ("System Error.  Code: %d.\r\n%s") to the
// process-wide handler. The reported address is the caller's.
[[noreturn]] void RaiseSystemError(DWORD code);

}  // namespace platform
