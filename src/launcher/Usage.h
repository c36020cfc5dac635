// The usage text, and the build information that it and the log's banner show.
#pragma once

#include <stddef.h>

#include "KovrelVersion.h"

// Product line of the usage text.
#define KOVREL_PRODUCT "KovrelDocs v." KOVREL_VERSION_SHORT

// Writes the build information block of the executable at path (UTF-8) into out.
void InfoEXE(const char *path, char *out, size_t outSize);

// The running program's own file (UTF-8) into path; "?" when it has none.
void programPath(char *path, size_t size);

// Prints the usage text to standard output.
void help(void);
