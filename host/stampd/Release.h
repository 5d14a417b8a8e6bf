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
    ~Release();
    Release(const Release&) = delete;
    Release& operator=(const Release&) = delete;

    // From the bytes of a signed installer; null with `error` when it cannot
    // be stamped (not a PE, not signed, ...).
    static std::shared_ptr<const Release> Load(stamp::Bytes original, std::string& error);

    std::size_t Size() const { return size_; }
    const std::string& Digest() const { return digest_; }  // SHA-256 of the blank image, hex

    // The copy carrying `values` (already checked by the value rules),
    // in TDataType order.
    Copy MakeCopy(const std::string (&values)[consts::DataTypeCount]) const;

    // The longest run of the copy's bytes from `position` that lies in one
    // piece (the shared image or one patch); empty at the end.
    std::span<const std::uint8_t> PieceAt(const Copy& copy, std::size_t position) const;

    // The image, held once, in a sealed memory file (for sendfile) mapped
    // read-only; and its longest run that no copy changes: almost all of
    // the file, the same bytes in every copy, [first, second).
    std::span<const std::uint8_t> Image() const { return {data_, size_}; }
    int ImageFile() const { return imageFile_; }
    std::pair<std::size_t, std::size_t> SharedRun() const { return sharedRun_; }

private:
    Release() = default;
    struct Patch {
        std::size_t At;
        std::size_t Length;
        int Index;  // -1: the checksum, else the value's TDataType
    };

    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    int imageFile_ = -1;
    std::string digest_;
    std::vector<Patch> patches_;               // by position
    std::vector<std::size_t> patchedWords_;    // even offsets of the checksum's words that a patch touches
    // Where each byte of those words comes from, looked up once: a patch's
    // index in patches_ and the offset in it, or -1 and the image's offset.
    struct WordByte {
        int Patch;
        std::size_t Offset;
    };
    std::vector<std::array<WordByte, 2>> patchedWordBytes_;
    std::uint64_t unpatchedSum_ = 0;           // the checksum's plain sum of every other word
    std::pair<std::size_t, std::size_t> sharedRun_;
};

}  // namespace stampd
