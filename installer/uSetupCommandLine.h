// The command line of the setup program: its quoted path, the silent
// switches and the distribution's settings as keys. Pure.
#pragma once

#include <cstdint>
#include <string>

namespace setupcmd {

struct TSetupSettings {
    std::wstring SetupFileName;
    bool AutoCSOffer = false;
    bool DisplayOffers = false;
    std::wstring ErrorCode;
    std::wstring OpenWebPageURL;
    bool SkipAfterInstallPage = false;
    std::int32_t DownloadSeconds = 0;
    std::wstring ProductName;
    std::wstring Campaign;
    bool RunApplication = false;
    std::wstring GAParam;
};

std::wstring ComposeSetupCommandLine(const TSetupSettings& settings);

// A value from outside the program (command line, file name, stamped block)
// made safe between double quotes: quotes and control characters are
// dropped, and so are trailing backslashes, which some parsers read as
// escaping the closing quote. Ordinary values stay as they are.
std::wstring QuotedValue(const std::wstring& value);

// A value inside the unquoted urlparams key: every character outside the
// URL's unreserved set (letters, digits, "-", ".", "_", "~") is
// percent-encoded as UTF-8, so that it can neither end the argument nor add
// a parameter.
std::wstring UrlParamValue(const std::wstring& value);

}  // namespace setupcmd
