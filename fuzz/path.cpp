// A manifest path through the acceptance rules and the published-name rules.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "rules/manifestRules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char path[1024];
    size = size < sizeof path ? size : sizeof path - 1;
    memcpy(path, data, size);
    path[size] = '\0';

    const char *refusal = pathRefusal(path);
    // The rules agree with each other: every refused path is unpublishable,
    // and a colon or a leading separator never passes.
    if ((pathLeavesWorkFolder(path) || pathNamesDevice(path) || pathNamesOwnFile(path) || pathEndsInDotOrBlank(path) ||
         pathNamesJavaCommand(path)) != (refusal != NULL))
        abort();
    const char *problem = publishedNameProblem(path);
    if ((refusal && !problem) || ((strchr(path, ':') || path[0] == '/' || path[0] == '\\') && !refusal))
        abort();
    if (!problem && (strpbrk(path, " /\\") || !pathFits(path, MANIFEST_WORK_FOLDER_BUDGET)))
        abort();
    for (size_t folder = 0; folder <= 300; folder += 75)
        pathFits(path, folder);
    return 0;
}
