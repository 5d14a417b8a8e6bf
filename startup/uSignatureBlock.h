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
};

// `tail` holds the file's last `size` bytes; fewer than 4096 means the file is
// too short to carry a block.
TSignatureBlock ScanSignatureBlock(const std::uint8_t* tail, std::size_t size);
