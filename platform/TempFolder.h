// The user's temporary folder in its long form.
#pragma once

#include <string>

namespace platform {

// The folder with its trailing backslash, or empty when the system cannot
// name it or give its long form.
std::wstring GetTempFolder();

}  // namespace platform
