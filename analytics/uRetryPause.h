// The pause before the next attempt at an event that could not be
// delivered. Pure.
#pragma once

#include <cstdint>

namespace retry {

constexpr std::uint32_t FirstPauseMilliseconds = 10;
constexpr std::uint32_t LongestPauseMilliseconds = 16000;

// After AFailures failed attempts in a row (1 or more): 10 ms doubling with
// each failure up to 16 s, of which a random part between none and half is
// taken off (ARandom chooses it), so that clients that failed together do
// not come back together.
constexpr std::uint32_t PauseMilliseconds(std::uint32_t AFailures, std::uint32_t ARandom) {
    std::uint32_t pause = FirstPauseMilliseconds;
    for (std::uint32_t i = 1; i < AFailures && pause < LongestPauseMilliseconds; ++i) pause *= 2;
    if (pause > LongestPauseMilliseconds) pause = LongestPauseMilliseconds;
    return pause - ARandom % (pause / 2 + 1);
}

}  // namespace retry
