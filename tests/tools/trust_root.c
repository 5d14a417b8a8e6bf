/* Adds a certificate authority (a DER file) to the current user's trusted
 * roots in the prefix, as the https tests need for their test CA.
 *   trust_root CERT.der
 * The store must be closed for the addition to be kept. Exit code 0 when
 * the certificate is in the store. */
#include <windows.h>
#include <wincrypt.h>

#include <stdio.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 2;
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return 3;
    BYTE der[16384];
    DWORD size = 0;
    BOOL read = ReadFile(file, der, sizeof(der), &size, NULL);
    CloseHandle(file);
    if (!read || size == 0 || size == sizeof(der)) return 3;

    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (store == NULL) return 4;
    BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, size, CERT_STORE_ADD_REPLACE_EXISTING,
                                                  NULL);
    CertCloseStore(store, 0);
    if (!added) {
        fprintf(stderr, "CertAddEncodedCertificateToStore failed: %lu\n", GetLastError());
        return 1;
    }
    return 0;
}
