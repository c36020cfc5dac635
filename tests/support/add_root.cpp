// Adds a certificate (PEM or DER file) to the machine's root store, or with
// "remove" takes it out again: a test's own certificate authority, trusted
// only while the test needs it.
#include <stdio.h>
#include <string.h>
#include <windows.h>
#include <wincrypt.h>

int main(int argc, char *argv[])
{
    if (argc != 3 || (strcmp(argv[1], "add") && strcmp(argv[1], "remove"))) {
        fprintf(stderr, "usage: add_root add|remove FILE\n");
        return 2;
    }
    FILE *f = fopen(argv[2], "rb");
    static BYTE text[65536], der[65536];
    size_t size = f ? fread(text, 1, sizeof text, f) : 0;
    if (f)
        fclose(f);
    DWORD derSize = sizeof der;
    if (!CryptStringToBinaryA((const char *)text, (DWORD)size, CRYPT_STRING_BASE64HEADER, der, &derSize, NULL, NULL)) {
        memcpy(der, text, size);
        derSize = (DWORD)size;
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root");
    if (!store) {
        fprintf(stderr, "CertOpenStore: %lu\n", GetLastError());
        return 1;
    }
    PCCERT_CONTEXT cert = NULL;
    BOOL ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, derSize,
                                               CERT_STORE_ADD_REPLACE_EXISTING, &cert);
    if (ok && strcmp(argv[1], "remove") == 0)
        ok = CertDeleteCertificateFromStore(cert); // frees cert
    else if (cert)
        CertFreeCertificateContext(cert);
    if (!ok)
        fprintf(stderr, "%s: %lu\n", argv[1], GetLastError());
    CertCloseStore(store, 0);
    return ok ? 0 : 1;
}
