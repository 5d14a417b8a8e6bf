// Fuzzes what the program makes of its command line and file name: any
// input, no crash; and whatever the values, the setup command line keeps
// its own switches and quoting, and the analytics body its own fields.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cwctype>

#include "analytics/uPayload.h"
#include "installer/uSetupCommandLine.h"
#include "startup/uSettingsRules.h"

namespace {

bool SameName(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) { return std::towlower(x) == std::towlower(y); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::wstring line;
    for (std::size_t i = 0; i + 1 < size; i += 2) line += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));

    std::vector<std::wstring> arguments = rules::SplitArguments(line);
    rules::TSwitchSettings switches;
    rules::ReadSwitches(arguments, SameName, switches);
    std::wstring path = arguments.empty() ? std::wstring() : arguments[0];

    setupcmd::TSetupSettings setup;
    setup.SetupFileName = L"C:\\Temp\\setup.exe";
    setup.DisplayOffers = true;
    setup.ProductName = L"Quellox";
    setup.Campaign = rules::FinishCampaign(switches.Campaign, true, line, 1);
    setup.ErrorCode = rules::ReadFileNameErrorCode(path);
    setup.GAParam = rules::ReadFileNameGAParam(path);
    setup.OpenWebPageURL = switches.OpenWebPage;
    std::wstring command = setupcmd::ComposeSetupCommandLine(setup);
    int quotes = 2 + 2 * (!setup.ErrorCode.empty() + !setup.OpenWebPageURL.empty() + 1 + !setup.GAParam.empty());
    if (std::count(command.begin(), command.end(), L'"') != quotes) std::abort();
    for (wchar_t c : command)
        if (static_cast<std::uint32_t>(c) < 0x20) std::abort();

    payload::TEventFields fields{L"UA-00000000-0", L"{ID}", L"quellox1.6.9restart-" + setup.Campaign, L"install_start",
                                 line, 0};
    std::wstring body = payload::ComposePayload(fields);
    if (std::count(body.begin(), body.end(), L'&') != 7 || std::count(body.begin(), body.end(), L'=') != 8) std::abort();
    return 0;
}
