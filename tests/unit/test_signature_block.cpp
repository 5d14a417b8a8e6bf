// The scan of a file's last 4096 bytes for the three parameter records.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "SignatureFixture.h"
#include "startup/uSignatureBlock.h"

namespace {

TSignatureBlock Scan(const Bytes& bytes) { return ScanSignatureBlock(bytes.data(), bytes.size()); }

Bytes Long(TDataType type, const std::wstring& value) {
    return EncodeRecord(consts::LongMarkers[type], value, consts::LongWidth);
}
Bytes Short(TDataType type, const std::wstring& value) {
    return EncodeRecord(consts::ShortMarkers[type], value, consts::ShortWidth);
}

// Partner and traffic records, so that a test can vary the cookie alone.
Bytes OtherRecords() { return Concat({Long(dtIdPartner, L"p"), Long(dtIdTraffic, L"t")}); }

}  // namespace

TEST(SignatureBlock, StampedBlockAtTheEndOfAnExactly4096ByteFileIsValid) {
    Bytes block = StampedBlock(L"spring sale", L"partner-7", L"traffic-9");
    TSignatureBlock result = Scan(TailWith(block, 0));
    ASSERT_TRUE(result.IsValid);
    EXPECT_EQ(result.Data[dtCookie], L"spring sale");
    EXPECT_EQ(result.Data[dtIdPartner], L"partner-7");
    EXPECT_EQ(result.Data[dtIdTraffic], L"traffic-9");
}

TEST(SignatureBlock, OnlyTheLast4096BytesOfALongerBufferCount) {
    Bytes block = StampedBlock(L"c", L"p", L"t");
    Bytes early = Concat({block, Filler(5000)});
    EXPECT_FALSE(Scan(early).IsValid);
    EXPECT_TRUE(Scan(Concat({Filler(5000), TailWith(block, 0)})).IsValid);
}

TEST(SignatureBlock, BlankValuesAreValidAndEmpty) {
    TSignatureBlock result = Scan(TailWith(StampedBlock(L"", L"", L""), 0));
    ASSERT_TRUE(result.IsValid);
    for (const std::wstring& value : result.Data) EXPECT_EQ(value, L"");
}

TEST(SignatureBlock, ShorterThan4096BytesIsInvalid) {
    Bytes tail = TailWith(StampedBlock(L"c", L"p", L"t"), 0);
    tail.erase(tail.begin());
    TSignatureBlock result = Scan(tail);
    EXPECT_FALSE(result.IsValid);
    EXPECT_EQ(result.Data[dtCookie], L"");
}

TEST(SignatureBlock, RecordsAtOddAndEvenDistancesFromTheEndAreFound) {
    // The stamped layout's 3-byte headers put successive records at
    // alternating distances; check each record at both parities.
    for (std::size_t gap : {0u, 1u, 2u, 3u, 7u}) {
        SCOPED_TRACE(gap);
        TSignatureBlock result = Scan(TailWith(Concat({Long(dtCookie, L"odd-or-even"), OtherRecords()}), gap));
        ASSERT_TRUE(result.IsValid);
        EXPECT_EQ(result.Data[dtCookie], L"odd-or-even");
    }
}

TEST(SignatureBlock, RecordsMayStandInAnyOrderWithBytesBetween) {
    Bytes tail = TailWith(Concat({Long(dtIdTraffic, L"t"), Filler(33), Long(dtCookie, L"c"), Filler(1),
                                  Long(dtIdPartner, L"p")}),
                          5);
    TSignatureBlock result = Scan(tail);
    ASSERT_TRUE(result.IsValid);
    EXPECT_EQ(result.Data[dtCookie], L"c");
    EXPECT_EQ(result.Data[dtIdPartner], L"p");
    EXPECT_EQ(result.Data[dtIdTraffic], L"t");
}

TEST(SignatureBlock, ShortFormRecordsAreRead) {
    TSignatureBlock result =
        Scan(TailWith(Concat({Short(dtCookie, L"short"), Short(dtIdPartner, L"p"), Short(dtIdTraffic, L"t")}), 1));
    ASSERT_TRUE(result.IsValid);
    EXPECT_EQ(result.Data[dtCookie], L"short");
}

TEST(SignatureBlock, LongFormWinsOverShortForm) {
    Bytes tail = TailWith(Concat({Short(dtCookie, L"short"), Long(dtCookie, L"long"), OtherRecords()}), 0);
    EXPECT_EQ(Scan(tail).Data[dtCookie], L"long");
}

TEST(SignatureBlock, LongFormAtAnOddOffsetWinsOverShortFormAtAnEvenOne) {
    // Both forms are looked for in both views; the form decides first, the
    // view only between records of the same form.
    Bytes records = Concat({Short(dtCookie, L"short-even"), Filler(1), Long(dtCookie, L"long-odd"), OtherRecords()});
    Bytes tail = TailWith(records, records.size() % 2);  // the short record starts at an even offset
    ASSERT_EQ((tail.size() - records.size() - records.size() % 2) % 2, 0u);
    EXPECT_EQ(Scan(tail).Data[dtCookie], L"long-odd");
}

TEST(SignatureBlock, FirstEvenOccurrenceWinsAndOddCountsOnlyWithoutEven) {
    // Records of 228 bytes keep their parity; a 1-byte filler flips it.
    Bytes evenFirst = TailWith(Concat({Long(dtCookie, L"first"), Long(dtCookie, L"second"), OtherRecords()}), 0);
    EXPECT_EQ(Scan(evenFirst).Data[dtCookie], L"first");

    Bytes oddThenEven = TailWith(
        Concat({Filler(1), Long(dtCookie, L"odd"), Filler(1), Long(dtCookie, L"even"), OtherRecords()}), 0);
    EXPECT_EQ(Scan(oddThenEven).Data[dtCookie], L"even");

    Bytes oddOnly = TailWith(Concat({Long(dtCookie, L"odd"), Filler(1), OtherRecords()}), 0);
    EXPECT_EQ(Scan(oddOnly).Data[dtCookie], L"odd");
}

TEST(SignatureBlock, PaddingIsTrimmedAndInnerBlanksKept) {
    Bytes tail = TailWith(Concat({EncodeRecord(consts::LongMarkers[dtCookie], L"  two words", consts::LongWidth, L'\0'),
                                  OtherRecords()}),
                          0);
    EXPECT_EQ(Scan(tail).Data[dtCookie], L"two words");
}

TEST(SignatureBlock, ValueEndingExactlyAtTheEndIsValidAndOneByteMoreIsNot) {
    Bytes records = Concat({OtherRecords(), Long(dtCookie, L"last")});
    EXPECT_TRUE(Scan(TailWith(records, 0)).IsValid);

    Bytes cut(records.begin(), records.end() - 1);
    TSignatureBlock result = Scan(TailWith(cut, 0));
    EXPECT_FALSE(result.IsValid);
}

TEST(SignatureBlock, MarkerWithoutRoomForItsValueIsInvalid) {
    // A marker in the very last 28 bytes: its value would start at the end.
    Bytes marker = Long(dtIdTraffic, L"");
    marker.resize(2 * consts::MarkerLength);
    EXPECT_FALSE(Scan(TailWith(Concat({Long(dtCookie, L"c"), Long(dtIdPartner, L"p"), marker}), 0)).IsValid);
}

TEST(SignatureBlock, MissingThirdRecordIsInvalidButKeepsEarlierValues) {
    TSignatureBlock result = Scan(TailWith(Concat({Long(dtCookie, L"c"), Long(dtIdPartner, L"p")}), 0));
    EXPECT_FALSE(result.IsValid);
    EXPECT_EQ(result.Data[dtCookie], L"c");
    EXPECT_EQ(result.Data[dtIdPartner], L"p");
    EXPECT_EQ(result.Data[dtIdTraffic], L"");
}

TEST(SignatureBlock, MarkersAreCaseSensitive) {
    Bytes lower = EncodeRecord(L"{00868eba702f}", L"c", consts::LongWidth);
    EXPECT_FALSE(Scan(TailWith(Concat({lower, OtherRecords()}), 0)).IsValid);
}

TEST(SignatureBlock, AMarkerCutShortByTheEndIsNeverReadPast) {
    // The scan's reads must stay within the 4096 bytes in either view. The
    // buffer has exactly that capacity, so that AddressSanitizer sees a read
    // one byte past its end; a marker cut short by the end keeps the
    // comparison going up to its last byte. Short records (at even offsets)
    // of the types scanned before the cut one make the scan reach its marker
    // in every view: a cut long marker leaves the short record to be found.
    for (bool cutLong : {true, false}) {
        for (int type = 0; type < consts::DataTypeCount; ++type) {
            for (std::size_t missing : {1u, 2u, 3u}) {
                SCOPED_TRACE(testing::Message() << cutLong << " " << type << " " << missing);
                Bytes records;
                for (int other = 0; other < (cutLong ? consts::DataTypeCount : type); ++other)
                    records = Concat({records, Short(static_cast<TDataType>(other), L"s")});
                Bytes marker = EncodeRecord((cutLong ? consts::LongMarkers : consts::ShortMarkers)[type], L"", 0);
                marker.resize(marker.size() - missing);
                Bytes tail = Concat({records, Filler(SignatureTailSize - records.size() - marker.size()), marker});
                std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[tail.size()]);
                std::copy(tail.begin(), tail.end(), exact.get());
                EXPECT_EQ(ScanSignatureBlock(exact.get(), tail.size()).IsValid, cutLong);
            }
        }
    }
}
