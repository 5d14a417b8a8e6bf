// Writing the three per-distribution values into a signed executable's
// signature area. Pure.
//
// The block is one attribute of the signer's unauthenticated attributes:
//   SEQUENCE { OID 1.3.6.1.4.1.311.2.1.120,
//              SET { BMPString x3: marker + value padded to 100, UTF-16LE } }
// placed last, so that it ends the signature; the certificate table is then
// padded with zeros to a multiple of 8 bytes, as signing tools do.
#include "startup/uStamp.h"

#include <cstring>

#include "startup/uSignatureBlock.h"

namespace stamp {

namespace {

constexpr std::uint8_t BlockOid[] = {0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x78};

std::uint32_t Read32(const Bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
std::uint16_t Read16(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8)); }
void Write32(Bytes& b, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Where the PE's parts of interest lie.
struct PeLayout {
    std::size_t ChecksumAt = 0;
    std::size_t SecurityDirectoryAt = 0;
};

bool FindPeLayout(const Bytes& file, PeLayout& layout, std::string& error) {
    if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z') return error = "not a PE file (no MZ header)", false;
    std::size_t pe = Read32(file, 0x3C);
    if (pe > file.size() || file.size() - pe < 24 || std::memcmp(&file[pe], "PE\0\0", 4) != 0)
        return error = "not a PE file (no PE header)", false;
    std::size_t optional = pe + 24;
    std::size_t optionalSize = Read16(file, pe + 20);
    if (file.size() - optional < optionalSize || optionalSize < 2) return error = "truncated PE headers", false;
    std::uint16_t magic = Read16(file, optional);
    std::size_t directories = magic == 0x10B ? 96 : magic == 0x20B ? 112 : 0;
    if (directories == 0) return error = "unknown PE optional header", false;
    if (optionalSize < directories + 5 * 8) return error = "the PE has no security directory", false;
    std::size_t count = Read32(file, optional + directories - 4);
    if (count < 5) return error = "the PE has no security directory", false;
    layout.ChecksumAt = optional + 64;
    layout.SecurityDirectoryAt = optional + directories + 4 * 8;
    return true;
}

// The certificate table of a signed PE: where it starts and the length of
// its first certificate, which must be an Authenticode signature.
bool FindSignature(const Bytes& file, PeLayout& layout, std::size_t& tableAt, std::size_t& certificateLength,
                   std::string& error) {
    if (!FindPeLayout(file, layout, error)) return false;
    tableAt = Read32(file, layout.SecurityDirectoryAt);
    std::size_t tableSize = Read32(file, layout.SecurityDirectoryAt + 4);
    if (tableAt == 0 || tableSize == 0) return error = "the file is not signed", false;
    if (tableAt > file.size() || tableSize > file.size() - tableAt)
        return error = "the certificate table is truncated", false;
    if (tableAt + tableSize != file.size()) return error = "the certificate table does not end the file", false;
    if (tableSize < 8 || Read16(file, tableAt + 4) != 0x0200 || Read16(file, tableAt + 6) != 0x0002)
        return error = "the certificate table holds no Authenticode signature", false;
    certificateLength = Read32(file, tableAt);
    if (certificateLength < 8 || certificateLength > tableSize)
        return error = "the certificate table is truncated", false;
    return true;
}

// One DER element: where it starts, how long its header and content are.
struct Element {
    std::size_t Start = 0;
    std::uint8_t Tag = 0;
    std::size_t HeaderLength = 0;
    std::size_t ContentLength = 0;
    std::size_t End() const { return Start + HeaderLength + ContentLength; }
    std::size_t Content() const { return Start + HeaderLength; }
};

// Reads the element at `at`, which must end at or before `limit`.
bool ReadElement(const Bytes& b, std::size_t at, std::size_t limit, Element& e) {
    if (at + 2 > limit) return false;
    e.Start = at;
    e.Tag = b[at];
    if ((e.Tag & 0x1F) == 0x1F) return false;  // multi-byte tags do not occur here
    std::uint8_t first = b[at + 1];
    if (first < 0x80) {
        e.HeaderLength = 2;
        e.ContentLength = first;
    } else {
        std::size_t octets = first & 0x7F;
        if (octets == 0 || octets > 4 || at + 2 + octets > limit) return false;
        e.ContentLength = 0;
        for (std::size_t i = 0; i < octets; ++i) e.ContentLength = (e.ContentLength << 8) | b[at + 2 + i];
        e.HeaderLength = 2 + octets;
    }
    return e.ContentLength <= limit - at - e.HeaderLength;
}

Bytes Header(std::uint8_t tag, std::size_t length) {
    Bytes header{tag};
    if (length < 0x80) {
        header.push_back(static_cast<std::uint8_t>(length));
        return header;
    }
    Bytes octets;
    for (std::size_t rest = length; rest != 0; rest >>= 8) octets.insert(octets.begin(), static_cast<std::uint8_t>(rest));
    header.push_back(static_cast<std::uint8_t>(0x80 | octets.size()));
    header.insert(header.end(), octets.begin(), octets.end());
    return header;
}

// `parent` rebuilt with the bytes [from, to) of its content replaced.
Bytes Rebuild(const Bytes& b, const Element& parent, std::size_t from, std::size_t to, const Bytes& replacement) {
    Bytes content(b.begin() + parent.Content(), b.begin() + from);
    content.insert(content.end(), replacement.begin(), replacement.end());
    content.insert(content.end(), b.begin() + to, b.begin() + parent.End());
    Bytes element = Header(parent.Tag, content.size());
    element.insert(element.end(), content.begin(), content.end());
    return element;
}

Bytes BlockAttribute(const std::wstring (&values)[consts::DataTypeCount]) {
    Bytes records;
    for (int type = 0; type < consts::DataTypeCount; ++type) {
        records.insert(records.end(), {0x1E, 0x81, 0xE4});
        std::wstring text = consts::LongMarkers[type];
        std::wstring padded = values[type];
        padded.resize(consts::LongWidth, L' ');
        text += padded;
        for (wchar_t c : text) {
            records.push_back(static_cast<std::uint8_t>(c & 0xFF));
            records.push_back(static_cast<std::uint8_t>((c >> 8) & 0xFF));
        }
    }
    Bytes set = Header(0x31, records.size());
    set.insert(set.end(), records.begin(), records.end());
    Bytes content(std::begin(BlockOid), std::end(BlockOid));
    content.insert(content.end(), set.begin(), set.end());
    Bytes attribute = Header(0x30, content.size());
    attribute.insert(attribute.end(), content.begin(), content.end());
    return attribute;
}

// The signature with the block added; false when its structure is not the
// expected ContentInfo { signedData, [0] SignedData { ..., signerInfos } }.
bool AddBlock(const Bytes& b, std::size_t start, std::size_t limit, const Bytes& attribute, Bytes& result,
              std::string& error) {
    error = "the certificate table does not hold a PKCS #7 signature";
    Element contentInfo, oid, explicitContent, signedData;
    if (!ReadElement(b, start, limit, contentInfo) || contentInfo.Tag != 0x30) return false;
    if (!ReadElement(b, contentInfo.Content(), contentInfo.End(), oid) || oid.Tag != 0x06) return false;
    if (!ReadElement(b, oid.End(), contentInfo.End(), explicitContent) || explicitContent.Tag != 0xA0) return false;
    if (!ReadElement(b, explicitContent.Content(), explicitContent.End(), signedData) || signedData.Tag != 0x30)
        return false;

    // signerInfos is the last element of SignedData.
    Element child, signerInfos;
    for (std::size_t at = signedData.Content(); at < signedData.End(); at = child.End()) {
        if (!ReadElement(b, at, signedData.End(), child)) return false;
        signerInfos = child;
    }
    if (signerInfos.Tag != 0x31) return false;
    Element signerInfo;
    if (!ReadElement(b, signerInfos.Content(), signerInfos.End(), signerInfo) || signerInfo.Tag != 0x30) {
        error = "the signature has no signer";
        return false;
    }

    // The unauthenticated attributes, [1] IMPLICIT, end the SignerInfo when present.
    Element last;
    for (std::size_t at = signerInfo.Content(); at < signerInfo.End(); at = child.End()) {
        if (!ReadElement(b, at, signerInfo.End(), child)) return false;
        last = child;
    }
    Bytes newSignerInfo;
    if (last.Tag == 0xA1) {
        Bytes attributes = Rebuild(b, last, last.End(), last.End(), attribute);
        newSignerInfo = Rebuild(b, signerInfo, last.Start, last.End(), attributes);
    } else {
        Bytes attributes = Header(0xA1, attribute.size());
        attributes.insert(attributes.end(), attribute.begin(), attribute.end());
        newSignerInfo = Rebuild(b, signerInfo, signerInfo.End(), signerInfo.End(), attributes);
    }

    // Every enclosing element, with its new length.
    Bytes newSignerInfos = Rebuild(b, signerInfos, signerInfo.Start, signerInfo.End(), newSignerInfo);
    Bytes newSignedData = Rebuild(b, signedData, signerInfos.Start, signerInfos.End(), newSignerInfos);
    Bytes newExplicit = Rebuild(b, explicitContent, signedData.Start, signedData.End(), newSignedData);
    result = Rebuild(b, contentInfo, explicitContent.Start, explicitContent.End(), newExplicit);
    error.clear();
    return true;
}

// The program must find exactly these values, inside the signature: a file
// shorter than 4096 bytes, one whose signed bytes near the end hold markers
// of their own, or records that overlap, would hide or garble the block.
bool ReadsBack(const Bytes& file, const std::wstring (&values)[consts::DataTypeCount], std::size_t signatureAt,
               std::string& error) {
    TSignatureBlock check = ScanSignatureBlock(file.data(), file.size());
    for (int type = 0; type < consts::DataTypeCount; ++type) {
        if (!check.IsValid || check.Data[type] != values[type] || check.ValueOffset[type] < signatureAt) {
            error = "the program would not read the values back from this file (shorter than 4096 bytes, "
                    "markers in its signed part, or overlapping records)";
            return false;
        }
    }
    return true;
}

}  // namespace

bool IsAcceptedValue(const std::wstring& value, std::string& why) {
    if (value.size() > static_cast<std::size_t>(consts::LongWidth)) {
        why = "longer than 100 characters";
        return false;
    }
    for (wchar_t c : value) {
        if (c < 0x20 || c > 0x7E) {
            why = "only printable ASCII characters are allowed";
            return false;
        }
        if (c == L'"' || c == L'\\') {
            why = "double quotes and backslashes are not allowed";
            return false;
        }
    }
    if (!value.empty() && (value.front() == L' ' || value.back() == L' ')) {
        why = "a blank at either end would be lost";
        return false;
    }
    // The program finds each record by its marker: a value that holds one
    // would be read as that record, and its own record's value cut short.
    for (const auto* markers : {consts::LongMarkers, consts::ShortMarkers}) {
        for (int type = 0; type < consts::DataTypeCount; ++type) {
            if (value.find(markers[type]) != std::wstring::npos) {
                std::wstring marker = markers[type];
                why = "holds a record's marker (" + std::string(marker.begin(), marker.end()) + ")";
                return false;
            }
        }
    }
    return true;
}

bool IsSignedPe(const Bytes& file, std::string& why) {
    PeLayout layout;
    std::size_t tableAt = 0, certificateLength = 0;
    return FindSignature(file, layout, tableAt, certificateLength, why);
}

bool UpdatePEChecksum(Bytes& file) {
    PeLayout layout;
    std::string ignored;
    if (!FindPeLayout(file, layout, ignored)) return false;
    std::uint64_t sum = 0;
    for (std::size_t at = 0; at < file.size(); at += 2) {
        if (at == layout.ChecksumAt || at == layout.ChecksumAt + 2) continue;
        std::uint32_t word = file[at] | (at + 1 < file.size() ? file[at + 1] << 8 : 0);
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    Write32(file, layout.ChecksumAt, static_cast<std::uint32_t>(sum + file.size()));
    return true;
}

bool StampFile(Bytes& file, const std::wstring (&values)[consts::DataTypeCount], std::string& error) {
    for (const std::wstring& value : values) {
        std::string why;
        if (!IsAcceptedValue(value, why)) {
            error = "value refused: " + why;
            return false;
        }
    }
    PeLayout layout;
    std::size_t tableAt = 0, certificateLength = 0;
    if (!FindSignature(file, layout, tableAt, certificateLength, error)) return false;

    // Already stamped: the values are rewritten where the reader finds them.
    TSignatureBlock existing = ScanSignatureBlock(file.data(), file.size());
    if (existing.IsValid) {
        for (int type = 0; type < consts::DataTypeCount; ++type) {
            if (existing.Width[type] != static_cast<std::size_t>(consts::LongWidth)) {
                error = "the file's block has a short record, which cannot hold 100 characters";
                return false;
            }
            // Rewriting bytes the signature covers would break it.
            if (existing.ValueOffset[type] < tableAt + 8) {
                error = "the file's block lies outside its signature";
                return false;
            }
        }
        Bytes updated = file;
        for (int type = 0; type < consts::DataTypeCount; ++type) {
            std::wstring padded = values[type];
            padded.resize(consts::LongWidth, L' ');
            for (std::size_t i = 0; i < padded.size(); ++i) {
                updated[existing.ValueOffset[type] + 2 * i] = static_cast<std::uint8_t>(padded[i] & 0xFF);
                updated[existing.ValueOffset[type] + 2 * i + 1] = static_cast<std::uint8_t>((padded[i] >> 8) & 0xFF);
            }
        }
        UpdatePEChecksum(updated);
        if (!ReadsBack(updated, values, tableAt + 8, error)) return false;
        file.swap(updated);
        return true;
    }

    Bytes signature;
    if (!AddBlock(file, tableAt + 8, tableAt + certificateLength, BlockAttribute(values), signature, error))
        return false;
    Bytes updated(file.begin(), file.begin() + tableAt);
    std::size_t length = 8 + signature.size();
    std::size_t padded = (length + 7) / 8 * 8;
    updated.insert(updated.end(), {0, 0, 0, 0, 0x00, 0x02, 0x02, 0x00});
    Write32(updated, tableAt, static_cast<std::uint32_t>(padded));
    updated.insert(updated.end(), signature.begin(), signature.end());
    updated.resize(tableAt + padded, 0);
    Write32(updated, layout.SecurityDirectoryAt + 4, static_cast<std::uint32_t>(padded));
    UpdatePEChecksum(updated);

    if (!ReadsBack(updated, values, tableAt + 8, error)) return false;
    file.swap(updated);
    return true;
}

}  // namespace stamp
