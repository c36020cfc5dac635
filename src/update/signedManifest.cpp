#include "update/signedManifest.h"

#include <errno.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <bcrypt.h>

#include "logging/Logging.h"
#include "rules/launcherNames.h"
#include "rules/manifestReader.h"
#include "rules/manifestSignature.h"
#include "text/Utf8.h"
#include "update/fileDigest.h"
#include "update/getHTTPFile.h"
#include "update/replaceFile.h"

// Reads the file at path whole (at most maxSize bytes) into a heap block;
// null, with a line logged, when it cannot be read or is larger.
static char *readSmallFile(const char *path, size_t maxSize, size_t *size)
{
    FILE *f = openFile(path, "rb");
    char *data = f ? (char *)malloc(maxSize + 1) : NULL;
    size_t n = data ? fread(data, 1, maxSize + 1, f) : 0;
    int err = !f ? errno : !data ? ENOMEM : ferror(f) ? EIO : n > maxSize ? EFBIG : 0;
    if (f)
        fclose(f);
    if (err) {
        LogFormat(true, "signedManifest - cannot read: %d (%s : %s)", err, strerror(err), path);
        free(data);
        return NULL;
    }
    *size = n;
    return data;
}

// 1 when rs (r then s) signs hash under the public key point (X then Y).
static int verifyP256(const unsigned char point[64], const unsigned char hash[32], const unsigned char rs[64])
{
    struct {
        BCRYPT_ECCKEY_BLOB header;
        unsigned char xy[64];
    } blob;
    blob.header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    blob.header.cbKey = 32;
    memcpy(blob.xy, point, 64);
    BCRYPT_ALG_HANDLE algorithm = NULL;
    BCRYPT_KEY_HANDLE key = NULL;
    NTSTATUS status = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, NULL, 0);
    if (BCRYPT_SUCCESS(status))
        status = BCryptImportKeyPair(algorithm, NULL, BCRYPT_ECCPUBLIC_BLOB, &key, (PUCHAR)&blob, sizeof blob, 0);
    if (BCRYPT_SUCCESS(status))
        status = BCryptVerifySignature(key, NULL, (PUCHAR)hash, 32, (PUCHAR)rs, 64, 0);
    if (key)
        BCryptDestroyKey(key);
    if (algorithm)
        BCryptCloseAlgorithmProvider(algorithm, 0);
    return BCRYPT_SUCCESS(status);
}

// The key id of the first signature line that a listed key verifies, into
// signer; every line before it is logged with why it failed.
static int findSigner(const char *publicKeys, const char *sigs, size_t sigSize, const unsigned char hash[32],
                      char *signer, size_t signerSize)
{
    SignatureLine line;
    size_t at = 0;
    unsigned number = 0;
    while (nextSignatureLine(sigs, sigSize, &at, &number, &line)) {
        if (line.malformed) {
            LogFormat(true, "signedManifest - line %u: malformed, %s", line.number, line.malformed);
            continue;
        }
        bool known = false;
        for (const char *p = publicKeys; *p; p += strlen(p) + 1) {
            ManifestPublicKey key;
            if (!parsePublicKeyEntry(p, strlen(p), &key, NULL) || strcmp(key.id, line.id) != 0)
                continue;
            known = true;
            if (verifyP256(key.point, hash, line.rs)) {
                snprintf(signer, signerSize, "%s", line.id);
                return 1;
            }
        }
        LogFormat(true, "signedManifest - key id %s: %s", line.id, known ? "bad signature" : "unknown id");
    }
    return 0;
}

// The highest serial accepted before in the work folder: 1 when recorded.
static int lastSerial(const char *path, uint64_t *serial)
{
    FILE *f = openFile(path, "rb");
    if (!f)
        return 0;
    char text[32] = "";
    size_t n = fread(text, 1, sizeof text - 1, f);
    fclose(f);
    text[n] = '\0';
    n = strcspn(text, "\r\n");
    if (parseSerial(text, n, serial))
        return 1;
    // Only this launcher writes it; a damaged record is overwritten on the next acceptance.
    LogFormat(true, "signedManifest - serial record unreadable, taken as missing: %s", path);
    return 0;
}

static void recordSerial(const char *path, uint64_t serial)
{
    char part[UTF8_PATH_SIZE];
    snprintf(part, sizeof part, "%s" STAGED_SUFFIX, path);
    FILE *f = openFile(part, "wb");
    int ok = f && fprintf(f, "%" PRIu64 "\n", serial) > 0;
    // On the disk before it replaces the record: a machine stopped then would
    // otherwise leave an empty record, and any serial would pass once.
    if (f && !closeFile(f))
        ok = 0;
    if (ok && replaceFile(part, path, "signedManifest"))
        return;
    LogFormat(true, "signedManifest - serial %" PRIu64 " not recorded: %s", serial, path);
    removeFile(part);
}

static int64_t secondsNow(void)
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    uint64_t ticks = (uint64_t)ft.dwHighDateTime << 32 | ft.dwLowDateTime;
    return (int64_t)(ticks / 10000000) - 11644473600LL;
}

// The signature and the freshness of the manifest data[0..size).
static int acceptSigned(const char *publicKeys, const char *data, size_t size, const char *sigs, size_t sigSize,
                        const char *serialPath)
{
    unsigned char hash[32];
    char signer[KEY_ID_MAX_CHARS + 1];
    if (!sha256Bytes(data, size, hash))
        return 0;
    if (!findSigner(publicKeys, sigs, sigSize, hash, signer, sizeof signer)) {
        LogToFile("signedManifest - no signature of a listed key verifies: manifest refused", true, true);
        return 0;
    }
    ManifestFreshness freshness;
    readFreshness(data, size, &freshness);
    uint64_t last = 0;
    int hasLast = lastSerial(serialPath, &last);
    char why[200];
    if (freshnessRefusal(&freshness, secondsNow(), hasLast, last, why, sizeof why)) {
        LogFormat(true, "signedManifest - signed by key id %s, but refused: %s", signer, why);
        return 0;
    }
    uint64_t serial = freshness.hasSerial ? freshness.serial : 0;
    LogFormat(true, "signedManifest - signed by key id %s, serial %" PRIu64 ", expires %s: manifest accepted", signer,
              serial, freshness.expiresText);
    if (!hasLast || serial > last)
        recordSerial(serialPath, serial);
    return 1;
}

int acceptManifest(const Downloads *downloads, const char *publicKeys, const char *workFolder,
                   const char *manifestURL, const char *manifestPath)
{
    if (!publicKeys[0])
        return 1;
    char url[4200], sigPath[UTF8_PATH_SIZE], serialPath[UTF8_PATH_SIZE];
    if (snprintf(url, sizeof url, "%s.sig", manifestURL) >= (int)sizeof url ||
        snprintf(sigPath, sizeof sigPath, "%s\\" NEW_SIGNATURE_NAME, workFolder) >= (int)sizeof sigPath ||
        snprintf(serialPath, sizeof serialPath, "%s\\" SERIAL_NAME, workFolder) >= (int)sizeof serialPath)
        return 0;
    if (!getHTTPSignatures(downloads, url, sigPath)) {
        LogToFile("signedManifest - signature file not downloaded: manifest refused", true, true);
        return 0;
    }
    size_t size = 0, sigSize = 0;
    char *data = readSmallFile(manifestPath, MANIFEST_MAX_BYTES, &size);
    char *sigs = data ? readSmallFile(sigPath, SIGNATURE_MAX_BYTES, &sigSize) : NULL;
    int accepted = sigs && acceptSigned(publicKeys, data, size, sigs, sigSize, serialPath);
    free(data);
    free(sigs);
    // Used once: a later run never takes these signatures for its own manifest.
    removeFile(sigPath);
    return accepted;
}
