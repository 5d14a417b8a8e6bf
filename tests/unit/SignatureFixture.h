// Builds parameter records and signature tails for the tests, byte by byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "startup/uConsts.h"

using Bytes = std::vector<std::uint8_t>;

// Marker, then the value padded with `pad` to `width` characters, UTF-16LE.
Bytes EncodeRecord(const wchar_t* marker, const std::wstring& value, std::size_t width, wchar_t pad = L' ');

// The three long-form records as a stamped file carries them: each inside a
// BMPString header (0x1E 0x81 0xE4), in record order.
Bytes StampedBlock(const std::wstring& cookie, const std::wstring& partner, const std::wstring& traffic);

// `size` filler bytes that hold no marker.
Bytes Filler(std::size_t size);

// Places `record` so that it ends `gap` bytes before the end of a tail of
// `size` bytes.
Bytes TailWith(const Bytes& record, std::size_t gap, std::size_t size = 4096);

Bytes Concat(std::initializer_list<Bytes> parts);
