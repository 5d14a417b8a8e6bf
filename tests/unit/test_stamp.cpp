// The stamping code on a small signed-looking PE built by the test.
#include <gtest/gtest.h>

#include <algorithm>

#include "PeFixture.h"
#include "startup/uSignatureBlock.h"
#include "startup/uStamp.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::size_t DerLength(const Bytes& b, std::size_t at, std::size_t& header) {
    if (b[at + 1] < 0x80) {
        header = 2;
        return b[at + 1];
    }
    std::size_t octets = b[at + 1] & 0x7F, length = 0;
    for (std::size_t i = 0; i < octets; ++i) length = (length << 8) | b[at + 2 + i];
    header = 2 + octets;
    return length;
}

// The certificate's ContentInfo must span exactly its DER length, with the
// zero padding to 8 bytes behind it.
void ExpectConsistent(const Bytes& pe) {
    std::size_t table = SecurityDirectoryOffset(pe);
    ASSERT_EQ(table + SecurityDirectorySize(pe), pe.size());
    EXPECT_EQ(SecurityDirectorySize(pe) % 8, 0u);
    std::size_t header = 0;
    std::size_t length = DerLength(pe, table + 8, header);
    std::size_t end = table + 8 + header + length;
    ASSERT_LE(end, pe.size());
    EXPECT_LT(pe.size() - end, 8u);
    for (std::size_t i = end; i < pe.size(); ++i) EXPECT_EQ(pe[i], 0);
    Bytes copy = pe;
    ASSERT_TRUE(stamp::UpdatePEChecksum(copy));
    EXPECT_EQ(StoredChecksum(copy), StoredChecksum(pe));
}

const std::wstring Values[3] = {L"spring sale", L"p-17", L"t:9"};

}  // namespace

// Every test runs on a PE32 and on a PE32+ image: their data directories
// stand at different places in the optional header.
class Stamp : public testing::TestWithParam<bool> {
protected:
    static Bytes SignedPe(bool unauthenticated = false, std::size_t imageSize = 0x1000) {
        return MakeSignedPe(unauthenticated, imageSize, GetParam());
    }
};

INSTANTIATE_TEST_SUITE_P(Formats, Stamp, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "PE32plus" : "PE32"; });

TEST_P(Stamp, AddsTheBlockAsTheLastElementOfTheSignature) {
    for (bool unauthenticated : {false, true}) {
        SCOPED_TRACE(unauthenticated);
        Bytes pe = SignedPe(unauthenticated);
        std::string error;
        ASSERT_TRUE(stamp::StampFile(pe, Values, error)) << error;
        ExpectConsistent(pe);
        TSignatureBlock block = ScanSignatureBlock(pe.data(), pe.size());
        ASSERT_TRUE(block.IsValid);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(block.Data[i], Values[i]);
        // The last record's value ends within the padding of the table.
        EXPECT_LT(pe.size() - (block.ValueOffset[2] + 200), 8u);
    }
}

TEST_P(Stamp, SecondStampRewritesInPlace) {
    Bytes pe = SignedPe();
    std::string error;
    ASSERT_TRUE(stamp::StampFile(pe, Values, error));
    std::size_t size = pe.size();
    const std::wstring others[3] = {L"autumn", L"", L"x"};
    ASSERT_TRUE(stamp::StampFile(pe, others, error)) << error;
    EXPECT_EQ(pe.size(), size);
    ExpectConsistent(pe);
    TSignatureBlock block = ScanSignatureBlock(pe.data(), pe.size());
    EXPECT_EQ(block.Data[0], L"autumn");
    EXPECT_EQ(block.Data[1], L"");
}

TEST_P(Stamp, RefusalsLeaveTheFileAsItWas) {
    const struct {
        const char* Name;
        void (*Damage)(Bytes&);
        std::wstring Cookie;
    } cases[] = {
        {"unsigned", [](Bytes& pe) { pe.resize(SecurityDirectoryOffset(pe)); SetSecurityDirectory(pe, 0, 0); }, L"x"},
        {"truncated", [](Bytes& pe) { pe.resize(pe.size() - 9); }, L"x"},
        {"trailing bytes", [](Bytes& pe) { pe.push_back(0); }, L"x"},
        {"not a PE", [](Bytes& pe) { pe[0] = 'X'; }, L"x"},
        {"broken DER", [](Bytes& pe) { pe[SecurityDirectoryOffset(pe) + 8] = 0x31; }, L"x"},
        {"101 characters", [](Bytes&) {}, std::wstring(101, L'a')},
        {"quote", [](Bytes&) {}, L"a\"b"},
        {"control", [](Bytes&) {}, L"a\nb"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Bytes pe = SignedPe();
        c.Damage(pe);
        Bytes before = pe;
        const std::wstring values[3] = {c.Cookie, L"", L""};
        std::string error;
        EXPECT_FALSE(stamp::StampFile(pe, values, error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(pe, before);
    }
}

TEST_P(Stamp, MarkersInTheSignedPartAreNeverRewritten) {
    // A file whose signed bytes, near its end, happen to hold a whole block:
    // its small certificate table leaves them within the last 4096 bytes.
    Bytes stamped = SignedPe();
    std::string error;
    ASSERT_TRUE(stamp::StampFile(stamped, Values, error));
    TSignatureBlock found = ScanSignatureBlock(stamped.data(), stamped.size());
    Bytes records(stamped.begin() + static_cast<std::ptrdiff_t>(found.ValueOffset[0] - 28),
                  stamped.begin() + static_cast<std::ptrdiff_t>(found.ValueOffset[2] + 200));

    Bytes tricky = SignedPe(false, 0x2000);
    std::copy(records.begin(), records.end(), tricky.begin() + 0x2000 - 1000);
    ASSERT_TRUE(ScanSignatureBlock(tricky.data(), tricky.size()).IsValid);
    Bytes before = tricky;
    EXPECT_FALSE(stamp::StampFile(tricky, Values, error));
    EXPECT_NE(error.find("outside its signature"), std::string::npos);
    EXPECT_EQ(tricky, before);
}

TEST_P(Stamp, TellsASignedFileFromAnUnsignedOne) {
    Bytes pe = SignedPe();
    std::string why;
    EXPECT_TRUE(stamp::IsSignedPe(pe, why)) << why;
    pe.resize(SecurityDirectoryOffset(pe));
    SetSecurityDirectory(pe, 0, 0);
    EXPECT_FALSE(stamp::IsSignedPe(pe, why));
    EXPECT_EQ(why, "the file is not signed");
}

TEST(StampValues, AValueHoldingARecordsMarkerIsRefused) {
    std::string why;
    for (const auto* markers : {consts::LongMarkers, consts::ShortMarkers}) {
        for (int type = 0; type < consts::DataTypeCount; ++type) {
            const std::wstring marker = markers[type];
            for (const std::wstring& value : {marker, L"inj" + marker + L"p99", L"x" + marker}) {
                SCOPED_TRACE(std::string(value.begin(), value.end()));
                EXPECT_FALSE(stamp::IsAcceptedValue(value, why));
                EXPECT_EQ(why, "holds a record's marker (" + std::string(marker.begin(), marker.end()) + ")");
            }
        }
    }
    // Braces and hex digits alone are values like any other.
    EXPECT_TRUE(stamp::IsAcceptedValue(L"{2E7E63583D8}", why));
    EXPECT_TRUE(stamp::IsAcceptedValue(L"{2e7e63583d84}", why));
}

TEST_P(Stamp, AValueHoldingAnotherRecordsMarkerLeavesTheFileAsItWas) {
    for (bool stampedBefore : {false, true}) {
        SCOPED_TRACE(stampedBefore ? "rewritten in place" : "block added");
        Bytes pe = SignedPe();
        std::string error;
        if (stampedBefore) {
            ASSERT_TRUE(stamp::StampFile(pe, Values, error)) << error;
        }
        Bytes before = pe;
        const std::wstring values[3] = {L"inj{2E7E63583D84}p99", L"p17", L"t9"};
        EXPECT_FALSE(stamp::StampFile(pe, values, error));
        EXPECT_EQ(error, "value refused: holds a record's marker ({2E7E63583D84})");
        EXPECT_EQ(pe, before);
    }
}

TEST_P(Stamp, AFileThatWouldNotReadBackIsRefused) {
    // Files whose new records the program would not find as written: one
    // too short to carry a block, and one whose signed bytes near the end
    // hold a record's marker ahead of the block's own.
    Bytes markerInSignedPart = SignedPe(false, 0x2000);
    const std::wstring marker = consts::LongMarkers[1];
    for (std::size_t i = 0; i < marker.size(); ++i) {
        markerInSignedPart[0x2000 - 1000 + 2 * i] = static_cast<std::uint8_t>(marker[i]);
        markerInSignedPart[0x2000 - 1000 + 2 * i + 1] = 0;
    }
    ASSERT_TRUE(stamp::UpdatePEChecksum(markerInSignedPart));
    Bytes tooShort = SignedPe(false, 0x400);
    ASSERT_LT(tooShort.size() + 1000, SignatureTailSize);
    for (Bytes* pe : {&markerInSignedPart, &tooShort}) {
        Bytes before = *pe;
        std::string error;
        EXPECT_FALSE(stamp::StampFile(*pe, Values, error));
        EXPECT_NE(error.find("would not read the values back"), std::string::npos) << error;
        EXPECT_EQ(*pe, before);
    }
}
