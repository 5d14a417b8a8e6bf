// The Authenticode verifier, the catalog functions and the certificate hash,
// loaded from System32 on first use.
#include "platform/WinTrust.h"

#include "platform/SystemLibrary.h"

namespace platform {

namespace {

TWinTrustApi api;
UniqueLibrary library;  // kept until the process ends
UniqueLibrary crypt32;
bool loaded = false;
INIT_ONCE once = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK Load(PINIT_ONCE, PVOID, PVOID*) {
    library = LoadSystemLibrary(L"wintrust.dll");
    crypt32 = LoadSystemLibrary(L"crypt32.dll");
    if (!library || !crypt32) return TRUE;
    loaded = LoadFunctions(library.get(), {
        {"WinVerifyTrustEx", &api.WinVerifyTrustEx},
        {"CryptCATAdminCalcHashFromFileHandle", &api.CryptCATAdminCalcHashFromFileHandle},
        {"CryptCATAdminAcquireContext", &api.CryptCATAdminAcquireContext},
        {"CryptCATAdminEnumCatalogFromHash", &api.CryptCATAdminEnumCatalogFromHash},
        {"CryptCATCatalogInfoFromContext", &api.CryptCATCatalogInfoFromContext},
        {"CryptCATAdminReleaseCatalogContext", &api.CryptCATAdminReleaseCatalogContext},
        {"CryptCATAdminReleaseContext", &api.CryptCATAdminReleaseContext},
        {"WTHelperProvDataFromStateData", &api.WTHelperProvDataFromStateData},
        {"WTHelperGetProvSignerFromChain", &api.WTHelperGetProvSignerFromChain},
        {"WTHelperGetProvCertFromChain", &api.WTHelperGetProvCertFromChain},
    }) && LoadFunctions(crypt32.get(), {{"CryptHashCertificate2", &api.CryptHashCertificate2}});
    return TRUE;
}

}  // namespace

const TWinTrustApi* WinTrust() {
    InitOnceExecuteOnce(&once, Load, nullptr, nullptr);
    return loaded ? &api : nullptr;
}

}  // namespace platform
