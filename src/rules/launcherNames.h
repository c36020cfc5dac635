// The names of the launcher's own files in the work folder and on the server,
// spelt once for the launcher, the operator's tool and the rules.
#pragma once

// The versions manifest on the server, and as installed by the last whole pass.
#define MANIFEST_NAME "fcompare.ini"
// The manifest as downloaded, before its pass.
#define NEW_MANIFEST_NAME "fcompare.new"
// Beside the manifest on the server: its signatures.
#define SIGNATURE_NAME "fcompare.ini.sig"
// The signatures as downloaded, before they are checked.
#define NEW_SIGNATURE_NAME "fcompare.sig"
// The highest manifest serial accepted in this work folder.
#define SERIAL_NAME "fcompare.serial"
// The client jar that is started.
#define CLIENT_JAR "Marvique.jar"
// A download is staged under its target's name with this suffix.
#define STAGED_SUFFIX ".part"
// The folder in the work folder where a pass stages the files of the next
// version until it switches to them all at once; ending in the staged suffix,
// it is refused as a manifest path like every such name.
#define STAGING_FOLDER "staging" STAGED_SUFFIX
// Below the server's base URL: the manifest and every file it names.
#define APPLETS_PATH "XNL/applets/"
// In the staging folder while a switch lasts: the files it moves, so that the
// next run puts back a switch that was cut short.
#define SWITCH_JOURNAL_NAME "switch.journal"
