// A stand-in for a Java launcher (installed as javaw.exe and java.exe): it
// records how it was started and, when asked, behaves like a running client.
//   KOVREL_STANDIN_RECORD  file to append the record to: one line each for
//                          "cmdline: ", "wcmdline: " (the wide command line in
//                          UTF-8), "cwd: ", "argc: " and "argv[i]: ", and with
//                          a hold "held: " and 0 or the error of opening it
//   KOVREL_STANDIN_HOLD    file to hold open (read, shared for reading only),
//                          as a running client holds its jar
//   KOVREL_STANDIN_SECONDS how long to keep running (default: exit at once)
//   KOVREL_STANDIN_RELEASE a file whose appearance ends that time early
//   KOVREL_STANDIN_EXEC    a program to hand the same arguments to (a real
//                          Java launcher, or a Unix script that starts one)
//   KOVREL_STANDIN_DONE    file to append a line "done" to when it ends
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <windows.h>

int main(int argc, char *argv[])
{
    // Held before the record is written: a starter that sees the record knows
    // the file is held.
    HANDLE held = INVALID_HANDLE_VALUE;
    DWORD holdError = 0;
    const char *hold = getenv("KOVREL_STANDIN_HOLD");
    if (hold) {
        held = CreateFileA(hold, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        holdError = held == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    }

    const char *record = getenv("KOVREL_STANDIN_RECORD");
    if (record) {
        FILE *f = fopen(record, "ab");
        if (f) {
            char cwd[MAX_PATH] = "";
            GetCurrentDirectoryA(sizeof cwd, cwd);
            static char wide[32768 * 3];
            if (!WideCharToMultiByte(CP_UTF8, 0, GetCommandLineW(), -1, wide, sizeof wide, NULL, NULL))
                wide[0] = '\0';
            fprintf(f, "cmdline: %s\nwcmdline: %s\ncwd: %s\nargc: %d\n", GetCommandLineA(), wide, cwd, argc);
            for (int i = 0; i < argc; ++i)
                fprintf(f, "argv[%d]: %s\n", i, argv[i]);
            if (hold)
                fprintf(f, "held: %lu\n", holdError);
            fclose(f);
        }
    }

    const char *exec = getenv("KOVREL_STANDIN_EXEC");
    if (exec) {
        // Links that reach a client carry no blanks or quotes: joining is enough.
        std::string command = exec;
        for (int i = 1; i < argc; ++i)
            command += std::string(" ") + argv[i];
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi;
        if (CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
            WaitForSingleObject(pi.hProcess, INFINITE);
            CloseHandle(pi.hThread);
            CloseHandle(pi.hProcess);
        }
    }

    const char *seconds = getenv("KOVREL_STANDIN_SECONDS");
    const char *release = getenv("KOVREL_STANDIN_RELEASE");
    DWORD start = GetTickCount();
    while (seconds && GetTickCount() - start < (DWORD)atoi(seconds) * 1000 &&
           !(release && GetFileAttributesA(release) != INVALID_FILE_ATTRIBUTES))
        Sleep(20);
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);

    const char *done = getenv("KOVREL_STANDIN_DONE");
    if (done) {
        FILE *f = fopen(done, "ab");
        if (f) {
            fputs("done\n", f);
            fclose(f);
        }
    }
    return 0;
}
