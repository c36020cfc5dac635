// Digests of downloaded files, computed by the system's own cryptography.
#pragma once

#include <stddef.h>

// The digest of kind ("md5", "sha1" or "sha256") of the file at path, in
// lower-case hex, into hex (at least 65 bytes for sha256, 41 for the others). 1 done; 0 failed, with a line logged.
int fileDigest(const char *path, const char *kind, char *hex, size_t hexSize);

// The SHA-256 of data[0..size). 1 done; 0 failed, with a line logged.
int sha256Bytes(const void *data, size_t size, unsigned char digest[32]);
