// The Authenticode verifier and the catalog functions, loaded from System32
// on first use.
#include "platform/WinTrust.h"

#include "platform/SystemLibrary.h"

namespace platform {

namespace {

TWinTrustApi api;
UniqueLibrary library;  // kept until the process ends
bool loaded = false;
INIT_ONCE once = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK Load(PINIT_ONCE, PVOID, PVOID*) {
    library = LoadSystemLibrary(L"wintrust.dll");
    if (!library) return TRUE;
    loaded = LoadFunctions(library.get(), {
        {"WinVerifyTrustEx", &api.WinVerifyTrustEx},
        {"CryptCATAdminCalcHashFromFileHandle", &api.CryptCATAdminCalcHashFromFileHandle},
        {"CryptCATAdminAcquireContext", &api.CryptCATAdminAcquireContext},
        {"CryptCATAdminEnumCatalogFromHash", &api.CryptCATAdminEnumCatalogFromHash},
        {"CryptCATCatalogInfoFromContext", &api.CryptCATCatalogInfoFromContext},
        {"CryptCATAdminReleaseCatalogContext", &api.CryptCATAdminReleaseCatalogContext},
        {"CryptCATAdminReleaseContext", &api.CryptCATAdminReleaseContext},
    });
    return TRUE;
}

}  // namespace

const TWinTrustApi* WinTrust() {
    InitOnceExecuteOnce(&once, Load, nullptr, nullptr);
    return loaded ? &api : nullptr;
}

}  // namespace platform
