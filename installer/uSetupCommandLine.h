// The command line of the setup program: its quoted path, the silent
// switches and the distribution's settings as keys. Pure.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace setupcmd {

struct TSetupSettings {
    // The copy that runs: the command line's first element names it.
    std::wstring SetupFileName;
    bool AutoCSOffer = false;
    bool DisplayOffers = false;
    std::wstring ErrorCode;
    std::wstring OpenWebPageURL;
    bool SkipAfterInstallPage = false;
    std::int32_t DownloadSeconds = 0;
    std::wstring ProductName;
    // The distribution's own campaign (switch or stamped cookie), before the
    // A/B variant's suffix is added.
    std::wstring CampaignSource;
    int ABVariant = 1;
    bool RunApplication = false;
    std::wstring GAParam;
};

// Every value from outside (ErrorCode, OpenWebPageURL, CampaignSource,
// GAParam) passes rules::SetupValue before it is placed; an OpenWebPageURL
// that is not an http:// or https:// address is left out.
std::wstring ComposeSetupCommandLine(const TSetupSettings& settings);

// The campaign as the setup program receives it: the filtered source with
// the variant's suffix.
std::wstring SetupCampaign(const TSetupSettings& settings);

// The web page to pass on: the filtered value when it is an http:// or
// https:// address, else empty.
std::wstring SetupWebPage(const std::wstring& AURL);

// A value inside the unquoted urlparams key: every character outside the
// URL's unreserved set (letters, digits, "-", ".", "_", "~") is
// percent-encoded as UTF-8, so that it can neither end the argument nor add
// a parameter.
std::wstring UrlParamValue(const std::wstring& value);

// The setup program's environment: AEnvironment (a block of "NAME=value"
// strings, each ended by a null, the block by one more) with TEMP and TMP,
// in any letter case, replaced by ATempFolder, the rest unchanged, sorted
// by name without regard to case as Windows keeps its blocks.
std::wstring ComposeSetupEnvironment(std::wstring_view AEnvironment, const std::wstring& ATempFolder);

}  // namespace setupcmd
