// Starting the client: "javaw.exe -jar Marvique.jar <link>" through cmd.exe
// from the work folder, with the Java runtime that the registry names.
#pragma once

#include <wchar.h>

// Starts the client (javaExe -jar Marvique.jar and the link, already escaped
// for cmd.exe as safeLink) through cmd.exe from workFolder, or opens the Java
// download page when no Java runtime is usable. Returns 1 when the client was
// started, 0 otherwise. Before the download page, window (if any) says that
// Java is needed.
struct ProgressWindow;
int launchJava(const char *javaExe, const wchar_t *safeLink, const char *workFolder, ProgressWindow *window = NULL);
