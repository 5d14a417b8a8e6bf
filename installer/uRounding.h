// Exact rounding of a ratio to the nearest integer, halves to the even
// neighbour, without floating point. Pure.
#pragma once

#include <cstdint>

namespace rounding {

// numerator / denominator rounded half to even; denominator > 0.
inline std::uint64_t RoundHalfToEven(std::uint64_t numerator, std::uint64_t denominator) {
    std::uint64_t quotient = numerator / denominator;
    std::uint64_t twiceRemainder = 2 * (numerator % denominator);
    if (twiceRemainder > denominator || (twiceRemainder == denominator && (quotient & 1) != 0)) ++quotient;
    return quotient;
}

// The download's whole percentage, low 8 bits kept.
inline std::uint8_t DownloadPercent(std::uint32_t bytesDone, std::uint32_t totalSize) {
    return static_cast<std::uint8_t>(RoundHalfToEven(std::uint64_t{bytesDone} * 100, totalSize));
}

}  // namespace rounding
