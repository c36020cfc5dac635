// The string table's identifiers (kovrel.rc): the window's and the message
// boxes' text, in English and Spanish. Only #defines, for the resource compiler.
#pragma once

#define IDS_CONNECTING 101  // step: before the manifest has arrived
#define IDS_CHECKING 103    // step: the manifest is read and the files compared
#define IDS_DOWNLOADING 104 // step: %ls the file, %u its number, %u the count
#define IDS_STARTING 105    // step: the client is being started
#define IDS_CANCELLING 106  // step: Cancel was pressed
#define IDS_SERVER 107      // %ls the server's host
#define IDS_RATE 108        // %ls received, %ls expected, %ls per second, %ls left
#define IDS_CANCEL 109      // the Cancel button
#define IDS_START 110       // the button that starts the installed client at once
#define IDS_SECONDS 111     // %u seconds
#define IDS_MINUTES 112     // %u minutes and %u seconds

// Message boxes: %ls the server's host (or the setting's name), then %ls the log.
#define IDS_NO_SERVER 120
#define IDS_REFUSED_SERVER 121
#define IDS_REFUSED_LINK 122 // %ls the log only
#define IDS_LOCK_TIMEOUT 123 // %ls the log only
#define IDS_PASS_FAILED 124
#define IDS_UNUSABLE_SETTING 125
#define IDS_JAVA_NEEDED 126 // no argument
#define IDS_JAVA_NEWER 127  // %hs the minimum version
