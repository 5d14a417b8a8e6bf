// Fuzzes the stamping code: any input, no crash, no out-of-bounds access;
// a refused file comes back untouched, and a stamped one reads back the
// values written.
#include <cstdint>
#include <cstdlib>

#include "startup/uSignatureBlock.h"
#include "startup/uStamp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    stamp::Bytes file(data, data + size);
    const stamp::Bytes original = file;
    const std::wstring values[consts::DataTypeCount] = {L"spring-7", L"", L"partner x"};
    std::string error;
    if (!stamp::StampFile(file, values, error)) {
        if (file != original || error.empty()) std::abort();
        return 0;
    }
    TSignatureBlock block = ScanSignatureBlock(file.data(), file.size());
    if (!block.IsValid) std::abort();
    for (int type = 0; type < consts::DataTypeCount; ++type)
        if (block.Data[type] != values[type]) std::abort();
    return 0;
}
