// A whole manifest through the reader that the update pass and the tool share,
// checked against what the reader promises them.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "rules/manifestReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Manifest m;
    if (!readManifest((const char *)data, size, 1, &m))
        return 0;
    size_t entries = 0, repeats = 0;
    unsigned line = 0;
    for (size_t i = 0; i < m.count; ++i) {
        const ManifestItem &item = m.items[i];
        // In manifest order, each entry pointing at an earlier or the same item of its path.
        if (item.line < line || (item.form != MANIFEST_ENTRY && item.form != MANIFEST_JRE))
            abort();
        line = item.line;
        if (item.form != MANIFEST_ENTRY)
            continue;
        ++entries;
        const ManifestItem &first = m.items[item.firstOf];
        if (item.firstOf > i || first.form != MANIFEST_ENTRY || strcasecmp(first.fields.path, item.fields.path) != 0 ||
            (item.firstOf != i && first.firstOf != item.firstOf))
            abort();
        repeats += item.firstOf != i;
        if (!*item.fields.path || strpbrk(item.fields.path, " \t\n") || strlen(item.fields.path) >= MANIFEST_PIECE_CHARS)
            abort();
    }
    // A NUL byte counts only before the byte 0x1A that ends the text.
    const uint8_t *end = (const uint8_t *)memchr(data, 0x1A, size);
    bool nul = memchr(data, 0, end ? (size_t)(end - data) : size) != NULL;
    if (entries != m.entries || repeats != m.repeats || nul != (m.zeroByte != 0))
        abort();
    freeManifest(&m);
    return 0;
}
