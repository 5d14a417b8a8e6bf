#include "PeFixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t PeAt = 0x80;
constexpr std::size_t OptionalAt = PeAt + 24;

bool IsPe32Plus(const std::vector<std::uint8_t>& pe) { return pe[OptionalAt] == 0x0B && pe[OptionalAt + 1] == 0x02; }
// The security directory, the fifth data directory.
std::size_t SecurityAt(const std::vector<std::uint8_t>& pe) { return OptionalAt + (IsPe32Plus(pe) ? 112 : 96) + 4 * 8; }

void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint32_t Get32(const Bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

Bytes Tlv(std::uint8_t tag, const Bytes& content) {
    Bytes out{tag};
    if (content.size() < 0x80) {
        out.push_back(static_cast<std::uint8_t>(content.size()));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<std::uint8_t>(content.size() >> 8));
        out.push_back(static_cast<std::uint8_t>(content.size()));
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace

std::vector<std::uint8_t> MakeSignedPe(bool unauthenticated, std::size_t imageSize, bool pe32Plus) {
    Bytes pe(imageSize, 0);
    pe[0] = 'M';
    pe[1] = 'Z';
    Put32(pe, 0x3C, PeAt);
    pe[PeAt] = 'P';
    pe[PeAt + 1] = 'E';
    pe[PeAt + 20] = pe32Plus ? 0xF0 : 0xE0;  // size of the optional header
    pe[OptionalAt] = 0x0B;                  // PE32 0x10B, PE32+ 0x20B
    pe[OptionalAt + 1] = pe32Plus ? 0x02 : 0x01;
    Put32(pe, OptionalAt + (pe32Plus ? 108 : 92), 16);  // number of data directories
    for (std::size_t i = 0x200; i < imageSize; ++i) pe[i] = static_cast<std::uint8_t>(i * 7);

    Bytes integer = Tlv(0x02, {0x01});
    Bytes signerContent = Cat({integer, Tlv(0x30, {}), Tlv(0x30, {}), Tlv(0x30, {}), Tlv(0x04, Bytes(64, 0x5A))});
    if (unauthenticated) signerContent = Cat({signerContent, Tlv(0xA1, Tlv(0x30, Cat({Tlv(0x06, {0x2A, 0x03}), Tlv(0x31, Tlv(0x04, {1, 2, 3}))})))});
    Bytes signedData = Tlv(0x30, Cat({integer, Tlv(0x31, {}), Tlv(0x30, Tlv(0x06, {0x2A, 0x86})),
                                      Tlv(0xA0, Bytes(300, 0x33)), Tlv(0x31, Tlv(0x30, signerContent))}));
    Bytes contentInfo = Tlv(0x30, Cat({Tlv(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02}),
                                       Tlv(0xA0, signedData)}));
    std::size_t length = 8 + contentInfo.size();
    std::size_t padded = (length + 7) / 8 * 8;
    Bytes certificate(8, 0);
    Put32(certificate, 0, static_cast<std::uint32_t>(padded));
    certificate[4] = 0x00;
    certificate[5] = 0x02;
    certificate[6] = 0x02;
    certificate = Cat({certificate, contentInfo});
    certificate.resize(padded, 0);

    Put32(pe, SecurityAt(pe), static_cast<std::uint32_t>(pe.size()));
    Put32(pe, SecurityAt(pe) + 4, static_cast<std::uint32_t>(padded));
    pe.insert(pe.end(), certificate.begin(), certificate.end());
    return pe;
}

std::uint32_t SecurityDirectoryOffset(const std::vector<std::uint8_t>& pe) { return Get32(pe, SecurityAt(pe)); }
std::uint32_t SecurityDirectorySize(const std::vector<std::uint8_t>& pe) { return Get32(pe, SecurityAt(pe) + 4); }
std::uint32_t StoredChecksum(const std::vector<std::uint8_t>& pe) { return Get32(pe, OptionalAt + 64); }
void SetSecurityDirectory(std::vector<std::uint8_t>& pe, std::uint32_t offset, std::uint32_t size) {
    Put32(pe, SecurityAt(pe), offset);
    Put32(pe, SecurityAt(pe) + 4, size);
}
