// The administrator settings: values under HKLM\SOFTWARE\Policies\Kovrel,
// read once at the start of a run and handed to the rest as plain values.
// The key is shared by the 32-bit and 64-bit registry views. A build may bake
// defaults in (KOVREL_ALLOWED_SERVERS, KOVREL_PINNED_PUBLIC_KEYS,
// KOVREL_VERIFY_DIGESTS); a value in the registry replaces its default.
#pragma once

#include <stddef.h>

#define POLICY_KEY "SOFTWARE\\Policies\\Kovrel"

// Longest wait or limit an administrator may set; larger values are taken as
// mistakes and the default applies.
#define POLICY_MAX_SECONDS 3600u
#define POLICY_MAX_PARALLEL 16u
#define POLICY_MAX_MEGABYTES (1024u * 1024u)

// VerifyDigests: 1 checks the files whose token is a digest; 2 also fails a
// pass whose manifest has an entry without one. Any other value but 0 is 1.
enum { DIGESTS_OFF, DIGESTS_VERIFIED, DIGESTS_REQUIRED };

struct Policy {
    unsigned connectTimeoutSeconds; // ConnectTimeoutSeconds: connection set-up
    unsigned stallTimeoutSeconds;   // StallTimeoutSeconds: window in which 1 KiB must arrive
    unsigned lockWaitSeconds;       // LockWaitSeconds: wait for another launcher of the folder
    unsigned maxParallelDownloads;  // MaxParallelDownloads: transfers of a pass at once
    unsigned maxFileMegabytes;      // MaxFileMegabytes: cap of any one file
    unsigned maxPassMegabytes;      // MaxPassMegabytes: cap of what one pass fetches
    // AllowedServers: base URLs, each ended by '\0', the list by an empty one.
    char allowedServers[4096];
    // PinnedPublicKeys: "sha256//<base64>" hashes joined by ';', as libcurl
    // takes them; empty when none.
    char pinnedPublicKeys[2048];
    int verifyDigests; // VerifyDigests: DIGESTS_OFF, _VERIFIED or _REQUIRED
    // ManifestPublicKeys: "<key id>:<base64>" entries in the list form of
    // allowedServers; empty when manifests need no signature.
    char manifestPublicKeys[4096];
    // ProxyServer: WinHTTP's "host:port" (or a list of them), "direct", or
    // empty when not set; ProxyBypass: hosts that go direct, WinHTTP's syntax.
    char proxyServer[512];
    char proxyBypass[1024];
    char proxyAutoConfigURL[1024]; // ProxyAutoConfigURL: a PAC address; empty when not set
    // VerifyServerCertificate: the server's certificate checked against the
    // machine's certificate store (0 off, 1 on).
    int verifyServerCertificate;
    // The name of a trust value that is set but cannot be used; empty when
    // none. Such a run is refused rather than run without the control.
    const char *unusable;
    bool showProgress; // ShowProgress: false, no progress window and no message boxes
    // The Java runtime. Values that cannot be used are ignored.
    char javaHome[260];         // JavaHome: a runtime's home, tried before any other
    char javaDownloadURL[1024]; // JavaDownloadURL: the https page opened when no runtime is usable
    int preferredJavaBits;      // PreferredJavaBits: 32 or 64 when both qualify; 0 the design's 32 first
};

// The defaults, as the build sets them.
Policy defaultPolicy(void);

// Reads the administrator key over policy; a value that is missing leaves the
// field as it was.
void ReadPolicy(Policy *policy);

// True when server is the one an entry of the list names (both read into
// ServerName's form: scheme and host without regard to case, the port equal
// with the scheme's default implied).
bool serverAllowed(const char *allowedServers, const struct ServerName *server);

// The trust controls in force, for the run's log, without the pins.
void describeControls(const Policy *policy, char *out, size_t outSize);

#ifdef KOVREL_UNITTESTS
// The parsers of raw registry data.

// A number: a REG_DWORD of 1 to most; anything else (missing, zero, larger,
// another type or size) gives fallback.
unsigned policyNumber(unsigned long type, const void *data, unsigned long size, unsigned most, unsigned fallback);

// AllowedServers from a REG_MULTI_SZ, or a REG_SZ separated by ';', into out
// (the list form of Policy::allowedServers). Blanks around entries and empty
// entries are dropped. 0 when the type is wrong, an entry is not an http or
// https base URL, or the list does not fit; out is then untouched.
int policyServers(unsigned long type, const void *data, unsigned long size, char *out, size_t outSize);

// PinnedPublicKeys from a REG_SZ of "sha256//<44 base64 characters>" entries
// separated by ';' into out, joined by ';'. 0 when the type is wrong, an
// entry is not such a hash, or the list does not fit; out is then untouched.
int policyPins(unsigned long type, const void *data, unsigned long size, char *out, size_t outSize);

// ManifestPublicKeys from a REG_MULTI_SZ, or a REG_SZ separated by ';', into
// out (the list form): each entry "<key id>:<base64 of an ECDSA P-256
// SubjectPublicKeyInfo>". 0 when the type is wrong, an entry is not such, or
// the list does not fit; out is then untouched.
int policyManifestKeys(unsigned long type, const void *data, unsigned long size, char *out, size_t outSize);

// VerifyDigests: a REG_DWORD, DIGESTS_OFF for 0, DIGESTS_REQUIRED for 2,
// DIGESTS_VERIFIED for any other; another type gives -1 (unusable).
int policySwitch(unsigned long type, const void *data, unsigned long size);

// An on/off value: a REG_DWORD, 0 off and any other on; anything else gives fallback.
bool policyFlag(unsigned long type, const void *data, unsigned long size, bool fallback);

// A REG_SZ of printable text up to its terminator, not empty, into out; with
// https, only an https URL without blanks. 0 otherwise; out is then untouched.
int policyText(unsigned long type, const void *data, unsigned long size, bool https, char *out, size_t outSize);

// PreferredJavaBits: a REG_DWORD of 32 or 64; anything else gives 0.
int policyJavaBits(unsigned long type, const void *data, unsigned long size);
#endif
