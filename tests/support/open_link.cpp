// Opens a link as the Windows shell does with a per-user URL scheme (Wine's
// shell sees only machine-wide ones): reads the command registered under
// HKCU\Software\Classes\<scheme>\shell\open\command, puts the link where "%1"
// stands, starts it, and returns its exit code.
//   open_link.exe <link>
#include <stdio.h>
#include <string>
#include <windows.h>

int main(int argc, char *argv[])
{
    std::string link = argc == 2 ? argv[1] : "";
    std::string key = "Software\\Classes\\" + link.substr(0, link.find(':')) + "\\shell\\open\\command";
    HKEY h;
    char command[1024] = "";
    DWORD size = sizeof command - 1;
    // RegGetValueA does not find a default value under Wine.
    if (RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS ||
        RegQueryValueExA(h, NULL, NULL, NULL, (BYTE *)command, &size) != ERROR_SUCCESS) {
        fprintf(stderr, "usage: open_link <link>, whose scheme has a command under HKCU\n");
        return 2;
    }
    std::string line = command;
    for (size_t at = line.find("%1"); at != std::string::npos; at = line.find("%1", at + link.size()))
        line.replace(at, 2, link);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    DWORD code = 3;
    if (!CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        fprintf(stderr, "CreateProcess failed: %lu\n", GetLastError());
        return 3;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    GetExitCodeProcess(pi.hProcess, &code);
    return (int)code;
}
