// A download address and its signed attribution: the copy's file name, the
// cookie, partner and traffic values of the query, and the HMAC-SHA256 that
// the maker put on them, so that a partner cannot claim another's traffic.
//
//   /qlx_<error code>-setup_<linker value>.exe?cookie=..&partner=..&traffic=..&sig=<hex>
#pragma once

#include <cstddef>
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
    std::string Signature;                      // as given, empty when not given
};

// Reads a request target. Every value must pass the stamping rules, the name
// must be a copy's name that the installer reads back unchanged, and every
// query field must be known and given once. False with a one-line reason.
bool ParseTarget(std::string_view target, Attribution& attribution, std::string& reason);

// What the signature covers: the name and the three values, one a line
// (none of them can hold a line break).
std::string CanonicalForm(const Attribution& attribution);

// The address part of a signed link for `attribution` (its signature left
// out): "/<name>?cookie=..&partner=..&traffic=..", empty values left out.
std::string LinkTarget(const Attribution& attribution);

// A key from a file: its bytes without trailing blanks and line breaks, at
// least 32 of them. False with the reason.
bool ReadKeyFile(const std::string& path, std::string& key, std::string& reason);

// HMAC-SHA256 of `text` under `key`, 64 lower-case hex digits.
std::string Sign(const std::string& key, const std::string& text);

enum class SignatureCheck { Missing, Valid, ValidOldKey, Bad };
const char* Describe(SignatureCheck check);

// Checks the signature against the current key, then the previous one (empty
// when there is none), in constant time.
SignatureCheck CheckSignature(const Attribution& attribution, const std::string& key, const std::string& oldKey);

}  // namespace stampd
