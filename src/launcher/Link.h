// The link as the client receives it: read whole from the wide command line,
// then checked and escaped for the cmd.exe command line that starts the client.
#pragma once

#include <stddef.h>

// Room for a link, terminator included: UTF-16 units, and bytes of its ANSI form.
#define LINK_SIZE 4096
// Room for its UTF-8 form: at most three bytes a unit.
#define LINK_UTF8_SIZE (3 * LINK_SIZE)

// Reads the program's one argument from the wide command line into wide
// (LINK_SIZE units), and its UTF-8 form into utf8 (LINK_UTF8_SIZE bytes). 0,
// with a line in the log, when the wide command line does not hold exactly one
// argument or it does not fit.
int readLink(wchar_t *wide, char *utf8);

// Writes link, escaped for "cmd.exe /C", into safe (safeSize units), checked
// against the launcher's own environment. 0, with a line in the log, when the
// link is refused: it cannot be handed on unchanged, or the environment cannot
// be read.
int prepareLink(const wchar_t *link, wchar_t *safe, size_t safeSize);

#ifdef KOVREL_UNITTESTS
// prepareLink against env, the environment block (UTF-16) that cmd.exe will
// inherit, null when it could not be read.
int escapeWideLink(const wchar_t *link, const wchar_t *env, wchar_t *safe, size_t safeSize);
#endif
