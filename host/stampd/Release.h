// The installer a service hands out, read once: the signed original stamped
// with blank values, and where a copy differs from it (the PE checksum and
// the three values). A copy is that shared image plus a few hundred patched
// bytes, its checksum updated from the difference.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "startup/uConsts.h"
#include "startup/uStamp.h"

namespace stampd {

inline constexpr std::size_t ValueBytes = 2 * consts::LongWidth;  // UTF-16LE, padded with blanks

// What one response holds of its own: the patched bytes and the tag.
struct Copy {
    std::array<std::uint8_t, 4> Checksum{};
    std::array<std::array<std::uint8_t, ValueBytes>, consts::DataTypeCount> Values{};
    std::string ETag;  // strong, quoted
};

class Release {
public:
    // From the bytes of a signed installer; null with `error` when it cannot
    // be stamped (not a PE, not signed, ...).
    static std::shared_ptr<const Release> Load(stamp::Bytes original, std::string& error);

    std::size_t Size() const { return image_.size(); }
    const std::string& Digest() const { return digest_; }  // SHA-256 of the blank image, hex

    // The copy carrying `values` (already checked by the value rules),
    // in TDataType order.
    Copy MakeCopy(const std::string (&values)[consts::DataTypeCount]) const;

    // The longest run of the copy's bytes from `position` that lies in one
    // piece (the shared image or one patch); empty at the end.
    std::span<const std::uint8_t> PieceAt(const Copy& copy, std::size_t position) const;

    // The image, and its longest run that no copy changes: almost all of the
    // file, the same bytes in every copy, [first, second).
    const stamp::Bytes& Image() const { return image_; }
    std::pair<std::size_t, std::size_t> SharedRun() const { return sharedRun_; }

private:
    struct Patch {
        std::size_t At;
        std::size_t Length;
        int Index;  // -1: the checksum, else the value's TDataType
    };
    std::uint8_t ByteAt(const Copy& copy, std::size_t position) const;

    stamp::Bytes image_;
    std::string digest_;
    std::vector<Patch> patches_;               // by position
    std::vector<std::size_t> patchedWords_;    // even offsets of the checksum's words that a patch touches
    std::uint64_t unpatchedSum_ = 0;           // the checksum's plain sum of every other word
    std::pair<std::size_t, std::size_t> sharedRun_;
};

}  // namespace stampd
