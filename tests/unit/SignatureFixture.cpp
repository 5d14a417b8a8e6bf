#include "SignatureFixture.h"

Bytes EncodeRecord(const wchar_t* marker, const std::wstring& value, std::size_t width, wchar_t pad) {
    std::wstring text = marker;
    std::wstring padded = value;
    padded.resize(width, pad);
    text += padded;
    Bytes bytes;
    for (wchar_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>((c >> 8) & 0xFF));
    }
    return bytes;
}

Bytes StampedBlock(const std::wstring& cookie, const std::wstring& partner, const std::wstring& traffic) {
    const std::wstring* values[] = {&cookie, &partner, &traffic};
    Bytes block;
    for (int type = 0; type < consts::DataTypeCount; ++type) {
        block.insert(block.end(), {0x1E, 0x81, 0xE4});
        Bytes record = EncodeRecord(consts::LongMarkers[type], *values[type], consts::LongWidth);
        block.insert(block.end(), record.begin(), record.end());
    }
    return block;
}

Bytes Filler(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>('a' + i % 26);
    return bytes;
}

Bytes TailWith(const Bytes& record, std::size_t gap, std::size_t size) {
    Bytes tail = Filler(size - record.size() - gap);
    tail.insert(tail.end(), record.begin(), record.end());
    Bytes after = Filler(gap);
    tail.insert(tail.end(), after.begin(), after.end());
    return tail;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}
