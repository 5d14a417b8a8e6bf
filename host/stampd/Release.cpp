// The installer a service hands out, and the copies made from it.
#include "host/stampd/Release.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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
    const stamp::Bytes& image = original;

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
    for (std::size_t at : release->patchedWords_) {
        std::array<WordByte, 2> bytes{};
        for (std::size_t i = 0; i < 2; ++i) {
            bytes[i] = {-1, at + i};
            for (std::size_t p = 0; p < release->patches_.size(); ++p) {
                const Patch& patch = release->patches_[p];
                if (at + i >= patch.At && at + i < patch.At + patch.Length)
                    bytes[i] = {static_cast<int>(p), at + i - patch.At};
            }
        }
        release->patchedWordBytes_.push_back(bytes);
    }

    std::uint8_t digest[SHA256_DIGEST_LENGTH];
    SHA256(image.data(), image.size(), digest);
    release->digest_ = Hex(digest, sizeof(digest));

    // The image moves into a sealed memory file, mapped read-only: the one
    // copy of it, whose pages the process touches only where a response
    // reads them (sendfile sends the rest without mapping it).
    release->imageFile_ = ::memfd_create("quellox-stampd-image", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    for (std::size_t written = 0; release->imageFile_ >= 0 && written < image.size();) {
        ssize_t n = ::write(release->imageFile_, image.data() + written, image.size() - written);
        if (n <= 0) return error = std::string("cannot hold the image in memory: ") + std::strerror(errno), nullptr;
        written += static_cast<std::size_t>(n);
    }
    if (release->imageFile_ < 0 ||
        ::fcntl(release->imageFile_, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0)
        return error = std::string("cannot hold the image in memory: ") + std::strerror(errno), nullptr;
    void* mapped = ::mmap(nullptr, image.size(), PROT_READ, MAP_SHARED, release->imageFile_, 0);
    if (mapped == MAP_FAILED) return error = std::string("cannot map the image: ") + std::strerror(errno), nullptr;
    release->data_ = static_cast<const std::uint8_t*>(mapped);
    release->size_ = image.size();
    return release;
}

Release::~Release() {
    if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
    if (imageFile_ >= 0) ::close(imageFile_);
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
    auto byteOf = [&](const WordByte& from) -> std::uint32_t {
        if (from.Patch < 0) return from.Offset < size_ ? data_[from.Offset] : 0;
        int index = patches_[static_cast<std::size_t>(from.Patch)].Index;
        return index < 0 ? copy.Checksum[from.Offset] : copy.Values[static_cast<std::size_t>(index)][from.Offset];
    };
    for (const auto& word : patchedWordBytes_) sum += byteOf(word[0]) | byteOf(word[1]) << 8;
    std::uint32_t checksum = Fold(sum) + static_cast<std::uint32_t>(size_);
    for (int i = 0; i < 4; ++i) copy.Checksum[i] = static_cast<std::uint8_t>(checksum >> (8 * i));

    // The tag follows from the contents: the image's digest and the patches.
    std::string contents = digest_;
    contents.append(copy.Checksum.begin(), copy.Checksum.end());
    for (const auto& value : copy.Values) contents.append(value.begin(), value.end());
    // With the algorithm looked up once: the one-shot SHA256 looks it up on every call.
    static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    std::uint8_t digest[EVP_MAX_MD_SIZE];
    EVP_Digest(contents.data(), contents.size(), digest, nullptr, sha256, nullptr);
    copy.ETag = '"';
    copy.ETag += Hex(digest, 16);
    copy.ETag += '"';
    return copy;
}

std::span<const std::uint8_t> Release::PieceAt(const Copy& copy, std::size_t position) const {
    if (position >= size_) return {};
    for (const Patch& patch : patches_) {
        if (position < patch.At) return {data_ + position, patch.At - position};
        if (position < patch.At + patch.Length) {
            const std::uint8_t* bytes = patch.Index < 0 ? copy.Checksum.data() : copy.Values[patch.Index].data();
            return {bytes + (position - patch.At), patch.At + patch.Length - position};
        }
    }
    return {data_ + position, size_ - position};
}

}  // namespace stampd
