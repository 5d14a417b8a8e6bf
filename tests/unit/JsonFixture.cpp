// A strict JSON reader for the tests.
#include "tests/unit/JsonFixture.h"

#include <cstdint>

namespace {

class TReader {
public:
    explicit TReader(std::string_view text) : FText(text) {}

    std::optional<TJson> Document() {
        std::optional<TJson> value = Value();
        SkipBlanks();
        if (!value || FPos != FText.size()) return std::nullopt;
        return value;
    }

private:
    std::string_view FText;
    std::size_t FPos = 0;

    bool AtEnd() const { return FPos >= FText.size(); }
    char Peek() const { return AtEnd() ? '\0' : FText[FPos]; }

    void SkipBlanks() {
        while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')) ++FPos;
    }

    bool Take(char c) {
        SkipBlanks();
        if (Peek() != c) return false;
        ++FPos;
        return true;
    }

    bool Literal(std::string_view word) {
        if (FText.substr(FPos, word.size()) != word) return false;
        FPos += word.size();
        return true;
    }

    std::optional<TJson> Value() {
        SkipBlanks();
        TJson value;
        char c = Peek();
        if (c == '{') return Object();
        if (c == '[') return Array();
        if (c == '"') {
            value.Kind = TJson::jkString;
            if (!String(value.Text)) return std::nullopt;
            return value;
        }
        if (c == '-' || (c >= '0' && c <= '9')) return Number();
        for (const char* word : {"true", "false"}) {
            if (Literal(word)) {
                value.Kind = TJson::jkBool;
                value.Text = word;
                return value;
            }
        }
        if (Literal("null")) return value;
        return std::nullopt;
    }

    std::optional<TJson> Object() {
        TJson object;
        object.Kind = TJson::jkObject;
        ++FPos;
        if (Take('}')) return object;
        do {
            SkipBlanks();
            std::string name;
            if (Peek() != '"' || !String(name) || !Take(':')) return std::nullopt;
            std::optional<TJson> member = Value();
            if (!member) return std::nullopt;
            object.MemberNames.push_back(std::move(name));
            object.MemberValues.push_back(std::move(*member));
        } while (Take(','));
        if (!Take('}')) return std::nullopt;
        return object;
    }

    std::optional<TJson> Array() {
        TJson array;
        array.Kind = TJson::jkArray;
        ++FPos;
        if (Take(']')) return array;
        do {
            std::optional<TJson> item = Value();
            if (!item) return std::nullopt;
            array.Items.push_back(std::move(*item));
        } while (Take(','));
        if (!Take(']')) return std::nullopt;
        return array;
    }

    bool Digits() {
        std::size_t start = FPos;
        while (Peek() >= '0' && Peek() <= '9') ++FPos;
        return FPos > start;
    }

    std::optional<TJson> Number() {
        std::size_t start = FPos;
        if (Peek() == '-') ++FPos;
        if (Peek() == '0') {
            ++FPos;
        } else if (!Digits()) {
            return std::nullopt;
        }
        if (Peek() == '.' && (++FPos, !Digits())) return std::nullopt;
        if (Peek() == 'e' || Peek() == 'E') {
            ++FPos;
            if (Peek() == '+' || Peek() == '-') ++FPos;
            if (!Digits()) return std::nullopt;
        }
        TJson number;
        number.Kind = TJson::jkNumber;
        number.Text = std::string(FText.substr(start, FPos - start));
        return number;
    }

    static void AppendUtf8(std::string& out, std::uint32_t c) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }

    bool Hex4(std::uint32_t& value) {
        value = 0;
        for (int i = 0; i < 4; ++i) {
            char c = Peek();
            int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
            if (digit < 0) return false;
            value = value * 16 + static_cast<std::uint32_t>(digit);
            ++FPos;
        }
        return true;
    }

    bool Escape(std::string& out) {
        char c = Peek();
        ++FPos;
        switch (c) {
        case '"': out += '"'; return true;
        case '\\': out += '\\'; return true;
        case '/': out += '/'; return true;
        case 'b': out += '\b'; return true;
        case 'f': out += '\f'; return true;
        case 'n': out += '\n'; return true;
        case 'r': out += '\r'; return true;
        case 't': out += '\t'; return true;
        case 'u': break;
        default: return false;
        }
        std::uint32_t unit = 0;
        if (!Hex4(unit)) return false;
        if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            std::uint32_t low = 0;
            if (!Literal("\\u") || !Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        AppendUtf8(out, unit);
        return true;
    }

    // One UTF-8 sequence, checked: no overlong forms, surrogates or values
    // past U+10FFFF.
    bool Utf8(std::string& out) {
        auto byte = [&](std::size_t at) { return static_cast<unsigned char>(FText[at]); };
        unsigned char lead = byte(FPos);
        std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                           : lead >= 0xF0 && lead <= 0xF4                    ? 4
                                                                             : 0;
        if (length == 0 || FPos + length > FText.size()) return false;
        std::uint32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t i = 1; i < length; ++i) {
            if ((byte(FPos + i) & 0xC0) != 0x80) return false;
            c = (c << 6) | (byte(FPos + i) & 0x3F);
        }
        static constexpr std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < least[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        out.append(FText.substr(FPos, length));
        FPos += length;
        return true;
    }

    bool String(std::string& out) {
        ++FPos;
        for (;;) {
            if (AtEnd()) return false;
            char c = Peek();
            if (c == '"') {
                ++FPos;
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c == '\\') {
                ++FPos;
                if (!Escape(out)) return false;
            } else if (!Utf8(out)) {
                return false;
            }
        }
    }
};

}  // namespace

const TJson* TJson::Find(std::string_view name) const {
    for (std::size_t i = 0; i < MemberNames.size(); ++i)
        if (MemberNames[i] == name) return &MemberValues[i];
    return nullptr;
}

std::optional<TJson> ParseJson(std::string_view text) { return TReader(text).Document(); }
