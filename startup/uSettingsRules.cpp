// The rules that turn the command line, the program's file name and the
// signature block into settings. Pure: values in, values out.
#include "startup/uSettingsRules.h"

#include "platform/Strings.h"

namespace rules {

namespace {

bool IsSeparator(wchar_t c) { return c <= L' '; }

// One argument from `position`; leaves `position` behind it.
std::wstring NextArgument(std::wstring_view line, std::size_t& position) {
    for (;;) {
        while (position < line.size() && IsSeparator(line[position])) ++position;
        if (position + 1 < line.size() && line[position] == L'"' && line[position + 1] == L'"') {
            position += 2;
            continue;
        }
        break;
    }
    std::wstring argument;
    bool quoted = false;
    while (position < line.size() && (quoted || !IsSeparator(line[position]))) {
        if (line[position] == L'"') quoted = !quoted;
        else argument.push_back(line[position]);
        ++position;
    }
    return argument;
}

}  // namespace

std::vector<std::wstring> SplitArguments(std::wstring_view commandLine) {
    std::vector<std::wstring> arguments;
    std::size_t position = 0;
    for (;;) {
        std::wstring argument = NextArgument(commandLine, position);
        if (argument.empty()) return arguments;
        arguments.push_back(std::move(argument));
    }
}

void SplitSwitch(const std::wstring& AParam, std::wstring& AName, std::wstring& AValue) {
    AName = AParam;
    AValue.clear();
    if (AParam.empty() || (AParam[0] != L'/' && AParam[0] != L'-')) return;
    std::size_t colon = AParam.find(L':', 1);
    if (colon == std::wstring::npos) {
        AName = AParam.substr(1);
        return;
    }
    AName = AParam.substr(1, colon - 1);
    AValue = AParam.substr(colon + 1);
}

void ReadSwitches(const std::vector<std::wstring>& arguments, NameComparer isSameName, TSwitchSettings& settings) {
    std::wstring name;
    std::wstring value;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        SplitSwitch(arguments[i], name, value);
        // The first row whose name matches decides, even when its condition fails.
        if (isSameName(name, L"HideTrayIcon")) {
            if (value.empty()) settings.HideTrayIcon = true;
        } else if (isSameName(name, L"DisplayOffers")) {
            settings.DisplayOffers = true;
        } else if (isSameName(name, L"RunApplication")) {
            if (value.empty()) settings.RunApplication = true;
        } else if (isSameName(name, L"Campaign")) {
            settings.Campaign = value;
        } else if (isSameName(name, L"DownloadPath")) {
            settings.DownloadPath = value;
        } else if (isSameName(name, L"OpenWebPage")) {
            settings.OpenWebPage = value;
        } else if (isSameName(name, L"SkipStart")) {
            settings.SkipStart = true;
        } else if (isSameName(name, L"Language")) {
            settings.Language = value;
        } else if (isSameName(name, L"SkipAfterInstallPage")) {
            settings.SkipAfterInstallPage = true;
        }
    }
}

std::wstring ChooseCampaign(const std::wstring& switchCampaign, bool blockValid, const std::wstring& cookie) {
    return blockValid && switchCampaign.empty() ? cookie : switchCampaign;
}

std::wstring AddVariantSuffix(const std::wstring& campaign, int abVariant) {
    std::wstring finished = campaign;
    if (!finished.empty()) finished += L'-';
    finished += abVariant == 2 ? L"affiliate_31095-ab_afterinstall_b" : L"affiliate_31095-ab_afterinstall_a";
    return finished;
}

std::wstring FinishCampaign(const std::wstring& switchCampaign, bool blockValid, const std::wstring& cookie,
                            int abVariant) {
    return AddVariantSuffix(ChooseCampaign(switchCampaign, blockValid, cookie), abVariant);
}

std::wstring SetupValue(std::wstring_view value) {
    std::wstring kept;
    for (wchar_t c : value) {
        if (kept.size() == SetupValueLength) break;
        if (IsSetupValueCharacter(c)) kept += c;
    }
    return kept;
}

std::wstring ReadFileNameGAParam(std::wstring_view programPath) {
    std::wstring name = platform::ChangeFileExt(platform::ExtractFileName(programPath), L"");
    static constexpr std::wstring_view marker = L"-setup_";
    std::size_t found = name.find(marker);
    if (found == std::wstring::npos) return {};
    std::wstring value = name.substr(found + marker.size());
    std::size_t blank = value.find(L' ');
    if (blank != std::wstring::npos) value.resize(blank);
    return value;
}

std::wstring ReadFileNameErrorCode(std::wstring_view programPath) {
    std::wstring name = platform::ExtractFileName(programPath);
    static constexpr std::wstring_view prefix = L"qlx_";
    if (name.compare(0, prefix.size(), prefix) != 0) return {};
    std::wstring rest = name.substr(prefix.size());
    std::size_t found = rest.find(L"-setup");
    if (found == std::wstring::npos) return {};
    return rest.substr(0, found);
}

std::wstring CopyFileName(std::wstring_view errorCode, std::wstring_view linker) {
    std::wstring name = errorCode.empty() ? L"qlx-setup" : L"qlx_" + std::wstring(errorCode) + L"-setup";
    if (!linker.empty()) name += L"_" + std::wstring(linker);
    return name + L".exe";
}

int DrawABVariant(std::uint32_t entropy) {
    std::uint32_t next = entropy * 134775813u + 1u;
    return static_cast<int>(next >> 31) + 1;
}

}  // namespace rules
