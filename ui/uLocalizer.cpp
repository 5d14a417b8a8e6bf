// Localizer: every text the installer shows and every address it uses,
// composed once at start-up and only read afterwards.
#include "ui/uLocalizer.h"

#include <windows.h>

#include <vector>

#include "Deployment.h"
#include "platform/Strings.h"
#include "platform/SystemLibrary.h"
#include "platform/UserShell.h"
#include "startup/uGlobals.h"
#include "ui/uLanguageChoice.h"
#include "ui/uLinks.h"
#include "ui/uTexts.h"

// The state that needs clean-up, defined in this unit only: an inline
// definition in the header gives every unit that includes it its own copy
// of the start-up and clean-up code.
std::wstring Localizer::WindowCaption;
std::wstring Localizer::StartInstallText;
std::wstring Localizer::CleanerOfferText;
std::wstring Localizer::BrandText;
std::wstring Localizer::ProductTitleText;
std::wstring Localizer::OfferTitleText;
std::wstring Localizer::OfferSubtitleText;
std::wstring Localizer::LicenseText;
std::wstring Localizer::LicenseLinkText;
std::wstring Localizer::TrustLogoText;
std::wstring Localizer::CompatLogoText;
std::wstring Localizer::ProgressText;
std::wstring Localizer::ProgressPercentPattern;
std::wstring Localizer::FinalizingText;
std::wstring Localizer::PausedNoticeText;
std::wstring Localizer::CancelConfirmText;
std::wstring Localizer::OpenAddressText;
std::wstring Localizer::DownloadURLA;
std::wstring Localizer::DownloadURLB;
std::wstring Localizer::OpenWebPageURL;
std::wstring Localizer::AnalyticsURL;
std::wstring Localizer::LicenseURL;
std::wstring Localizer::LanguageTag;

namespace {

#ifdef QUELLOX_TRANSLATIONS

// The user's UI languages, most preferred first, then the thread's.
std::vector<std::wstring> PreferredLanguages() {
    std::vector<std::wstring> found;
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    using Preferred = BOOL(WINAPI*)(DWORD, ULONG*, wchar_t*, ULONG*);
    constexpr DWORD ByName = 0x8;  // MUI_LANGUAGE_NAME
    ULONG count = 0, size = 0;
    if (auto preferred = platform::GetFunction<Preferred>(kernel, "GetUserPreferredUILanguages");
        preferred != nullptr && preferred(ByName, &count, nullptr, &size) && size > 0) {
        std::wstring names(size, L'\0');
        if (preferred(ByName, &count, names.data(), &size))
            for (std::size_t at = 0; at < names.size() && names[at] != L'\0';) {
                std::size_t end = names.find(L'\0', at);
                found.push_back(names.substr(at, end - at));
                at = end + 1;
            }
    }
    using ThreadLanguage = LANGID(WINAPI*)();
    auto thread = platform::GetFunction<ThreadLanguage>(kernel, "GetThreadUILanguage");
    const LCID locale = MAKELCID(thread != nullptr ? thread() : GetUserDefaultUILanguage(), SORT_DEFAULT);
    wchar_t language[9] = {}, region[9] = {};
    if (GetLocaleInfoW(locale, LOCALE_SISO639LANGNAME, language, 9) > 1) {
        std::wstring name = language;
        if (GetLocaleInfoW(locale, LOCALE_SISO3166CTRYNAME, region, 9) > 1) name += std::wstring(L"-") + region;
        found.push_back(name);
    }
    return found;
}

// The chosen translation over the English patterns, from the table the
// build made (resources/make-texts.py), decompressed by the system. Any
// fault in the table leaves English.
void LoadTranslation(texts::TTexts& APatterns) {
    HINSTANCE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(module, L"TEXTS", MAKEINTRESOURCEW(10));
    HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
    const auto* data = static_cast<const std::uint8_t*>(loaded != nullptr ? LockResource(loaded) : nullptr);
    texts::TTable table;
    if (data == nullptr || !texts::ReadTable(data, SizeofResource(module, found), table)) return;
    std::vector<std::wstring> tags;
    for (std::size_t i = 0; i < table.Count; ++i)
        tags.emplace_back(table.Languages[i].Tag.begin(), table.Languages[i].Tag.end());
    // A language forced for the copy wins where the copy has it.
    int chosen = Globals::ForcedLanguage.empty() ? -1 : languages::Choose({Globals::ForcedLanguage}, tags);
    if (chosen < 0 && !languages::IsEnglish(Globals::ForcedLanguage))
        chosen = languages::Choose(PreferredLanguages(), tags);
    if (chosen < 0) return;
    const texts::TLanguage& language = table.Languages[static_cast<std::size_t>(chosen)];
    using Decompress = LONG(WINAPI*)(USHORT, UCHAR*, ULONG, const UCHAR*, ULONG, ULONG*);
    auto decompress = platform::GetFunction<Decompress>(GetModuleHandleW(L"ntdll.dll"), "RtlDecompressBuffer");
    std::string plain(table.PlainSize, '\0');
    ULONG size = 0;
    constexpr USHORT Lznt1 = 2;  // COMPRESSION_FORMAT_LZNT1
    if (decompress == nullptr ||
        decompress(Lznt1, reinterpret_cast<UCHAR*>(plain.data()), table.PlainSize, table.Packed,
                   static_cast<ULONG>(table.PackedSize), &size) < 0 ||
        size != table.PlainSize ||
        !texts::ReadTexts(std::string_view(plain).substr(language.PlainOffset, language.PlainSize), APatterns))
        return;
    Localizer::LanguageTag = languages::Normalize(tags[static_cast<std::size_t>(chosen)]);
    Localizer::RightToLeft = language.RightToLeft;
}

#endif

}  // namespace

void Localizer::Init() {
    texts::TTexts patterns;
    for (int i = 0; i < texts::TextCount; ++i) texts::DecodeUtf8(texts::English[i], patterns[i]);
    LanguageTag = L"en";
    RightToLeft = false;
#ifdef QUELLOX_TRANSLATIONS
    LoadTranslation(patterns);
#endif
    // The percentage is filled in each time the status line changes
    // (ProgressPercent): its placeholder stays.
    const texts::TPlaceholders values{Globals::FullProductName, Globals::MakerName, Globals::ErrorCode, L"{percent}"};
    auto text = [&patterns, &values](texts::TTextId AId) { return texts::Fill(patterns[AId], values); };
    WindowCaption = text(texts::tiCaption);
    StartInstallText = text(texts::tiStartInstall);
    CleanerOfferText = text(texts::tiCleanerOffer);
    BrandText = L"Varnholt";
    ProductTitleText = L"QUELLOX " + Globals::ProductYear;
    if (!Globals::ErrorCode.empty()) {
        OfferTitleText = text(texts::tiOfferTitleWithError);
        OfferSubtitleText = text(texts::tiOfferSubtitle);
    } else {
        OfferTitleText = text(texts::tiOfferTitle);
        OfferSubtitleText.clear();
    }
    LicenseText = text(texts::tiLicense);
    LicenseLinkText = text(texts::tiLicenseLink);
    TrustLogoText = text(texts::tiTrustLogo);
    CompatLogoText = text(texts::tiCompatLogo);
    ProgressText = text(texts::tiProgress);
    ProgressPercentPattern = text(texts::tiProgressPercent);
    FinalizingText = text(texts::tiFinalizing);
    PausedNoticeText = text(texts::tiPausedNotice);
    CancelConfirmText = text(texts::tiCancelConfirm);
    OpenAddressText = text(texts::tiOpenAddress);
    DownloadURLA = deployment::DownloadURLA;
    DownloadURLB = deployment::DownloadURLB;
    OpenWebPageURL = Globals::OpenWebPage;
    AnalyticsURL = deployment::AnalyticsURL;
    LicenseURL = deployment::LicenseURL;
}

std::wstring Localizer::ProgressPercent(int APercent) {
    texts::TPlaceholders values;
    platform::AppendDecimal(values.Percent, APercent);
    return texts::Fill(ProgressPercentPattern, values);
}

const std::wstring& Localizer::GetDownloadURL() { return Globals::ABVariant == 2 ? DownloadURLB : DownloadURLA; }

void Localizer::OpenURL(const std::wstring& AURL) {
    std::wstring address = links::AddressToOpen(AURL, Globals::GAParam);
    if (platform::OpenAsDesktopUser(address)) return;
    // Without a desktop shell to ask, the page is not opened from this
    // elevated process: the user is given the address to open.
    std::wstring text = OpenAddressText + L"\r\n\r\n" + address;
    MessageBoxW(Globals::MainWindowHandle.load(), text.c_str(), WindowCaption.c_str(),
                MB_OK | MB_ICONINFORMATION | (RightToLeft ? MB_RTLREADING | MB_RIGHT : 0));
}
