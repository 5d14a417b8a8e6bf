// Texts of the process-wide error report. Pure.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// "System Error.  Code: %d.\r\n%s", with the system's own description.
std::wstring FormatSystemErrorMessage(std::int32_t code, std::wstring_view description);

// "Exception %s in module %s at %p.\r\n%s%s\r\n": error class, module name,
// address (addressDigits hex digits: two per byte of a pointer), the message
// and a full stop unless it has one.
std::wstring FormatApplicationError(std::wstring_view errorClass, std::wstring_view moduleName,
                                    std::uint64_t address, int addressDigits, std::wstring_view message);

// A system description without its trailing line break, blanks and full stop.
std::wstring TrimSystemDescription(std::wstring_view description);

}  // namespace platform
