// Java version numbers as Java numbers them, and where a runtime states its
// own. No I/O.
#pragma once

#include <stddef.h>

#define JAVA_VERSION_PARTS 5

// A version read as numbers: "1.8.0_392" is 8.0.392 (the "1." of Java 8 and
// earlier dropped), "17.0.9+9" is 17.0.9. Parts past JAVA_VERSION_PARTS are
// not kept.
struct JavaVersion {
    unsigned parts[JAVA_VERSION_PARTS];
    unsigned count;
};

// Reads the version at the start of text: numbers separated by '.' or '_',
// up to the first other character ("+9", "-ea", a blank). 0 when text does
// not start with a digit or a number has more than 9 digits; version is then
// untouched.
int parseJavaVersion(const char *text, struct JavaVersion *version);

// Below zero, zero or above zero as a is older than, the same as or newer
// than b; missing parts count as 0 (17 is 17.0.0).
int compareJavaVersions(const struct JavaVersion *a, const struct JavaVersion *b);

// 1 when version is minimum or newer, 0 when it is older, -1 when version
// cannot be read. A minimum that cannot be read is met by every version.
int javaVersionAtLeast(const char *version, const char *minimum);

// The JAVA_VERSION of a runtime's "release" file (data[0..size), lines of
// NAME="VALUE"), its quotes removed, into out. 0 when there is none, it is
// empty or it does not fit; out is then untouched.
int releaseJavaVersion(const char *data, size_t size, char *out, size_t outSize);

// The version inside a registry key's name, from its first digit on
// ("zulu-17" gives "17"); null when it holds no digit.
const char *versionInName(const char *name);
