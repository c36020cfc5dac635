// Moving a finished file over the one it replaces.
#pragma once

// Moves from over to in one step (replacing, written through to the disk).
// Antivirus and indexing services hold a fresh file for a moment, so sharing,
// lock and access errors are retried for up to REPLACE_RETRY_MS, with one line
// of caller's when the first attempt fails. 1 on success; 0 with the last
// error of the final attempt in GetLastError.
int replaceFile(const char *from, const char *to, const char *caller);

#define REPLACE_RETRY_MS 2000
