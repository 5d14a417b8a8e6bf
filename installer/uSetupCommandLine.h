// The command line of the setup program: its quoted path, the silent
// switches and the distribution's settings as keys. Pure.
#pragma once

#include <cstddef>
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

// Values of the setup program's environment that are not taken from the
// machine's block: the setup program's kept temporary folder, and the
// folders and names read from the system and the elevated token itself
// (empty: left out).
struct TSetupFolders {
    std::wstring WindowsFolder;   // SystemRoot and windir; SystemDrive is its drive
    std::wstring UserProfile;     // USERPROFILE, from the machine's profile list; HOMEDRIVE and HOMEPATH
    std::wstring TempFolder;      // TEMP and TMP
    std::wstring RoamingAppData;  // APPDATA
    std::wstring LocalAppData;    // LOCALAPPDATA
    std::wstring UserName;        // USERNAME
    std::wstring UserDomain;      // USERDOMAIN
    // A 32-bit process on 64-bit Windows: PROCESSOR_ARCHITECTURE is x86 and
    // the machine's own value moves to PROCESSOR_ARCHITEW6432.
    bool Wow64 = false;
};

// The names, in upper case, that the setup program's environment may hold:
// what a setup program and the programs it starts need of the machine.
// Nothing else passes, whatever the machine's block holds.
extern const wchar_t* const SetupEnvironmentNames[];
extern const std::size_t SetupEnvironmentNameCount;

// The setup program's environment: of AMachineEnvironment (the machine's own
// variables, a block of "NAME=value" strings, each ended by a null, the block
// by one more) the variables that SetupEnvironmentNames allows, in any letter
// case, with AFolders in place of theirs; sorted by name without regard to
// case as Windows keeps its blocks.
std::wstring ComposeSetupEnvironment(std::wstring_view AMachineEnvironment, const TSetupFolders& AFolders);

}  // namespace setupcmd
