// The rules for the link on cmd.exe's command line and for what the log may
// show. No system calls and no I/O: the same code builds for Windows and
// natively.
#pragma once

#include <stddef.h>

// Writes link (UTF-8) into out with a caret before each character that cmd.exe
// acts on, so that a "cmd.exe /C" command line hands it on unchanged. env is the
// environment block (UTF-8 NAME=value strings, ended by an empty one) that
// cmd.exe will inherit. Returns NULL when done, otherwise what in the link
// cannot be handed on safely (out then holds nothing usable). Time is linear in
// the link and env.
const char *escapeLink(const char *link, const char *env, char *out, size_t outSize);

// Copies text into out (outSize > 0 bytes, always terminated, cut when full)
// with the password of every URL's user information shown as "***".
// Returns the length written.
size_t redactPasswords(const char *text, char *out, size_t outSize);
