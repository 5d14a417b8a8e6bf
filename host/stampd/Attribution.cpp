// A download address and its signed attribution.
#include "host/stampd/Attribution.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdio>

#include "startup/uSettingsRules.h"
#include "startup/uStamp.h"

namespace stampd {

namespace {

const char* const FieldNames[consts::DataTypeCount] = {"cookie", "partner", "traffic"};

std::wstring Widen(std::string_view text) {
    std::wstring wide;
    for (unsigned char c : text) wide += static_cast<wchar_t>(c);  // bytes past ASCII are refused by the rules
    return wide;
}

std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) narrow += static_cast<char>(c);
    return narrow;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decoding; '+' is a blank, as forms send it.
bool Decode(std::string_view text, bool plusIsBlank, std::string& decoded) {
    decoded.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+' && plusIsBlank) {
            decoded += ' ';
        } else if (text[i] != '%') {
            decoded += text[i];
        } else {
            if (i + 2 >= text.size()) return false;
            int h = HexDigit(text[i + 1]), l = HexDigit(text[i + 2]);
            if (h < 0 || l < 0) return false;
            decoded += static_cast<char>(h * 16 + l);
            i += 2;
        }
    }
    return true;
}

// Unreserved characters stay, everything else is %XX.
std::string Encode(std::string_view text) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : text) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '.' || c == '_' || c == '~';
        if (plain) {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += digits[c >> 4];
            encoded += digits[c & 15];
        }
    }
    return encoded;
}

bool Refuse(std::string& reason, std::string text) {
    reason = std::move(text);
    return false;
}

bool CheckValue(const char* what, const std::string& value, std::string& reason) {
    std::string why;
    if (stamp::IsAcceptedValue(Widen(value), why)) return true;
    return Refuse(reason, std::string(what) + " refused: " + why);
}

bool ParseName(std::string_view path, Attribution& attribution, std::string& reason) {
    if (path.empty() || path[0] != '/') return Refuse(reason, "the address does not start with /");
    if (!Decode(path.substr(1), false, attribution.FileName))
        return Refuse(reason, "malformed percent-encoding in the file name");
    const std::string& name = attribution.FileName;
    // "qlx_", "-setup_" and ".exe" around two values of at most 100 characters.
    if (name.size() > 2 * consts::LongWidth + 15) return Refuse(reason, "the file name is too long");
    for (char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E || c == '"' || c == '\\' ||
            rules::NotInFileNames.find(static_cast<wchar_t>(c)) != std::wstring_view::npos)
            return Refuse(reason, "the file name holds a character that a file name cannot hold");
    }
    std::wstring wide = Widen(name);
    attribution.ErrorCode = Narrow(rules::ReadFileNameErrorCode(wide));
    attribution.Linker = Narrow(rules::ReadFileNameGAParam(wide));
    if (!CheckValue("the error code", attribution.ErrorCode, reason)) return false;
    if (!CheckValue("the linker value", attribution.Linker, reason)) return false;
    if (rules::CopyFileName(Widen(attribution.ErrorCode), Widen(attribution.Linker)) != wide)
        return Refuse(reason, "the file name is not qlx_<error code>-setup_<linker value>.exe");
    return true;
}

bool ParseQuery(std::string_view query, Attribution& attribution, std::string& reason) {
    bool seen[consts::DataTypeCount + 1] = {};
    while (!query.empty()) {
        std::size_t end = query.find('&');
        std::string_view field = query.substr(0, end);
        query = end == std::string_view::npos ? std::string_view() : query.substr(end + 1);
        std::size_t equals = field.find('=');
        if (equals == std::string_view::npos) return Refuse(reason, "a query field has no value");
        std::string_view name = field.substr(0, equals);
        int index = 0;
        while (index < consts::DataTypeCount && name != FieldNames[index]) ++index;
        if (index == consts::DataTypeCount && name != "sig") return Refuse(reason, "unknown query field");
        if (seen[index]) return Refuse(reason, "a query field is given twice");
        seen[index] = true;
        std::string value;
        if (!Decode(field.substr(equals + 1), true, value))
            return Refuse(reason, "malformed percent-encoding in the query");
        if (index == consts::DataTypeCount) {
            attribution.Signature = value;
            continue;
        }
        if (!CheckValue(FieldNames[index], value, reason)) return false;
        attribution.Values[index] = value;
    }
    return true;
}

}  // namespace

bool ParseTarget(std::string_view target, Attribution& attribution, std::string& reason) {
    attribution = {};
    if (target.size() > MaxTargetLength) return Refuse(reason, "the address is longer than 2048 characters");
    std::size_t question = target.find('?');
    if (!ParseName(target.substr(0, question), attribution, reason)) return false;
    return question == std::string_view::npos || ParseQuery(target.substr(question + 1), attribution, reason);
}

std::string CanonicalForm(const Attribution& attribution) {
    std::string text = "quellox-stampd 1\n" + attribution.FileName + "\n";
    for (const std::string& value : attribution.Values) text += value + "\n";
    return text;
}

std::string LinkTarget(const Attribution& attribution) {
    std::string target = "/";
    target += Encode(attribution.FileName);
    char separator = '?';
    for (int type = 0; type < consts::DataTypeCount; ++type) {
        if (attribution.Values[type].empty()) continue;
        target += separator;
        target += FieldNames[type];
        target += '=';
        target += Encode(attribution.Values[type]);
        separator = '&';
    }
    return target;
}

bool ReadKeyFile(const std::string& path, std::string& key, std::string& reason) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return Refuse(reason, path + ": cannot be read");
    key.clear();
    char buffer[4096];
    std::size_t read;
    while ((read = std::fread(buffer, 1, sizeof(buffer), file)) > 0 && key.size() < 65536) key.append(buffer, read);
    std::fclose(file);
    while (!key.empty() && (key.back() == '\n' || key.back() == '\r' || key.back() == ' ' || key.back() == '\t'))
        key.pop_back();
    if (key.size() < 32)
        return Refuse(reason, path + ": a key needs at least 32 bytes (for instance: head -c 32 /dev/urandom | base64)");
    return true;
}

std::string Sign(const std::string& key, const std::string& text) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(text.data()),
         text.size(), mac, &length);
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += digits[mac[i] >> 4];
        hex += digits[mac[i] & 15];
    }
    return hex;
}

const char* Describe(SignatureCheck check) {
    switch (check) {
    case SignatureCheck::Missing: return "missing";
    case SignatureCheck::Valid: return "valid";
    case SignatureCheck::ValidOldKey: return "valid-old-key";
    case SignatureCheck::Bad: return "bad";
    }
    return "bad";
}

SignatureCheck CheckSignature(const Attribution& attribution, const std::string& key, const std::string& oldKey) {
    if (attribution.Signature.empty()) return SignatureCheck::Missing;
    const std::string& given = attribution.Signature;
    auto matches = [&](const std::string& candidate) {
        std::string expected = Sign(candidate, CanonicalForm(attribution));
        return given.size() == expected.size() && CRYPTO_memcmp(given.data(), expected.data(), given.size()) == 0;
    };
    if (matches(key)) return SignatureCheck::Valid;
    if (!oldKey.empty() && matches(oldKey)) return SignatureCheck::ValidOldKey;
    return SignatureCheck::Bad;
}

}  // namespace stampd
