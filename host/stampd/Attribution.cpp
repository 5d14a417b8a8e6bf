// A download address and its signed attribution.
#include "host/stampd/Attribution.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/core_names.h>
#include <openssl/params.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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
    enum { Sig = consts::DataTypeCount, Exp, Fields };
    bool seen[Fields] = {};
    while (!query.empty()) {
        std::size_t end = query.find('&');
        std::string_view field = query.substr(0, end);
        query = end == std::string_view::npos ? std::string_view() : query.substr(end + 1);
        std::size_t equals = field.find('=');
        if (equals == std::string_view::npos) return Refuse(reason, "a query field has no value");
        std::string_view name = field.substr(0, equals);
        int index = 0;
        while (index < consts::DataTypeCount && name != FieldNames[index]) ++index;
        if (index == consts::DataTypeCount && name == "exp") index = Exp;
        if (index == consts::DataTypeCount && name != "sig") return Refuse(reason, "unknown query field");
        if (seen[index]) return Refuse(reason, "a query field is given twice");
        seen[index] = true;
        std::string value;
        if (!Decode(field.substr(equals + 1), true, value))
            return Refuse(reason, "malformed percent-encoding in the query");
        if (index == Sig) {
            attribution.Signature = value;
            continue;
        }
        if (index == Exp) {
            if (value.empty() || value.size() > 12 || value.find_first_not_of("0123456789") != std::string::npos ||
                value[0] == '0')
                return Refuse(reason, "exp is not a Unix time");
            attribution.Expires = value;
            continue;
        }
        if (!CheckValue(FieldNames[index], value, reason)) return false;
        attribution.Values[index] = value;
    }
    return true;
}

int Base64Digit(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Standard base64 with its padding; false when `text` is not that.
bool DecodeBase64(const std::string& text, std::string& bytes) {
    if (text.empty() || text.size() % 4 != 0) return false;
    std::size_t padding = text.size() - text.find_last_not_of('=') - 1;
    if (padding > 2) return false;
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < text.size() - padding; ++i) {
        int digit = Base64Digit(text[i]);
        if (digit < 0) return false;
        bits = (bits << 6) | static_cast<std::uint32_t>(digit);
        if (i % 4 == 3) {
            bytes += static_cast<char>(bits >> 16);
            bytes += static_cast<char>(bits >> 8);
            bytes += static_cast<char>(bits);
            bits = 0;
        }
    }
    if (padding == 2) bytes += static_cast<char>(bits >> 4);
    if (padding == 1) {
        bytes += static_cast<char>(bits >> 10);
        bytes += static_cast<char>(bits >> 2);
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
    std::string text = (attribution.Expires.empty() ? "quellox-stampd 1\n" : "quellox-stampd 2\n") +
                       attribution.FileName + "\n";
    for (const std::string& value : attribution.Values) text += value + "\n";
    if (!attribution.Expires.empty()) text += attribution.Expires + "\n";
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
    if (!attribution.Expires.empty()) target += separator + std::string("exp=") + attribution.Expires;
    return target;
}

bool IsKeyMode(unsigned mode, std::string& reason) {
    if ((mode & 0777 & ~0640u) == 0) return true;
    char text[64];
    std::snprintf(text, sizeof(text), "%04o", mode & 07777);
    return Refuse(reason, std::string("others can reach it (mode ") + text + "): a key file is 0600 or 0640");
}

bool IsKeyText(const std::string& text, std::string& reason) {
    const char* const advice = " (make one with: head -c 32 /dev/urandom | base64 > FILE)";
    std::string bytes;
    if (!DecodeBase64(text, bytes)) return Refuse(reason, std::string("the key is not base64") + advice);
    if (bytes.size() < 32)
        return Refuse(reason, "the key holds " + std::to_string(bytes.size()) + " bytes, fewer than 32" + advice);
    // 32 random bytes hold about 30 distinct values; a made-up key far fewer.
    bool used[256] = {};
    int distinct = 0;
    for (unsigned char c : bytes) distinct += used[c] ? 0 : (used[c] = true, 1);
    if (distinct < 16) return Refuse(reason, std::string("the key's bytes are not random") + advice);
    return true;
}

bool ReadKeyFile(const std::string& path, std::string& key, std::string& reason) {
    int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return Refuse(reason, path + ": cannot be read: " + std::strerror(errno));
    std::FILE* file = ::fdopen(descriptor, "rb");
    if (file == nullptr) {
        ::close(descriptor);
        return Refuse(reason, path + ": cannot be read: " + std::strerror(errno));
    }
    struct stat status {};
    std::string why;
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        std::fclose(file);
        return Refuse(reason, path + ": not a plain file");
    }
    if (!IsKeyMode(status.st_mode, why)) {
        std::fclose(file);
        return Refuse(reason, path + ": " + why);
    }
    key.clear();
    char buffer[4096];
    std::size_t read;
    while ((read = std::fread(buffer, 1, sizeof(buffer), file)) > 0 && key.size() < 65536) key.append(buffer, read);
    std::fclose(file);
    if (!key.empty() && key.back() == '\n') key.pop_back();
    if (!key.empty() && key.back() == '\r') key.pop_back();
    if (!IsKeyText(key, why)) return Refuse(reason, path + ": " + why);
    return true;
}

namespace {

// HMAC-SHA256 keyed once per key and thread: OpenSSL's one-shot HMAC looks
// the algorithm up and sets the key up again on every call, which cost more
// than the rest of a request's checks together.
struct MacContext {
    std::string Key;
    EVP_MAC_CTX* Keyed = nullptr;
    ~MacContext() { EVP_MAC_CTX_free(Keyed); }
};

EVP_MAC_CTX* KeyedContext(const std::string& key) {
    static EVP_MAC* const mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    thread_local MacContext contexts[2];  // the current key and the previous one
    thread_local unsigned next = 0;
    for (MacContext& context : contexts)
        if (context.Keyed != nullptr && context.Key == key) return context.Keyed;
    MacContext& context = contexts[next++ % 2];
    EVP_MAC_CTX_free(context.Keyed);
    context.Keyed = EVP_MAC_CTX_new(mac);
    context.Key = key;
    char digest[] = "SHA256";
    OSSL_PARAM parameters[] = {OSSL_PARAM_construct_utf8_string("digest", digest, 0), OSSL_PARAM_construct_end()};
    EVP_MAC_init(context.Keyed, reinterpret_cast<const unsigned char*>(key.data()), key.size(), parameters);
    return context.Keyed;
}

}  // namespace

std::string Sign(const std::string& key, const std::string& text) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    std::size_t length = 0;
    EVP_MAC_CTX* once = EVP_MAC_CTX_dup(KeyedContext(key));
    EVP_MAC_update(once, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    EVP_MAC_final(once, mac, &length, sizeof(mac));
    EVP_MAC_CTX_free(once);
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (std::size_t i = 0; i < length; ++i) {
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
    case SignatureCheck::Expired: return "expired";
    }
    return "bad";
}

SignatureCheck CheckSignature(const Attribution& attribution, const std::string& key, const std::string& oldKey,
                              std::int64_t now) {
    if (attribution.Signature.empty()) return SignatureCheck::Missing;
    const std::string& given = attribution.Signature;
    auto matches = [&](const std::string& candidate) {
        std::string expected = Sign(candidate, CanonicalForm(attribution));
        return given.size() == expected.size() && CRYPTO_memcmp(given.data(), expected.data(), given.size()) == 0;
    };
    SignatureCheck check = matches(key)                          ? SignatureCheck::Valid
                           : !oldKey.empty() && matches(oldKey) ? SignatureCheck::ValidOldKey
                                                                : SignatureCheck::Bad;
    if (check != SignatureCheck::Bad && !attribution.Expires.empty() && std::stoll(attribution.Expires) <= now)
        return SignatureCheck::Expired;
    return check;
}

}  // namespace stampd
