// A small signed-looking PE, built byte by byte: MZ and PE headers, a
// security directory, and a certificate table holding a PKCS #7 skeleton
// (ContentInfo { signedData, [0] SignedData { ..., SignerInfos } }).
#pragma once

#include <cstdint>
#include <vector>

// `unauthenticated` adds an unauthenticated attribute to the signer;
// `imageSize` is the size of the signed part (at least 0x400; the default makes files longer than 4096 bytes);
// `pe32Plus` makes a 64-bit image, whose data directories lie 16 bytes further into the optional header.
std::vector<std::uint8_t> MakeSignedPe(bool unauthenticated = false, std::size_t imageSize = 0x1000,
                                       bool pe32Plus = false);

// The parts of a PE the tests look at.
std::uint32_t SecurityDirectoryOffset(const std::vector<std::uint8_t>& pe);
std::uint32_t SecurityDirectorySize(const std::vector<std::uint8_t>& pe);
std::uint32_t StoredChecksum(const std::vector<std::uint8_t>& pe);
void SetSecurityDirectory(std::vector<std::uint8_t>& pe, std::uint32_t offset, std::uint32_t size);
