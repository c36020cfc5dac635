// Text is UTF-8 inside the program; Windows takes and gives UTF-16. These
// helpers convert at that boundary, so that a path outside the ANSI code page
// (a profile named in another script) works like any other.
#pragma once

#include <stddef.h>
#include <stdio.h>
#include <sys/stat.h>
#include <wchar.h>

// Room for a UTF-8 path of the Windows limit (MAX_PATH UTF-16 units) when
// every unit takes three bytes.
#define UTF8_PATH_SIZE (3 * 260)

// utf8 into wide (units, terminator included). 0, with wide empty, when it is
// not UTF-8 or does not fit.
int toWide(const char *utf8, wchar_t *wide, size_t units);
// wide into utf8 (size bytes). 0, with utf8 empty, when it does not fit.
int toUtf8(const wchar_t *wide, char *utf8, size_t size);
// A name from a manifest into UTF-8: its bytes as they are when they are valid
// UTF-8, otherwise as bytes of the ANSI code page (as manifests always held
// them; a name in that code page is hardly ever valid UTF-8 beyond ASCII).
int manifestNameToUtf8(const char *name, char *utf8, size_t size);
// The UTF-16 units of utf8 without its terminator; (size_t)-1 when it is not UTF-8.
size_t wideUnits(const char *utf8);

// The C library's and Windows' calls on files, by UTF-8 name. A name that is
// not UTF-8 or is longer than Windows takes fails with errno EINVAL
// (ERROR_INVALID_NAME for those that report GetLastError).
FILE *openFile(const char *path, const char *mode);
FILE *openFileShared(const char *path, const char *mode, int share);
int statFile(const char *path, struct _stat *st);
int makeFolder(const char *path);
int removeFile(const char *path);
int moveFile(const char *from, const char *to, unsigned long flags); // MoveFileEx: non-zero when done
// Flushes the file to the disk and closes it; 0 with errno set when a step failed.
int closeFile(FILE *f);

// Writes len bytes of UTF-8 text to stream: to a console as its characters,
// whatever the console's code page, elsewhere (a file, a pipe) as they are.
void writeText(FILE *stream, const char *text, size_t len);
