// The Authenticode verifier and the catalog functions of wintrust, and the
// certificate hash of crypt32, loaded from System32 on first use (see
// SystemLibrary.h).
#pragma once

#include <windows.h>
#include <wintrust.h>
#include <mscat.h>

namespace platform {

struct TWinTrustApi {
    decltype(&::WinVerifyTrustEx) WinVerifyTrustEx;
    decltype(&::CryptCATAdminCalcHashFromFileHandle) CryptCATAdminCalcHashFromFileHandle;
    decltype(&::CryptCATAdminAcquireContext) CryptCATAdminAcquireContext;
    decltype(&::CryptCATAdminEnumCatalogFromHash) CryptCATAdminEnumCatalogFromHash;
    decltype(&::CryptCATCatalogInfoFromContext) CryptCATCatalogInfoFromContext;
    decltype(&::CryptCATAdminReleaseCatalogContext) CryptCATAdminReleaseCatalogContext;
    decltype(&::CryptCATAdminReleaseContext) CryptCATAdminReleaseContext;
    decltype(&::WTHelperProvDataFromStateData) WTHelperProvDataFromStateData;
    decltype(&::WTHelperGetProvSignerFromChain) WTHelperGetProvSignerFromChain;
    decltype(&::WTHelperGetProvCertFromChain) WTHelperGetProvCertFromChain;
    decltype(&::CryptHashCertificate2) CryptHashCertificate2;  // crypt32
};

// The libraries' functions, or null when one of them is missing.
// Safe to call from any thread.
const TWinTrustApi* WinTrust();

}  // namespace platform
