// The window's texts: their English patterns, the translations' table that
// the build makes from the translators' files (resources/make-texts.py), and
// the filling in of a pattern's placeholders. Pure: no platform calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace texts {

// In the order of resources/lang/quellox.pot, which is the table's order.
enum TTextId : int {
    tiCaption,
    tiStartInstall,
    tiCleanerOffer,
    tiOfferTitleWithError,
    tiOfferSubtitle,
    tiOfferTitle,
    tiLicense,
    tiLicenseLink,
    tiTrustLogo,
    tiCompatLogo,
    tiProgress,
    tiProgressPercent,
    tiFinalizing,
    tiPausedNotice,
    tiCancelConfirm,
    tiOpenAddress,
    TextCount
};

using TTexts = std::wstring[TextCount];

// The English patterns, UTF-8, with "{product}", "{maker}", "{error}" and
// "{percent}" where the values go.
extern const char* const English[TextCount];

// One language of the table: where its texts lie in the decompressed
// stream of all of them.
struct TLanguage {
    std::string_view Tag;  // as the maker named its file: "de", "pt-BR"
    bool RightToLeft = false;
    std::uint32_t PlainOffset = 0, PlainSize = 0;
};

// The most languages a table may hold.
constexpr std::size_t MaxLanguages = 64;

struct TTable {
    TLanguage Languages[MaxLanguages];
    std::size_t Count = 0;
    // Every language's texts, compressed as one stream, and their size
    // decompressed.
    const std::uint8_t* Packed = nullptr;
    std::size_t PackedSize = 0;
    std::uint32_t PlainSize = 0;
};

// The table's languages (their tags point into ATable); false, with no
// language, when it is malformed: cut short, more than MaxLanguages, a tag
// empty or without its end, or the languages' sizes not adding up to the
// whole.
bool ReadTable(const std::uint8_t* ATable, std::size_t ASize, TTable& AOut);

// One language's decompressed texts over the English ones: each text of
// APlain (UTF-8, ended by a NUL, in table order) that is not empty replaces
// its English pattern. False, with AOut untouched, when APlain does not hold
// exactly TextCount texts of valid UTF-8.
bool ReadTexts(std::string_view APlain, TTexts& AOut);

// UTF-8 into UTF-16; false on a malformed or overlong sequence.
bool DecodeUtf8(std::string_view AText, std::wstring& AOut);

struct TPlaceholders {
    std::wstring Product, Maker, Error, Percent;
};

// APattern with each placeholder replaced by its value; an unknown one stays.
std::wstring Fill(std::wstring_view APattern, const TPlaceholders& AValues);

}  // namespace texts
