#include "launcher/SystemLibrary.h"

FARPROC systemFunction(const wchar_t *library, const char *name)
{
    // Never from the program's folder or the current one, where anyone could
    // put a library of that name. The application manifest still picks the
    // common controls' version 6.
    HMODULE module = LoadLibraryExW(library, NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return module ? GetProcAddress(module, name) : NULL;
}
