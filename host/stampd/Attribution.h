// A download address and its signed attribution: the copy's file name, the
// cookie, partner and traffic values of the query, and the HMAC-SHA256 that
// the maker put on them, so that a partner cannot claim another's traffic.
//
//   /qlx_<error code>-setup_<linker value>.exe?cookie=..&partner=..&traffic=..[&exp=<Unix time>]&sig=<hex>
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "startup/uConsts.h"

namespace stampd {

inline constexpr std::size_t MaxTargetLength = 2048;

struct Attribution {
    std::string FileName;  // decoded, the installer's own shape
    std::string ErrorCode;
    std::string Linker;
    std::string Values[consts::DataTypeCount];  // cookie, partner, traffic; empty when not given
    std::string Expires;                        // Unix time, decimal; empty: the link never expires
    std::string Signature;                      // as given, empty when not given
};

// Reads a request target. Every value must pass the stamping rules, the name
// must be a copy's name that the installer reads back unchanged, and every
// query field must be known and given once. False with a one-line reason.
bool ParseTarget(std::string_view target, Attribution& attribution, std::string& reason);

// What the signature covers: the name and the three values, one a line
// (none of them can hold a line break), and the expiry when there is one
// (a form of its own, so that links made without one keep their signatures).
std::string CanonicalForm(const Attribution& attribution);

// The address part of a signed link for `attribution` (its signature left
// out): "/<name>?cookie=..&partner=..&traffic=..", empty values left out.
std::string LinkTarget(const Attribution& attribution);

// A key from a file: its text without the trailing line break, which must
// be at least 32 random bytes in base64 (what `head -c 32 /dev/urandom |
// base64` writes); the file must be a plain file that no one but its owner
// and group can read (mode 0640 or narrower). False with the reason.
bool ReadKeyFile(const std::string& path, std::string& key, std::string& reason);
// The same rules on the text and the mode alone.
bool IsKeyText(const std::string& text, std::string& reason);
bool IsKeyMode(unsigned mode, std::string& reason);

// HMAC-SHA256 of `text` under `key`, 64 lower-case hex digits.
std::string Sign(const std::string& key, const std::string& text);

enum class SignatureCheck { Missing, Valid, ValidOldKey, Bad, Expired };
const char* Describe(SignatureCheck check);

// Checks the signature against the current key, then the previous one (empty
// when there is none), in constant time; a genuine link whose expiry is not
// after `now` (Unix time) has expired.
SignatureCheck CheckSignature(const Attribution& attribution, const std::string& key, const std::string& oldKey,
                              std::int64_t now);

// Whether a check lets the link's values through.
inline bool Honoured(SignatureCheck check) {
    return check == SignatureCheck::Valid || check == SignatureCheck::ValidOldKey;
}

}  // namespace stampd
