#include "rules/linkRules.h"

#include <string.h>

static const char mask[] = "***";

size_t redactPasswords(const char *text, char *out, size_t outSize)
{
    size_t n = 0;
    for (size_t i = 0; text[i] && n + 1 < outSize;) {
        if (strncmp(text + i, "://", 3) != 0) {
            out[n++] = text[i++];
            continue;
        }
        // The authority runs to the path, query or fragment. Its user
        // information ends at the last '@' (some parsers take the first: the
        // mask covers both), and the password begins after its first ':'.
        size_t from = i + 3, to = from + strcspn(text + from, "/?#");
        size_t at = to;
        while (at > from && text[at - 1] != '@')
            --at;
        const char *colon = at > from ? (const char *)memchr(text + from, ':', at - 1 - from) : NULL;
        size_t keep = colon ? (size_t)(colon - text) + 1 : from;
        while (i < keep && n + 1 < outSize)
            out[n++] = text[i++];
        if (!colon || i < keep || colon + 1 == text + at - 1)
            continue;
        for (const char *m = mask; *m && n + 1 < outSize; ++m)
            out[n++] = *m;
        i = at - 1;
    }
    out[n] = '\0';
    return n;
}
