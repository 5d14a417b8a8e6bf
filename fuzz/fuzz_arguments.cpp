// Fuzzes what the program makes of its command line and file name: any
// input, no crash; and whatever the values, the setup command line keeps
// its own switches and quoting, every outside value on it is printable
// ASCII without '"' or '\\' and at most 100 characters, and the analytics
// body keeps its own fields, in the form encoding and as GA4 JSON that reads
// back to the values sent.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cwctype>
#include <optional>
#include <string>
#include <vector>

#include "analytics/uPayload.h"
#include "installer/uSetupCommandLine.h"
#include "startup/uSettingsRules.h"
#include "tests/unit/JsonFixture.h"

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

// The UTF-8 a JSON reader should get back for `text`: each lone surrogate
// as U+FFFD.
std::string Utf8(const std::wstring& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = static_cast<std::uint16_t>(text[i]);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<std::uint16_t>(text[++i]) - 0xDC00);
        else if (c >= 0xD800 && c < 0xE000)
            c = 0xFFFD;
        static constexpr std::uint32_t lead[] = {0x00, 0xC0, 0xE0, 0xF0};
        int extra = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        out += static_cast<char>(lead[extra] | (c >> (6 * extra)));
        for (int k = extra - 1; k >= 0; --k) out += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
    }
    return out;
}

void CheckJsonBody(const payload::TEventFields& fields) {
    std::optional<TJson> body = ParseJson(payload::ComposeJsonPayload(fields, L"1796889600"));
    std::vector<std::string> top{"client_id", "events"};
    if (!fields.Language.empty()) top.push_back("device");
    if (!body || body->Names() != top) std::abort();
    if (!fields.Language.empty() && body->Find("device")->Find("language")->Text != Utf8(std::wstring(
                                        payload::CutToCharacters(fields.Language, payload::GA4ValueLimit))))
        std::abort();
    const TJson* events = body->Find("events");
    if (events->Items.size() != 1 || events->Items[0].Names() != std::vector<std::string>{"name", "params"}) std::abort();
    const TJson* params = events->Items[0].Find("params");
    std::vector<std::string> names{"category", "value", "engagement_time_msec", "session_id"};
    if (!fields.Label.empty()) names.insert(names.begin() + 1, "label");
    if (!fields.Campaign.empty()) names.insert(names.begin() + 1, "campaign");
    // Every value as the service keeps it: at most 100 characters.
    auto kept = [](const std::wstring& value) {
        return Utf8(std::wstring(payload::CutToCharacters(value, payload::GA4ValueLimit)));
    };
    if (params->Names() != names || params->Find("category")->Text != kept(fields.Category) ||
        (!fields.Campaign.empty() && params->Find("campaign")->Text != kept(fields.Campaign)) ||
        (!fields.Label.empty() && params->Find("label")->Text != kept(fields.Label)))
        std::abort();
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

    const std::wstring campaign = rules::AddVariantSuffix(setup.CampaignSource, 1);
    payload::TEventFields fields{L"UA-00000000-0", L"{ID}", L"quellox1.6.9restart-" + campaign,
                                 L"install_start", line, 0, campaign, setup.GAParam};
    std::wstring body = payload::ComposePayload(fields);
    const int language = fields.Language.empty() ? 0 : 1;
    if (std::count(body.begin(), body.end(), L'&') != 7 + language ||
        std::count(body.begin(), body.end(), L'=') != 8 + language)
        std::abort();
    CheckJsonBody(fields);
    return 0;
}
