// Functions of system libraries that not every run needs, mapped on first
// use: a run without a window, a web page or a proxy to find never loads
// them.
#pragma once

#include <windows.h>

// The system library of that bare name, from the system folder or the
// program's side-by-side assembly; null, with the Windows error set, when it
// is missing.
HMODULE systemLibrary(const wchar_t *library);
