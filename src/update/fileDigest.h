// Digests of downloaded files, computed by the system's own cryptography.
#pragma once

#include <stddef.h>

// The digest of kind ("md5" or "sha1") of the file at path, in lower-case hex,
// into hex (at least 41 bytes). 1 done; 0 failed, with a line logged.
int fileDigest(const char *path, const char *kind, char *hex, size_t hexSize);
