#include "rules/manifestSignature.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include "rules/manifestReader.h"
#include "rules/manifestRules.h"

// SubjectPublicKeyInfo { id-ecPublicKey, prime256v1 } and the BIT STRING of an
// uncompressed point: every P-256 key in this form starts with these bytes.
static const unsigned char p256Prefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02,
                                           0x01, 0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03,
                                           0x42, 0x00, 0x04};
static_assert(sizeof p256Prefix + 64 == P256_SPKI_BYTES, "prefix and point");

int isKeyId(const char *text, size_t len)
{
    if (len == 0 || len > KEY_ID_MAX_CHARS)
        return 0;
    for (size_t i = 0; i < len; ++i) {
        char c = text[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
              c == '-'))
            return 0;
    }
    return 1;
}

static int base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    return c == '+' ? 62 : c == '/' ? 63 : -1;
}

int decodeBase64(const char *text, size_t len, unsigned char *out, size_t outSize, size_t *outLen)
{
    if (len == 0 || len % 4)
        return 0;
    size_t pad = text[len - 1] == '=' ? (text[len - 2] == '=' ? 2 : 1) : 0;
    size_t n = len / 4 * 3 - pad;
    if (n > outSize)
        return 0;
    uint32_t bits = 0;
    size_t o = 0;
    for (size_t i = 0; i < len - pad; ++i) {
        int v = base64Value(text[i]);
        if (v < 0)
            return 0;
        bits = bits << 6 | (uint32_t)v;
        if (i % 4 == 3) {
            out[o++] = (unsigned char)(bits >> 16);
            out[o++] = (unsigned char)(bits >> 8);
            out[o++] = (unsigned char)bits;
            bits = 0;
        }
    }
    // One text for one value: the bits the padding leaves over are zero.
    if (pad == 2) {
        if (bits & 0xF)
            return 0;
        out[o++] = (unsigned char)(bits >> 4);
    } else if (pad == 1) {
        if (bits & 0x3)
            return 0;
        out[o++] = (unsigned char)(bits >> 10);
        out[o++] = (unsigned char)(bits >> 2);
    }
    *outLen = o;
    return 1;
}

int parsePublicKeyEntry(const char *entry, size_t len, struct ManifestPublicKey *key, const char **why)
{
    const char *reason = NULL;
    const char *colon = (const char *)memchr(entry, ':', len);
    size_t idLen = colon ? (size_t)(colon - entry) : 0, der = 0;
    unsigned char spki[P256_SPKI_BYTES + 3];
    if (!colon)
        reason = "no ':' between the key id and the key";
    else if (!isKeyId(entry, idLen))
        reason = "the key id is not 1 to 64 letters, digits, '.', '_' or '-'";
    else if (!decodeBase64(colon + 1, len - idLen - 1, spki, sizeof spki, &der))
        reason = "the key is not base64";
    else if (der != P256_SPKI_BYTES || memcmp(spki, p256Prefix, sizeof p256Prefix) != 0)
        reason = "not an ECDSA P-256 public key (SubjectPublicKeyInfo, uncompressed point)";
    if (reason) {
        if (why)
            *why = reason;
        return 0;
    }
    memcpy(key->id, entry, idLen);
    key->id[idLen] = '\0';
    memcpy(key->spki, spki, P256_SPKI_BYTES);
    memcpy(key->point, spki + sizeof p256Prefix, 64);
    return 1;
}

// One DER INTEGER at der[*at..end) into 32 big-endian bytes.
static int derInteger(const unsigned char *der, size_t *at, size_t end, unsigned char out[32])
{
    if (end - *at < 2 || der[*at] != 0x02)
        return 0;
    size_t len = der[*at + 1];
    const unsigned char *v = der + *at + 2;
    if (len == 0 || len > end - *at - 2 || (v[0] & 0x80))
        return 0;
    // Minimal: a leading zero only where the next byte would read as negative.
    if (len > 1 && v[0] == 0 && !(v[1] & 0x80))
        return 0;
    if (v[0] == 0) {
        ++v;
        --len;
    }
    if (len > 32)
        return 0;
    memset(out, 0, 32);
    memcpy(out + 32 - len, v, len);
    *at += 2 + (size_t)der[*at + 1];
    static const unsigned char zero[32] = {0};
    return memcmp(out, zero, 32) != 0;
}

int derSignatureToRS(const unsigned char *der, size_t len, unsigned char rs[64])
{
    // Two integers of at most 33 bytes: the length always fits one byte.
    if (len < 2 || der[0] != 0x30 || der[1] >= 0x80 || (size_t)der[1] + 2 != len)
        return 0;
    size_t at = 2;
    unsigned char r[32], s[32];
    if (!derInteger(der, &at, len, r) || !derInteger(der, &at, len, s) || at != len)
        return 0;
    memcpy(rs, r, 32);
    memcpy(rs + 32, s, 32);
    return 1;
}

int nextSignatureLine(const char *data, size_t size, size_t *at, unsigned *lineNumber, struct SignatureLine *line)
{
    while (*at < size) {
        const char *start = data + *at;
        const char *nl = (const char *)memchr(start, '\n', size - *at);
        size_t len = nl ? (size_t)(nl - start) : size - *at;
        *at += len + (nl ? 1 : 0);
        ++*lineNumber;
        if (len && start[len - 1] == '\r')
            --len;
        if (len == 0)
            continue;
        *line = SignatureLine{};
        line->number = *lineNumber;
        const char *blank = (const char *)memchr(start, ' ', len);
        size_t idLen = blank ? (size_t)(blank - start) : len;
        if (isKeyId(start, idLen)) {
            memcpy(line->id, start, idLen);
            line->id[idLen] = '\0';
        }
        unsigned char der[80];
        size_t derLen = 0;
        if (!blank || !line->id[0])
            line->malformed = "not \"<key id> <base64 signature>\"";
        else if (!decodeBase64(blank + 1, len - idLen - 1, der, sizeof der, &derLen))
            line->malformed = "the signature is not base64";
        else if (!derSignatureToRS(der, derLen, line->rs))
            line->malformed = "not a DER ECDSA P-256 signature";
        return 1;
    }
    return 0;
}

int parseSerial(const char *text, size_t len, uint64_t *serial)
{
    static const uint64_t most = (uint64_t)1 << 63;
    if (len == 0 || len > 20)
        return 0;
    uint64_t value = 0;
    for (size_t i = 0; i < len; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return 0;
        unsigned digit = (unsigned)(text[i] - '0');
        if (value > (most - digit) / 10)
            return 0;
        value = value * 10 + digit;
    }
    *serial = value;
    return 1;
}

// Reads digits text[0..n) into *value.
static int digits(const char *text, size_t n, int *value)
{
    int v = 0;
    for (size_t i = 0; i < n; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return 0;
        v = v * 10 + (text[i] - '0');
    }
    *value = v;
    return 1;
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
static int64_t daysFromCivil(int y, int m, int d)
{
    y -= m <= 2;
    const int64_t era = y / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int parseExpiry(const char *text, size_t len, int64_t *seconds)
{
    // "YYYY-MM-DDTHH:MM:SSZ"
    static const char shape[] = "dddd-dd-ddTdd:dd:ddZ";
    if (len != sizeof shape - 1)
        return 0;
    for (size_t i = 0; i < len; ++i)
        if (shape[i] != 'd' && text[i] != shape[i])
            return 0;
    int y, mo, d, h, mi, s;
    if (!digits(text, 4, &y) || !digits(text + 5, 2, &mo) || !digits(text + 8, 2, &d) ||
        !digits(text + 11, 2, &h) || !digits(text + 14, 2, &mi) || !digits(text + 17, 2, &s))
        return 0;
    static const int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > monthDays[mo - 1] + (mo == 2 && leap) || h > 23 || mi > 59 ||
        s > 59)
        return 0;
    *seconds = daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
    return 1;
}

// The freshness word that begins line, with its length; null for none.
static const char *freshnessWord(const char *line, size_t *wordLen)
{
    size_t n = strcspn(line, " ");
    *wordLen = n;
    if (n == 6 && memcmp(line, "serial", 6) == 0)
        return "serial";
    if (n == 7 && memcmp(line, "expires", 7) == 0)
        return "expires";
    return NULL;
}

int isFreshnessLine(const char *line)
{
    size_t n;
    return freshnessWord(line, &n) != NULL;
}

void readFreshness(const char *data, size_t size, struct ManifestFreshness *f)
{
    *f = ManifestFreshness{};
    char piece[MANIFEST_PIECE_CHARS + 1];
    size_t at = 0, n;
    unsigned line = 1;
    while ((n = nextManifestPiece(data, size, &at, piece)) > 0) {
        bool ended = piece[n - 1] == '\n';
        size_t wordLen;
        const char *word = freshnessWord(strip(piece), &wordLen);
        if (word && !f->badLine) {
            const char *value = piece[wordLen] ? piece + wordLen + 1 : piece + wordLen;
            size_t valueLen = strlen(value);
            bool serial = word[0] == 's';
            int *seen = serial ? &f->hasSerial : &f->hasExpires;
            if (*seen)
                f->problem = serial ? "a second serial line" : "a second expires line";
            else if (serial ? !parseSerial(value, valueLen, &f->serial) : !parseExpiry(value, valueLen, &f->expires))
                f->problem = serial ? "serial is not a decimal number up to 2^63"
                                    : "expires is not a time as YYYY-MM-DDTHH:MM:SSZ";
            if (f->problem)
                f->badLine = line;
            else if (!serial)
                memcpy(f->expiresText, value, valueLen + 1);
            *seen = 1;
        }
        line += ended;
    }
}

const char *freshnessRefusal(const struct ManifestFreshness *f, int64_t now, int hasLast, uint64_t last, char *text,
                             size_t textSize)
{
    if (f->badLine)
        snprintf(text, textSize, "line %u: %s", f->badLine, f->problem);
    else if (!f->hasExpires)
        snprintf(text, textSize, "no expires line");
    else if (f->expires <= now)
        snprintf(text, textSize, "expired at %s", f->expiresText);
    else if (hasLast && (f->hasSerial ? f->serial : 0) < last)
        snprintf(text, textSize, "rollback: serial %" PRIu64 " is below %" PRIu64 ", accepted before",
                 f->hasSerial ? f->serial : 0, last);
    else
        return NULL;
    return text;
}
