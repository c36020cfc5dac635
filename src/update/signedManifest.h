// Signed manifests: a downloaded manifest is used only when one of the
// administrator's keys signed it and it is fresh.
#pragma once

struct Downloads;

// With publicKeys (ManifestPublicKeys in its list form) empty, 1 at once.
// Otherwise fetches the signature file at manifestURL + ".sig" into the work
// folder and returns 1 only when a listed key's signature over the exact bytes
// at manifestPath verifies (CNG), the manifest's "expires" lies ahead and its
// serial is not below the highest accepted before in this work folder, which
// then becomes its serial. Every key id tried is logged with why it failed.
int acceptManifest(const Downloads *downloads, const char *publicKeys, const char *workFolder,
                   const char *manifestURL, const char *manifestPath);
