#include "rules/baseURL.h"

#include <string.h>

int baseURLSpan(const char *link, size_t *start, size_t *length)
{
    const char *http = strstr(link, "http");
    if (!http)
        return 0;
    const char *end = http;
    for (int slashes = 0; *end && slashes < 3; ++end)
        if (*end == '/')
            ++slashes;
    *start = (size_t)(http - link);
    *length = (size_t)(end - http);
    return 1;
}
