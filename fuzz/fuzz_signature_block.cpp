// Fuzzes the scan of a file's last 4096 bytes: any input, no crash, no
// out-of-bounds access, and every value it reports lies inside the input.
#include <cstdint>
#include <cstdlib>

#include "startup/uSignatureBlock.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TSignatureBlock block = ScanSignatureBlock(data, size);
    if (block.IsValid) {
        for (int type = 0; type < consts::DataTypeCount; ++type) {
            if (block.ValueOffset[type] + 2 * block.Width[type] > size) std::abort();
            if (block.Data[type].size() > block.Width[type]) std::abort();
        }
    }
    return 0;
}
