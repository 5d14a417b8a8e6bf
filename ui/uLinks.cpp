// Web addresses tagged with the analytics linker value. Pure.
#include "ui/uLinks.h"

#include "platform/Strings.h"

namespace links {

std::wstring AddURLParam(const std::wstring& AURL, const std::wstring& AName, const std::wstring& AValue) {
    std::wstring result = platform::Trim(AURL);
    if (AURL.empty() || AName.empty()) return result;
    if (result.find(L'?') == std::wstring::npos) {
        result += L'?';
    } else if (result.back() != L'?' && result.back() != L'&') {
        result += L'&';
    }
    result += AName;
    result += L'=';
    result += AValue;
    return result;
}

std::wstring AddressToOpen(const std::wstring& AURL, const std::wstring& GAParam) {
    return GAParam.empty() ? AURL : AddURLParam(AURL, L"_ga", GAParam);
}

}  // namespace links
