// The rules that turn the command line, the program's file name and the
// signature block into settings. Pure: values in, values out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rules {

// Splits a command line into arguments: runs of characters up to U+0020
// separate them outside double quotes; a quote opens or closes a quoted run
// and is dropped; a pair of quotes at the start of an argument is skipped;
// there is no escape character. The list ends at the first empty argument.
std::vector<std::wstring> SplitArguments(std::wstring_view commandLine);

// "/Name:value" or "-Name:value" into name and value; anything else is a name.
void SplitSwitch(const std::wstring& AParam, std::wstring& AName, std::wstring& AValue);

struct TSwitchSettings {
    bool HideTrayIcon = false;
    bool DisplayOffers = true;
    bool RunApplication = false;
    bool SkipStart = false;
    bool SkipAfterInstallPage = false;
    std::wstring Campaign;
    std::wstring DownloadPath;
    std::wstring OpenWebPage;
    // "/Language:de": the window's language for this copy, where it has it.
    std::wstring Language;
};

using NameComparer = bool (*)(const std::wstring& ALeft, const std::wstring& ARight);

// Applies every argument after the first (the program's path), in order.
void ReadSwitches(const std::vector<std::wstring>& arguments, NameComparer isSameName, TSwitchSettings& settings);

// The distribution's campaign: the switch's value, else the block's cookie.
std::wstring ChooseCampaign(const std::wstring& switchCampaign, bool blockValid, const std::wstring& cookie);

// The campaign, then "-" (when not empty) and the A/B variant's suffix.
std::wstring AddVariantSuffix(const std::wstring& campaign, int abVariant);

// The finished campaign: ChooseCampaign, then AddVariantSuffix.
std::wstring FinishCampaign(const std::wstring& switchCampaign, bool blockValid, const std::wstring& cookie,
                            int abVariant);

// The one filter for every value from outside the program (command line,
// file name, stamped block) that reaches the setup program's command line:
// printable ASCII (U+0020 to U+007E) without '"' and '\', at most
// SetupValueLength characters. Every value the stamping tool accepts, and
// every ordinary switch value, passes unchanged. Every character past U+007E
// goes: a program that reads its command line as ANSI gets it through a
// best-fit conversion that turns U+FF02 into '"', U+FF0F into '/' and U+FF3C
// into '\', which would end the quoted value and start a switch of its own.
constexpr std::size_t SetupValueLength = 100;
std::wstring SetupValue(std::wstring_view value);

// True when the filter would keep the character.
inline bool IsSetupValueCharacter(wchar_t c) { return c >= 0x20 && c <= 0x7E && c != L'"' && c != L'\\'; }

// The analytics linker value after the first "-setup_" of the file name
// without extension, cut at the first blank.
std::wstring ReadFileNameGAParam(std::wstring_view programPath);

// The error code between a leading "qlx_" and the first "-setup".
std::wstring ReadFileNameErrorCode(std::wstring_view programPath);

// The name of a distributed copy, which the two readers above read back:
// qlx_<error code>-setup_<linker value>.exe, "qlx-setup" without an error
// code, no "_<linker value>" without a linker value.
std::wstring CopyFileName(std::wstring_view errorCode, std::wstring_view linker);

// Characters that no Windows file name may hold, beyond those the value
// rules already refuse (control characters, '"' and '\').
inline constexpr std::wstring_view NotInFileNames = L"<>:/|?*";

// Milliseconds from tick count `then` to tick count `now`, also across a
// wrap of the 32-bit counter.
inline std::uint32_t TickCountDiff(std::uint32_t now, std::uint32_t then) { return now - then; }

// 1 or 2, with equal chance over starting values: one step of a linear congruential
// generator, then its top bit.
int DrawABVariant(std::uint32_t entropy);

}  // namespace rules
