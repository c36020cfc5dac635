// Digests of downloaded files, computed by the system's own cryptography.
#pragma once

#include <stddef.h>

// The number of hex digits that a manifest token of kind must have to be a
// digest that can be verified: 32 for "md5", 40 for "sha1"; 0 for any other
// kind. verifiableToken tells whether token is exactly such a digest.
size_t digestDigits(const char *kind);
bool verifiableToken(const char *kind, const char *token);

// The digest of kind ("md5" or "sha1") of the file at path, in lower-case hex,
// into hex (at least 41 bytes). 1 done; 0 failed, with a line logged.
int fileDigest(const char *path, const char *kind, char *hex, size_t hexSize);
