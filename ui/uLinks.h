// Web addresses tagged with the analytics linker value. Pure.
#pragma once

#include <string>

namespace links {

// Appends one query parameter, name and value as they stand.
std::wstring AddURLParam(const std::wstring& AURL, const std::wstring& AName, const std::wstring& AValue);

// The address to open: tagged with "_ga" when there is a linker value,
// otherwise unchanged (not even trimmed).
std::wstring AddressToOpen(const std::wstring& AURL, const std::wstring& GAParam);

}  // namespace links
