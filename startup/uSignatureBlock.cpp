// Finds the three parameter records in the last bytes of a file. Pure: it
// works on a copy of the file's tail and never parses the PE or the signature.
#include "startup/uSignatureBlock.h"

#include "platform/Strings.h"

namespace {

constexpr std::size_t NotFound = static_cast<std::size_t>(-1);

wchar_t UnitAt(const std::uint8_t* tail, std::size_t offset) {
    return static_cast<wchar_t>(tail[offset] | (tail[offset + 1] << 8));
}

// First occurrence of the marker in the view of whole UTF-16LE characters
// that starts at byte `viewStart` (0: even view, 1: odd view); returns the
// marker's byte offset in the tail.
std::size_t FindMarker(const std::uint8_t* tail, std::size_t viewStart, const wchar_t* marker) {
    const std::size_t viewLength = (SignatureTailSize - viewStart) / 2;
    for (std::size_t position = 0; position + consts::MarkerLength <= viewLength; ++position) {
        std::size_t offset = viewStart + 2 * position;
        int matched = 0;
        while (matched < consts::MarkerLength && UnitAt(tail, offset + 2 * matched) == marker[matched]) ++matched;
        if (matched == consts::MarkerLength) return offset;
    }
    return NotFound;
}

struct RecordPlace {
    std::size_t ValueOffset = NotFound;  // byte offset of the value in the tail
    std::size_t Width = 0;               // characters
};

// Long form before short form, even view before odd view.
RecordPlace FindRecord(const std::uint8_t* tail, TDataType type) {
    const struct {
        const wchar_t* Marker;
        std::size_t ViewStart;
        std::size_t Width;
    } tries[] = {
        {consts::LongMarkers[type], 0, consts::LongWidth},
        {consts::LongMarkers[type], 1, consts::LongWidth},
        {consts::ShortMarkers[type], 0, consts::ShortWidth},
        {consts::ShortMarkers[type], 1, consts::ShortWidth},
    };
    for (const auto& attempt : tries) {
        std::size_t markerOffset = FindMarker(tail, attempt.ViewStart, attempt.Marker);
        if (markerOffset != NotFound) return {markerOffset + 2 * consts::MarkerLength, attempt.Width};
    }
    return {};
}

}  // namespace

TSignatureBlock ScanSignatureBlock(const std::uint8_t* tail, std::size_t size) {
    TSignatureBlock block;
    if (size < SignatureTailSize) return block;
    const std::size_t tailStart = size - SignatureTailSize;
    tail += tailStart;

    for (int index = 0; index < consts::DataTypeCount; ++index) {
        RecordPlace place = FindRecord(tail, static_cast<TDataType>(index));
        // The value must start before the end of the file and end at or before it.
        if (place.ValueOffset >= SignatureTailSize) return block;
        if (SignatureTailSize - place.ValueOffset < 2 * place.Width) return block;

        std::wstring value(place.Width, L' ');
        for (std::size_t i = 0; i < place.Width; ++i) value[i] = UnitAt(tail, place.ValueOffset + 2 * i);
        block.Data[index] = platform::Trim(value);
        block.ValueOffset[index] = tailStart + place.ValueOffset;
        block.Width[index] = place.Width;
    }
    block.IsValid = true;
    return block;
}
