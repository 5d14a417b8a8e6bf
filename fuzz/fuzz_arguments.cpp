// Fuzzes what the program makes of its command line and file name: any
// input, no crash; and whatever the values, the setup command line keeps
// its own switches and quoting, every outside value on it is printable
// ASCII without '"' or '\\' and at most 100 characters, and the analytics
// body keeps its own fields.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cwctype>

#include "analytics/uPayload.h"
#include "installer/uSetupCommandLine.h"
#include "startup/uSettingsRules.h"

namespace {

// What rules::SetupValue may return: printable ASCII without '"' or '\\',
// at most 100 characters.
void CheckSetupValue(const std::wstring& value) {
    if (value.size() > rules::SetupValueLength) std::abort();
    for (wchar_t c : value)
        if (c < 0x20 || c > 0x7E || c == L'"' || c == L'\\') std::abort();
}

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
    setup.CampaignSource = rules::ChooseCampaign(switches.Campaign, true, line);
    setup.ABVariant = 1;
    setup.ErrorCode = rules::ReadFileNameErrorCode(path);
    setup.GAParam = rules::ReadFileNameGAParam(path);
    setup.OpenWebPageURL = switches.OpenWebPage;

    // The filter, on every value that reaches the command line.
    for (const std::wstring* value : {&line, &setup.CampaignSource, &setup.ErrorCode, &setup.GAParam,
                                      &setup.OpenWebPageURL})
        CheckSetupValue(rules::SetupValue(*value));
    std::wstring webPage = setupcmd::SetupWebPage(setup.OpenWebPageURL);
    CheckSetupValue(webPage);
    std::wstring scheme = webPage.substr(0, 8);
    for (wchar_t& c : scheme) c = static_cast<wchar_t>(std::towlower(c));
    if (!webPage.empty() && scheme.compare(0, 7, L"http://") != 0 && scheme != L"https://") std::abort();

    std::wstring command = setupcmd::ComposeSetupCommandLine(setup);
    int quotes = 2 + 2 * (!rules::SetupValue(setup.ErrorCode).empty() + !webPage.empty() + 1 +
                          !rules::SetupValue(setup.GAParam).empty());
    if (std::count(command.begin(), command.end(), L'"') != quotes) std::abort();
    // After the quoted path, nothing but printable ASCII: no character that
    // an ANSI view could turn into punctuation.
    for (std::size_t i = command.find(L'"', 1) + 1; i < command.size(); ++i)
        if (command[i] < 0x20 || command[i] > 0x7E) std::abort();

    payload::TEventFields fields{L"UA-00000000-0", L"{ID}",
                                 L"quellox1.6.9restart-" + rules::AddVariantSuffix(setup.CampaignSource, 1),
                                 L"install_start", line, 0};
    std::wstring body = payload::ComposePayload(fields);
    if (std::count(body.begin(), body.end(), L'&') != 7 || std::count(body.begin(), body.end(), L'=') != 8) std::abort();
    return 0;
}
