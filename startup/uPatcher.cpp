// TSignaturePatcher: reads the three per-distribution values stamped into a
// file's signature area. The scan itself lives in uSignatureBlock; this unit
// only brings the file's last 4096 bytes to it.
#include "startup/uPatcher.h"

#include <windows.h>

#include <cstdint>
#include <utility>

#include "platform/FatalError.h"
#include "platform/ProtectedFolder.h"
#include "platform/Unique.h"
#include "startup/uSignatureBlock.h"
#include "startup/uStamp.h"

TSignaturePatcher::TSignaturePatcher(std::wstring AFileName) : FFileName(std::move(AFileName)) { ReadData(); }

void TSignaturePatcher::ReadData() {
    DWORD attributes = GetFileAttributesW(FFileName.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return;

    // Others may keep reading and writing the file meanwhile: it is usually
    // the running program's own executable.
    platform::UniqueFile file(CreateFileW(FFileName.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) platform::RaiseSystemError(GetLastError());

    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < static_cast<LONGLONG>(SignatureTailSize)) return;
    LARGE_INTEGER distance;
    distance.QuadPart = -static_cast<LONGLONG>(SignatureTailSize);
    if (!SetFilePointerEx(file.get(), distance, nullptr, FILE_END)) return;

    std::uint8_t tail[SignatureTailSize];
    DWORD total = 0;
    while (total < SignatureTailSize) {
        DWORD read = 0;
        if (!ReadFile(file.get(), tail + total, SignatureTailSize - total, &read, nullptr) || read == 0) return;
        total += read;
    }

    // The values are taken from the same 4096 bytes that were scanned, so a
    // file changed meanwhile cannot pair one read's markers with another's values.
    TSignatureBlock block = ScanSignatureBlock(tail, SignatureTailSize);
    for (int index = 0; index < consts::DataTypeCount; ++index) FData[index] = std::move(block.Data[index]);
    FIsValid = block.IsValid;
}

bool TSignaturePatcher::UpdateFile() {
    stamp::Bytes bytes;
    {
        platform::UniqueFile file(CreateFileW(FFileName.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER size;
        if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > 0x7FFFFFFF) return false;
        bytes.resize(static_cast<std::size_t>(size.QuadPart));
        DWORD read = 0;
        if (!bytes.empty() && (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
                               read != bytes.size()))
            return false;
    }
    std::string error;
    if (!stamp::StampFile(bytes, FData, error)) return false;

    // Written beside the file, then moved over it: a failure leaves it whole.
    // The name is new, and the file is created new: nothing that stands
    // beside the file (a link to another file, say) is written through or
    // replaced, and only the file made here is ever deleted.
    std::wstring guid = platform::NewGuidText();
    if (guid.empty()) return false;
    std::wstring temporary = FFileName + L"." + guid + L".stamping";
    {
        platform::UniqueFile file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return false;
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size() || !FlushFileBuffers(file.get())) {
            file.reset();
            DeleteFileW(temporary.c_str());
            return false;
        }
    }
    if (!MoveFileExW(temporary.c_str(), FFileName.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(temporary.c_str());
        return false;
    }
    return true;
}
