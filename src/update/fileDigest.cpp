#include "update/fileDigest.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>
#include <bcrypt.h>

#include "logging/Logging.h"
#include "text/Utf8.h"

// CNG's name of the algorithm of kind, or null.
static const wchar_t *algorithmOf(const char *kind)
{
    return strcmp(kind, "md5") == 0      ? BCRYPT_MD5_ALGORITHM
           : strcmp(kind, "sha1") == 0   ? BCRYPT_SHA1_ALGORITHM
           : strcmp(kind, "sha256") == 0 ? BCRYPT_SHA256_ALGORITHM
                                         : NULL;
}

int sha256Bytes(const void *data, size_t size, unsigned char digest[32])
{
    BCRYPT_ALG_HANDLE algorithm = NULL;
    BCRYPT_HASH_HANDLE hash = NULL;
    NTSTATUS status = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, NULL, 0);
    if (BCRYPT_SUCCESS(status))
        status = BCryptCreateHash(algorithm, &hash, NULL, 0, NULL, 0, 0);
    if (BCRYPT_SUCCESS(status))
        status = BCryptHashData(hash, (PUCHAR)data, (ULONG)size, 0);
    if (BCRYPT_SUCCESS(status))
        status = BCryptFinishHash(hash, digest, 32, 0);
    if (hash)
        BCryptDestroyHash(hash);
    if (algorithm)
        BCryptCloseAlgorithmProvider(algorithm, 0);
    if (!BCRYPT_SUCCESS(status))
        LogFormat(true, "fileDigest - sha256 failed: 0x%08lx", (unsigned long)status);
    return BCRYPT_SUCCESS(status);
}

int fileDigest(const char *path, const char *kind, char *hex, size_t hexSize)
{
    const wchar_t *name = algorithmOf(kind);
    size_t digits = strcmp(kind, "md5") == 0 ? 32 : strcmp(kind, "sha1") == 0 ? 40 : name ? 64 : 0;
    if (!digits || hexSize <= digits)
        return 0;
    FILE *f = openFile(path, "rb");
    if (!f) {
        int err = errno;
        LogFormat(true, "fileDigest - fopen failed: %d (%s : %s)", err, strerror(err), path);
        return 0;
    }
    BCRYPT_ALG_HANDLE algorithm = NULL;
    BCRYPT_HASH_HANDLE hash = NULL;
    NTSTATUS status = BCryptOpenAlgorithmProvider(&algorithm, name, NULL, 0);
    if (BCRYPT_SUCCESS(status))
        status = BCryptCreateHash(algorithm, &hash, NULL, 0, NULL, 0, 0);
    static unsigned char block[65536];
    size_t n;
    while (BCRYPT_SUCCESS(status) && (n = fread(block, 1, sizeof block, f)) > 0)
        status = BCryptHashData(hash, block, (ULONG)n, 0);
    bool readError = ferror(f) != 0;
    unsigned char digest[32];
    if (BCRYPT_SUCCESS(status))
        status = BCryptFinishHash(hash, digest, (ULONG)(digits / 2), 0);
    if (hash)
        BCryptDestroyHash(hash);
    if (algorithm)
        BCryptCloseAlgorithmProvider(algorithm, 0);
    fclose(f);
    if (readError) {
        LogFormat(true, "fileDigest - fread failed: %s", path);
        return 0;
    }
    if (!BCRYPT_SUCCESS(status)) {
        LogFormat(true, "fileDigest - %s failed: 0x%08lx (%s)", kind, (unsigned long)status, path);
        return 0;
    }
    for (size_t i = 0; i < digits / 2; ++i)
        snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return 1;
}
