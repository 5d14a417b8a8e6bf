// FileTrust: whether the platform trusts a file's Authenticode publisher
// signature, embedded in the file or through the system's catalogs.
#pragma once

#include <windows.h>

#include <string>

class FileTrust {
public:
    FileTrust() = delete;

    static bool Verify(const std::wstring& AFileName);

private:
    static bool VerifyEmbedded(HANDLE AFile);
    static bool VerifyCatalog(HANDLE AFile);
};
