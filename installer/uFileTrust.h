// FileTrust: whether the platform trusts a file's Authenticode publisher
// signature, embedded in the file or through the system's catalogs; in a
// build with a signer pin, only an embedded signature by one of the maker's
// own certificates.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

class FileTrust {
public:
    FileTrust() = delete;

    static bool Verify(const std::wstring& AFileName);

    // SHA-256 fingerprints of the accepted signing certificates, 64 upper-case
    // hex digits each, separated by ';'; empty when any valid publisher is
    // accepted. The build's own pin; test programs set others.
    static std::string_view SignerPins;

private:
    static bool VerifyEmbedded(HANDLE AFile);
    static bool VerifyPinnedSigner(HANDLE AFile);
    static bool VerifyCatalog(HANDLE AFile);
};
