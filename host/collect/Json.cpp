// A small strict JSON reader.
#include "host/collect/Json.h"

#include <cstdint>
#include <cstdio>

#include "platform/Strings.h"

namespace collect::json {

namespace {

class Reader {
public:
    Reader(std::string_view text, int depthLimit) : text_(text), depthLimit_(depthLimit) {}

    bool Document(Value& value) {
        Blanks();
        if (!Read(value, 0)) return false;
        Blanks();
        if (at_ != text_.size()) return Fail("text after the JSON value");
        return true;
    }

    std::string Reason() const { return reason_; }

private:
    bool Fail(const char* why) {
        if (reason_.empty()) reason_ = std::string("malformed JSON: ") + why;
        return false;
    }
    void Blanks() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
            ++at_;
    }
    bool Literal(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) return Fail("an unknown word");
        at_ += word.size();
        return true;
    }

    bool Read(Value& value, int depth) {
        if (depth > depthLimit_) return Fail("nested too deeply");
        if (at_ >= text_.size()) return Fail("the text ends early");
        char c = text_[at_];
        if (c == '{') return ReadObject(value, depth);
        if (c == '[') return ReadArray(value, depth);
        if (c == '"') {
            value.Type = Value::Kind::String;
            return ReadString(value.Text);
        }
        if (c == 't' || c == 'f') {
            value.Type = Value::Kind::Bool;
            value.Boolean = c == 't';
            return Literal(c == 't' ? "true" : "false");
        }
        if (c == 'n') {
            value.Type = Value::Kind::Null;
            return Literal("null");
        }
        return ReadNumber(value);
    }

    bool Digits() {
        std::size_t start = at_;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
        return at_ > start;
    }

    bool ReadNumber(Value& value) {
        std::size_t start = at_;
        if (at_ < text_.size() && text_[at_] == '-') ++at_;
        if (at_ < text_.size() && text_[at_] == '0') {
            ++at_;
        } else if (!Digits()) {
            return Fail("an unexpected character");
        }
        if (at_ < text_.size() && text_[at_] == '.') {
            ++at_;
            if (!Digits()) return Fail("a number without digits after its point");
        }
        if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            ++at_;
            if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
            if (!Digits()) return Fail("a number without digits in its exponent");
        }
        value.Type = Value::Kind::Number;
        value.Text = std::string(text_.substr(start, at_ - start));
        return true;
    }

    bool Hex4(std::uint32_t& code) {
        if (at_ + 4 > text_.size()) return Fail("a short \\u escape");
        code = 0;
        for (int i = 0; i < 4; ++i) {
            char c = text_[at_++];
            int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (digit < 0) return Fail("a bad \\u escape");
            code = code * 16 + static_cast<std::uint32_t>(digit);
        }
        return true;
    }

    // One UTF-8 sequence from the text, checked: no overlong form, no
    // surrogate, nothing past U+10FFFF.
    bool CopyUtf8(std::string& out) {
        unsigned char lead = static_cast<unsigned char>(text_[at_]);
        int length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 && lead <= 0xDF ? 2 : 0;
        if (lead >= 0xF5 || length == 0 || at_ + length > text_.size()) return Fail("invalid UTF-8");
        std::uint32_t code = lead & (0x7F >> length);
        for (int i = 1; i < length; ++i) {
            unsigned char next = static_cast<unsigned char>(text_[at_ + i]);
            if ((next & 0xC0) != 0x80) return Fail("invalid UTF-8");
            code = (code << 6) | (next & 0x3F);
        }
        if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)))
            return Fail("invalid UTF-8");
        out.append(text_.substr(at_, length));
        at_ += length;
        return true;
    }

    bool ReadString(std::string& out) {
        ++at_;  // the opening quote
        out.clear();
        for (;;) {
            if (at_ >= text_.size()) return Fail("a string that does not end");
            char c = text_[at_];
            if (c == '"') {
                ++at_;
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) return Fail("a control character in a string");
            if (static_cast<unsigned char>(c) >= 0x80) {
                if (!CopyUtf8(out)) return false;
                continue;
            }
            ++at_;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= text_.size()) return Fail("a string that does not end");
            char e = text_[at_++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                std::uint32_t code = 0;
                if (!Hex4(code)) return false;
                if (code >= 0xDC00 && code <= 0xDFFF) return Fail("a lone surrogate");
                if (code >= 0xD800 && code <= 0xDBFF) {
                    std::uint32_t low = 0;
                    if (text_.substr(at_, 2) != "\\u") return Fail("a lone surrogate");
                    at_ += 2;
                    if (!Hex4(low)) return false;
                    if (low < 0xDC00 || low > 0xDFFF) return Fail("a lone surrogate");
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                }
                platform::AppendUtf8(out, static_cast<char32_t>(code));
                break;
            }
            default: return Fail("an unknown escape");
            }
        }
    }

    bool ReadArray(Value& value, int depth) {
        value.Type = Value::Kind::Array;
        ++at_;
        Blanks();
        if (at_ < text_.size() && text_[at_] == ']') {
            ++at_;
            return true;
        }
        for (;;) {
            Blanks();
            value.Items.emplace_back();
            if (!Read(value.Items.back(), depth + 1)) return false;
            Blanks();
            if (at_ >= text_.size()) return Fail("an array that does not end");
            char c = text_[at_++];
            if (c == ']') return true;
            if (c != ',') return Fail("a missing comma in an array");
        }
    }

    bool ReadObject(Value& value, int depth) {
        value.Type = Value::Kind::Object;
        ++at_;
        Blanks();
        if (at_ < text_.size() && text_[at_] == '}') {
            ++at_;
            return true;
        }
        for (;;) {
            Blanks();
            if (at_ >= text_.size() || text_[at_] != '"') return Fail("an object key that is not a string");
            std::string key;
            if (!ReadString(key)) return false;
            if (value.Find(key) != nullptr) return Fail("a key given twice");
            Blanks();
            if (at_ >= text_.size() || text_[at_] != ':') return Fail("a missing colon in an object");
            ++at_;
            Blanks();
            value.Keys.push_back(std::move(key));
            value.Members.emplace_back();
            if (!Read(value.Members.back(), depth + 1)) return false;
            Blanks();
            if (at_ >= text_.size()) return Fail("an object that does not end");
            char c = text_[at_++];
            if (c == '}') return true;
            if (c != ',') return Fail("a missing comma in an object");
        }
    }

    std::string_view text_;
    int depthLimit_;
    std::size_t at_ = 0;
    std::string reason_;
};

}  // namespace

const Value* Value::Find(std::string_view key) const {
    for (std::size_t i = 0; i < Keys.size(); ++i)
        if (Keys[i] == key) return &Members[i];
    return nullptr;
}

bool Parse(std::string_view text, Value& value, std::string& reason, int depthLimit) {
    Reader reader(text, depthLimit);
    value = Value{};
    if (reader.Document(value)) return true;
    reason = reader.Reason();
    return false;
}

std::string Quote(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '<': out += "\\u003c"; break;
        case '>': out += "\\u003e"; break;
        case '&': out += "\\u0026"; break;
        default:
            if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

}  // namespace collect::json
