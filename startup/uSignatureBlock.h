// Finds the three parameter records in the last bytes of a file. Pure: it
// works on a copy of the file's tail and never parses the PE or the signature.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "startup/uConsts.h"

inline constexpr std::size_t SignatureTailSize = 4096;

struct TSignatureBlock {
    bool IsValid = false;                      // all three records found and read
    std::wstring Data[consts::DataTypeCount];  // trimmed values; earlier ones stay on failure
    // Where each value lies, as a byte offset into the buffer given to the
    // scan, and its width in characters: what a writer rewrites in place.
    std::size_t ValueOffset[consts::DataTypeCount] = {};
    std::size_t Width[consts::DataTypeCount] = {};
};

// `tail` holds the file's last `size` bytes; fewer than 4096 means the file is
// too short to carry a block.
TSignatureBlock ScanSignatureBlock(const std::uint8_t* tail, std::size_t size);
