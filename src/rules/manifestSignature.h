// The text of signed manifests, shared by the launcher and the operator's tool:
// the administrator's public key entries, the lines of the signature file, and
// the freshness lines ("serial", "expires") inside the manifest. Pure parsing:
// no cryptography, no I/O, no Windows API.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The signature file beside the manifest on the server, and its limit.
#define SIGNATURE_MAX_BYTES ((size_t)64 << 10)

// A key id: 1 to KEY_ID_MAX_CHARS of letters, digits, '.', '_' and '-'.
#define KEY_ID_MAX_CHARS 64

// The DER SubjectPublicKeyInfo of an ECDSA P-256 key in uncompressed form.
#define P256_SPKI_BYTES 91

// One entry of ManifestPublicKeys: "<key id>:<base64 of the SubjectPublicKeyInfo>".
struct ManifestPublicKey {
    char id[KEY_ID_MAX_CHARS + 1];
    unsigned char spki[P256_SPKI_BYTES]; // as published, for libraries that take it whole
    unsigned char point[64];             // X then Y, big-endian, for CNG's ECC public blob
};

// Reads entry[0..len); 1 done, 0 with why (when given) set to the reason.
int parsePublicKeyEntry(const char *entry, size_t len, struct ManifestPublicKey *key, const char **why);

// 1 when text[0..len) is a key id.
int isKeyId(const char *text, size_t len);

// Standard base64 with its padding, nothing else (no blanks, no line breaks,
// no bits left over): the bytes into out; 0 when text is not such or does not fit.
int decodeBase64(const char *text, size_t len, unsigned char *out, size_t outSize, size_t *outLen);

// A DER ECDSA-Sig-Value for P-256 (a sequence of two positive, minimally
// encoded integers below 2^256, neither zero) as r then s, 32 bytes each.
int derSignatureToRS(const unsigned char *der, size_t len, unsigned char rs[64]);

// One line of the signature file: "<key id> <base64 of the DER signature>".
struct SignatureLine {
    unsigned number;               // 1-based line of the file
    char id[KEY_ID_MAX_CHARS + 1]; // empty when the line has no readable id
    unsigned char rs[64];          // the signature as r then s
    const char *malformed;         // null for a usable line, otherwise why not
};

// The next line of data[*at..size) that is not blank, moving *at past it; a
// carriage return before the line feed is dropped. 0 at the end.
int nextSignatureLine(const char *data, size_t size, size_t *at, unsigned *lineNumber, struct SignatureLine *line);

// A decimal "serial" value: digits only, at most 2^63.
int parseSerial(const char *text, size_t len, uint64_t *serial);

// An "expires" value, "YYYY-MM-DDTHH:MM:SSZ" (UTC, a real date, seconds 0-59),
// as seconds since 1970-01-01; the year from 1970 to 9999.
int parseExpiry(const char *text, size_t len, int64_t *seconds);

// The freshness lines of a manifest, read line by line as the launcher reads
// the manifest. A line whose first word is "serial" or "expires" is one;
// each may stand once.
struct ManifestFreshness {
    int hasSerial, hasExpires;
    uint64_t serial;
    int64_t expires;
    char expiresText[21]; // as written
    unsigned badLine;    // the line of the first malformed or repeated one, 0 when none
    const char *problem; // and why
};

void readFreshness(const char *data, size_t size, struct ManifestFreshness *freshness);

// 1 when the (stripped) manifest line is a freshness line, well-formed or not.
int isFreshnessLine(const char *line);

// Why a signed manifest with these freshness lines is refused at time now
// (seconds since 1970), given the highest serial accepted before (hasLast 0:
// none recorded, any serial goes); written into text, which is returned. Null
// when it is fresh. A manifest without a serial counts as serial 0.
const char *freshnessRefusal(const struct ManifestFreshness *freshness, int64_t now, int hasLast, uint64_t last,
                             char *text, size_t textSize);
