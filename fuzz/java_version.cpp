// A Java version and a release file: reading never leaves its bounds, and
// comparison is an order.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "rules/javaVersion.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static char text[4096];
    size = size < sizeof text ? size : sizeof text - 1;
    memcpy(text, data, size);
    text[size] = '\0';

    char version[32];
    if (releaseJavaVersion(text, size, version, sizeof version) && strlen(version) >= sizeof version)
        abort();

    // The text split at its first blank: two versions, each against itself
    // and the other.
    const char *blank = strchr(text, ' ');
    const char *second = blank ? blank + 1 : text;
    JavaVersion a, b;
    if (!parseJavaVersion(text, &a) || !parseJavaVersion(second, &b))
        return 0;
    if (a.count == 0 || a.count > JAVA_VERSION_PARTS || compareJavaVersions(&a, &a) != 0)
        abort();
    int ab = compareJavaVersions(&a, &b), ba = compareJavaVersions(&b, &a);
    if ((ab > 0) != (ba < 0) || (ab == 0) != (ba == 0))
        abort();
    if (javaVersionAtLeast(text, second) != (ab >= 0))
        abort();
    return 0;
}
