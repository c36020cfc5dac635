// Starting the client: "javaw.exe -jar Marvique.jar <link>" through cmd.exe
// from the work folder, with the first Java runtime found that is usable.
#pragma once

#include <wchar.h>
#include <windows.h>

// Starts the client (javaExe -jar Marvique.jar and the link, already escaped
// for cmd.exe as safeLink) through cmd.exe from workFolder, or opens the Java
// download page when no Java runtime is usable. The places looked in, in
// order: the administrator's JavaHome, the design's registry key, the keys of
// today's installers (FindRegisteredJava), JAVA_HOME. A runtime is usable
// when its bin folder holds javaExe and its version is minimum or newer
// (minimum "" or null: any). policy null: the defaults. Before the download
// page, window (if any) says that Java is needed, or a newer one than those
// found; folderLock (if given), the work folder's lock, is released before
// that box waits for the user. Returns 1 when the client was started, 0
// otherwise.
struct ProgressWindow;
int launchJava(const char *javaExe, const wchar_t *safeLink, const char *workFolder,
               const struct Policy *policy = NULL, const char *minimum = NULL, ProgressWindow *window = NULL,
               HANDLE *folderLock = NULL);
