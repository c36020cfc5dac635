// The launcher's log: one plain-text file, "Kovrel.log" in the user's
// temporary folder, appended to line by line by every run.
#pragma once

#include <stdio.h>

// The shared message buffer: callers format a message here, then hand it over.
extern char logmsg[16384];

// Appends text (and a line feed when asked) to the log file and, with echo,
// writes the same bytes to standard output. Returns 1 when the line was handed
// to the file, 0 when the temporary folder or the file was not available or
// the line did not go out whole (a full disk), which standard error is told.
int LogToFile(const char *text, bool echo, bool newline);

// The log file's path into path (MAX_PATH units), and the length
// GetTempPath gave into *tempUnits: 1 done, 0 when the temporary folder is
// too long for the name, -1 when there is none.
int logFilePath(wchar_t *path, unsigned long *tempUnits = NULL);

// Appends text, " - Time:  " and the local date and time. text may be logmsg.
int LogTime(const char *text, bool echo);

// The system text of an error, cut at its first control character (tab
// excepted) and stripped of trailing full stops, spaces and tabs, in place.
char *cleanErrorText(char *text);

// The cleaned system text for a Windows error into out; empty when the system
// has none. The calling thread's last error is kept.
const char *windowsErrorText(unsigned long error, char *out, size_t size);

// Formats into logmsg and logs it with a line feed.
int LogFormat(bool echo, const char *format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 2, 3)));
