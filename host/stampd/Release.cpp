// The installer a service hands out, and the copies made from it.
#include "host/stampd/Release.h"

#include <openssl/sha.h>

#include <algorithm>

#include "startup/uSignatureBlock.h"

namespace stampd {

namespace {

std::string Hex(const std::uint8_t* bytes, std::size_t size) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

std::uint32_t Read32(const stamp::Bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

// The PE checksum's fold of a plain sum of 16-bit words: adding with the
// carry wrapped around gives 0 only for a zero sum, else the sum's remainder
// modulo 0xFFFF in 1..0xFFFF.
std::uint32_t Fold(std::uint64_t sum) { return sum == 0 ? 0 : static_cast<std::uint32_t>((sum - 1) % 0xFFFF + 1); }

}  // namespace

std::shared_ptr<const Release> Release::Load(stamp::Bytes original, std::string& error) {
    const std::wstring blank[consts::DataTypeCount];
    if (!stamp::StampFile(original, blank, error)) return nullptr;
    TSignatureBlock block = ScanSignatureBlock(original.data(), original.size());
    if (!block.IsValid) return error = "the stamped file has no readable block", nullptr;

    auto release = std::shared_ptr<Release>(new Release());
    release->image_ = std::move(original);
    const stamp::Bytes& image = release->image_;

    // The checksum's place: StampFile has just found it, so the headers hold.
    std::size_t checksumAt = Read32(image, 0x3C) + 24 + 64;
    release->patches_.push_back({checksumAt, 4, -1});
    for (int type = 0; type < consts::DataTypeCount; ++type)
        release->patches_.push_back({block.ValueOffset[type], ValueBytes, type});
    std::sort(release->patches_.begin(), release->patches_.end(),
              [](const Patch& a, const Patch& b) { return a.At < b.At; });

    std::size_t from = 0;
    for (const Patch& patch : release->patches_) {
        if (patch.At - from > release->sharedRun_.second - release->sharedRun_.first)
            release->sharedRun_ = {from, patch.At};
        from = patch.At + patch.Length;
    }
    if (image.size() - from > release->sharedRun_.second - release->sharedRun_.first)
        release->sharedRun_ = {from, image.size()};

    // The words (at even offsets, as the checksum reads them) that a value
    // touches, including the odd byte on either side of a value that starts
    // at an odd offset.
    for (int type = 0; type < consts::DataTypeCount; ++type)
        for (std::size_t at = block.ValueOffset[type] & ~std::size_t{1}; at < block.ValueOffset[type] + ValueBytes; at += 2)
            release->patchedWords_.push_back(at);
    std::sort(release->patchedWords_.begin(), release->patchedWords_.end());
    release->patchedWords_.erase(std::unique(release->patchedWords_.begin(), release->patchedWords_.end()),
                                 release->patchedWords_.end());

    // Every other word but the checksum's own two, as stamp::UpdatePEChecksum sums them.
    std::uint64_t sum = 0;
    auto patched = release->patchedWords_.begin();
    for (std::size_t at = 0; at < image.size(); at += 2) {
        if (at == checksumAt || at == checksumAt + 2) continue;
        if (patched != release->patchedWords_.end() && *patched == at) {
            ++patched;
            continue;
        }
        sum += image[at] | (at + 1 < image.size() ? image[at + 1] << 8 : 0);
    }
    release->unpatchedSum_ = sum;

    std::uint8_t digest[SHA256_DIGEST_LENGTH];
    SHA256(image.data(), image.size(), digest);
    release->digest_ = Hex(digest, sizeof(digest));
    return release;
}

Copy Release::MakeCopy(const std::string (&values)[consts::DataTypeCount]) const {
    Copy copy;
    for (int type = 0; type < consts::DataTypeCount; ++type) {
        auto& bytes = copy.Values[type];
        for (std::size_t i = 0; i < consts::LongWidth; ++i) {
            bytes[2 * i] = i < values[type].size() ? static_cast<std::uint8_t>(values[type][i]) : ' ';
            bytes[2 * i + 1] = 0;
        }
    }
    std::uint64_t sum = unpatchedSum_;
    for (std::size_t at : patchedWords_)
        sum += ByteAt(copy, at) | (at + 1 < image_.size() ? ByteAt(copy, at + 1) << 8 : 0);
    std::uint32_t checksum = Fold(sum) + static_cast<std::uint32_t>(image_.size());
    for (int i = 0; i < 4; ++i) copy.Checksum[i] = static_cast<std::uint8_t>(checksum >> (8 * i));

    // The tag follows from the contents: the image's digest and the patches.
    std::string contents = digest_;
    contents.append(copy.Checksum.begin(), copy.Checksum.end());
    for (const auto& value : copy.Values) contents.append(value.begin(), value.end());
    std::uint8_t digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const std::uint8_t*>(contents.data()), contents.size(), digest);
    copy.ETag = '"';
    copy.ETag += Hex(digest, 16);
    copy.ETag += '"';
    return copy;
}

std::uint8_t Release::ByteAt(const Copy& copy, std::size_t position) const {
    for (const Patch& patch : patches_) {
        if (position < patch.At || position >= patch.At + patch.Length) continue;
        return patch.Index < 0 ? copy.Checksum[position - patch.At] : copy.Values[patch.Index][position - patch.At];
    }
    return image_[position];
}

std::span<const std::uint8_t> Release::PieceAt(const Copy& copy, std::size_t position) const {
    if (position >= image_.size()) return {};
    for (const Patch& patch : patches_) {
        if (position < patch.At) return {image_.data() + position, patch.At - position};
        if (position < patch.At + patch.Length) {
            const std::uint8_t* bytes = patch.Index < 0 ? copy.Checksum.data() : copy.Values[patch.Index].data();
            return {bytes + (position - patch.At), patch.At + patch.Length - position};
        }
    }
    return {image_.data() + position, image_.size() - position};
}

}  // namespace stampd
