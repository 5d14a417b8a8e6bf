// Texts of the process-wide error report. Pure.
#include "platform/ErrorText.h"

#include "platform/Strings.h"

namespace platform {

std::wstring FormatSystemErrorMessage(std::int32_t code, std::wstring_view description) {
    std::wstring text = L"System Error.  Code: ";
    AppendDecimal(text, code);
    text += L".\r\n";
    text += description;
    return text;
}

std::wstring FormatApplicationError(std::wstring_view errorClass, std::wstring_view moduleName,
                                    std::uint64_t address, int addressDigits, std::wstring_view message) {
    std::wstring text = L"Exception ";
    text += errorClass;
    text += L" in module ";
    text += moduleName;
    text += L" at ";
    AppendHex(text, address, addressDigits);
    text += L".\r\n";
    text += message;
    if (!message.empty() && message.back() != L'.') text += L'.';
    text += L"\r\n";
    return text;
}

std::wstring TrimSystemDescription(std::wstring_view description) {
    std::size_t length = description.size();
    while (length > 0 && (description[length - 1] <= L' ' || description[length - 1] == L'.')) --length;
    return std::wstring(description.substr(0, length));
}

}  // namespace platform
