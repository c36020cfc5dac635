// A link through the base URL rule, checked against the rule's own words.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "rules/baseURL.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The launcher takes links of at most 4095 characters.
    char link[4096];
    size = size < sizeof link ? size : sizeof link - 1;
    memcpy(link, data, size);
    link[size] = '\0';

    size_t start = 0, length = 0;
    if (!baseURLSpan(link, &start, &length)) {
        if (strstr(link, "http"))
            abort();
        return 0;
    }
    const char *base = link + start;
    size_t rest = strlen(base);
    if (length > rest || strncmp(base, "http", 4) != 0 || memmem(link, start + 3, "http", 4))
        abort();
    size_t slashes = 0;
    for (size_t i = 0; i < length; ++i)
        slashes += base[i] == '/';
    // Ends right after the third slash, or at the end of the link with fewer.
    if (slashes > 3 || (slashes == 3 && base[length - 1] != '/') || (slashes < 3 && length != rest))
        abort();
    return 0;
}
