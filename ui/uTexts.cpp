// The window's texts and the translations' table.
#include "ui/uTexts.h"

namespace texts {

// UTF-8, half the bytes of UTF-16: Localizer decodes them once.
const char* const English[TextCount] = {
    "Setup \xE2\x80\x94 {product}",
    "Start installation",
    "Install {maker} Scourwell to scan for junk files",
    "Install and Fix {error} Issue",
    "and other stability issues",
    "Install and diagnose your PC",
    "By installing this application you confirm that you have read and accepted the Varnholt",
    "License Agreement",
    "Verified: safe download",
    "Compatible with 32-bit and 64-bit Windows",
    "Installing the application",
    "Installing the application ({percent}%)",
    "Finalizing the installation...",
    "{product} installation paused...\r\n\r\nResume installation and in only a few seconds you will be able to run "
    "thorough and complete optimization on your PC.",
    "Installation will complete in only a few seconds. If you abort it now, you will not be able to run thorough "
    "and complete optimization on your PC.\r\nContinue installation?",
    "To read the License Agreement, open this address in your browser:",
};

namespace {

constexpr std::size_t HeadSize = 8, TagSize = 12, EntrySize = TagSize + 4;

std::uint32_t Word(const std::uint8_t* at) { return static_cast<std::uint32_t>(at[0] | (at[1] << 8)); }

}  // namespace

bool ReadTable(const std::uint8_t* ATable, std::size_t ASize, TTable& AOut) {
    AOut.Count = 0;
    if (ATable == nullptr || ASize < HeadSize) return false;
    const std::size_t count = Word(ATable);
    const std::uint32_t total = Word(ATable + 4) | (Word(ATable + 6) << 16);
    if (count > MaxLanguages || ASize < HeadSize + count * EntrySize) return false;
    std::uint32_t offset = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* entry = ATable + HeadSize + i * EntrySize;
        TLanguage& language = AOut.Languages[i];
        std::size_t length = 0;
        while (length < TagSize && entry[length] != 0) ++length;
        language.Tag = {reinterpret_cast<const char*>(entry), length};
        language.RightToLeft = (entry[TagSize] & 1) != 0;
        language.PlainOffset = offset;
        language.PlainSize = Word(entry + TagSize + 2);
        offset += language.PlainSize;
        if (length == 0 || length == TagSize) return false;
    }
    if (offset != total) return false;
    AOut.Count = count;
    AOut.Packed = ATable + HeadSize + count * EntrySize;
    AOut.PackedSize = ASize - HeadSize - count * EntrySize;
    AOut.PlainSize = total;
    return true;
}

bool DecodeUtf8(std::string_view AText, std::wstring& AOut) {
    AOut.clear();
    for (std::size_t i = 0; i < AText.size();) {
        const auto lead = static_cast<unsigned char>(AText[i]);
        const int extra = lead < 0x80 ? 0 : lead >= 0xC2 && lead < 0xE0 ? 1 : lead >= 0xE0 && lead < 0xF0 ? 2
                                                                      : lead >= 0xF0 && lead < 0xF5 ? 3 : -1;
        if (extra < 0 || AText.size() - i <= static_cast<std::size_t>(extra)) return false;
        char32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(AText[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        static constexpr char32_t Least[] = {0, 0x80, 0x800, 0x10000};
        if (code < Least[extra] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return false;
        if (code >= 0x10000) {
            AOut += static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10));
            AOut += static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            AOut += static_cast<wchar_t>(code);
        }
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

bool ReadTexts(std::string_view APlain, TTexts& AOut) {
    std::wstring found[TextCount];
    std::size_t at = 0;
    for (std::wstring& text : found) {
        const std::size_t end = APlain.find('\0', at);
        if (end == std::string_view::npos || !DecodeUtf8(APlain.substr(at, end - at), text)) return false;
        at = end + 1;
    }
    if (at != APlain.size()) return false;
    for (int i = 0; i < TextCount; ++i)
        if (!found[i].empty()) AOut[i] = std::move(found[i]);
    return true;
}

std::wstring Fill(std::wstring_view APattern, const TPlaceholders& AValues) {
    const struct {
        std::wstring_view Name;
        const std::wstring& Value;
    } names[] = {{L"{product}", AValues.Product},
                 {L"{maker}", AValues.Maker},
                 {L"{error}", AValues.Error},
                 {L"{percent}", AValues.Percent}};
    std::wstring out;
    for (std::size_t i = 0; i < APattern.size();) {
        bool replaced = false;
        if (APattern[i] == L'{')
            for (const auto& name : names)
                if (APattern.substr(i, name.Name.size()) == name.Name) {
                    out += name.Value;
                    i += name.Name.size();
                    replaced = true;
                    break;
                }
        if (!replaced) out += APattern[i++];
    }
    return out;
}

}  // namespace texts
