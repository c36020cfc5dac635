#include "launcher/SystemLibrary.h"

HMODULE systemLibrary(const wchar_t *library)
{
    // Never from the current folder or the program's, where someone could
    // put a library of that name. The application manifest still picks the
    // common controls' version 6.
    HMODULE module = LoadLibraryExW(library, NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Windows 7 without its 2011 loader update knows no search flags: then
    // the search that the program's own imports get.
    if (!module && GetLastError() == ERROR_INVALID_PARAMETER)
        module = LoadLibraryW(library);
    return module;
}
