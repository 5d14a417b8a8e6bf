// FileTrust: whether the platform trusts a file's Authenticode publisher
// signature, embedded in the file or through the system's catalogs.
//
// Both requests use the platform's own structure sizes and the full
// Authenticode policy (the signed digest, the chain to a trusted root, the
// code-signing usage). WTD_HASH_ONLY_FLAG is never set, as it would reduce
// the check to comparing the file's hash with the signed one.
//
// Nothing is fetched from the network (WTD_CACHE_ONLY_URL_RETRIEVAL): the
// chain is built from the signature's own certificates and the machine's
// stores. Otherwise a missing intermediate would be fetched from an address
// inside a certificate that the download's server chose, with no bound on
// the wait and no stop seen during it. Revocation is not checked for the
// same reason (it needs the network, and a status that cannot be fetched
// would fail every check); a leaked key of the maker's is answered by the
// signer pin of the next release. So the check is local work only, bounded
// by the size of the file it hashes.
//
// With a signer pin the embedded signature must also come from one of the
// maker's certificates: the leaf certificate of the signer is hashed and
// looked up in the pin. The catalogs are not consulted then, as a catalog is
// signed by the system's vendor, never by the maker.
#include "installer/uFileTrust.h"

#include <bcrypt.h>

#include <string>

#include "Deployment.h"
#include "platform/Unique.h"
#include "platform/WinTrust.h"

namespace {

// WINTRUST_ACTION_GENERIC_VERIFY_V2: the Authenticode policy.
GUID VerifyAction = {0x00AAC56B, 0xCD44, 0x11D0, {0x8C, 0xC2, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};

// No user interface, no revocation checks, no network, nothing kept between
// calls.
WINTRUST_DATA TrustRequest(DWORD unionChoice) {
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = unionChoice;
    data.dwStateAction = WTD_STATEACTION_IGNORE;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    return data;
}

bool IsTrusted(WINTRUST_DATA& data) {
    // INVALID_HANDLE_VALUE as the window: there is no interactive user to ask.
    HWND noUser = static_cast<HWND>(INVALID_HANDLE_VALUE);
    return platform::WinTrust()->WinVerifyTrustEx(noUser, &VerifyAction, &data) == 0;
}

// Whether the 32-byte digest is one of the pin's fingerprints.
bool IsPinned(std::string_view pins, const BYTE (&digest)[32]) {
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (BYTE b : digest) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    while (!pins.empty()) {
        size_t end = pins.find(';');
        if (pins.substr(0, end) == hex) return true;
        if (end == std::string_view::npos) break;
        pins.remove_prefix(end + 1);
    }
    return false;
}

struct CatalogAdminTraits {
    using Type = HCATADMIN;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { platform::WinTrust()->CryptCATAdminReleaseContext(h, 0); }
};

}  // namespace

std::string_view FileTrust::SignerPins = deployment::SignerPins;

bool FileTrust::Verify(const std::wstring& AFileName) {
    if (platform::WinTrust() == nullptr) return false;
    platform::UniqueFile file(CreateFileW(AFileName.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    if (!SignerPins.empty()) return VerifyPinnedSigner(file.get());
    return VerifyEmbedded(file.get()) || VerifyCatalog(file.get());
}

bool FileTrust::VerifyEmbedded(HANDLE AFile) {
    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.hFile = AFile;  // given by handle only
    WINTRUST_DATA data = TrustRequest(WTD_CHOICE_FILE);
    data.pFile = &fileInfo;
    return IsTrusted(data);
}

bool FileTrust::VerifyPinnedSigner(HANDLE AFile) {
    const platform::TWinTrustApi* trust = platform::WinTrust();
    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.hFile = AFile;
    WINTRUST_DATA data = TrustRequest(WTD_CHOICE_FILE);
    data.pFile = &fileInfo;
    // The same verdict as VerifyEmbedded, with the verifier's state kept for
    // the look at the signer, and released on every path.
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    platform::ScopeExit closeState([&] {
        data.dwStateAction = WTD_STATEACTION_CLOSE;
        IsTrusted(data);
    });
    if (!IsTrusted(data)) return false;

    CRYPT_PROVIDER_DATA* provider = trust->WTHelperProvDataFromStateData(data.hWVTStateData);
    if (provider == nullptr) return false;
    CRYPT_PROVIDER_SGNR* signer = trust->WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    if (signer == nullptr) return false;
    CRYPT_PROVIDER_CERT* leaf = trust->WTHelperGetProvCertFromChain(signer, 0);
    if (leaf == nullptr || leaf->pCert == nullptr) return false;

    BYTE digest[32];
    DWORD size = sizeof(digest);
    if (!trust->CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, leaf->pCert->pbCertEncoded,
                                      leaf->pCert->cbCertEncoded, digest, &size) ||
        size != sizeof(digest))
        return false;
    return IsPinned(SignerPins, digest);
}

bool FileTrust::VerifyCatalog(HANDLE AFile) {
    const platform::TWinTrustApi* trust = platform::WinTrust();
    BYTE hash[256];
    DWORD hashSize = sizeof(hash);
    if (!trust->CryptCATAdminCalcHashFromFileHandle(AFile, &hashSize, hash, 0)) return false;

    platform::Unique<CatalogAdminTraits> admin;
    if (!trust->CryptCATAdminAcquireContext(admin.put(), nullptr, 0)) return false;

    // Only the first catalog that lists the hash is used.
    HCATINFO catalog = trust->CryptCATAdminEnumCatalogFromHash(admin.get(), hash, hashSize, 0, nullptr);
    if (catalog == nullptr) return false;
    // Released before the context, on every path.
    platform::ScopeExit releaseCatalog(
        [&] { trust->CryptCATAdminReleaseCatalogContext(admin.get(), catalog, 0); });

    CATALOG_INFO catalogInfo = {};
    catalogInfo.cbStruct = sizeof(catalogInfo);
    if (!trust->CryptCATCatalogInfoFromContext(catalog, &catalogInfo, 0)) return false;

    WINTRUST_CATALOG_INFO member = {};
    member.cbStruct = sizeof(member);
    member.dwCatalogVersion = 0;
    member.pcwszCatalogFilePath = catalogInfo.wszCatalogFile;
    member.hMemberFile = AFile;
    member.pbCalculatedFileHash = hash;
    member.cbCalculatedFileHash = hashSize;
    WINTRUST_DATA data = TrustRequest(WTD_CHOICE_CATALOG);
    data.pCatalog = &member;
    return IsTrusted(data);
}
