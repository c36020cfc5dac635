// One launcher at a time per work folder: a named mutex in the session's local
// namespace, held from before the manifest download until the client is
// started or the run ends.
#pragma once

#include <stddef.h>
#include <windows.h>

// Takes the work folder's mutex, waiting up to waitSeconds while another
// launcher holds it. 1, with the mutex in *held until unlockWorkFolder; 0,
// with a line in the log: the wait ran out (*timedOut, when given, then true),
// the event stop (when given) was set during the wait, or the mutex could not
// be had.
int lockWorkFolder(const char *workFolder, unsigned waitSeconds, HANDLE *held, bool *timedOut = NULL,
                   HANDLE stop = NULL);

// Releases a mutex that lockWorkFolder gave, and sets *held to null; nothing
// when *held is null. A mutex held when the process ends would pass as
// abandoned by a launcher that died.
void unlockWorkFolder(HANDLE *held);

#ifdef KOVREL_UNITTESTS
// The mutex name of workFolder into out: "Local\Kovrel-" and a hash of the
// folder's long path in capitals, so that every spelling of it meets.
void workFolderLockName(const char *workFolder, char *out, size_t outSize);
#endif
