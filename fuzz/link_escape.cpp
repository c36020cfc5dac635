// A link and an environment block through the cmd.exe escaping.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "rules/linkRules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The link up to the first zero byte; after it, the environment strings,
    // ended by an empty one.
    static char input[8192 + 2];
    size = size < sizeof input - 2 ? size : sizeof input - 2;
    memcpy(input, data, size);
    input[size] = input[size + 1] = '\0';
    const char *link = input;
    size_t linkLen = strlen(link);
    const char *env = linkLen < size ? input + linkLen + 1 : "";

    static char out[8100];
    memset(out, 0, sizeof out);
    const char *reason = escapeLink(link, env, out, sizeof out);
    if (reason)
        return 0;
    // What is passed on holds nothing cmd.exe would act on unescaped, and with
    // the carets taken away it is the link again.
    size_t n = 0;
    for (const char *p = out; *p; ++p) {
        if (*p == '"' || *p == ' ' || (unsigned char)*p < 0x20)
            abort();
        if (*p == '^') {
            if (!*++p || !strchr("&|<>^()", *p))
                abort();
        } else if (strchr("&|<>()", *p)) {
            abort();
        }
        if (link[n++] != *p)
            abort();
    }
    if (n != linkLen)
        abort();
    return 0;
}
