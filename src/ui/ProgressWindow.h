// What the person who clicked sees: a small progress window on a thread of
// its own, which appears only when the run is still working a second after it
// began, and plain message boxes where a run ends without starting the client.
// Every call takes a null window and then does nothing: a run without a
// window (turned off, or none can be made) goes on exactly as without this module.
#pragma once

#include <curl/curl.h>
#include <windows.h>

#include "update/getHTTPFile.h"

struct ProgressWindow;

// The run's steps, in the words the window shows.
enum ProgressStep { STEP_CONNECTING, STEP_CHECKING, STEP_DOWNLOADING, STEP_STARTING };

// What the person asked for: nothing yet, Cancel, or starting the installed
// client without waiting for the update.
enum ProgressStop { STOP_NONE, STOP_CANCEL, STOP_START_NOW };

// Why a run ends without the client: each has its message box.
enum ProgressError {
    ERROR_NO_SERVER,        // no manifest and no installed client (host)
    ERROR_REFUSED_SERVER,   // the administrator's list refuses the server (host)
    ERROR_REFUSED_LINK,     // the link cannot be used
    ERROR_LOCK_TIMEOUT,     // another launcher held the work folder too long
    ERROR_PASS_FAILED,      // the update pass failed (host)
    ERROR_UNUSABLE_SETTING, // an administrator setting cannot be used (its name)
};

// Starts the window's thread for the server host; null when show is false.
// The window appears one second later, unless the run is over or starting by
// then, or no window can be made (no desktop, no display).
ProgressWindow *progressStart(bool show, const char *host);

// The current step; STEP_STARTING also keeps a window that is not shown yet
// from appearing at all.
void progressStep(ProgressWindow *window, ProgressStep step);

// Offers (or withdraws) the button that starts the installed client at once.
// Once withdrawn, progressStopped never turns to STOP_START_NOW.
void progressOfferStart(ProgressWindow *window, bool offer);

// What was asked for in the window so far.
ProgressStop progressStopped(ProgressWindow *window);
// An event set once anything is asked for; null without a window.
HANDLE progressStopEvent(ProgressWindow *window);

// The sink through which transfers report their bytes and the pass its files,
// and learn that the run is to stop; no sink for a null window.
const TransferSink *progressSink(ProgressWindow *window);

// Closes the window (if shown) and shows the message box for error, naming
// subject (a host or a setting) and the log; returns when it is dismissed.
// Nothing without a window, or where no window can be made.
void progressError(ProgressWindow *window, ProgressError error, const char *subject);

// The "Java is needed" box, before the download page opens; with a minimum
// version (not ""), the box says that a newer Java than those found is needed.
void progressJavaNeeded(ProgressWindow *window, const char *minimum);

// Closes the window, ends its thread and frees it; *window becomes null.
void progressFinish(ProgressWindow **window);

#ifdef KOVREL_UNITTESTS
// The bar's range and position for file n of m (0: the manifest) with
// received of expected bytes (expected 0: unknown); received may pass
// expected where transfers side by side fill several files' shares.
void progressBar(unsigned n, unsigned m, long long expected, long long received, int *range, int *position);
// A byte count as the window shows it: "512 B", "1.5 KB", "12.3 MB".
void progressSize(long long bytes, wchar_t *out, size_t size);
#endif
