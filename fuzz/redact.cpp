// A log line through the password mask.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "rules/linkRules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static char text[4096], out[4096];
    size = size < sizeof text ? size : sizeof text - 1;
    memcpy(text, data, size);
    text[size] = '\0';
    // Every size of the output, down to one byte, stays terminated and within it.
    static const size_t rooms[] = {sizeof out, 64, 9, 1};
    for (size_t room : rooms) {
        size_t n = redactPasswords(text, out, room);
        if (n >= room || out[n] != '\0' || strlen(out) != n)
            abort();
    }
    // Masking again changes nothing.
    static char again[4096];
    size_t n = redactPasswords(out, again, sizeof again);
    if (n != strlen(out) || strcmp(out, again) != 0)
        abort();
    return 0;
}
