// The text of signed manifests: signature file lines, key entries and the
// freshness lines, with what is taken checked against a re-encoding (one text
// for one value: base64 and DER are taken only in their canonical form).
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <string>

#include "rules/manifestSignature.h"

static std::string base64(const unsigned char *data, size_t n)
{
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < n; i += 3) {
        uint32_t v = (uint32_t)data[i] << 16 | (i + 1 < n ? data[i + 1] << 8 : 0) | (i + 2 < n ? data[i + 2] : 0);
        out += digits[v >> 18 & 63];
        out += digits[v >> 12 & 63];
        out += i + 1 < n ? digits[v >> 6 & 63] : '=';
        out += i + 2 < n ? digits[v & 63] : '=';
    }
    return out;
}

// A minimal DER INTEGER of a positive 32-byte big-endian value.
static std::string derInteger(const unsigned char *v)
{
    size_t skip = 0;
    while (skip < 31 && v[skip] == 0)
        ++skip;
    std::string body(v + skip, v + 32);
    if ((unsigned char)body[0] & 0x80)
        body.insert(body.begin(), '\0');
    return std::string(1, '\x02') + (char)body.size() + body;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = (const char *)data;
    unsigned char out[128];
    size_t n = 0;
    if (decodeBase64(text, size, out, sizeof out, &n) && base64(out, n) != std::string(text, size))
        abort();
    unsigned char rs[64];
    if (derSignatureToRS(data, size, rs)) {
        std::string body = derInteger(rs) + derInteger(rs + 32);
        std::string der = std::string(1, '\x30') + (char)body.size() + body;
        if (der != std::string(text, size))
            abort();
    }
    ManifestPublicKey key;
    const char *why = NULL;
    if (!parsePublicKeyEntry(text, size, &key, &why) && !why)
        abort();

    SignatureLine line;
    size_t at = 0;
    unsigned number = 0, last = 0;
    while (nextSignatureLine(text, size, &at, &number, &line)) {
        if (line.number <= last || at > size || (!line.malformed && !isKeyId(line.id, strlen(line.id))))
            abort();
        last = line.number;
    }
    ManifestFreshness freshness;
    readFreshness(text, size, &freshness);
    char refusal[200];
    freshnessRefusal(&freshness, 1900000000, 1, 5, refusal, sizeof refusal);
    if (freshness.hasExpires && !freshness.badLine && strlen(freshness.expiresText) != 20)
        abort();
    return 0;
}
