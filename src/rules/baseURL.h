// The server's base URL inside a link: no I/O, no Windows API.
#pragma once

#include <stddef.h>

// Finds the base URL in link: from the first "http" (case counts) up to and
// including the third "/" after it, or to the end of link when fewer follow.
// 1 with its offset and length; 0, outputs untouched, when there is no "http".
int baseURLSpan(const char *link, size_t *start, size_t *length);
