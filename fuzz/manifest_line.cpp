// A manifest line, as fgets hands it on, cut by the rules and, for comparison,
// by strtok as the update pass once did; then its path and token through the
// rules that follow.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "rules/manifestRules.h"

// The update pass's cutting before it moved into the rules.
static ManifestLineForm byStrtok(char *line, ManifestLine *f)
{
    f->value = f->path = NULL;
    f->kind = strtok(line, ":");
    if (!f->kind)
        return MANIFEST_NO_KIND;
    if (strcmp(f->kind, "JRE") == 0) {
        f->value = strtok(NULL, " ");
        return f->value ? (strip(f->value), MANIFEST_JRE) : MANIFEST_NO_VERSION;
    }
    if (strcmp(f->kind, "id") != 0 && strcmp(f->kind, "md5") != 0 && strcmp(f->kind, "sha1") != 0 &&
        strcmp(f->kind, "sha256") != 0)
        return MANIFEST_OTHER_KIND;
    f->value = strtok(NULL, " ");
    if (!f->value)
        return MANIFEST_NO_VALUE;
    f->path = strtok(NULL, " ");
    return f->path && *strip(f->path) ? MANIFEST_ENTRY : MANIFEST_NO_PATH;
}

static void same(const char *a, const char *b)
{
    if ((a == NULL) != (b == NULL) || (a && strcmp(a, b) != 0))
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // fgets reads at most 1023 characters into the launcher's 1024.
    char line[1024], old[1024];
    size = size < sizeof line ? size : sizeof line - 1;
    memcpy(line, data, size);
    line[size] = '\0';
    memcpy(old, line, size + 1);

    ManifestLine fields, expected;
    ManifestLineForm form = cutManifestLine(line, &fields);
    if (form != byStrtok(old, &expected))
        abort();
    same(fields.kind, expected.kind);
    same(fields.value, expected.value);
    same(fields.path, expected.path);
    if (form != MANIFEST_ENTRY)
        return 0;
    if (strpbrk(fields.path, " \t\n") || strchr(fields.value, ' '))
        abort();
    pathRefusal(fields.path);
    publishedNameProblem(fields.path);
    pathFits(fields.path, MANIFEST_WORK_FOLDER_BUDGET);
    size_t digits = digestTokenDigits(fields.kind, fields.value);
    if (digits && strlen(fields.value) != digits)
        abort();
    return 0;
}
