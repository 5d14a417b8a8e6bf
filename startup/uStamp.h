// Writing the three per-distribution values into a signed executable's
// signature area, where the signature does not cover them. Pure: bytes in,
// bytes out, no platform calls, so that it also runs on a maker's Linux
// build server.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "startup/uConsts.h"

namespace stamp {

using Bytes = std::vector<std::uint8_t>;

// The values a stamp accepts: at most 100 characters of printable ASCII
// without double quotes and backslashes, and no blank at either end (the
// reader trims those), and holding no record's marker (the reader would
// take it for that record). Such a value reaches the setup program and the
// analytics service unchanged. Empty means "blank". The one rule of every
// writer: `set`, `batch`, quellox-stampd and its links.
bool IsAcceptedValue(const std::wstring& value, std::string& why);

// Stamps `file` (a whole signed PE image) with the three values, in
// TDataType order. A file that carries the block gets its values rewritten
// in place; one that has none gets the block added as the last
// unauthenticated attribute of its signer, with every enclosing length, the
// certificate table's size, the security directory and the PE checksum
// updated. On failure `file` is left as it was and `error` says why.
bool StampFile(Bytes& file, const std::wstring (&values)[consts::DataTypeCount], std::string& error);

// Whether `file` is a PE (PE32 or PE32+) whose certificate table ends it and
// holds an Authenticode signature, as stamping needs; `why` says what is not.
bool IsSignedPe(const Bytes& file, std::string& why);

// Recomputes the PE checksum of `file` in place; false when it is no PE.
bool UpdatePEChecksum(Bytes& file);

}  // namespace stamp
